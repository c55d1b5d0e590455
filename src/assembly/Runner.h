// Running the library's shell commands, and what their status means.

#ifndef TOLVANE_SRC_ASSEMBLY_COMMAND_H_
#define TOLVANE_SRC_ASSEMBLY_COMMAND_H_

#include <string>

#include "tolvane_report.h"

namespace nq_tolvane {

// How one command ended.
struct CommandResult {
  int status;  // a wait status as system() returns it, or -1
  int error;   // when status is -1: why the command could not be run

  bool ok() const { return status == 0; }
  // SIGINT or SIGQUIT when the command ended by one of them: somebody asked
  // to stop, and the request stops with it. 0 otherwise.
  int StopSignal() const;
  // True when the command exited with `code`.
  bool ExitedWith(int code) const;
};

// Runs `command` as "/bin/sh -c command", as system() does, and waits for
// it; `passFd`, when not -1, stays open in the command under its number
// (every descriptor the library opens is close-on-exec). Unlike system(),
// it changes no signal disposition of the calling process: the command runs
// in a session of its own, away from the caller's terminal, with standard
// input from /dev/null, default dispositions and no signal blocked, and
// `stop` (may be null) can end it (see Stop::Request()). When the caller
// ignores SIGCHLD or reaps the command itself, the status cannot be had:
// -1 with ECHILD.
CommandResult RunCommand(const std::string& command, int passFd, Stop* stop);

// The text for `error`, with the reason where it is not obvious: ECHILD
// means that the caller ignores SIGCHLD or reaps the command.
std::string ErrorText(int error);

// SIGINT, SIGQUIT or SIGTERM when the calling thread has it blocked and
// pending: its program has been asked to end, so the request runs no
// further command. 0 otherwise.
int PendingStopSignal();

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_ASSEMBLY_COMMAND_H_
