#include "support.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>

namespace fs = std::filesystem;

namespace tolvane_test {
std::atomic<long> failAllocationAfter{-1};
}  // namespace tolvane_test

void* operator new(std::size_t size) {
  if (tolvane_test::failAllocationAfter.fetch_sub(1) == 0)
    throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {
std::mutex brevMutex;
std::vector<std::string> brevMessages;
}  // namespace

// Stands in for the device log facility in this program: the library's
// calls land here, so tests can check every message and its level.
extern "C" void __brev_printf(int level, const char*, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // The device facility never throws, so allocations here are not failed.
  const long pending = tolvane_test::failAllocationAfter.exchange(-1);
  std::lock_guard<std::mutex> lock(brevMutex);
  brevMessages.push_back(std::to_string(level) + " " + text);
  tolvane_test::failAllocationAfter = pending;
}

namespace tolvane_test {

namespace {
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Empty when the fixed directories are private (scripts/run-in-sandbox.sh),
// else why not.
std::string SandboxProblem() {
  if (!Env("TOLVANE_SANDBOX_UNAVAILABLE").empty())
    return Env("TOLVANE_SANDBOX_UNAVAILABLE");
  if (Env("TOLVANE_IN_SANDBOX") != "1")
    return "not started through scripts/run-in-sandbox.sh";
  for (const char* dir : {"/var/log", "/var/tmp"}) {
    struct statfs info;
    if (statfs(dir, &info) != 0 || info.f_type != TMPFS_MAGIC)
      return std::string(dir) + " is not a private tmpfs";
  }
  return "";
}
}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

void WriteGz(const std::string& path, const std::string& content) {
  const std::string stage = fs::path(path).parent_path() / ".stage.gz";
  std::string quoted = "'";
  for (const char c : stage)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  FILE* gzip = popen(("gzip -n -c > " + quoted + "'").c_str(), "w");
  std::fwrite(content.data(), 1, content.size(), gzip);
  ASSERT_EQ(0, pclose(gzip));
  fs::rename(stage, path);
}

std::vector<std::string> ScratchLeft() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("/var/tmp"))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void SetEnd(const std::string& path, long time) {
  const utimbuf times{time, time};
  ASSERT_EQ(0, utime(path.c_str(), &times)) << path;
}

std::string MiscPath(int n, const char* tail) {
  char name[64];
  std::snprintf(name, sizeof name, "/var/log/misc%05d%s", n, tail);
  return name;
}

std::string CaptureStderr(const std::function<void()>& body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}

std::vector<std::string> TakeBrev() {
  std::lock_guard<std::mutex> lock(brevMutex);
  std::vector<std::string> messages = std::exchange(brevMessages, {});
  // The random part of the scratch directory's name is not compared.
  const std::string stem = "/var/tmp/tolvane.";
  for (std::string& message : messages) {
    for (size_t at = message.find(stem); at != std::string::npos;
         at = message.find(stem, at + 1)) {
      const size_t dot = message.find('.', at + stem.size());
      if (dot != std::string::npos) message.replace(dot + 1, 6, "XXXXXX");
    }
  }
  return messages;
}

std::string Pid() { return std::to_string(getpid()); }

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> With(const std::vector<std::string>& lines,
                              const std::string& text) {
  std::vector<std::string> found;
  for (const std::string& line : lines)
    if (line.find(text) != std::string::npos) found.push_back(line);
  return found;
}

void AddUser(const std::string& name, bool inGroup) {
  const std::string command = "groupadd -f tolvane && useradd -M " +
                              std::string(inGroup ? "-G tolvane " : "") + name;
  ASSERT_EQ(0, std::system(command.c_str())) << command;
}

void AllowTheGroupThroughSudo() {
  fs::copy_file(TOLVANE_SOURCE_DIR "/packaging/sudoers.d/tolvane",
                "/etc/sudoers.d/tolvane");
  ASSERT_EQ(0, chmod("/etc/sudoers.d/tolvane", 0440));
}

namespace {
// Becomes `name`, for good. Returns false when that fails.
bool BecomeUser(const std::string& name) {
  if (name.empty()) return true;
  const passwd* user = getpwnam(name.c_str());
  return user != nullptr && initgroups(name.c_str(), user->pw_gid) == 0 &&
         setgid(user->pw_gid) == 0 && setuid(user->pw_uid) == 0;
}
}  // namespace

int RunAs(const std::string& name, const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) _exit(BecomeUser(name) ? body() : 99);
  return Wait(child);
}

