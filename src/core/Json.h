// JSON strings from any bytes, for the JSON output of a history.

#ifndef TOLVANE_SRC_CORE_JSON_H_
#define TOLVANE_SRC_CORE_JSON_H_

#include <string>
#include <string_view>

namespace nq_tolvane {

// Appends `bytes` to `out` as a JSON string, quotes included: '"' and '\'
// escaped, control characters and DEL as \b, \f, \n, \r, \t or \u00XX, valid
// UTF-8 as it is, and each byte that is not part of valid UTF-8 (a stray
// continuation byte, a sequence cut short, an overlong or surrogate form) as
// U+FFFD, the replacement character.
void AppendJsonString(std::string* out, std::string_view bytes);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_JSON_H_
