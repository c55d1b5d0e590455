// tolvane-getlog's command line: the options, TYPE, TIME and SIZE, read into
// values. Nothing here prints; a usage error comes back as a value.

#ifndef TOLVANE_TOOLS_OPTIONS_H_
#define TOLVANE_TOOLS_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tolvane_report.h"

namespace tolvane_getlog {

// The usage, as --help prints it.
extern const char kUsage[];

// What the command line asks for. The texts are as given, for messages.
struct Options {
  bool debug = false;
  bool list = false;
  bool selecting = false;  // some SELECTION option was given
  nq_tolvane::Selection selection;
  std::string since, until, maxSize;     // as given, where given
  std::optional<std::string> cursor;     // --cursor-file
  std::optional<std::string> toCommand;  // --to-command
  std::string format;                    // --output's FORMAT, as given
  nq_tolvane::LogType type = static_cast<nq_tolvane::LogType>(0);
  std::string typeText;
  std::string output;  // OUTPUT; "" with --list or --to-command
};

// A usage error: exit status 2 and the line that names it (without
// "tolvane-getlog: "). Status 0: none.
struct UsageError {
  int status = 0;
  std::string problem;
};

// Reads `args` (the words after the program's name) into `*options`, with
// `now` (seconds since the epoch) for a TIME given as "-N<unit>". On a usage
// error `*options` holds what was read before it.
UsageError ParseOptions(const std::vector<std::string>& args, std::int64_t now,
                        Options* options);

// "the directory D of the cursor file F does not exist" when it does not,
// else "": a position could never be stored there, which would be found
// only after the request. A cursor file missing from a directory that is
// there is the start of the history.
std::string MissingCursorDirectory(const Options& options);

// A usage error when the request would write its own cursor file: OUTPUT
// is the cursor file under the same or another name (a link, "./F"), or
// is "-" and `standardOutput` is a descriptor of the cursor file. An output
// that does not exist yet is the cursor file when both name the same last
// component in the same directory.
UsageError CheckCursorIsNotOutput(const Options& options, int standardOutput);

// A type's name, or its number (decimal digits) where the library has a
// name for it: 1 to 4.
bool ParseType(const std::string& text, nq_tolvane::LogType* type);

// A TIME in seconds since the epoch: @SECONDS, YYYY-MM-DD (local midnight),
// YYYY-MM-DD HH:MM[:SS] or with T for the blank (local time; a date or time
// mktime() would have to move, such as February 30 or 24:00, is none), or
// -N with s, m, h or d, that long before `now`.
bool ParseTime(const std::string& text, std::int64_t now,
               std::int64_t* seconds);

// A SIZE in bytes: a decimal number, or one followed by K, M or G for 1024,
// 1024^2 or 1024^3; no sign, no blank, nothing past 2^64 - 1.
bool ParseSize(const std::string& text, std::uint64_t* bytes);

}  // namespace tolvane_getlog

#endif  // TOLVANE_TOOLS_OPTIONS_H_
