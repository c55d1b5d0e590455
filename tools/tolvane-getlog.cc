// tolvane-getlog: writes the complete history of one device log into a file,
// or lists what that history is made of.

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "nq_tolvane.h"
#include "tolvane_report.h"

namespace {

const char kUsage[] =
    "usage: tolvane-getlog [--debug] [SELECTION] TYPE OUTPUT\n"
    "       tolvane-getlog --list [SELECTION] TYPE\n"
    "Writes every archive of log TYPE, oldest first, and then its active log\n"
    "into the file OUTPUT ('-' for standard output). --list shows what that\n"
    "would write and what is missing, and runs nothing.\n"
    "  TYPE     audit, brev, snmpd or misc, or a type number\n"
    "  --debug  show diagnostics and device-log messages on stderr\n"
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
    "be; or the position not stored), 2 usage or a FILE that cannot be\n"
    "read or holds no position of TYPE, 128+N stopped by signal N.\n";

const int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// The request this program runs; a stop signal asks it to stop.
nq_tolvane::Stop stop;

void OnStopSignal(int signal) { stop.Request(signal); }

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// A usage error that one line explains, before the usage.
int Usage(const std::string& problem) {
  std::fprintf(stderr, "tolvane-getlog: %s\n", problem.c_str());
  return Usage();
}

// A type's name, or a number handed to the library as it is.
bool ParseType(const char* text, nq_tolvane::LogType* type) {
  *type = nq_tolvane::LogTypeNamed(text);
  if (*type != 0) return true;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < INT32_MIN ||
      value > INT32_MAX)
    return false;
  *type = static_cast<nq_tolvane::LogType>(value);
  return true;
}

