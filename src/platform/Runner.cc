#include "platform/Runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Spawn.h"

namespace nq_tolvane {

namespace {

// Asks the command `child` and its process group to end. posix_spawn() may
// return before the command has made its session (it does under qemu-user,
// where the process group is missing right after it in every trial): the
// command itself then gets the signal, which waits until it has set its
// dispositions.
void AskToEnd(pid_t child) {
  if (kill(-child, SIGTERM) != 0) kill(child, SIGTERM);
}

}  // namespace

void Stop::Request(int signal) noexcept {
  int expected = 0;
  signal_.compare_exchange_strong(expected, signal > 0 ? signal : SIGTERM);
  const int group = command_.load();
  if (group > 0) AskToEnd(group);
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

// SIGINT, SIGQUIT or SIGTERM when the calling thread has it blocked and
// pending, else 0.
int PendingStopSignal() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return 0;
  for (int signal : {SIGINT, SIGQUIT, SIGTERM})
    if (sigismember(&pending, signal) == 1) return signal;
  return 0;
}

}  // namespace

bool CommandResult::ExitedWith(int code) const {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

int Runner::Stopped() {
  if (stopped_ == 0) stopped_ = PendingStopSignal();
  if (stopped_ == 0 && stop_ != nullptr) stopped_ = stop_->signal_.load();
  return stopped_;
}

CommandResult Runner::Run(const std::string& command, int passFd, int inputFd) {
  CommandResult result;
  if (Stopped() != 0) {
    result.stopped = true;
    return result;
  }
  char shell[] = "sh";
  char dashC[] = "-c";
  char* argv[] = {shell, dashC, const_cast<char*>(command.c_str()), nullptr};
  const pid_t child =
      Spawn("/bin/sh", argv, passFd, inputFd, -1, &result.error);
  if (child < 0) return result;
  return Finish(child);
}

pid_t Runner::Start(const std::vector<std::string>& argv, int outputFd,
                    int* error) {
  *error = 0;
  if (Stopped() != 0) return -1;
  std::vector<char*> words;
  for (const std::string& word : argv)
    words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  int null = -1;
  if (outputFd < 0) {
    null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) {
      *error = errno;
      return -1;
    }
  }
  const pid_t child = Spawn(nullptr, words.data(), -1, -1,
                            outputFd < 0 ? null : outputFd, error);
  if (null >= 0) close(null);
  return child;
}

CommandResult Runner::Finish(pid_t child) {
  CommandResult result;
  if (stop_ != nullptr) {
    stop_->command_.store(child);
    // A stop asked for just before the group was published has not seen it.
    if (stop_->signal_.load() != 0) AskToEnd(child);
  }
  // A stop its caller noticed (a pending signal) reaches it here.
  if (stopped_ != 0) AskToEnd(child);
  // Waited for without collecting it, so that its number, which is also its
  // process group's, cannot pass to another process while a Stop may still
  // signal it.
  siginfo_t info;
  int waited;
  while ((waited = waitid(P_PID, child, &info, WEXITED | WNOWAIT)) != 0 &&
         errno == EINTR) {
  }
  if (stop_ != nullptr) stop_->command_.store(0);
  const bool signalled =
      stopped_ != 0 || (stop_ != nullptr && stop_->signal_.load() != 0);
  if (waited != 0) {
    result.error = errno;
  } else {
    while (waitpid(child, &result.status, 0) != child) {
      if (errno == EINTR) continue;
      result.status = -1;
      result.error = errno;
      break;
    }
    // The group's number stays taken while a member lives.
    if (signalled) EndGroup(child);
  }
  // A command that SIGINT or SIGQUIT ended was asked to stop by somebody.
  if (stopped_ == 0 && result.status != -1 && WIFSIGNALED(result.status) &&
      (WTERMSIG(result.status) == SIGINT || WTERMSIG(result.status) == SIGQUIT))
    stopped_ = WTERMSIG(result.status);
  result.stopped = Stopped() != 0;
  return result;
}

}  // namespace nq_tolvane
