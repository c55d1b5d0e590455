// Log-type selection, diagnostics and sequence numbers.

#include <ctime>
#include <sstream>

#include "support.h"

namespace tolvane_test {
namespace {

using nq_tolvane::LogType;

// The text without each line's leading local time and colon.
std::string WithoutTimes(const std::string& text) {
  std::istringstream lines(text);
  std::string rest;
  for (std::string line; std::getline(lines, line);) {
    std::tm time{};
    const char* end = strptime(line.c_str(), "%a %b %e %H:%M:%S %Y", &time);
    if (end != line.c_str() + 24 || *end != ':') return "<no time>: " + line;
    rest += line.substr(25) + "\n";
  }
  return rest;
}

TEST(FindLogNum, ReadsFiveCharactersBehindThePrefixLength) {
  const struct {
    const char* name;
    std::uint16_t num;
  } rows[] = {{"audit00042.log.gz", 42},
              {"audit99999.log.gz", 34463},
              {"audit42.log.gz", 42},
              {"audit00042.log", 0},
              {"snmpd00042.log.gz", 0},
              {"xaudit00042.log.gz", 0},
              {"audit-0001.log.gz", 65535},
              {"audit  7.gz", 7},
              {"audit", 0},
              {"audit.gz", 0}};
  for (const auto& row : rows)
    EXPECT_EQ(row.num, nti::FindLogNum(row.name, "audit")) << row.name;
}

using StateTest = DeviceTest;

TEST_F(StateTest, RejectedTypeLeavesNoRecord) {
  for (int type : {7, 0, -1}) {
    std::string name;
    ASSERT_TRUE(nti::Initialize(nq_tolvane::LOGTYPE_SNMPD, name));
    const std::string err = CaptureStderr([&] {
      EXPECT_FALSE(nti::Initialize(static_cast<LogType>(type), name));
      nq_tolvane::SetDebugging(true);  // no record: no effect, nothing written
      nti::SetLogNum(9);
      nti::Message("%s: hello", "Test");
    });
    EXPECT_EQ("Initialize: Unknown log type requested.\n", err);
    EXPECT_EQ("snmpd", name);
    EXPECT_FALSE(nq_tolvane::IsDebugging());
    EXPECT_EQ(0, nti::GetLogType() + nti::GetLogNum() + nti::GetLastLogNum());
    EXPECT_EQ("",
              nti::GetLogPrefix() + nti::GetActiveDir() + nti::GetBackupDir());
    EXPECT_FALSE(
        nti::compare_file_age("audit00001.log.gz", "audit00002.log.gz"));
  }
}

// Also the age order, which pivots on the current number.
TEST_F(StateTest, DiagnosticsFollowTheSwitchOfTheRecord) {
  std::string name;
  WriteFile("/var/log/misc.txt", "17\n");
  ASSERT_TRUE(nti::Initialize(nq_tolvane::LOGTYPE_MISC, name));
  EXPECT_EQ("", CaptureStderr([] { nti::SetLogNum(5); }));
  EXPECT_EQ(nq_tolvane::LOGTYPE_MISC, nti::GetLogType());
  EXPECT_EQ(5, nti::GetLogNum());
  EXPECT_EQ(17, nti::GetLastLogNum());  // the number found at selection
  nq_tolvane::SetDebugging(true);
  std::string err = CaptureStderr([] { nti::SetLogNum(100); });
  EXPECT_EQ("SetLogNum: set logNum 100\n", WithoutTimes(err));
  EXPECT_EQ(27 + 24, err.size());
  err = CaptureStderr(
      [] { EXPECT_EQ(17, nti::FindLastBackupLogNum("/var/log", "misc")); });
  EXPECT_EQ(
      "ReadCheckPointFile: reading /var/log/misc.txt.\n"
      "ReadCheckPointFile: read logNum 17 from checkpoint file\n"
      "FindLastBackupLogNum: read logNum 17 from checkpoint file\n",
      WithoutTimes(err));
  const struct {
    int a, b;
    bool older;
  } pairs[] = {
      {95, 90, false}, {65000, 3, true}, {100, 100, true}, {101, 101, false}};
  for (const auto& pair : pairs) {
    char a[32], b[32];
    std::snprintf(a, sizeof a, "misc%05d.log.gz", pair.a);
    std::snprintf(b, sizeof b, "misc%05d.log.gz", pair.b);
    EXPECT_EQ("compare_file_age: " + std::string(a) +
                  (pair.older ? " is older than " : " is newer than ") + b +
                  "\n",
              WithoutTimes(CaptureStderr([&] {
                EXPECT_EQ(pair.older, nti::compare_file_age(a, b));
              })));
  }
  // A new record starts with the switch off, so Initialize writes nothing.
  EXPECT_EQ("", CaptureStderr(
                    [&] { nti::Initialize(nq_tolvane::LOGTYPE_MISC, name); }));
  EXPECT_FALSE(nq_tolvane::IsDebugging());
}

}  // namespace
}  // namespace tolvane_test
