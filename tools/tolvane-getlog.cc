// tolvane-getlog: writes the complete history of one device log into a file.

#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"

namespace {

const char kUsage[] =
    "usage: tolvane-getlog [--debug] TYPE OUTPUT\n"
    "Writes every archive of log TYPE, oldest first, and then its active log\n"
    "into the file OUTPUT ('-' for standard output).\n"
    "  TYPE     audit, brev, snmpd or misc, or a type number\n"
    "  --debug  show diagnostics and device-log messages on stderr\n"
    "Exit status: 0 complete, 1 incomplete or failed, 2 usage,\n"
    "128+N ended by signal N.\n";

// The library's messages that say why a history is incomplete: the device
// log keeps them, and the person at the shell sees them too.
const char* const kShownFormats[] = {
    "%s: %s left out: %s.",
    "%s: refusing to write %s: %s.",
    "%s: cannot write %s: %s.",
    "%s: cannot make a scratch directory in %s: %s.",
};

// The signal that asked this program to stop, or 0.
std::atomic<int> stopSignal{0};

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

// Sends SIGINT to every process descended from this one, that is to the
// command the library is running: a signal sent to this program alone does
// not reach it, and the library stops once its command ends by SIGINT.
void InterruptCommands() {
  std::map<pid_t, std::vector<pid_t>> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  while (const dirent* entry = readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (pid <= 0 || !std::getline(file, stat)) continue;
    // "pid (command) state ppid ...", where the command may hold ')'.
    const std::string::size_type close = stat.rfind(')');
    if (close != std::string::npos && close + 4 < stat.size())
      children[std::atoi(stat.c_str() + close + 4)].push_back(pid);
  }
  closedir(proc);
  std::vector<pid_t> todo = children[getpid()];
  while (!todo.empty()) {
    const pid_t pid = todo.back();
    todo.pop_back();
    kill(pid, SIGINT);
    todo.insert(todo.end(), children[pid].begin(), children[pid].end());
  }
}

// Posted by the signal handler, or when the request is done, to wake the
// thread that interrupts the running command.
sem_t stopPosted;
std::atomic<bool> requestDone{false};

// Asked to stop: notes the signal and leaves SIGTERM blocked and pending in
// this thread, which keeps the library from starting another command. The
// command that runs now, if any, is interrupted by InterruptUntilDone().
void OnStopSignal(int signal, siginfo_t*, void* context) {
  int expected = 0;
  stopSignal.compare_exchange_strong(expected, signal);
  sigaddset(&static_cast<ucontext_t*>(context)->uc_sigmask, SIGTERM);
  pthread_kill(pthread_self(), SIGTERM);
  sem_post(&stopPosted);
}

void InterruptUntilDone() {
  while (sem_wait(&stopPosted) != 0) {
  }
  for (; !requestDone; usleep(100 * 1000)) InterruptCommands();
}

}  // namespace

// The library reports through the device's debug log. This definition comes
// first in the search order: it passes every message on to the device log
// and also shows on stderr those that tell why a history is incomplete.
extern "C" void __brev_printf(int level, const char* sourceFile,
                              const char* format, ...) {
  using Printf = void (*)(int, const char*, const char*, ...);
  static const auto next =
      reinterpret_cast<Printf>(dlsym(RTLD_NEXT, "__brev_printf"));
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (next != nullptr) next(level, sourceFile, "%s", text);
  // A request that a signal stopped while a command ran names the signal.
  int signal = 0;
  if (std::sscanf(text, "GetEntireLog: %*s log stopped by signal %d",
                  &signal) == 1) {
    int expected = 0;
    stopSignal.compare_exchange_strong(expected, signal);
  }
  const char* const colon = std::strstr(text, ": ");
  for (const char* shown : kShownFormats)
    if (std::strcmp(format, shown) == 0 && colon != nullptr)
      std::fprintf(stderr, "tolvane-getlog: %s\n", colon + 2);
}

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
  const std::string output =
      std::strcmp(argv[arg + 1], "-") == 0 ? "/dev/stdout" : argv[arg + 1];

  // The commands' status must reach system(), also when this program was
  // started with SIGCHLD ignored.
  signal(SIGCHLD, SIG_DFL);
  // Ctrl-C, SIGTERM and the like stop the request cleanly instead of ending
  // the program halfway. The thread that interrupts commands blocks them, so
  // that the handler runs in this thread, the one that runs the request.
  sigset_t stops;
  sigemptyset(&stops);
  for (int stop : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&stops, stop);
  sem_init(&stopPosted, 0, 0);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::thread interrupter(InterruptUntilDone);
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
  struct sigaction action = {};
  action.sa_sigaction = OnStopSignal;
  action.sa_mask = stops;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  for (int stop : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
    sigaction(stop, &action, nullptr);

  bool selected = true;
  if (debug) {
    // Selected here so that the switch, which belongs to the selected type,
    // is on for the whole request.
    setenv("BREV_STDERR", "7", 1);
    std::string name;
    selected = nq_tolvane::nq_tolvane_internals::Initialize(type, name);
    nq_tolvane::SetDebugging(true);
  }
  const bool complete = selected && nq_tolvane::GetEntireLog(type, output);
  requestDone = true;
  sem_post(&stopPosted);
  interrupter.join();
  if (const int signal = stopSignal) {
    std::fprintf(stderr, "tolvane-getlog: stopped by signal %d\n", signal);
    return 128 + signal;
  }
  if (!complete) {
    std::fprintf(
        stderr,
        "tolvane-getlog: log %s could not be assembled completely into %s\n",
        argv[arg], argv[arg + 1]);
    return 1;
  }
  return 0;
}
