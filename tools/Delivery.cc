#include "Delivery.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Spawn.h"

namespace tolvane_getlog {

namespace {

// How long a stopped COMMAND's group may take to end before it is killed,
// and how often its end is looked for, in milliseconds.
constexpr int kGraceMs = 150;
constexpr int kPollMs = 10;

// True once `child` has ended; it stays to be collected.
bool Ended(pid_t child, bool wait) {
  siginfo_t info = {};
  const int options = WEXITED | WNOWAIT | (wait ? 0 : WNOHANG);
  while (waitid(P_PID, child, &info, options) != 0)
    if (errno != EINTR) return true;  // nothing to wait for
  return info.si_pid == child;
}

}  // namespace

Delivery::~Delivery() {
  if (writeFd_ >= 0) close(writeFd_);
}

bool Delivery::Start(const std::string& command, int* error) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    *error = errno;
    return false;
  }
  char shell[] = "sh";
  char dashC[] = "-c";
  char* argv[] = {shell, dashC, const_cast<char*>(command.c_str()), nullptr};
  // As a program started from a shell: this program's own dispositions
  // (SIGPIPE ignored, the stop signals caught) would keep COMMAND from being
  // stopped or from ending as a writer to a closed pipe.
  const pid_t child =
      nq_tolvane::Spawn("/bin/sh", argv, -1, ends[0], -1, error);
  close(ends[0]);
  if (child < 0) {
    close(ends[1]);
    return false;
  }
  writeFd_ = ends[1];
  child_.store(child);
  // A stop asked for before COMMAND was published has not reached it.
  if (stop_.Requested() != 0) AskToEnd();
  return true;
}

std::string Delivery::OutputPath() const {
  return "/proc/self/fd/" + std::to_string(writeFd_);
}

void Delivery::AskToEnd() const noexcept {
  const pid_t child = child_.load();
  if (child > 0 && kill(-child, SIGTERM) != 0) kill(child, SIGTERM);
}

int Delivery::Finish() {
  close(writeFd_);
  writeFd_ = -1;
  const pid_t child = child_.load();
  // Polled, not waited for, so that a stop that comes meanwhile is seen; and
  // not collected, so that its number, also its group's, stays taken while
  // AskToEnd() may signal it.
  int stoppedMs = -1;
  while (!Ended(child, false)) {
    if (stop_.Requested() != 0 && stoppedMs < 0) {
      AskToEnd();
      stoppedMs = 0;
    }
    if (stoppedMs >= kGraceMs) {
      kill(-child, SIGKILL);
      kill(child, SIGKILL);
      Ended(child, true);
      break;
    }
    usleep(kPollMs * 1000);
    if (stoppedMs >= 0) stoppedMs += kPollMs;
  }
  // After a stop, what is left of its group (a command it started in the
  // background) ends with it; uncollected, it still holds the group's number.
  if (stop_.Requested() != 0) kill(-child, SIGKILL);
  child_.store(0);
  int status = 0;
  while (waitpid(child, &status, 0) != child) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace tolvane_getlog
