// A stop from another thread ends a streaming request within 100 ms
// wherever it is: decompressing in process, reading through sudo, or
// writing to a reader that takes nothing.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <thread>

#include "support.h"
#include "tolvane_report.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;

// How long a stop may take: more under the sanitizers or an emulator.
int Allowed() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 400;
#else
  const char* emulator = std::getenv("TOLVANE_EMULATOR");
  return emulator != nullptr && *emulator != '\0' ? 1000 : 100;
#endif
}

class StreamStopTest : public DeviceTest {
 protected:
  // misc: one archive of 64 MiB of text, root's alone, and an active log.
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped() || HasFailure()) return;
    std::string text;
    while (text.size() < 64 << 20) text += "misc archive, a line of text\n";
    WriteGz(MiscPath(1, ".log.gz"), text);
    chmod(MiscPath(1, ".log.gz").c_str(), 0600);
    WriteFile(MiscPath(2, ".log"), "active\n");
    WriteFile("/var/log/misc.txt", "2\n");
    for (const auto& entry : fs::directory_iterator("/var/log"))
      SetEnd(entry.path(), std::time(nullptr) - 3600);
    AllowTheGroupThroughSudo();
    AddUser("member", true);
  }

  // The file a request of `user` writes, in a directory of the user's.
  static std::string Output(const std::string& user) {
    return "/var/log/" + (user.empty() ? "root" : user) + "/out";
  }

  // Runs requests as `user`, each into a file, or into a pipe nobody reads,
  // stopped from another thread at a random moment: the first runs whole,
  // five others stop within the first half of its time (one that ends
  // first does not count). Returns the longest time in ms from a stop to
  // the request's return, or 255 when a request went otherwise.
  int Longest(const std::string& user, bool pipe) {
    return RunAs(user, [&] {
      std::mt19937 random{std::random_device{}()};
      long whole = 0, longest = 0;
      int stopped = 0;
      for (int trial = 0; trial < 10 && stopped < 5; ++trial) {
        int fds[2];
        if (::pipe(fds) != 0) return 255;
        const std::string output =
            pipe ? "/proc/self/fd/" + std::to_string(fds[1]) : Output(user);
        nq_tolvane::Stop stop;
        const auto start = std::chrono::steady_clock::now();
        auto asked = start;
        const long wait =
            pipe ? 100
                 : std::uniform_int_distribution<long>(0, whole / 2)(random);
        std::thread asker([&] {
          if (trial == 0 && !pipe) return;
          usleep(static_cast<useconds_t>(wait * 1000));
          asked = std::chrono::steady_clock::now();
          stop.Request(SIGTERM);
        });
        nq_tolvane::Report report;
        const bool done =
            nq_tolvane::AssembleLog(nq_tolvane::LOGTYPE_MISC, output,
                                    nq_tolvane::Selection(), &report, &stop);
        const auto end = std::chrono::steady_clock::now();
        asker.join();
        close(fds[0]);
        close(fds[1]);
        const auto ms = [](auto span) {
          return std::chrono::duration_cast<std::chrono::milliseconds>(span)
              .count();
        };
        if (done && report.stopSignal == 0) {  // whole, before the stop
          if (trial == 0) whole = ms(end - start);
          WriteFile(output, "earlier");
          continue;
        }
        if (report.stopSignal != SIGTERM || report.outputWritten) return 255;
        longest = std::max<long>(longest, ms(end - asked));
        ++stopped;
      }
      return stopped < 5 ? 255 : static_cast<int>(std::min(longest, 254L));
    });
  }
};

TEST_F(StreamStopTest, StopEndsTheRequestWithinAMomentWhereverItIs) {
  for (const std::string user : {"root", "member"}) {
    fs::create_directory("/var/log/" + user);
    WriteFile("/var/log/" + user + "/out", "earlier");
    ASSERT_EQ(0,
              std::system(("chown -R " + user + " /var/log/" + user).c_str()));
  }
  const struct {
    const char* where;
    std::string user;
    bool pipe;
  } rows[] = {
      {"decompressing in process", "", false},
      {"reading through sudo", "member", false},
      {"writing to a reader that takes nothing", "", true},
  };
  for (const auto& row : rows) {
    const int longest = Longest(row.user, row.pipe);
    std::printf("%s: stopped within %d ms\n", row.where, longest);
    EXPECT_LE(longest, Allowed()) << row.where;
    EXPECT_TRUE(ReadFile(Output(row.user)) == "earlier") << row.where;
  }
}

}  // namespace
}  // namespace tolvane_test
