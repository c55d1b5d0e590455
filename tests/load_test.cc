// Many requests at once: threads of one process, and processes.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support.h"

namespace tolvane_test {
namespace {

using nq_tolvane::GetEntireLog;
using nq_tolvane::LogType;

using LoadTest = DeviceTest;

TEST_F(LoadTest, ThreadsGetExactLogsWhileDebuggingToggles) {
  for (int type = 1; type <= 4; ++type) LayOut(static_cast<LogType>(type));
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  const std::string err = CaptureStderr([&] {
    std::thread toggler([&] {
      for (bool on = true; !done; on = !on) {
        nq_tolvane::SetDebugging(on);
        nq_tolvane::IsDebugging();
      }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        const std::string output = "/var/log/out-" + std::to_string(t);
        for (int j = 0; j < 8; ++j) {
          const LogType type = static_cast<LogType>((t + j) % 4 + 1);
          if (!GetEntireLog(type, output) ||
              ReadFile(output) != Log({"98", "99", "01", "active"}, type))
            ++wrong;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    done = true;
    toggler.join();
  });
  EXPECT_EQ(0, wrong);
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

// The children inherit a selected type from a request made before the fork.
TEST_F(LoadTest, ProcessesAtOnceEachGetTheCompleteLog) {
  LayOut();
  ASSERT_TRUE(GetEntireLog(nq_tolvane::LOGTYPE_MISC, "/var/log/out"));
  std::vector<pid_t> children;
  for (int p = 0; p < 4; ++p) {
    const pid_t child = fork();
    if (child == 0) {
      const std::string output = "/var/log/out-" + std::to_string(p);
      int wrong = 0;
      for (int j = 0; j < 5; ++j)
        wrong += !GetEntireLog(nq_tolvane::LOGTYPE_MISC, output) ||
                 ReadFile(output) != Log();
      _exit(wrong);
    }
    children.push_back(child);
  }
  for (pid_t child : children) EXPECT_EQ(0, Wait(child)) << "wrong outputs";
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

}  // namespace
}  // namespace tolvane_test
