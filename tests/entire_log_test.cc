// GetEntireLog on a device laid out in the sandbox.

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
  const std::string dir = "/var/tmp/tolvane." + Pid() + ".XXXXXX/misc000";
  const std::string tag = "-" + Pid() + ".txt";
  auto extract = [&](const char* n) {
    return std::string(
               "7 ExtractArchive: sudo /bin/gunzip -c /var/log/misc000") +
           n + ".log.gz > " + dir + n + ".log.gz" + tag + " 2>/dev/null";
  };
  auto processed = [&](const char* piece) {
    return "7 CreateSingleLogFile: processed " + dir + piece + tag + ".";
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

// Fails each allocation of a request in turn, with archives on both sides of
// the wrap.
TEST_F(EntireLogTest, ExceptionsLeakNothingAndReleaseTheLock) {
  LayOut();
  fs::remove("/var/log/misc00098.log.gz");
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
  EXPECT_EQ(Log({"99", "01", "active"}), ReadFile("/var/log/out"));
}

}  // namespace
}  // namespace tolvane_test
