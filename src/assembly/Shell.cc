#include "Shell.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace nq_tolvane {
namespace {

bool IsPlain(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
      (c >= '0' && c <= '9'))
    return true;
  return c != '\0' && std::strchr("@%+=:,./_-", c) != nullptr;
}

std::string SingleQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

}  // namespace

std::string ShellWord(const std::string& path) {
  bool plain = !path.empty();
  for (char c : path) plain = plain && IsPlain(c);
  return plain ? path : SingleQuoted(path);
}

std::string EchoWord(const std::string& text) {
  bool plain = true;
  for (char c : text) plain = plain && (IsPlain(c) || c == ' ' || c == '\n');
  if (plain) return "\"" + text + "\"";

  std::string escaped;
  for (char c : text) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return SingleQuoted(escaped);
}

CommandResult RunCommand(const std::string& command) {
  const int status = std::system(command.c_str());
  return {status, errno};
}

int CommandResult::StopSignal() const {
  if (status == -1 || !WIFSIGNALED(status)) return 0;
  return WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT
             ? WTERMSIG(status)
             : 0;
}

std::string ErrorText(int error) {
  std::string text = std::strerror(error);
  if (error == ECHILD)
    text += " (the caller ignores SIGCHLD or reaps the commands)";
  return text;
}

int PendingStopSignal() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return 0;
  for (int signal : {SIGINT, SIGQUIT, SIGTERM})
    if (sigismember(&pending, signal) == 1) return signal;
  return 0;
}

}  // namespace nq_tolvane
