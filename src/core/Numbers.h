// The one reader of numbers in text: positions, checkpoints and the
// operator command's TIME, SIZE and type numbers. Header-only, so that
// tolvane-getlog, which sees only the library's exports, reads them alike.

#ifndef TOLVANE_SRC_CORE_NUMBERS_H_
#define TOLVANE_SRC_CORE_NUMBERS_H_

#include <cstdint>
#include <string_view>

namespace nq_tolvane {

// The number in base 10 or 16 (lower-case digits) that is all of `text`,
// at most `max`: digits only, no sign, no blanks. False, `*value` as it
// was, for anything else.
inline bool ParseNumber(std::string_view text, unsigned base, std::uint64_t max,
                        std::uint64_t* value) {
  if (text.empty()) return false;
  std::uint64_t number = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else
      return false;
    if (digit > max || number > (max - digit) / base) return false;
    number = number * base + digit;
  }
  *value = number;
  return true;
}

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_NUMBERS_H_
