// GetEntireLog under faults: what survives is complete and in order, every
// failure is reported, and no scratch file is left in /var/tmp.

#include <sys/mount.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "support.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using FaultTest = DeviceTest;

// What a row changes beyond the device directories, undone at its end.
struct Undo {
  std::vector<std::string> mounts;
  const std::string path = std::getenv("PATH");
  ~Undo() {
    for (auto m = mounts.rbegin(); m != mounts.rend(); ++m)
      umount2(m->c_str(), MNT_DETACH);
    setenv("PATH", path.c_str(), 1);
  }
  void Mount(const char* source, const char* target, const char* type,
             unsigned long flags, const char* options) {
    ASSERT_EQ(0, mount(source, target, type, flags, options)) << target;
    mounts.push_back(target);
  }
  void SmallVarTmp() {
    Mount("tmpfs", "/var/tmp", "tmpfs", 0, "size=256k,mode=1777");
  }
  // A program `name` that runs `body`, found first on PATH.
  void OnPath(const char* name, const std::string& body) {
    fs::create_directories("/var/log/bin");
    WriteFile(std::string("/var/log/bin/") + name, "#!/bin/sh\n" + body + "\n");
    fs::permissions(std::string("/var/log/bin/") + name, fs::perms::owner_all);
    setenv("PATH", ("/var/log/bin:" + path).c_str(), 1);
  }
};

TEST_F(FaultTest, SurvivesEachFault) {
  const std::string big(1 << 20, 'x'), gz = "/var/log/misc00099.log.gz";
  const std::string failed99 =
      "3 CopyArchives: Failed to extract backup misc log: misc00099.log.gz to "
      "/var/tmp/"
      "misc00099.log.gz-" +
      Pid() + ".txt";
  const std::string notComplete =
      "3 GetEntireLog: misc log NOT completely copied to ";
  const struct Row {
    const char* fault;
    std::function<void(Undo&)> make;
    bool result;
    std::string expected;           // the output file afterwards
    std::vector<std::string> brev;  // among the messages
    std::string output = "/var/log/out";
    int type = nq_tolvane::LOGTYPE_MISC;
  } rows[] = {
      {"nothing found",
       [](Undo&) {
         for (auto& e : fs::directory_iterator("/var/log"))
           if (e.path() != "/var/log/out") fs::remove(e);
       },
       false,
       "earlier",
       {"3 CopyActiveLog: unknown current log file misc."}},
      {"type 0", [](Undo&) {}, false, "earlier", {}, "/var/log/out", 0},
      {"type 5", [](Undo&) {}, false, "earlier", {}, "/var/log/out", 5},
      {"/var/tmp full at the archive step",
       [&](Undo& u) {
         WriteGz(gz, big);
         u.SmallVarTmp();
       },
       true,
       Log({"98", "01", "active"}),
       {failed99}},
      {"/var/tmp full at the active-log step",
       [&](Undo& u) {
         WriteFile("/var/log/misc00002.log", big);
         u.SmallVarTmp();
       },
       true,
       Log({"98", "99", "01"}),
       {"3 CopyActiveLog: problem copying misc active log file: /bin/cp -f "
        "/var/log/misc00002.log "
        "/var/tmp/misc00002.log-" +
        Pid() + ".txt 2>/dev/null."}},
      {"output in a missing directory",
       [](Undo&) {},
       false,
       "<missing>",
       {"3 CreateSingleLogFile: error 2 for /bin/cat /var/tmp/misc00002.log-" +
            Pid() + ".txt >> /var/log/none/out 2>/dev/null",
        notComplete + "/var/log/none/out."},
       "/var/log/none/out"},
      {"output is a directory",
       [](Undo&) {
         fs::remove("/var/log/out");
         fs::create_directory("/var/log/out");
       },
       false,
       "",
       {notComplete + "/var/log/out."}},
      {"output on a read-only mount",
       [](Undo& u) {
         fs::create_directory("/var/log/ro");
         u.Mount("tmpfs", "/var/log/ro", "tmpfs", MS_RDONLY, "");
       },
       false,
       "<missing>",
       {notComplete + "/var/log/ro/out."},
       "/var/log/ro/out"},
      {"sudo fails",
       [](Undo& u) { u.OnPath("sudo", "exit 1"); },
       true,
       Log({"active"}),
       {failed99}},
      {"gunzip fails",
       [](Undo& u) {
         WriteFile("/var/log/gunzip", "#!/bin/sh\nexit 1\n");
         fs::permissions("/var/log/gunzip", fs::perms::owner_all);
         u.Mount("/var/log/gunzip", "/bin/gunzip", nullptr, MS_BIND, nullptr);
       },
       true,
       Log({"active"}),
       {failed99}},
      {"corrupt archive",
       [&](Undo&) { WriteFile(gz, "not gzip\n"); },
       true,
       Log({"98", "01", "active"}),
       {failed99}},
      {"truncated archive",
       [&](Undo&) {
         WriteGz(gz, big);
         fs::resize_file(gz, fs::file_size(gz) / 2);
       },
       true,
       Log({"98", "01", "active"}),
       {failed99}},
      {"archive vanishes after listing",
       [](Undo& u) {
         u.OnPath("sudo",
                  "rm -f /var/log/misc00098.log.gz; exec /usr/bin/sudo \"$@\"");
       },
       true,
       Log({"99", "01", "active"}),
       {"5 ExtractArchive: /var/log/misc00098.log.gz file not found"}},
      {"active log missing",
       [](Undo&) { fs::remove("/var/log/misc00002.log"); },
       true,
       Log({"98", "99", "01"}),
       {"4 CopyActiveLog: misc active log file not found: "
        "/var/log/misc00002.log."}},
      {"active log is a directory",
       [](Undo&) {
         fs::remove("/var/log/misc00002.log");
         fs::create_directory("/var/log/misc00002.log");
       },
       true,
       Log({"98", "99", "01"}),
       {}},
      {"archive name is a directory",
       [](Undo&) { fs::create_directory("/var/log/misc00050.log.gz"); },
       true,
       Log(),
       {}},
      {"link to a missing archive",
       [](Undo&) { fs::create_symlink("/none", "/var/log/misc00050.log.gz"); },
       true,
       Log(),
       {}},
      // A checkpoint that opens counts even without a number: the pivot is
      // what the extraction leaves (0, or 65535 out of range); 01 sorts first.
      {"checkpoint empty",
       [](Undo&) { WriteFile("/var/log/misc.txt", ""); },
       true,
       Log({"01", "98", "99"}),
       {"4 CopyActiveLog: misc active log file not found: "
        "/var/log/misc00000.log."}},
      {"checkpoint garbage",
       [](Undo&) { WriteFile("/var/log/misc.txt", "two\n"); },
       true,
       Log({"01", "98", "99"}),
       {"6 GetCurrentLogFileName: /var/log/misc00000.log."}},
      {"checkpoint above 65535",
       [](Undo&) { WriteFile("/var/log/misc.txt", "70000\n"); },
       true,
       Log({"01", "98", "99"}),
       {"6 GetCurrentLogFileName: /var/log/misc65535.log."}},
      {"checkpoint below 0",
       [](Undo&) { WriteFile("/var/log/misc.txt", "-1\n"); },
       true,
       Log({"01", "98", "99"}),
       {"6 GetCurrentLogFileName: /var/log/misc65535.log."}},
      {"checkpoint is a directory",
       [](Undo&) {
         fs::remove("/var/log/misc.txt");
         fs::create_directory("/var/log/misc.txt");
       },
       true,
       Log({"01", "98", "99"}),
       {"6 GetCurrentLogFileName: /var/log/misc00000.log."}},
  };
  for (const Row& row : rows) {
    SetUp();
    LayOut();
    WriteFile("/var/log/out", "earlier");
    bool result;
    {
      Undo undo;
      row.make(undo);
      WriteFile(row.output, "earlier");
      CaptureStderr([&] {
        result = nq_tolvane::GetEntireLog(
            static_cast<nq_tolvane::LogType>(row.type), row.output);
      });
      EXPECT_EQ(std::vector<std::string>{}, ScratchLeft()) << row.fault;
      EXPECT_EQ(row.expected, ReadFile(row.output)) << row.fault;
    }
    EXPECT_EQ(row.result, result) << row.fault;
    const std::vector<std::string> brev = TakeBrev();
    for (const std::string& message : row.brev)
      EXPECT_TRUE(Has(brev, message)) << row.fault << ": " << message;
  }
}

