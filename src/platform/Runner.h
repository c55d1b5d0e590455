// Running a request's shell commands: the one owner of the request's stop.

#ifndef TOLVANE_SRC_PLATFORM_RUNNER_H_
#define TOLVANE_SRC_PLATFORM_RUNNER_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "tolvane_report.h"

namespace nq_tolvane {

// How one command ended.
struct CommandResult {
  int status = -1;       // a wait status as system() returns it, or -1
  int error = 0;         // when status is -1: why the command was not run
  bool stopped = false;  // the request was stopped before or while it ran:
                         // its status tells nothing of the command's work

  bool ok() const { return status == 0 && !stopped; }
  // True when the command exited with `code`.
  bool ExitedWith(int code) const;
};

// Runs every command of one request and owns its stop: once stopped, no
// further command runs, and every result of a command the stop cut short
// says so, so that no failure it caused is taken for a fault of a piece.
//
// The request is stopped by Stop::Request() on `stop` (may be null), by
// SIGINT, SIGQUIT or SIGTERM blocked and pending in the calling thread (its
// program has been asked to end), or by a command that SIGINT or SIGQUIT
// ended (somebody asked to stop).
//
// Each command runs as "/bin/sh -c command", as system() runs it, without
// touching any signal disposition of the calling process: in a session of
// its own, away from the caller's terminal, with standard input from
// /dev/null, default dispositions and no signal blocked. A stop sends its
// process group SIGTERM (through sudo, the decompression too; the command
// alone while it has not made its session yet) and, what is left a moment
// later, SIGKILL. When the caller ignores SIGCHLD or reaps the
// command itself, its status cannot be had: -1 with ECHILD.
// Not copyable: a Stop holds the process group of its running command.
class Runner final {
 public:
  explicit Runner(Stop* stop) : stop_(stop) {}
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  // Runs `command` unless the request is stopped. `passFd`, when not -1,
  // stays open in the command under its number (every descriptor the
  // library opens is close-on-exec); `inputFd`, when not -1, is its
  // standard input, read from the descriptor's offset.
  CommandResult Run(const std::string& command, int passFd = -1,
                    int inputFd = -1);

  // Starts the program `argv[0]`, looked up in PATH, with `argv`, without a
  // shell, unless the request is stopped: its standard output `outputFd`
  // (/dev/null for -1), its standard error /dev/null. Returns its process
  // id, or -1 with `*error` set (0 when stopped). REQUIRES: Finish() before
  // the next command.
  pid_t Start(const std::vector<std::string>& argv, int outputFd, int* error);
  // Waits for the command Start() started, which a stop ends; its result.
  CommandResult Finish(pid_t child);

  // The signal that stopped the request, or 0. Once stopped, it stays so.
  int Stopped();

 private:
  Stop* const stop_;
  int stopped_ = 0;
};

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_PLATFORM_RUNNER_H_
