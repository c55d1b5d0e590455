// GetEntireLog under faults: what survives is complete and in order, every
// failure is reported, and no scratch file is left in /var/tmp.

#include <sys/mount.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "support.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;

// An executable script at `path` with `body`.
void Script(const std::string& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
}

// Undoes what a row changed outside the device directories.
struct Undo {
  std::vector<std::string> mounts;
  std::string path = std::getenv("PATH");
  ~Undo() {
    for (auto m = mounts.rbegin(); m != mounts.rend(); ++m) umount2(m->c_str(), MNT_DETACH);
    setenv("PATH", path.c_str(), 1);
  }
  void Mount(const char* source, const std::string& target, const char* type, unsigned long flags,
             const char* options) {
    ASSERT_EQ(0, mount(source, target.c_str(), type, flags, options)) << target;
    mounts.push_back(target);
  }
  // A /var/tmp of `size` with room for little more than the small pieces.
  void SmallVarTmp() { Mount("tmpfs", "/var/tmp", "tmpfs", 0, "size=256k,mode=1777"); }
};

using FaultTest = DeviceTest;

TEST_F(FaultTest, SurvivesEachFault) {
  const std::string big(1 << 20, 'x');
  const std::string s99 = "/var/tmp/misc00099.log.gz-" + Pid() + ".txt";
  const struct Row {
    const char* fault;
    std::function<void(Undo&)> make;
    bool result;
    std::vector<std::string> pieces;
    std::vector<std::string> brev;  // among the messages
    std::string output = "/var/log/out";
  } rows[] = {
      {"/var/tmp full at the archive step",
       [&](Undo& u) { WriteGz("/var/log/misc00099.log.gz", big); u.SmallVarTmp(); },
       true, {"98", "01", "active"},
       {"3 CopyArchives: Failed to extract backup misc log: misc00099.log.gz to " + s99}},
      {"/var/tmp full at the active-log step",
       [&](Undo& u) { WriteFile("/var/log/misc00002.log", big); u.SmallVarTmp(); },
       true, {"98", "99", "01"},
       {"3 CopyActiveLog: problem copying misc active log file: /bin/cp -f /var/log/misc00002.log "
        "/var/tmp/misc00002.log-" + Pid() + ".txt 2>/dev/null."}},
      {"output is a directory", [](Undo&) { fs::create_directory("/var/log/out"); }, false, {},
       {"3 GetEntireLog: misc log NOT completely copied to /var/log/out."}},
      {"output on a read-only mount",
       [](Undo& u) { fs::create_directory("/var/log/ro"); u.Mount("tmpfs", "/var/log/ro", "tmpfs", MS_RDONLY, ""); },
       false, {}, {"3 GetEntireLog: misc log NOT completely copied to /var/log/ro/out."}, "/var/log/ro/out"},
      {"sudo fails",
       [](Undo&) { fs::create_directory("/var/log/bin"); Script("/var/log/bin/sudo", "exit 1");
                   setenv("PATH", ("/var/log/bin:" + std::string(std::getenv("PATH"))).c_str(), 1); },
       true, {"active"}, {"3 CopyArchives: Failed to extract backup misc log: misc00099.log.gz to " + s99}},
      {"gunzip fails",
       [](Undo& u) { Script("/var/log/gunzip", "exit 1"); u.Mount("/var/log/gunzip", "/bin/gunzip", nullptr, MS_BIND, nullptr); },
       true, {"active"}, {"3 CopyArchives: Failed to extract backup misc log: misc00099.log.gz to " + s99}},
      {"corrupt archive", [](Undo&) { WriteFile("/var/log/misc00099.log.gz", "not gzip\n"); },
       true, {"98", "01", "active"}, {}},
      {"truncated archive",
       [&](Undo&) { WriteGz("/var/log/misc00099.log.gz", big);
                    fs::resize_file("/var/log/misc00099.log.gz", fs::file_size("/var/log/misc00099.log.gz") / 2); },
       true, {"98", "01", "active"}, {}},
      {"archive vanishes after listing",
       [](Undo&) { fs::create_directory("/var/log/bin");
                   Script("/var/log/bin/sudo", "rm -f /var/log/misc00098.log.gz; exec /usr/bin/sudo \"$@\"");
                   setenv("PATH", ("/var/log/bin:" + std::string(std::getenv("PATH"))).c_str(), 1); },
       true, {"99", "01", "active"},
       {"5 ExtractArchive: /var/log/misc00098.log.gz file not found",
        "3 CopyArchives: Failed to extract backup misc log: misc00098.log.gz to /var/tmp/misc00098.log.gz-" + Pid() + ".txt"}},
      {"active log missing", [](Undo&) { fs::remove("/var/log/misc00002.log"); }, true, {"98", "99", "01"},
       {"4 CopyActiveLog: misc active log file not found: /var/log/misc00002.log."}},
      {"active log is a directory",
       [](Undo&) { fs::remove("/var/log/misc00002.log"); fs::create_directory("/var/log/misc00002.log"); },
       true, {"98", "99", "01"}, {}},
      {"archive name is a directory", [](Undo&) { fs::create_directory("/var/log/misc00050.log.gz"); },
       true, {"98", "99", "01", "active"}, {}},
      {"link to a missing archive", [](Undo&) { fs::create_symlink("/var/log/none", "/var/log/misc00050.log.gz"); },
       true, {"98", "99", "01", "active"}, {}},
      // A checkpoint that opens counts even without a number: the pivot is
      // then what the extraction leaves (0, or 65535 when out of range), and
      // 01 sorts first either way.
      {"checkpoint empty", [](Undo&) { WriteFile("/var/log/misc.txt", ""); }, true, {"01", "98", "99"},
       {"4 CopyActiveLog: misc active log file not found: /var/log/misc00000.log."}},
      {"checkpoint garbage", [](Undo&) { WriteFile("/var/log/misc.txt", "two\n"); }, true, {"01", "98", "99"},
       {"6 GetCurrentLogFileName: /var/log/misc00000.log."}},
      {"checkpoint above 65535", [](Undo&) { WriteFile("/var/log/misc.txt", "70000\n"); }, true, {"01", "98", "99"},
       {"6 GetCurrentLogFileName: /var/log/misc65535.log."}},
      {"checkpoint below 0", [](Undo&) { WriteFile("/var/log/misc.txt", "-1\n"); }, true, {"01", "98", "99"},
       {"6 GetCurrentLogFileName: /var/log/misc65535.log."}},
      {"checkpoint is a directory",
       [](Undo&) { fs::remove("/var/log/misc.txt"); fs::create_directory("/var/log/misc.txt"); },
       true, {"01", "98", "99"}, {"6 GetCurrentLogFileName: /var/log/misc00000.log."}},
  };
  for (const Row& row : rows) {
    SetUp();
    LayOutMisc();
    bool result;
    {
      Undo undo;
      row.make(undo);
      CaptureStderr([&] { result = nq_tolvane::GetEntireLog(nq_tolvane::LOGTYPE_MISC, row.output); });
      EXPECT_EQ(std::vector<std::string>{}, ScratchLeft()) << row.fault;
    }
    EXPECT_EQ(row.result, result) << row.fault;
    if (row.result) {
      EXPECT_EQ(MiscLog(row.pieces), ReadFile(row.output)) << row.fault;
    }
    const std::vector<std::string> brev = TakeBrev();
    for (const std::string& message : row.brev) EXPECT_TRUE(Has(brev, message)) << row.fault << ": " << message;
  }
}

