// Many requests at once: threads of one process, and processes.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <thread>

#include "support.h"

namespace tolvane_test {
namespace {

using nq_tolvane::GetEntireLog;
using nq_tolvane::LogType;

class LoadTest : public DeviceTest {
 protected:
  // Lays out every type, each with an archive on both sides of the wrap or
  // in both directories, and remembers the log each request must give.
  void LayOutAll() {
    const std::string config = kConfigDir, big(64 << 10, 'a');
    struct Piece { std::string path; bool gz; };
    const struct { LogType type; std::string checkpoint; std::vector<Piece> pieces; } types[] = {
        {nq_tolvane::LOGTYPE_AUDIT, config + "/audit.txt",
         {{config + "/audit00001.log.gz", true}, {config + "/audit00002.log.gz", true}, {config + "/audit00003.log", false}}},
        {nq_tolvane::LOGTYPE_BREV, config + "/brev.txt",
         {{config + "/brev00001.log.gz", true}, {"/var/log/brev00002.log.gz", true}, {"/var/log/brev00003.log", false}}},
        {nq_tolvane::LOGTYPE_SNMPD, "/var/log/snmpd.txt",
         {{"/var/log/snmpd65535.log.gz", true}, {"/var/log/snmpd00000.log.gz", true}, {"/var/log/snmpd00003.log", false}}},
    };
    for (const auto& type : types) {
      WriteFile(type.checkpoint, "3\n");
      for (const Piece& piece : type.pieces) {
        const std::string content = piece.path + "\n" + big + "\n";
        piece.gz ? WriteGz(piece.path, content) : WriteFile(piece.path, content);
        expected_[type.type] += Block(piece.path, content);
      }
    }
    LayOutMisc();
    expected_[nq_tolvane::LOGTYPE_MISC] = MiscLog();
  }
  std::map<LogType, std::string> expected_;
};

TEST_F(LoadTest, ThreadsGetExactLogsWhileDebuggingToggles) {
  LayOutAll();
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
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        const std::string output = "/var/log/out-" + std::to_string(t);
        for (int j = 0; j < 25; ++j) {
          const LogType type = static_cast<LogType>((t + j) % 4 + 1);
          if (!GetEntireLog(type, output) || ReadFile(output) != expected_[type]) ++wrong;
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

TEST_F(LoadTest, ProcessesAtOnceEachGetTheCompleteLog) {
  LayOutAll();
  std::vector<pid_t> children;
  for (int p = 0; p < 4; ++p) {
    const pid_t child = fork();
    if (child == 0) {
      const std::string output = "/var/log/out-" + std::to_string(p);
      int wrong = 0;
      for (int j = 0; j < 10; ++j)
        wrong += !GetEntireLog(nq_tolvane::LOGTYPE_MISC, output) || ReadFile(output) != MiscLog();
      _exit(wrong);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wrong outputs: " << WEXITSTATUS(status);
  }
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

}  // namespace
}  // namespace tolvane_test
