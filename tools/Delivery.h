// --to-command: the request's output goes to a command's standard input, so
// that the position is stored only once the command has taken it.

#ifndef TOLVANE_TOOLS_DELIVERY_H_
#define TOLVANE_TOOLS_DELIVERY_H_

#include <sys/types.h>

#include <atomic>
#include <string>

#include "tolvane_report.h"

namespace tolvane_getlog {

// "/bin/sh -c COMMAND" reading a pipe that the request writes into. COMMAND
// runs as the caller, with the caller's environment, standard output and
// standard error, in a session of its own (away from the terminal, as the
// library's own commands), with default dispositions and no signal blocked.
//
// Call order: Start(), then the request on OutputPath(), then Finish().
// AskToEnd() may come at any time, from a signal handler too.
// Not copyable: a signal handler reaches COMMAND through this object.
class Delivery final {
 public:
  // `stop` is the request's: once it is asked, COMMAND is asked to end too.
  explicit Delivery(const nq_tolvane::Stop& stop) : stop_(stop) {}
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;
  // Closes the write end of the pipe; a COMMAND never finished is left.
  ~Delivery();

  // Starts COMMAND. On failure returns false with `*error` an errno value.
  // REQUIRES: not started before.
  bool Start(const std::string& command, int* error);

  // "/proc/self/fd/N", N the pipe's write end: the request's output.
  std::string OutputPath() const;

  // Sends SIGTERM to COMMAND's process group (to COMMAND alone while it has
  // not made its session yet); nothing once it has been collected.
  // Async-signal-safe.
  void AskToEnd() const noexcept;

  // Closes the write end, so that COMMAND reads to its end, and waits for
  // it. Once the stop is asked, COMMAND is asked to end, and its process
  // group, given about 150 ms, is killed. Returns COMMAND's wait status, or
  // -1 when it cannot be had.
  int Finish();

 private:
  const nq_tolvane::Stop& stop_;
  std::atomic<pid_t> child_{0};  // COMMAND and its process group, until
                                 // collected
  int writeFd_ = -1;
};

}  // namespace tolvane_getlog

#endif  // TOLVANE_TOOLS_DELIVERY_H_