void ExecTool(const std::vector<std::string>& args, const std::string& user) {
  std::vector<std::string> words;
  std::istringstream split(Env("TOLVANE_EMULATOR"));
  for (std::string word; split >> word;) words.push_back(word);
  const std::string tool = Env("TOLVANE_GETLOG");
  words.push_back(tool.empty() ? "tolvane-getlog" : tool);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  if (BecomeUser(user)) execvp(argv[0], argv.data());
  _exit(127);
}

int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

std::string Block(const std::string& source, const std::string& content) {
  return "\n" + source + " follows:\n\n" + content;
}

const Dirs& DirsOf(nq_tolvane::LogType type) {
  static const std::vector<Dirs> all = [] {
    std::vector<Dirs> dirs;
    for (int t = nq_tolvane::LOGTYPE_AUDIT; t <= nq_tolvane::LOGTYPE_MISC;
         ++t) {
      std::string prefix;
      nti::Initialize(static_cast<nq_tolvane::LogType>(t), prefix);
      dirs.push_back({prefix, nti::GetActiveDir(), nti::GetBackupDir()});
    }
    return dirs;
  }();
  return all.at(type - 1);
}

namespace {
// The path and content of one piece of LayOut().
std::pair<std::string, std::string> PieceOf(nq_tolvane::LogType type,
                                            const std::string& piece) {
  const Dirs dirs = DirsOf(type);
  if (piece == "active")
    return {dirs.active + "/" + dirs.prefix + "00002.log",
            dirs.prefix + " active 2\n"};
  return {(piece == "99" ? dirs.active : dirs.backup) + "/" + dirs.prefix +
              "000" + piece + ".log.gz",
          dirs.prefix + " archive " + piece + "\n"};
}
}  // namespace

void LayOut(nq_tolvane::LogType type) {
  const Dirs dirs = DirsOf(type);
  const std::string checkpoint = dirs.backup + "/" + dirs.prefix + ".txt";
  WriteFile(checkpoint, "2\n");
  WriteFile(PieceOf(type, "active").first, PieceOf(type, "active").second);
  for (const char* n : {"98", "99", "01"})
    WriteGz(PieceOf(type, n).first, PieceOf(type, n).second);
  // Rotated an hour ago: no rotation is under way.
  const long hourAgo = static_cast<long>(std::time(nullptr)) - 3600;
  SetEnd(checkpoint, hourAgo);
  for (const char* n : {"98", "99", "01"})
    SetEnd(PieceOf(type, n).first, hourAgo);
}

std::string Log(std::vector<std::string> pieces, nq_tolvane::LogType type) {
  std::string log;
  for (const std::string& piece : pieces)
    log += Block(PieceOf(type, piece).first, PieceOf(type, piece).second);
  return log;
}

// Outside the sandbox the test skips, except under CI=true, where it fails.
void DeviceTest::SetUp() {
  const std::string problem = SandboxProblem();
  if (!problem.empty()) {
    if (Env("CI") == "true") FAIL() << "no sandbox: " << problem;
    GTEST_SKIP() << "needs the sandbox: " << problem;
  }
  ASSERT_EQ(kConfigDir, DirsOf(nq_tolvane::LOGTYPE_AUDIT).backup);
  for (const char* dir : {"/var/log", "/var/tmp", kConfigDir})
    for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry);
  std::string name;
  CaptureStderr(
      [&] { nti::Initialize(static_cast<nq_tolvane::LogType>(0), name); });
  TakeBrev();
}

void DeviceTest::TearDown() { TakeBrev(); }

}  // namespace tolvane_test