// Every byte a file name may hold, and shell syntax, in archive names.
TEST_F(FaultTest, HostileNamesAreAssembledAndRunNothing) {
  WriteFile("/var/log/misc.txt", "999\n");
  std::vector<std::string> tails;
  for (int byte = 1; byte <= 255; ++byte)
    if (byte != '/') tails.push_back(std::string(1, static_cast<char>(byte)));
  for (const char* tail :
       {"'", "\"", "$(touch pwned)", "`touch pwned`", "\n-n \\c",
        "; touch pwned #", " -rf *", "'$(touch pwned)'", "\"; touch pwned; \""})
    tails.push_back(tail);
  std::string expected;
  for (size_t i = 0; i < tails.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "%05zu", i);
    const std::string path =
        "/var/log/misc" + std::string(number) + tails[i] + ".log.gz";
    WriteGz(path, "piece " + std::to_string(i) + "\n");
    expected += Block(path, "piece " + std::to_string(i) + "\n");
  }
  fs::current_path("/var/log");
  const std::string output = "/var/log/-out $(touch pwned) 'q'";
  EXPECT_TRUE(nq_tolvane::GetEntireLog(nq_tolvane::LOGTYPE_MISC, output));
  EXPECT_EQ(expected, ReadFile(output));
  EXPECT_FALSE(fs::exists("/var/log/pwned"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

}  // namespace
}  // namespace tolvane_test
