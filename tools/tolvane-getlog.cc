// tolvane-getlog: writes the complete history of one device log into a file,
// or lists what that history is made of.

#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nq_tolvane.h"
#include "tolvane_report.h"

namespace {

const char kUsage[] =
    "usage: tolvane-getlog [--debug] TYPE OUTPUT\n"
    "       tolvane-getlog --list TYPE\n"
    "Writes every archive of log TYPE, oldest first, and then its active log\n"
    "into the file OUTPUT ('-' for standard output). --list shows what that\n"
    "would write and what is missing, and runs nothing.\n"
    "  TYPE     audit, brev, snmpd or misc, or a type number\n"
    "  --debug  show diagnostics and device-log messages on stderr\n"
    "Exit status: 0 complete, 1 incomplete or failed (--list: expected to\n"
    "be), 2 usage, 128+N stopped by signal N.\n";

const int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// The request this program runs; a stop signal asks it to stop.
nq_tolvane::Stop stop;

void OnStopSignal(int signal) { stop.Request(signal); }

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
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

// Prints the plan of log `type` on stdout, one tab-separated line per piece
// under a line naming the fields; every other line starts with '#'. Returns
// the exit status: 0 when nothing is expected to be left out.
int List(nq_tolvane::LogType type) {
  nq_tolvane::Plan plan;
  if (!nq_tolvane::PlanEntireLog(type, &plan)) {
    std::fputs("tolvane-getlog: unknown log type.\n", stderr);
    return 1;
  }
  std::printf(
      "# source\tkind\tsequence\tbytes\treadable\tscratch\treachable\n");
  for (const nq_tolvane::PlannedPiece& piece : plan.pieces) {
    const std::string scratch =
        piece.scratchSizeKnown ? std::to_string(piece.scratchSize) : "?";
    std::printf(
        "%s\t%s\t%05u\t%llu\t%s\t%s\t%s\n", Escaped(piece.sourcePath).c_str(),
        piece.kind == nq_tolvane::PieceKind::kArchive ? "archive" : "active",
        unsigned{piece.sequence},
        static_cast<unsigned long long>(piece.sizeOnDisk),
        piece.readable ? "yes" : "no", scratch.c_str(),
        piece.reachable ? "yes" : "no");
  }
  if (plan.pieces.empty()) std::puts("# nothing found");
  for (const nq_tolvane::GenerationRun& run : plan.lost)
    std::printf("# missing: %s\n", nq_tolvane::GenerationsText(run).c_str());
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
  int arg = 1;
  bool debug = false;
  bool list = false;
  if (arg < argc && std::strcmp(argv[arg], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (arg < argc && std::strcmp(argv[arg], "--version") == 0) {
    std::puts("tolvane-getlog " TOLVANE_VERSION);
    return 0;
  }
  if (arg < argc && std::strcmp(argv[arg], "--debug") == 0) {
    debug = true;
    ++arg;
  } else if (arg < argc && std::strcmp(argv[arg], "--list") == 0) {
    list = true;
    ++arg;
  }
  nq_tolvane::LogType type;
  if (argc - arg != (list ? 1 : 2) || !ParseType(argv[arg], &type) ||
      (!list && argv[arg + 1][0] == '\0'))
    return Usage();
  if (list) return List(type);
  const std::string output =
      std::strcmp(argv[arg + 1], "-") == 0 ? "/dev/stdout" : argv[arg + 1];

  // The commands' status must reach the library, also when this program was
  // started with SIGCHLD ignored.
  signal(SIGCHLD, SIG_DFL);
  CatchStopSignals();

  nq_tolvane::Report report;
  bool selected = true;
  if (debug) {
    // Selected here so that the switch, which belongs to the selected type,
    // is on for the whole request.
    setenv("BREV_STDERR", "7", 1);
    selected = nq_tolvane::StartDebugging(type);
  }
  if (selected) nq_tolvane::AssembleEntireLog(type, output, &report, &stop);

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
        Escaped(argv[arg]).c_str(), Escaped(argv[arg + 1]).c_str());
    return 1;
  }
  return 0;
}
