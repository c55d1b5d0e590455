// The library's shell commands: quoting of text placed in them, running
// them, and what their status means. Everything a command gets from the file
// system goes through the quoting here, so that no file name can change what
// a command does.

#ifndef TOLVANE_SRC_ASSEMBLY_SHELL_H_
#define TOLVANE_SRC_ASSEMBLY_SHELL_H_

#include <string>

namespace nq_tolvane {

// `path` as one shell word: unchanged when it is not empty and holds only
// [A-Za-z0-9@%+=:,./_-]; otherwise in single quotes, each ' written as '\''.
std::string ShellWord(const std::string& path);

// The argument for "/bin/echo -e" that prints `text` exactly: in double
// quotes when it holds nothing but the characters above, blanks and line
// feeds; otherwise in single quotes with every backslash doubled, so that
// echo sees no escape sequence that `text` did not mean.
std::string EchoWord(const std::string& text);

// How one command ended.
struct CommandResult {
  int status;  // as system() returned it
  int error;   // errno right after system(); meaningful when status is -1

  bool ok() const { return status == 0; }
  // SIGINT or SIGQUIT when the command ended by one of them: the user asked
  // to stop, and the request stops with it, as system(3) asks of its
  // callers. 0 otherwise.
  int StopSignal() const;
};

// Runs `command` with system() and takes errno at once.
CommandResult RunCommand(const std::string& command);

// The text for `error`, with the reason where it is not obvious: system()
// fails with ECHILD when the caller ignores SIGCHLD or reaps the command.
std::string ErrorText(int error);

// SIGINT, SIGQUIT or SIGTERM when the calling thread has it blocked and
// pending: its program has been asked to end, so the request runs no
// further command. 0 otherwise.
int PendingStopSignal();

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_ASSEMBLY_SHELL_H_
