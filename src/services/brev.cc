#include "services/brev.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The most verbose level also written to stderr, or -1 for none.
int StderrLevel() {
  const char* value = std::getenv("BREV_STDERR");
  if (value == nullptr || value[0] < '0' || value[0] > '7' || value[1] != '\0')
    return -1;
  return value[0] - '0';
}

// Writes all of `text`; a short or failed write is given up silently.
void WriteAll(int fd, const char* text, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, text, size);
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

extern "C" void __brev_printf(int level, const char* sourceFile,
                              const char* format, ...) {
  if (format == nullptr) return;
  if (sourceFile == nullptr) sourceFile = "";

  static std::once_flag opened;
  std::call_once(opened, [] { openlog("brev", LOG_PID, LOG_USER); });

  va_list args;
  va_start(args, format);
  va_list stderrArgs;
  va_copy(stderrArgs, args);
  vsyslog(LOG_USER | (level & LOG_PRIMASK), format, args);
  va_end(args);

  const int threshold = StderrLevel();
  if (threshold >= 0 && level >= 0 && level <= threshold) {
    // One write per line, so that lines of concurrent callers stay whole.
    char* text = nullptr;
    if (vasprintf(&text, format, stderrArgs) >= 0) {
      char* line = nullptr;
      int size = asprintf(&line, "%d %s: %s\n", level, sourceFile, text);
      if (size > 0) WriteAll(STDERR_FILENO, line, static_cast<size_t>(size));
      std::free(line);
      std::free(text);
    }
  }
  va_end(stderrArgs);
}
