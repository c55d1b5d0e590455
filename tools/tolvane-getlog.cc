// tolvane-getlog: writes the complete history of one device log into a file.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"

namespace {

const char kUsage[] =
    "usage: tolvane-getlog [--debug] TYPE OUTPUT\n"
    "Writes every archive of log TYPE, oldest first, and then its active log\n"
    "into the file OUTPUT.\n"
    "  TYPE     audit, brev, snmpd or misc, or a type number\n"
    "  --debug  show diagnostics and device-log messages on stderr\n"
    "Exit status: 0 written completely, 1 not written completely, 2 usage.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool ParseType(const char* text, nq_tolvane::LogType* type) {
  static const char* const kNames[] = {"audit", "brev", "snmpd", "misc"};
  for (int i = 0; i < 4; ++i) {
    if (std::strcmp(text, kNames[i]) == 0) {
      *type = static_cast<nq_tolvane::LogType>(i + 1);
      return true;
    }
  }
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < INT32_MIN ||
      value > INT32_MAX)
    return false;
  *type = static_cast<nq_tolvane::LogType>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  bool debug = false;
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
  }
  nq_tolvane::LogType type;
  if (argc - arg != 2 || !ParseType(argv[arg], &type) ||
      argv[arg + 1][0] == '\0')
    return Usage();
  const std::string output = argv[arg + 1];

  bool selected = true;
  if (debug) {
    // Selected here so that the switch, which belongs to the selected type,
    // is on for the whole request.
    setenv("BREV_STDERR", "7", 1);
    std::string name;
    selected = nq_tolvane::nq_tolvane_internals::Initialize(type, name);
    nq_tolvane::SetDebugging(true);
  }
  if (!selected || !nq_tolvane::GetEntireLog(type, output)) {
    std::fprintf(
        stderr,
        "tolvane-getlog: log %s could not be assembled completely into %s\n",
        argv[arg], output.c_str());
    return 1;
  }
  return 0;
}
