// Quoting of text placed in the library's shell commands. Everything a
// command gets from the file system goes through here, so that no file name
// can change what a command does.

#ifndef TOLVANE_SRC_COMMANDS_SHELL_H_
#define TOLVANE_SRC_COMMANDS_SHELL_H_

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

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_COMMANDS_SHELL_H_
