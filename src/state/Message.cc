// The timestamped diagnostic line of the state functions.

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "nq_tolvane_internals.h"

namespace nq_tolvane {
namespace nq_tolvane_internals {

void Message(const char* format, ...) {
  if (!GetDebugCondition()) return;

  const std::time_t now = std::time(nullptr);
  char text[64];  // ctime_r needs 26; a year past 9999 needs a little more
  if (now < 0) {
    std::fwrite("Failed to get time by calling time()\n", 1, 37, stderr);
  } else if (ctime_r(&now, text) == nullptr) {
    std::fwrite("Failed to get time by calling ctime_r()\n", 1, 40, stderr);
  } else {
    const size_t size = std::strlen(text);
    if (size > 0) text[size - 1] = '\0';  // drop ctime's newline
    std::fprintf(stderr, "%s:", text);
  }

  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace nq_tolvane_internals
}  // namespace nq_tolvane
