// GetEntireLog and tolvane-getlog on a device laid out in the sandbox.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <new>

#include "support.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::GetEntireLog;
using nq_tolvane::LOGTYPE_MISC;

class EntireLogTest : public DeviceTest {
 protected:
  const std::string misc_ = MiscLog();
};

TEST_F(EntireLogTest, OrdersArchivesAcrossTheWrapAndEndsWithTheActiveLog) {
  LayOutMisc();
  WriteFile("/var/log/out", "earlier content");
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/out"));
  EXPECT_EQ(misc_, ReadFile("/var/log/out"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
  const std::string scratch = "/var/tmp/misc000", tag = "-" + Pid() + ".txt";
  auto extract = [&](const char* n) {
    return std::string("7 ExtractArchive: sudo /bin/gunzip -c /var/log/misc") + n +
           ".log.gz > /var/tmp/misc" + n + ".log.gz" + tag + " 2>/dev/null";
  };
  EXPECT_EQ((std::vector<std::string>{
                "6 GetCurrentLogFileName: /var/log/misc00002.log.",
                extract("00001"), extract("00099"), extract("00098"),
                "7 CreateSingleLogFile: processed " + scratch + "98.log.gz" + tag + ".",
                "7 CreateSingleLogFile: processed " + scratch + "99.log.gz" + tag + ".",
                "7 CreateSingleLogFile: processed " + scratch + "01.log.gz" + tag + ".",
                "7 CreateSingleLogFile: processed " + scratch + "02.log" + tag + ".",
                "6 GetEntireLog: misc log copied to /var/log/out."}),
            TakeBrev());

  // The second request reuses the selection and gives the same file.
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/out"));
  EXPECT_EQ(misc_, ReadFile("/var/log/out"));
}

TEST_F(EntireLogTest, ActiveDirectoryCopyWinsOverTheBackupCopy) {
  const std::string config = kConfigDir;
  WriteFile(config + "/brev.txt", "4\n");
  WriteFile("/var/log/brev00004.log", "active\n");
  WriteGz(config + "/brev00001.log.gz", "one\n");
  WriteGz(config + "/brev00002.log.gz", "two, backup copy\n");
  WriteGz("/var/log/brev00002.log.gz", "two, active directory copy\n");
  WriteGz("/var/log/brev00003.log.gz", "three\n");
  ASSERT_TRUE(GetEntireLog(nq_tolvane::LOGTYPE_BREV, "/var/log/out"));
  EXPECT_EQ(Block(config + "/brev00001.log.gz", "one\n") +
                Block("/var/log/brev00002.log.gz", "two, active directory copy\n") +
                Block("/var/log/brev00003.log.gz", "three\n") +
                Block("/var/log/brev00004.log", "active\n"),
            ReadFile("/var/log/out"));
}

TEST_F(EntireLogTest, HostileNamesRunNothingAndKeepExactHeaders) {
  WriteFile("/var/log/misc.txt", "9\n");
  const std::vector<std::string> names = {
      "misc00006 $(touch pwned).log.gz", "misc00007'q\"`touch pwned`\\n\\c.log.gz",
      "misc00008\nline; touch pwned.log.gz", "misc00009 -x * \\\\.log.gz"};
  std::string expected;
  for (const std::string& name : names) {
    WriteGz("/var/log/" + name, name + "\n");
    expected += Block("/var/log/" + name, name + "\n");
  }
  const std::string output = "/var/log/out $(touch pwned) 'q'";
  fs::current_path("/var/log");
  EXPECT_TRUE(GetEntireLog(LOGTYPE_MISC, output));
  EXPECT_EQ(expected, ReadFile(output));
  EXPECT_FALSE(fs::exists("/var/log/pwned"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

TEST_F(EntireLogTest, PlantedLinksAreNotFollowed) {
  LayOutMisc();
  WriteFile("/var/log/victim", "precious");
  for (const char* name : {"misc00002.log", "misc00099.log.gz"})
    fs::create_symlink("/var/log/victim", "/var/tmp/" + std::string(name) + "-" + Pid() + ".txt");
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/out"));
  EXPECT_EQ(misc_, ReadFile("/var/log/out"));
  EXPECT_EQ("precious", ReadFile("/var/log/victim"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

TEST_F(EntireLogTest, FailuresReturnFalse) {
  const struct { const char* what; bool layout; int type; const char* output; std::vector<std::string> brev; } rows[] = {
      {"nothing found", false, LOGTYPE_MISC, "/var/log/out", {"3 CopyActiveLog: unknown current log file misc."}},
      {"type 0", true, 0, "/var/log/out", {}},
      {"type 5", true, 5, "/var/log/out", {}},
      {"missing output directory", true, LOGTYPE_MISC, "/var/log/none/out",
       {"3 GetEntireLog: misc log NOT completely copied to /var/log/none/out."}},
  };
  for (const auto& row : rows) {
    SetUp();
    if (row.layout) LayOutMisc();
    WriteFile("/var/log/out", "earlier content");
    CaptureStderr([&] {
      EXPECT_FALSE(GetEntireLog(static_cast<nq_tolvane::LogType>(row.type), row.output)) << row.what;
    });
    EXPECT_EQ("earlier content", ReadFile("/var/log/out")) << row.what;
    EXPECT_EQ(std::vector<std::string>{}, ScratchLeft()) << row.what;
    std::vector<std::string> brev = TakeBrev();
    if (!row.brev.empty() && brev.size() > 1) brev.erase(brev.begin(), brev.end() - 1);
    EXPECT_EQ(row.brev, brev) << row.what;
  }
}

TEST_F(EntireLogTest, FailedCommandsAreReported) {
  LayOutMisc();
  WriteFile("/var/log/misc00099.log.gz", "not gzip");
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/none/out") == false);
  const std::vector<std::string> brev = TakeBrev();
  const std::string scratch99 = "/var/tmp/misc00099.log.gz-" + Pid() + ".txt";
  EXPECT_TRUE(Has(brev, "3 CopyArchives: Failed to extract backup misc log: misc00099.log.gz to " + scratch99));
  EXPECT_EQ(1, std::count_if(brev.begin(), brev.end(), [](const std::string& m) {
              return m.rfind("3 ExtractArchive: error 1 and errno ", 0) == 0 &&
                     m.find(" on pid ") != std::string::npos;
            }));
  EXPECT_TRUE(Has(brev, "3 CreateSingleLogFile: error 2 for /bin/cat /var/tmp/misc00002.log-" + Pid() +
                            ".txt >> /var/log/none/out 2>/dev/null"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

TEST_F(EntireLogTest, ForkedChildNamesScratchFilesWithItsOwnPid) {
  LayOutMisc();
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/out"));
  TakeBrev();
  const pid_t child = fork();
  if (child == 0) {
    const bool ok = GetEntireLog(LOGTYPE_MISC, "/var/log/child");
    _exit(ok && Has(TakeBrev(), "7 CreateSingleLogFile: processed /var/tmp/misc00002.log-" + Pid() + ".txt.") ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(0, status);
  EXPECT_EQ(misc_, ReadFile("/var/log/child"));
}

TEST_F(EntireLogTest, ExceptionsLeakNothingAndReleaseTheLock) {
  LayOutMisc();
  bool completed = false;
  for (long k = 0; !completed; ++k) {
    try {
      failAllocationAfter = k;
      completed = GetEntireLog(LOGTYPE_MISC, "/var/log/out");
      failAllocationAfter = -1;
      ASSERT_TRUE(completed) << k;
    } catch (const std::bad_alloc&) {
      failAllocationAfter = -1;
    }
    ASSERT_EQ(std::vector<std::string>{}, ScratchLeft()) << "failing allocation " << k;
  }
  EXPECT_EQ(misc_, ReadFile("/var/log/out"));
}

TEST_F(EntireLogTest, OperatorCommandExitCodes) {
  LayOutMisc();
  const std::string tool = std::getenv("TOLVANE_GETLOG");
  const struct { std::string args; int code; const char* stderrHas; } rows[] = {
      {"misc /var/log/out", 0, ""},
      {"4 /var/log/out", 0, ""},
      {"--debug misc /var/log/out", 0, "6 TolvaneUtils: GetEntireLog: misc log copied to /var/log/out."},
      {"--debug misc /var/log/out", 0, ":SetLogNum: set logNum 2\n"},
      {"snmpd /var/log/out", 1, "could not be assembled completely"},
      {"7 /var/log/out", 1, "Initialize: Unknown log type requested.\n"},
      {"", 2, "usage: tolvane-getlog"},
      {"kernel /var/log/out", 2, "usage: tolvane-getlog"},
      {"misc", 2, "usage: tolvane-getlog"},
      {"--help", 0, ""},
  };
  for (const auto& row : rows) {
    const int status = std::system((tool + " " + row.args + " >/dev/null 2>/var/log/err").c_str());
    EXPECT_EQ(row.code, WEXITSTATUS(status)) << row.args;
    EXPECT_NE(std::string::npos, ReadFile("/var/log/err").find(row.stderrHas)) << row.args;
    if (row.code == 0 && row.args != "--help") {
      EXPECT_EQ(misc_, ReadFile("/var/log/out")) << row.args;
    }
  }
}

}  // namespace
}  // namespace tolvane_test
