// A stop that lands as a command starts, in process: the command must end
// even where posix_spawn() returns before the command has made its session
// (qemu-user), so that it is not yet a process group of its own.

#include "platform/Runner.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support.h"

namespace tolvane_test {
namespace {

using nq_tolvane::Runner;

// Each trial asks for the stop from another thread as soon as the running
// thread's command shows in /proc, before posix_spawn() may have returned,
// and as the command leads a group, or not yet.
TEST(RunnerTest, StopAsTheCommandStartsEndsIt) {
  for (int trial = 0; trial < 10; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    nq_tolvane::Stop stop;
    Runner runner(&stop);
    const long runnerThread = syscall(SYS_gettid);
    const std::string children =
        "/proc/self/task/" + std::to_string(runnerThread) + "/children";
    std::thread stopper([&] {
      while (ReadFile(children).empty()) std::this_thread::yield();
      stop.Request(SIGTERM);
    });
    const auto start = std::chrono::steady_clock::now();
    const nq_tolvane::CommandResult result = runner.Run("exec sleep 10");
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    stopper.join();
    EXPECT_TRUE(result.stopped);
    EXPECT_EQ(SIGTERM, runner.Stopped());
    EXPECT_LT(took.count(), 5000) << "ms to end the command";
  }
}

}  // namespace
}  // namespace tolvane_test