// Every byte a file name may hold, and shell syntax, in archive names.
TEST_F(FaultTest, HostileNamesAreAssembledAndRunNothing) {
  WriteFile("/var/log/misc.txt", "999\n");
  std::vector<std::string> tails;
  for (int byte = 1; byte <= 255; ++byte)
    if (byte != '/') tails.push_back(std::string(1, static_cast<char>(byte)));
  for (const char* tail : {"'", "\"", "$(touch pwned)", "`touch pwned`", "\n-n \\c", "; touch pwned #",
                           " -rf *", "'$(touch pwned)'", "\"; touch pwned; \""})
    tails.push_back(tail);
  std::string expected;
  for (size_t i = 0; i < tails.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "%05zu", i);
    const std::string path = "/var/log/misc" + std::string(number) + tails[i] + ".log.gz";
    WriteGz(path, "piece " + std::to_string(i) + "\n");
    expected += Block(path, "piece " + std::to_string(i) + "\n");
  }
  fs::current_path("/var/log");
  EXPECT_TRUE(nq_tolvane::GetEntireLog(nq_tolvane::LOGTYPE_MISC, "/var/log/-out $(x)"));
  EXPECT_EQ(expected, ReadFile("/var/log/-out $(x)"));
  EXPECT_FALSE(fs::exists("/var/log/pwned"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

TEST_F(FaultTest, TenThousandArchivesInOrder) {
  WriteFile("/var/log/misc.txt", "4999\n");
  WriteGz("/var/log/seed.gz", "one line\n");
  std::string expected;
  for (int k = 0; k < 10000; ++k) {  // 5000..9999 before the wrap, then 0..4999
    const int n = (k + 5000) % 10000;
    char name[32];
    std::snprintf(name, sizeof name, "/var/log/misc%05d.log.gz", n);
    fs::copy_file("/var/log/seed.gz", name);
    expected += Block(name, "one line\n");
  }
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(nq_tolvane::GetEntireLog(nq_tolvane::LOGTYPE_MISC, "/var/log/out"));
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(expected, ReadFile("/var/log/out"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
  std::printf("10,000 archives assembled in %.1f s\n", took.count());
}

}  // namespace
}  // namespace tolvane_test
