#include "Options.h"

#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "Rendering.h"
#include "core/Numbers.h"

namespace tolvane_getlog {

const char kUsage[] =
    "usage: tolvane-getlog [--debug] [-o FORMAT] [SELECTION] TYPE OUTPUT\n"
    "       tolvane-getlog [--debug] [-o FORMAT] [SELECTION] --to-command "
    "COMMAND TYPE\n"
    "       tolvane-getlog --list [SELECTION] TYPE\n"
    "Writes every archive of log TYPE, oldest first, and then its active log\n"
    "into the file OUTPUT ('-' for standard output). --list shows what that\n"
    "would write and what is missing, and runs nothing.\n"
    "  TYPE     audit, brev, snmpd or misc, or a type number\n"
    "  --debug  show diagnostics and device-log messages on stderr\n"
    "  --to-command COMMAND  hand the output to 'sh -c COMMAND' on its\n"
    "                        standard input; the cursor file moves only when\n"
    "                        COMMAND exits 0\n"
    "  -o, --output FORMAT   pieces (each piece behind a header, the\n"
    "                        default), cat (the lines alone) or json (an\n"
    "                        object a line, with its cursor)\n"
    "SELECTION writes part of the history, any of these, all applying:\n"
    "  --since TIME        from the oldest piece that ended at or after TIME\n"
    "                      (--since -2d)\n"
    "  --until TIME        up to the oldest piece that ended at or after TIME\n"
    "                      (--until '2026-03-01 12:00')\n"
    "  --max-size SIZE     at most SIZE bytes, from the newest end\n"
    "                      (--max-size 10M)\n"
    "  --cursor-file FILE  only what came after the position in FILE; a\n"
    "                      complete run stores the new one there\n"
    "                      (--cursor-file /var/lib/agent/misc.position)\n"
    "  TIME  @SECONDS, YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS] (local time, or with\n"
    "        T for the blank), or -N with s, m, h or d: that long ago\n"
    "  SIZE  bytes, or a number with K, M or G (1024, 1024^2, 1024^3)\n"
    "With a selection --list adds the columns ended and selected.\n"
    "Exit status: 0 complete, 1 incomplete or failed (--list: expected to\n"
    "be; or COMMAND failed, or the position not stored), 2 usage or a FILE\n"
    "that cannot be read or holds no position of TYPE, 128+N stopped by\n"
    "signal N.\n";

namespace {

// The decimal number that is all of `text`, at most `max`.
bool ParseNumber(const std::string& text, std::uint64_t max,
                 std::uint64_t* value) {
  return nq_tolvane::ParseNumber(text, 10, max, value);
}

// The number the `count` digits of `text` from `at` make, or -1 when any
// of them is not a digit.
int Digits(const std::string& text, std::size_t at, std::size_t count) {
  std::uint64_t value = 0;
  return ParseNumber(text.substr(at, count), 9999, &value)
             ? static_cast<int>(value)
             : -1;
}

UsageError Usage(const std::string& problem) { return {2, problem}; }

// The directory part of `path` ("." for none) and its last component.
std::pair<std::string, std::string> Split(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool ParseType(const std::string& text, nq_tolvane::LogType* type) {
  *type = nq_tolvane::LogTypeNamed(text);
  if (*type != 0) return true;
  // A number the library has no name for is no type: a request for it
  // would only fail.
  std::uint64_t number = 0;
  if (!ParseNumber(text, INT32_MAX, &number) ||
      nq_tolvane::LogTypeName(static_cast<nq_tolvane::LogType>(number)).empty())
    return false;
  *type = static_cast<nq_tolvane::LogType>(number);
  return true;
}

bool ParseTime(const std::string& text, std::int64_t now,
               std::int64_t* seconds) {
  std::uint64_t number = 0;
  if (text.empty()) return false;
  if (text[0] == '@') {
    if (!ParseNumber(text.substr(1), INT64_MAX, &number)) return false;
    *seconds = static_cast<std::int64_t>(number);
    return true;
  }
  if (text[0] == '-') {
    const char unit = text.back();
    const std::int64_t scale = unit == 's'   ? 1
                               : unit == 'm' ? 60
                               : unit == 'h' ? 3600
                               : unit == 'd' ? 86400
                                             : 0;
    if (scale == 0 || text.size() < 3 ||
        !ParseNumber(text.substr(1, text.size() - 2), INT64_MAX / scale,
                     &number))
      return false;
    *seconds = now - static_cast<std::int64_t>(number) * scale;
    return true;
  }
  const std::size_t size = text.size();
  if ((size != 10 && size != 16 && size != 19) || text[4] != '-' ||
      text[7] != '-' ||
      (size > 10 &&
       ((text[10] != ' ' && text[10] != 'T') || text[13] != ':')) ||
      (size > 16 && text[16] != ':'))
    return false;
  const int fields[] = {Digits(text, 0, 4),
                        Digits(text, 5, 2),
                        Digits(text, 8, 2),
                        size > 10 ? Digits(text, 11, 2) : 0,
                        size > 10 ? Digits(text, 14, 2) : 0,
                        size > 16 ? Digits(text, 17, 2) : 0};
  for (const int field : fields)
    if (field < 0) return false;
  std::tm local = {};
  local.tm_year = fields[0] - 1900;
  local.tm_mon = fields[1] - 1;
  local.tm_mday = fields[2];
  local.tm_hour = fields[3];
  local.tm_min = fields[4];
  local.tm_sec = fields[5];
  local.tm_isdst = -1;
  local.tm_wday = -1;  // set by a successful mktime only
  const std::time_t when = std::mktime(&local);
  // A date mktime had to normalise (February 30, 24:00, an hour the clock
  // skips) is none.
  if (local.tm_wday < 0 || local.tm_year != fields[0] - 1900 ||
      local.tm_mon != fields[1] - 1 || local.tm_mday != fields[2] ||
      local.tm_hour != fields[3] || local.tm_min != fields[4] ||
      local.tm_sec != fields[5])
    return false;
  *seconds = static_cast<std::int64_t>(when);
  return true;
}

bool ParseSize(const std::string& text, std::uint64_t* bytes) {
  const std::string units = "KMG";
  const std::size_t unit =
      text.empty() ? std::string::npos : units.find(text.back());
  const int shift =
      unit == std::string::npos ? 0 : 10 * (static_cast<int>(unit) + 1);
  std::uint64_t number = 0;
  if (!ParseNumber(shift == 0 ? text : text.substr(0, text.size() - 1),
                   UINT64_MAX >> shift, &number))
    return false;
  *bytes = number << shift;
  return true;
}

namespace {

// Reads the value of a SELECTION option.
UsageError ParseSelection(const std::string& option, const std::string& value,
                          std::int64_t now, Options* options) {
  nq_tolvane::Selection& selection = options->selection;
  options->selecting = true;
  if (option == "--cursor-file") {
    if (options->cursor) return Usage(option + " given twice");
    options->cursor = value;
  } else if (option == "--max-size") {
    std::uint64_t bytes = 0;
    if (selection.maxBytes) return Usage(option + " given twice");
    if (!ParseSize(value, &bytes))
      return Usage(option + ": cannot read the size \"" + Escaped(value) +
                   "\"");
    selection.maxBytes = bytes;
    options->maxSize = value;
  } else {
    const bool since = option == "--since";
    std::int64_t seconds = 0;
    if (since ? selection.since.has_value() : selection.until.has_value())
      return Usage(option + " given twice");
    if (!ParseTime(value, now, &seconds))
      return Usage(option + ": cannot read the time \"" + Escaped(value) +
                   "\"");
    (since ? selection.since : selection.until) = seconds;
    (since ? options->since : options->until) = value;
  }
  return {};
}

// Reads the FORMAT of --output.
UsageError ParseFormat(const std::string& option, const std::string& value,
                       Options* options) {
  if (!options->format.empty()) return Usage("--output given twice");
  nq_tolvane::OutputFormat& format = options->selection.format;
  if (value == "pieces")
    format = nq_tolvane::OutputFormat::kPieces;
  else if (value == "cat")
    format = nq_tolvane::OutputFormat::kCat;
  else if (value == "json")
    format = nq_tolvane::OutputFormat::kJson;
  else
    return Usage(option + ": unknown format \"" + Escaped(value) +
                 "\" (pieces, cat or json)");
  options->format = value;
  return {};
}

// An option: "--" and a word, or -o.
bool IsOption(const std::string& word) {
  return word.compare(0, 2, "--") == 0 || word == "-o";
}

// Reads the option `args[*arg]` and its value, if it takes one.
UsageError ParseOption(const std::vector<std::string>& args, std::size_t* arg,
                       std::int64_t now, Options* options) {
  const std::string& option = args[(*arg)++];
  if (option == "--debug" || option == "--list") {
    // One of them, once.
    bool& given = option == "--debug" ? options->debug : options->list;
    if (given) return Usage(option + " given twice");
    if (options->debug || options->list)
      return Usage("--debug and --list exclude each other");
    given = true;
    return {};
  }
  // main() takes them as the first word only.
  if (option == "--help" || option == "--version")
    return Usage(option + " must be the first word");
  const bool output = option == "--output" || option == "-o";
  const char* what = option == "--since" || option == "--until" ? "TIME"
                     : option == "--max-size"                   ? "SIZE"
                     : option == "--cursor-file"                ? "FILE"
                     : option == "--to-command"                 ? "COMMAND"
                     : output                                   ? "FORMAT"
                                                                : nullptr;
  if (what == nullptr) return Usage("unknown option " + Escaped(option));
  if (*arg == args.size()) return Usage(option + " needs a " + what);
  const std::string& value = args[(*arg)++];
  if (output) return ParseFormat(option, value, options);
  if (option != "--to-command")
    return ParseSelection(option, value, now, options);
  if (options->toCommand) return Usage(option + " given twice");
  if (value.empty()) return Usage(option + ": the COMMAND is empty");
  options->toCommand = value;
  return {};
}

// Reads TYPE and OUTPUT, the words from `args[arg]` on.
UsageError ParseWords(const std::vector<std::string>& args, std::size_t arg,
                      Options* options) {
  // An option after TYPE would otherwise be taken for OUTPUT or an extra
  // word, and the message would miss what went wrong.
  for (std::size_t word = arg; word < args.size(); ++word)
    if (IsOption(args[word]))
      return Usage("options come before TYPE: " + Escaped(args[word]));
  const std::size_t left = args.size() - arg;
  if (left == 0) return Usage("TYPE is missing");
  if (!ParseType(args[arg], &options->type))
    return Usage("unknown log type \"" + Escaped(args[arg]) + "\"");
  options->typeText = args[arg];
  const std::size_t words = options->list || options->toCommand ? 1 : 2;
  if (options->toCommand && left == 2)
    return Usage("--to-command takes the place of OUTPUT");
  if (left < words) return Usage("OUTPUT is missing");
  if (left > words)
    return Usage("unexpected argument \"" + Escaped(args[arg + words]) + "\"");
  if (words == 2) {
    if (args[arg + 1].empty()) return Usage("OUTPUT is empty");
    options->output = args[arg + 1];
  }
  return {};
}

}  // namespace

UsageError ParseOptions(const std::vector<std::string>& args, std::int64_t now,
                        Options* options) {
  std::size_t arg = 0;
  while (arg < args.size() && IsOption(args[arg])) {
    const UsageError error = ParseOption(args, &arg, now, options);
    if (error.status != 0) return error;
  }
  if (options->list && options->toCommand)
    return Usage("--list and --to-command exclude each other");
  if (options->list && !options->format.empty())
    return Usage("--list and --output exclude each other");
  const UsageError error = ParseWords(args, arg, options);
  if (error.status != 0) return error;
  const nq_tolvane::Selection& selection = options->selection;
  if (selection.since && selection.until && *selection.until < *selection.since)
    return Usage("the window ends before it starts: --until " +
                 Escaped(options->until) + " is before --since " +
                 Escaped(options->since));
  return {};
}

std::string MissingCursorDirectory(const Options& options) {
  if (!options.cursor) return "";
  const std::string dir = Split(*options.cursor).first;
  struct stat info = {};
  if (stat(dir.c_str(), &info) == 0 || errno != ENOENT) return "";
  return "the directory " + Escaped(dir) + " of the cursor file " +
         Escaped(*options.cursor) + " does not exist";
}

UsageError CheckCursorIsNotOutput(const Options& options, int standardOutput) {
  if (!options.cursor || options.output.empty()) return {};
  const std::string& cursor = *options.cursor;
  struct stat output = {}, file = {};
  bool same = false;
  if (options.output == "-") {
    same = fstat(standardOutput, &output) == 0 &&
           stat(cursor.c_str(), &file) == 0 && SameFile(output, file);
  } else if (stat(options.output.c_str(), &output) == 0 &&
             stat(cursor.c_str(), &file) == 0) {
    same = SameFile(output, file);
  } else {
    // One of them does not exist (yet): the same only by the same name.
    const auto [outputDir, outputName] = Split(options.output);
    const auto [cursorDir, cursorName] = Split(cursor);
    same = outputName == cursorName && stat(outputDir.c_str(), &output) == 0 &&
           stat(cursorDir.c_str(), &file) == 0 && SameFile(output, file);
  }
  if (!same) return {};
  return Usage("the cursor file " + Escaped(cursor) + " is also the output");
}

}  // namespace tolvane_getlog
