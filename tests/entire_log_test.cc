// GetEntireLog and tolvane-getlog on a device laid out in the sandbox.

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <new>

#include "support.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::GetEntireLog;
using nq_tolvane::LOGTYPE_MISC;
using EntireLogTest = DeviceTest;

TEST_F(EntireLogTest, OrdersArchivesAcrossTheWrapAndEndsWithTheActiveLog) {
  LayOut();
  WriteFile("/var/log/out", "earlier content");
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/out"));
  EXPECT_EQ(Log(), ReadFile("/var/log/out"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
  const std::string tag = "-" + Pid() + ".txt";
  auto extract = [&](const char* n) {
    return std::string(
               "7 ExtractArchive: sudo /bin/gunzip -c /var/log/misc000") +
           n + ".log.gz > /var/tmp/misc000" + n + ".log.gz" + tag +
           " 2>/dev/null";
  };
  auto processed = [&](const char* piece) {
    return "7 CreateSingleLogFile: processed /var/tmp/misc000" +
           std::string(piece) + tag + ".";
  };
  EXPECT_EQ(
      (std::vector<std::string>{
          "6 GetCurrentLogFileName: /var/log/misc00002.log.", extract("01"),
          extract("99"), extract("98"), processed("98.log.gz"),
          processed("99.log.gz"), processed("01.log.gz"), processed("02.log"),
          "6 GetEntireLog: misc log copied to /var/log/out."}),
      TakeBrev());

  // The second request reuses the selection and gives the same file.
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/out"));
  EXPECT_EQ(Log(), ReadFile("/var/log/out"));
}

// brev keeps 98 and 01 in the backup directory and 99 in the active one.
TEST_F(EntireLogTest, ActiveDirectoryCopyWinsOverTheBackupCopy) {
  LayOut(nq_tolvane::LOGTYPE_BREV);
  WriteGz("/var/log/brev00098.log.gz", "active directory copy\n");
  ASSERT_TRUE(GetEntireLog(nq_tolvane::LOGTYPE_BREV, "/var/log/out"));
  EXPECT_EQ(Block("/var/log/brev00098.log.gz", "active directory copy\n") +
                Log({"99", "01", "active"}, nq_tolvane::LOGTYPE_BREV),
            ReadFile("/var/log/out"));
}

TEST_F(EntireLogTest, PlantedLinksAreNotFollowed) {
  LayOut();
  WriteFile("/var/log/victim", "precious");
  for (const char* name : {"misc00002.log", "misc00099.log.gz"})
    fs::create_symlink("/var/log/victim",
                       "/var/tmp/" + std::string(name) + "-" + Pid() + ".txt");
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/out"));
  EXPECT_EQ(Log(), ReadFile("/var/log/out"));
  EXPECT_EQ("precious", ReadFile("/var/log/victim"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

// Fails each allocation of a request in turn.
TEST_F(EntireLogTest, ExceptionsLeakNothingAndReleaseTheLock) {
  LayOut();
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
    ASSERT_EQ(std::vector<std::string>{}, ScratchLeft())
        << "failing allocation " << k;
  }
  EXPECT_EQ(Log(), ReadFile("/var/log/out"));
}

TEST_F(EntireLogTest, OperatorCommandExitCodes) {
  LayOut();
  const char* tool = std::getenv("TOLVANE_GETLOG");
  ASSERT_NE(nullptr, tool) << "TOLVANE_GETLOG names the tolvane-getlog to test";
  const struct {
    const char* args;
    int code;
    const char* stderrHas;
  } rows[] = {
      {"misc /var/log/out", 0, ""},
      {"4 /var/log/out", 0, ""},
      {"--debug misc /var/log/out", 0, ":SetLogNum: set logNum 2\n"},
      {"--debug misc /var/log/out", 0,
       "\n6 TolvaneUtils: GetEntireLog: misc log copied to /var/log/out.\n"},
      {"snmpd /var/log/none", 1, "could not be assembled completely"},
      {"7 /var/log/none", 1, "Initialize: Unknown log type requested.\n"},
      {"", 2, "usage: tolvane-getlog"},
      {"kernel /var/log/none", 2, "usage: tolvane-getlog"},
      {"--help", 0, ""},
  };
  for (const auto& row : rows) {
    fs::remove("/var/log/out");
    const int status = std::system(
        (tool + std::string(" ") + row.args + " >/dev/null 2>/var/log/err")
            .c_str());
    EXPECT_EQ(row.code, WEXITSTATUS(status)) << row.args;
    EXPECT_NE(std::string::npos, ReadFile("/var/log/err").find(row.stderrHas))
        << row.args;
    EXPECT_EQ(std::string(row.args).find("out") == std::string::npos
                  ? "<missing>"
                  : Log(),
              ReadFile("/var/log/out"))
        << row.args;
  }
  EXPECT_FALSE(fs::exists("/var/log/none"));
}

}  // namespace
}  // namespace tolvane_test
