// Shared helpers of the tests: the sandbox check, a device layout under the
// real fixed directories, stderr capture and a recording device log.

#ifndef TOLVANE_TESTS_SUPPORT_H_
#define TOLVANE_TESTS_SUPPORT_H_

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"

namespace tolvane_test {

namespace nti = nq_tolvane::nq_tolvane_internals;
constexpr char kConfigDir[] = "/etc/sysconfig/vorn/tolvane";

std::string ReadFile(const std::string& path);  // "<missing>" if unreadable
void WriteFile(const std::string& path, const std::string& content);
void WriteGz(const std::string& path, const std::string& content);
std::vector<std::string> ScratchLeft();           // names in /var/tmp, sorted
void SetEnd(const std::string& path, long time);  // its modification time
// /var/log/misc<n in five digits><tail>.
std::string MiscPath(int n, const char* tail);

// Runs `body` with fd 2 redirected and returns what it wrote.
std::string CaptureStderr(const std::function<void()>& body);

// Allocations that succeed before operator new throws; -1 for never.
extern std::atomic<long> failAllocationAfter;

// Device-log messages since the last call, as "<level> <text>".
std::vector<std::string> TakeBrev();

std::string Pid();
bool Has(const std::vector<std::string>& lines, const std::string& line);
std::vector<std::string> With(const std::vector<std::string>& lines,
                              const std::string& text);

// Makes the user `name` in the sandbox's /etc, in the group tolvane when
// `inGroup`.
void AddUser(const std::string& name, bool inGroup = false);
// Installs the shipped sudoers drop-in in the sandbox's /etc, for the
// members of the group tolvane.
void AllowTheGroupThroughSudo();
// Runs `body` in a child process as the user `name` ("" for this user) and
// returns what it returns, or 128+N when signal N ended it.
int RunAs(const std::string& name, const std::function<int()>& body);
// Replaces this process with tolvane-getlog and `args` as `user` ("" for
// this user), run by the emulator's words in TOLVANE_EMULATOR, if any, from
// the path in TOLVANE_GETLOG; or exits 127.
[[noreturn]] void ExecTool(const std::vector<std::string>& args,
                           const std::string& user = "");
// Waits for `pid`: its exit code, or 128+N when signal N ended it.
int Wait(pid_t pid);
struct Dirs {
  std::string prefix, active, backup;
};
// The prefix and directories of `type`, as the library has them.
const Dirs& DirsOf(nq_tolvane::LogType type);
// Lays out `type` at checkpoint 2: archives 98, 99 (active directory) and 01,
// and the active log <prefix>00002.log, as rotated an hour ago.
void LayOut(nq_tolvane::LogType type = nq_tolvane::LOGTYPE_MISC);
// The blocks GetEntireLog writes for those pieces, in the order given.
std::string Log(std::vector<std::string> pieces = {"98", "99", "01", "active"},
                nq_tolvane::LogType type = nq_tolvane::LOGTYPE_MISC);
std::string Block(const std::string& source, const std::string& content);

// Empties the fixed directories and deselects the log type.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace tolvane_test

#endif  // TOLVANE_TESTS_SUPPORT_H_
