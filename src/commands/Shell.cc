#include "commands/Shell.h"

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

}  // namespace nq_tolvane
