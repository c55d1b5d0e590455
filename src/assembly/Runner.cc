#include "Command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace nq_tolvane {

// The command a Stop may end: publishes its process group to the Stop for
// as long as the command has not been collected.
class RunningCommand final {
 public:
  RunningCommand(Stop* stop, pid_t group) : stop_(stop), group_(group) {
    if (stop_ == nullptr) return;
    stop_->command_.store(group_);
    // A stop asked for just before the group was published has not seen it.
    if (stop_->signal_.load() != 0) kill(-group_, SIGTERM);
  }
  ~RunningCommand() {
    if (stop_ != nullptr) stop_->command_.store(0);
  }
  RunningCommand(const RunningCommand&) = delete;
  RunningCommand& operator=(const RunningCommand&) = delete;

  bool Stopped() const { return stop_ != nullptr && stop_->signal_.load(); }

 private:
  Stop* const stop_;
  const pid_t group_;
};

void Stop::Request(int signal) noexcept {
  int expected = 0;
  signal_.compare_exchange_strong(expected, signal > 0 ? signal : SIGTERM);
  const int group = command_.load();
  if (group > 0) kill(-group, SIGTERM);
}

namespace {

// After a stop: gives what is left of the command's process group (sudo and
// the decompression it waits for) a moment to end, then kills it.
// Where nothing collects orphans, their remains keep the group alive: the
// wait is bounded.
void EndGroup(pid_t group) {
  for (int waited = 0; waited < 300; waited += 10) {
    if (kill(-group, 0) != 0 && errno == ESRCH) return;
    if (waited == 150) kill(-group, SIGKILL);
    usleep(10 * 1000);
  }
}

// Default dispositions and an empty mask in the command, as for a program
// started from a shell: the caller's own (ignored SIGTERM, blocked SIGINT)
// would keep the command from being stopped.
bool SetUpAttributes(posix_spawnattr_t* attributes) {
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD})
    sigaddset(&defaults, signal);
  sigset_t none;
  sigemptyset(&none);
  return posix_spawnattr_setflags(attributes,
                                  POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                      POSIX_SPAWN_SETSIGMASK) == 0 &&
         posix_spawnattr_setsigdefault(attributes, &defaults) == 0 &&
         posix_spawnattr_setsigmask(attributes, &none) == 0;
}

}  // namespace

int CommandResult::StopSignal() const {
  if (status == -1 || !WIFSIGNALED(status)) return 0;
  return WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT
             ? WTERMSIG(status)
             : 0;
}

bool CommandResult::ExitedWith(int code) const {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

CommandResult RunCommand(const std::string& command, int passFd, Stop* stop) {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  if (posix_spawnattr_init(&attributes) != 0) return {-1, ENOMEM};
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attributes);
    return {-1, ENOMEM};
  }
  int error = SetUpAttributes(&attributes) ? 0 : EINVAL;
  if (error == 0)
    error =
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  // A descriptor duplicated onto itself loses close-on-exec in the command.
  if (error == 0 && passFd >= 0)
    error = posix_spawn_file_actions_adddup2(&actions, passFd, passFd);
  pid_t child = -1;
  if (error == 0) {
    char shell[] = "sh";
    char dashC[] = "-c";
    char* argv[] = {shell, dashC, const_cast<char*>(command.c_str()), nullptr};
    error =
        posix_spawn(&child, "/bin/sh", &actions, &attributes, argv, environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) return {-1, error};

  bool stopped = false;
  {
    RunningCommand running(stop, child);
    siginfo_t info;
    // Waited for without collecting it, so that its number, which is also
    // its process group's, cannot pass to another process while a Stop
    // may still signal it.
    while (waitid(P_PID, child, &info, WEXITED | WNOWAIT) != 0) {
      if (errno != EINTR) return {-1, errno};
    }
    stopped = running.Stopped();
  }
  int status = 0;
  while (waitpid(child, &status, 0) != child) {
    if (errno != EINTR) return {-1, errno};
  }
  // The group's number stays taken while a member lives.
  if (stopped) EndGroup(child);
  return {status, 0};
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
