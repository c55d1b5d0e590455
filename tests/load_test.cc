// Many requests at once: threads in each of several processes.

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support.h"

namespace tolvane_test {
namespace {

using nq_tolvane::GetEntireLog;
using nq_tolvane::LogType;
using LoadTest = DeviceTest;

// Four threads request the four types in turn while a fifth toggles the
// debugging switch: the number of wrong outputs.
int Requests(const std::string& name) {
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  std::thread toggler([&] {
    for (bool on = true; !done; on = !on) {
      nq_tolvane::SetDebugging(on);
      nq_tolvane::IsDebugging();
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string output = name + std::to_string(t);
      for (int j = 0; j < 4; ++j) {
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
  return wrong;
}

// The processes inherit a type selected before the fork.
TEST_F(LoadTest, ThreadsOfProcessesAtOnceEachGetTheExactLog) {
  for (int type = 1; type <= 4; ++type) LayOut(static_cast<LogType>(type));
  ASSERT_TRUE(GetEntireLog(nq_tolvane::LOGTYPE_MISC, "/var/log/out"));
  std::vector<pid_t> children;
  for (int p = 0; p < 3; ++p) {
    const pid_t child = fork();
    if (child == 0) {
      dup2(open("/dev/null", O_WRONLY), 2);  // the diagnostics
      _exit(Requests("/var/log/out-" + std::to_string(p) + "-"));
    }
    children.push_back(child);
  }
  for (pid_t child : children) EXPECT_EQ(0, Wait(child)) << "wrong outputs";
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

}  // namespace
}  // namespace tolvane_test