// `text` with each control byte, DEL and backslash written as a visible
// escape (\n, \t, \\, \x01), so that a file name stays on one line and sends
// the terminal nothing it would act on. Bytes from 0x80 up (UTF-8) pass.
std::string Escaped(const std::string& text) {
  const auto plain = [](unsigned char c) {
    return c >= 0x20 && c != 0x7f && c != '\\';
  };
  if (std::all_of(text.begin(), text.end(), plain)) return text;
  std::string shown;
  for (const unsigned char c : text) {
    if (c == '\\') {
      shown += "\\\\";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

// The decimal number that is all of `text`, at most `max`: digits only,
// no sign, no blanks.
bool ParseNumber(const std::string& text, std::uint64_t max,
                 std::uint64_t* value) {
  if (text.empty()) return false;
  std::uint64_t number = 0;
  for (const char c : text) {
    const unsigned digit = static_cast<unsigned char>(c) - '0';
    if (digit > 9 || number > (max - digit) / 10) return false;
    number = number * 10 + digit;
  }
  *value = number;
  return true;
}

// The number the `count` digits of `text` from `at` make, or -1 when any
// of them is not a digit.
int Digits(const std::string& text, std::size_t at, std::size_t count) {
  std::uint64_t value = 0;
  return ParseNumber(text.substr(at, count), 9999, &value)
             ? static_cast<int>(value)
             : -1;
}

// A TIME of the command line in seconds since the epoch: @SECONDS,
// YYYY-MM-DD (local midnight), YYYY-MM-DD HH:MM[:SS] or with T for the
// blank (local time), or -N with s, m, h or d, that long before now.
bool ParseTime(const std::string& text, std::int64_t* seconds) {
  std::uint64_t number = 0;
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
    *seconds = static_cast<std::int64_t>(std::time(nullptr)) -
               static_cast<std::int64_t>(number) * scale;
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
  // A date mktime had to normalise (February 30, 24:00) is none.
  if (local.tm_wday < 0 || local.tm_year != fields[0] - 1900 ||
      local.tm_mon != fields[1] - 1 || local.tm_mday != fields[2] ||
      local.tm_hour != fields[3] || local.tm_min != fields[4] ||
      local.tm_sec != fields[5])
    return false;
  *seconds = static_cast<std::int64_t>(when);
  return true;
}

// A SIZE of the command line in bytes: a decimal number, or one followed
// by K, M or G for 1024, 1024^2 or 1024^3.
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

// What the command line asks for.
struct Options {
  bool debug = false;
  bool list = false;
  bool selecting = false;  // some SELECTION option was given
  nq_tolvane::Selection selection;
  const char* since = nullptr;  // as given
  const char* until = nullptr;
  const char* cursor = nullptr;  // the cursor file
  nq_tolvane::LogType type = static_cast<nq_tolvane::LogType>(0);
  const char* typeText = nullptr;
  const char* output = nullptr;
};

// Reads the command line into `options`: 0, or the exit status of a usage
// error, which it has reported.
int ParseOptions(int argc, char** argv, Options* options) {
  int arg = 1;
  while (arg < argc && std::strncmp(argv[arg], "--", 2) == 0) {
    const std::string option = argv[arg++];
    if (option == "--debug" || option == "--list") {
      // One of them, once.
      if (options->debug || options->list) return Usage();
      (option == "--debug" ? options->debug : options->list) = true;
      continue;
    }
    const char* what = option == "--since" || option == "--until" ? "TIME"
                       : option == "--max-size"                   ? "SIZE"
                       : option == "--cursor-file"                ? "FILE"
                                                                  : nullptr;
    if (what == nullptr) return Usage();
    if (arg == argc) return Usage(option + " needs a " + what);
    const char* value = argv[arg++];
    options->selecting = true;
    nq_tolvane::Selection& selection = options->selection;
    std::int64_t seconds = 0;
    if (option == "--cursor-file") {
      if (options->cursor != nullptr) return Usage(option + " given twice");
      options->cursor = value;
    } else if (option == "--max-size") {
      std::uint64_t bytes = 0;
      if (selection.maxBytes) return Usage(option + " given twice");
      if (!ParseSize(value, &bytes))
        return Usage(option + ": cannot read the size \"" + Escaped(value) +
                     "\"");
      selection.maxBytes = bytes;
    } else {
      const bool since = option == "--since";
      if (since ? selection.since.has_value() : selection.until.has_value())
        return Usage(option + " given twice");
      if (!ParseTime(value, &seconds))
        return Usage(option + ": cannot read the time \"" + Escaped(value) +
                     "\"");
      (since ? selection.since : selection.until) = seconds;
      (since ? options->since : options->until) = value;
    }
  }
  if (argc - arg != (options->list ? 1 : 2) ||
      !ParseType(argv[arg], &options->type) ||
      (!options->list && argv[arg + 1][0] == '\0'))
    return Usage();
  options->typeText = argv[arg];
  options->output = options->list ? nullptr : argv[arg + 1];
  const nq_tolvane::Selection& selection = options->selection;
  if (selection.since && selection.until && *selection.until < *selection.since)
    return Usage("the window ends before it starts: --until " +
                 Escaped(options->until) + " is before --since " +
                 Escaped(options->since));
  return 0;
}

// The words of the rule that drops a piece, as --list shows them.
const char* RuleText(nq_tolvane::Rule rule) {
  switch (rule) {
    case nq_tolvane::Rule::kNone:
      return "yes";
    case nq_tolvane::Rule::kPosition:
      return "position";
    case nq_tolvane::Rule::kSince:
      return "since";
    case nq_tolvane::Rule::kUntil:
      return "until";
    case nq_tolvane::Rule::kBudget:
      return "max-size";
  }
  return "?";
}

// `seconds` since the epoch in UTC, as YYYY-MM-DDTHH:MM:SSZ.
std::string UtcText(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc = {};
  char text[64] = "?";
  if (gmtime_r(&time, &utc) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// Prints the plan of log `type` on stdout, one tab-separated line per piece
// under a line naming the fields; every other line starts with '#'. With a
// selection each piece also tells when it ended and whether it is selected.
// Returns the exit status: 0 when nothing is expected to be left out.
int List(const Options& options) {
  nq_tolvane::Plan plan;
  if (!nq_tolvane::PlanLog(options.type, options.selection, &plan)) {
    std::fputs("tolvane-getlog: unknown log type.\n", stderr);
    return 1;
  }
  std::printf(
      "# source\tkind\tsequence\tbytes\treadable\tscratch\treachable%s\n",
      options.selecting ? "\tended\tselected" : "");
  for (const nq_tolvane::PlannedPiece& piece : plan.pieces) {
    const std::string scratch =
        piece.scratchSizeKnown ? std::to_string(piece.scratchSize) : "?";
    const std::string selected =
        options.selecting
            ? "\t" + UtcText(piece.endTime) + "\t" + RuleText(piece.droppedBy)
            : "";
    std::printf(
        "%s\t%s\t%05u\t%llu\t%s\t%s\t%s%s\n", Escaped(piece.sourcePath).c_str(),
        piece.kind == nq_tolvane::PieceKind::kArchive ? "archive" : "active",
        unsigned{piece.sequence},
        static_cast<unsigned long long>(piece.sizeOnDisk),
        piece.readable ? "yes" : "no", scratch.c_str(),
        piece.reachable ? "yes" : "no", selected.c_str());
  }
  if (plan.pieces.empty()) std::puts("# nothing found");
  for (const nq_tolvane::GenerationRun& run : plan.lost)
    std::printf("# missing: %s\n", nq_tolvane::GenerationsText(run).c_str());
  if (plan.positionMismatch)
    std::printf(
        "# position: the position in %s did not match its piece, which comes "
        "whole\n",
        Escaped(options.cursor).c_str());
  if (plan.positionGone)
    std::printf(
        "# position: the generation of the position in %s is gone; what lay "
        "between it and the oldest piece is lost\n",
        Escaped(options.cursor).c_str());
  if (plan.windowBeforeHistory)
    std::printf(
        "# since: --since %s reaches back past the oldest generation; the "
        "history may not cover its start\n",
        Escaped(options.since).c_str());
  if (plan.checkpointFound) {
    std::printf("# checkpoint: %s found, current %05u\n",
                Escaped(plan.checkpointPath).c_str(), unsigned{plan.current});
  } else {
    std::printf(
        "# checkpoint: %s missing; the order across the wrap is inferred "
        "from the newest archive\n",
        Escaped(plan.checkpointPath).c_str());
  }
  for (const std::string& dir : plan.unlisted)
    std::printf("# not listed: %s\n", Escaped(dir).c_str());
  // A lower bound at best: an archive's trailer gives only its last member.
  const std::uint64_t kMiB = 1024 * 1024;
  std::printf(
      "# scratch: needs at least %llu MiB in /var/tmp, %llu MiB free\n",
      static_cast<unsigned long long>((plan.scratchNeeded + kMiB - 1) / kMiB),
      static_cast<unsigned long long>(plan.scratchFree / kMiB));
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "tolvane-getlog: cannot write the list: %s\n",
                 std::strerror(errno));
    return 1;
  }
  return plan.expectedComplete ? 0 : 1;
}

// Lets a stop signal stop the request instead of ending the program halfway.
// A signal ignored on entry (nohup) stays ignored.
void CatchStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  for (int signal : kStopSignals) sigaddset(&stops, signal);
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  action.sa_mask = stops;
  action.sa_flags = SA_RESTART;
  for (int signal : kStopSignals) {
    struct sigaction old = {};
    sigaction(signal, nullptr, &old);
    if (old.sa_handler != SIG_IGN) sigaction(signal, &action, nullptr);
  }
  sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("tolvane-getlog " TOLVANE_VERSION);
    return 0;
  }
  Options options;
  if (const int status = ParseOptions(argc, argv, &options)) return status;
  const nq_tolvane::LogType type = options.type;
  // A cursor file that holds no position of the type stops everything: a
  // guess could skip or repeat part of the history. None there is the start.
  const bool cursor =
      options.cursor != nullptr && !nq_tolvane::LogTypeName(type).empty();
  std::string why;
  if (cursor && !nq_tolvane::LoadPosition(type, options.cursor,
                                          &options.selection.after, &why)) {
    std::fprintf(stderr, "tolvane-getlog: %s: %s\n",
                 Escaped(options.cursor).c_str(), Escaped(why).c_str());
    return 2;
  }
  if (options.list) return List(options);
  const std::string output =
      std::strcmp(options.output, "-") == 0 ? "/dev/stdout" : options.output;

  // The commands' status must reach the library, also when this program was
  // started with SIGCHLD ignored.
  signal(SIGCHLD, SIG_DFL);
  CatchStopSignals();

  nq_tolvane::Report report;
  bool selected = true;
  if (options.debug) {
    // Selected here so that the switch, which belongs to the selected type,
    // is on for the whole request.
    setenv("BREV_STDERR", "7", 1);
    selected = nq_tolvane::StartDebugging(type);
  }
  if (selected)
    nq_tolvane::AssembleLog(type, output, options.selection, &report, &stop);

  if (report.positionMismatch)
    std::fprintf(stderr,
                 "tolvane-getlog: warning: the position in %s did not match "
                 "its piece, which was written whole.\n",
                 Escaped(options.cursor).c_str());
  if (report.positionGone)
    std::fprintf(stderr,
                 "tolvane-getlog: warning: the generation of the position in "
                 "%s is gone; what lay between it and the oldest piece is "
                 "lost.\n",
                 Escaped(options.cursor).c_str());
  if (report.windowBeforeHistory)
    std::fprintf(stderr,
                 "tolvane-getlog: warning: --since %s reaches back past the "
                 "oldest generation; the history may not cover its start.\n",
                 Escaped(options.since).c_str());
  for (const nq_tolvane::GenerationRun& run : report.lost) {
    std::fprintf(stderr, "tolvane-getlog: warning: %s.\n",
                 nq_tolvane::MissingText(type, run).c_str());
  }
  for (const nq_tolvane::LeftOut& left : report.leftOut) {
    std::fprintf(stderr, "tolvane-getlog: %s left out: %s.\n",
                 Escaped(left.source).c_str(), Escaped(left.why).c_str());
  }
  if (!report.failure.empty())
    std::fprintf(stderr, "tolvane-getlog: %s.\n",
                 Escaped(report.failure).c_str());
  // A signal that came after the request ended still ends the program so.
  if (const int signal = stop.Requested()) {
    std::fprintf(stderr, "tolvane-getlog: stopped by signal %d\n", signal);
    return 128 + signal;
  }
  if (!report.complete) {
    std::fprintf(
        stderr,
        "tolvane-getlog: log %s could not be assembled completely into %s\n",
        Escaped(options.typeText).c_str(), Escaped(options.output).c_str());
    return 1;
  }
  // Only a complete run moves the cursor; the output stays when it cannot,
  // and the next run repeats that part.
  if (cursor && !report.position.empty() &&
      !nq_tolvane::StorePosition(options.cursor, report.position, &why)) {
    std::fprintf(stderr,
                 "tolvane-getlog: cannot store the position in %s: %s\n",
                 Escaped(options.cursor).c_str(), Escaped(why).c_str());
    return 1;
  }
  return 0;
}
