#include "core/Json.h"

#include <cstdio>

namespace nq_tolvane {
namespace {

// The length of the valid UTF-8 sequence at the start of `bytes` whose
// first byte is 0x80 or above, or 0 when there is none.
std::size_t Utf8Length(std::string_view bytes) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(bytes[i]);
  };
  const unsigned char lead = byte(0);
  std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
  if (lead < 0xc2 || lead > 0xf4 || bytes.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((byte(i) & 0xc0) != 0x80) return 0;
  // Overlong three- and four-byte forms, surrogates, and past U+10FFFF.
  if ((lead == 0xe0 && byte(1) < 0xa0) || (lead == 0xed && byte(1) > 0x9f) ||
      (lead == 0xf0 && byte(1) < 0x90) || (lead == 0xf4 && byte(1) > 0x8f))
    return 0;
  return length;
}

}  // namespace

void AppendJsonString(std::string* out, std::string_view bytes) {
  out->push_back('"');
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x80) {
      const std::size_t length = Utf8Length(bytes.substr(i));
      if (length == 0) {
        out->append("\xef\xbf\xbd");  // U+FFFD
        ++i;
      } else {
        out->append(bytes.substr(i, length));
        i += length;
      }
      continue;
    }
    ++i;
    // The characters JSON writes as a backslash and a letter.
    constexpr std::string_view kEscaped = "\"\\\b\f\n\r\t";
    constexpr std::string_view kLetters = "\"\\bfnrt";
    const std::size_t escaped = kEscaped.find(static_cast<char>(c));
    if (escaped != std::string_view::npos) {
      out->push_back('\\');
      out->push_back(kLetters[escaped]);
    } else if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\u%04x", c);
      out->append(hex);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
  out->push_back('"');
}

}  // namespace nq_tolvane
