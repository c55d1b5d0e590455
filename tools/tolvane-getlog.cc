// tolvane-getlog: writes the complete history of one device log, or a part
// of it, into a file or a command's standard input, or lists what that
// history is made of. Usage, dispatch, signals and exit codes; the command
// line is read by Options, what it tells made by Rendering, and
// --to-command's COMMAND run by Delivery.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "Delivery.h"
#include "Options.h"
#include "Rendering.h"
#include "nq_tolvane.h"
#include "tolvane_report.h"

namespace {

using tolvane_getlog::Escaped;

const int kStopSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// The request this program runs and the COMMAND it delivers to, if any; a
// stop signal asks both to stop.
nq_tolvane::Stop stop;
tolvane_getlog::Delivery delivery(stop);

void OnStopSignal(int signal) {
  stop.Request(signal);
  delivery.AskToEnd();
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

// Prints `lines` on `stream`; false when they could not all be written.
bool Print(std::FILE* stream, const std::vector<std::string>& lines) {
  for (const std::string& line : lines)
    if (std::fputs(line.c_str(), stream) == EOF ||
        std::fputc('\n', stream) == EOF)
      return false;
  return std::fflush(stream) == 0;
}

// The problem in one line and where the usage is, not the usage itself,
// which would bury it.
int UsageError(const tolvane_getlog::UsageError& error) {
  std::fprintf(stderr,
               "tolvane-getlog: %s\n"
               "Try 'tolvane-getlog --help' for more information.\n",
               error.problem.c_str());
  return error.status;
}

// How COMMAND ended, from its wait status, or -1 when that is not known.
std::string Ended(int waitStatus) {
  if (waitStatus == -1) return "ended with no status known";
  if (WIFSIGNALED(waitStatus))
    return "was ended by signal " + std::to_string(WTERMSIG(waitStatus));
  return "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
}

// Prints the plan of the request `options` asks for. Returns the exit
// status: 0 when nothing is expected to be left out.
int List(const tolvane_getlog::Options& options) {
  // Each piece is printed as the plan finds it, not kept: a history of
  // 65,536 archives is listed in little memory.
  bool printed = Print(stdout, {tolvane_getlog::ListHeader(options)});
  nq_tolvane::Plan plan;
  const bool planned = nq_tolvane::PlanLog(
      options.type, options.selection, &plan,
      [&](const nq_tolvane::PlannedPiece& piece) {
        const std::string line = tolvane_getlog::PieceLine(options, piece);
        printed = printed && std::fputs(line.c_str(), stdout) != EOF &&
                  std::fputc('\n', stdout) != EOF;
      });
  if (!planned) {
    std::fputs("tolvane-getlog: unknown log type.\n", stderr);
    return 1;
  }
  if (!printed || !Print(stdout, tolvane_getlog::ListFooter(options, plan))) {
    std::fprintf(stderr, "tolvane-getlog: cannot write the list: %s\n",
                 std::strerror(errno));
    return 1;
  }
  return plan.expectedComplete ? 0 : 1;
}

// Reads the position in the cursor file, if any, into the selection. A
// cursor file that holds no position of the type stops everything: a guess
// could skip or repeat part of the history. None there is the start; none
// for want of its directory is a mistake, which storing the position would
// find only after the whole request. Returns 0, or the exit status.
int LoadCursor(tolvane_getlog::Options* options) {
  if (!options->cursor) return 0;
  const std::string missing = tolvane_getlog::MissingCursorDirectory(*options);
  if (!missing.empty()) {
    std::fprintf(stderr, "tolvane-getlog: %s\n", missing.c_str());
    return 2;
  }
  std::string why;
  if (!nq_tolvane::LoadPosition(options->type, *options->cursor,
                                &options->selection.after, &why)) {
    std::fprintf(stderr, "tolvane-getlog: %s: %s\n",
                 Escaped(*options->cursor).c_str(), Escaped(why).c_str());
    return 2;
  }
  // With a cursor file the position is stored: a cursor request.
  options->selection.cursor = true;
  return 0;
}

// The report as it is told: a failed write into COMMAND's pipe or standard
// output named by what the operator gave, not by a path of this process.
nq_tolvane::Report Shown(const tolvane_getlog::Options& options,
                         const nq_tolvane::Report& report, int command) {
  nq_tolvane::Report shown = report;
  if (report.outputError == 0) return shown;
  if (options.toCommand)
    shown.failure =
        *options.toCommand + " stopped reading its input; it " + Ended(command);
  else if (options.output == "-")
    shown.failure = "cannot write standard output: " +
                    std::string(std::strerror(report.outputError));
  return shown;
}

// Runs the request, and COMMAND if one is given, and tells what they did.
// Returns the exit status.
int Run(const tolvane_getlog::Options& options) {
  // The commands' status must reach the library and this program, also when
  // it was started with SIGCHLD ignored. A write into a pipe whose reader is
  // gone (COMMAND, or the reader of standard output) fails the library's
  // write, which its report tells, instead of ending this program: the
  // library cannot change the process's dispositions, this program can.
  signal(SIGCHLD, SIG_DFL);
  signal(SIGPIPE, SIG_IGN);
  CatchStopSignals();
  std::string output = options.output == "-" ? "/dev/stdout" : options.output;
  if (options.toCommand) {
    int problem = 0;
    if (!delivery.Start(*options.toCommand, &problem)) {
      std::fprintf(stderr, "tolvane-getlog: cannot run %s: %s\n",
                   Escaped(*options.toCommand).c_str(), std::strerror(problem));
      return 1;
    }
    output = delivery.OutputPath();
  }
  nq_tolvane::Report report;
  // Selected first, so that the switch, which belongs to the selected type,
  // is on for the whole request.
  if (options.debug) setenv("BREV_STDERR", "7", 1);
  if (!options.debug || nq_tolvane::StartDebugging(options.type))
    nq_tolvane::AssembleLog(options.type, output, options.selection, &report,
                            &stop);
  const int command = options.toCommand ? delivery.Finish() : 0;
  const bool delivered =
      command != -1 && WIFEXITED(command) && WEXITSTATUS(command) == 0;
  const bool stoppedReading = options.toCommand && report.outputError != 0;
  Print(stderr,
        tolvane_getlog::ReportLines(options, Shown(options, report, command)));
  // A signal that came after the request ended still ends the program so.
  if (const int signal = stop.Requested()) {
    Print(stderr, {tolvane_getlog::StoppedLine(signal)});
    return 128 + signal;
  }
  if (!delivered && !stoppedReading) {
    Print(stderr, {tolvane_getlog::CommandFailedLine(options, command)});
    return 1;
  }
  if (!report.complete || stoppedReading) {
    Print(stderr, {tolvane_getlog::IncompleteLine(options)});
    return 1;
  }
  // Only a complete run whose part reached its destination moves the
  // cursor; when it cannot, the next run repeats that part.
  std::string why;
  if (options.cursor && !report.position.empty() &&
      !nq_tolvane::StorePosition(*options.cursor, report.position, &why)) {
    std::fprintf(stderr,
                 "tolvane-getlog: cannot store the position in %s: %s\n",
                 Escaped(*options.cursor).c_str(), Escaped(why).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(tolvane_getlog::kUsage, stdout);
    return 0;
  }
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::puts("tolvane-getlog " TOLVANE_VERSION);
    return 0;
  }
  tolvane_getlog::Options options;
  const std::vector<std::string> args(argv + 1, argv + argc);
  tolvane_getlog::UsageError error =
      tolvane_getlog::ParseOptions(args, std::time(nullptr), &options);
  if (error.status == 0)
    error = tolvane_getlog::CheckCursorIsNotOutput(options, STDOUT_FILENO);
  if (error.status != 0) return UsageError(error);
  if (const int status = LoadCursor(&options)) return status;
  return options.list ? List(options) : Run(options);
}
