// tolvane-getlog's command line, read in process: every form of TIME and
// SIZE, the options and their usage errors, and the cursor file that would
// also be the output.

#include "Options.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace tolvane_getlog {
namespace {

constexpr std::int64_t kNow = 1767225600;  // 2026-01-01T00:00:00Z

// US Eastern time by its rule, no time zone file needed: 2020-03-01 00:00 is
// 1583038800; on 2026-03-08 the clock skips from 02:00 to 03:00.
class EasternTime : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    tzset();
  }
  void TearDown() override {
    unsetenv("TZ");
    tzset();
  }
};

using TimeTest = EasternTime;

TEST_F(TimeTest, EachFormAndWhatIsNone) {
  const struct {
    const char* text;
    std::int64_t seconds;  // -1: refused
  } rows[] = {
      {"@9223372036854775807", INT64_MAX},
      {"2020-03-01", 1583038800},
      {"2020-02-29 23:59:59", 1583038799},
      {"2020-02-29T23:30", 1583037000},
      {"2020-07-01 12:00", 1593619200},  // summer time
      {"-90s", kNow - 90},
      {"-5m", kNow - 300},
      {"-2h", kNow - 7200},
      {"-3d", kNow - 3 * 86400},
      {"-106751991167300d", kNow - 9223372036854720000},
      {"@9223372036854775808", -1},
      {"@-5", -1},
      {"", -1},
      {"yesterday", -1},
      {"2026-02-30", -1},        // mktime would make it March 2
      {"2026-03-01 24:00", -1},  // and this March 2
      {"2026-03-01 12:60", -1},
      {"2026-03-08 02:30", -1},  // the hour the clock skips
      {"2026-03-01 12:00:5", -1},
      {"2026-03-01x12:00", -1},
      {"2026-03-01 +1:00", -1},
      {"-5w", -1},
      {"-106751991167301d", -1},  // past the range of seconds
  };
  for (const auto& row : rows) {
    std::int64_t seconds = -1;
    const bool read = ParseTime(row.text, kNow, &seconds);
    EXPECT_EQ(row.seconds, read ? seconds : -1) << row.text;
  }
}

TEST(SizeTest, EachFormAndWhatIsNone) {
  const struct {
    const char* text;
    bool read;
    std::uint64_t bytes;
  } rows[] = {
      {"65536", true, 65536},
      {"1K", true, 1024},
      {"10M", true, 10 << 20},
      {"3G", true, 3ull << 30},
      {"18446744073709551615", true, UINT64_MAX},
      {"17179869183G", true, 17179869183ull << 30},
      {"18446744073709551616", false, 0},
      {"17179869184G", false, 0},
      {"", false, 0},
      {"K", false, 0},
      {"1K2", false, 0},
      {"1k", false, 0},
      {"+1", false, 0},
  };
  for (const auto& row : rows) {
    std::uint64_t bytes = 7;
    const bool read = ParseSize(row.text, &bytes);
    EXPECT_EQ(row.read ? row.bytes : 7, bytes) << row.text;
    EXPECT_EQ(row.read, read) << row.text;
  }
}

// What `options` holds, in short, for comparing.
std::string Describe(const Options& options) {
  const nq_tolvane::Selection& selection = options.selection;
  std::string text = "type " + std::to_string(options.type);
  if (!options.output.empty()) text += " output " + options.output;
  if (options.debug) text += " debug";
  if (options.list) text += " list";
  if (options.selecting) text += " selecting";
  if (selection.since) text += " since " + std::to_string(*selection.since);
  if (selection.until) text += " until " + std::to_string(*selection.until);
  if (selection.maxBytes) text += " max " + std::to_string(*selection.maxBytes);
  if (options.cursor) text += " cursor " + *options.cursor;
  if (options.toCommand) text += " command " + *options.toCommand;
  return text;
}

using OptionsTest = EasternTime;

// Each row: the words, and what they give: the options, "usage" for the
// usage alone, or the line of the usage error.
TEST_F(OptionsTest, CommandLines) {
  const struct {
    std::vector<std::string> args;
    std::string gives;
  } rows[] = {
      {{"misc", "out"}, "type 4 output out"},
      {{"4", "-"}, "type 4 output -"},
      {{"--list", "snmpd"}, "type 3 list"},
      {{"--debug", "--to-command", "curl -T -", "--since", "-1h", "brev"},
       "type 2 debug selecting since 1767222000 command curl -T -"},
      {{"--since", "2020-03-01", "--until", "@1583038800", "--max-size", "1K",
        "--cursor-file", "c", "misc", "out"},
       "type 4 output out selecting since 1583038800 until 1583038800 max "
       "1024 cursor c"},
      {{}, "usage"},
      {{"kernel", "out"}, "usage"},
      {{"misc"}, "usage"},
      {{"misc", ""}, "usage"},
      {{"misc", "out", "more"}, "usage"},
      {{"--list", "misc", "out"}, "usage"},
      {{"--debug", "--debug", "misc", "out"}, "usage"},
      {{"--debug", "--list", "misc"}, "usage"},
      {{"--verbose", "misc", "out"}, "usage"},
      {{"--since"}, "--since needs a TIME"},
      {{"--list", "--max-size"}, "--max-size needs a SIZE"},
      {{"--cursor-file"}, "--cursor-file needs a FILE"},
      {{"--to-command"}, "--to-command needs a COMMAND"},
      {{"--since", "@1", "--since", "@2", "misc", "out"},
       "--since given twice"},
      {{"--until", "@1", "--until", "@2", "misc", "out"},
       "--until given twice"},
      {{"--max-size", "1", "--max-size", "2", "misc", "out"},
       "--max-size given twice"},
      {{"--cursor-file", "a", "--cursor-file", "a", "misc", "out"},
       "--cursor-file given twice"},
      {{"--to-command", "cat", "--to-command", "cat", "misc"},
       "--to-command given twice"},
      {{"--since", "yesterday", "misc", "out"},
       "--since: cannot read the time \"yesterday\""},
      {{"--until", "2026-02-30\n", "misc", "out"},
       "--until: cannot read the time \"2026-02-30\\n\""},
      {{"--max-size", "1K2", "misc", "out"},
       "--max-size: cannot read the size \"1K2\""},
      {{"--since", "@20", "--until", "@10", "misc", "out"},
       "the window ends before it starts: --until @10 is before --since @20"},
      {{"--since", "@10", "--until", "@10", "misc", "out"},
       "type 4 output out selecting since 10 until 10"},
      {{"--to-command", "cat", "misc", "out"},
       "--to-command takes the place of OUTPUT"},
      {{"--list", "--to-command", "cat", "misc"},
       "--list and --to-command exclude each other"},
      {{"--to-command", "", "misc"}, "--to-command: the COMMAND is empty"},
  };
  for (const auto& row : rows) {
    Options options;
    const UsageError error = ParseOptions(row.args, kNow, &options);
    const std::string got = error.status == 0       ? Describe(options)
                            : error.problem.empty() ? "usage"
                                                    : error.problem;
    EXPECT_EQ(row.gives, got) << ::testing::PrintToString(row.args);
    EXPECT_EQ(error.status == 0 ? 0 : 2, error.status);
  }
}

// In a directory of its own: the file F, a link to it and another file O.
TEST(CursorIsOutputTest, SameFileByAnyName) {
  const std::string dir =
      ::testing::TempDir() + "cursor." + std::to_string(getpid());
  ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
  ASSERT_EQ(0, mkdir((dir + "/sub").c_str(), 0700));
  const std::string f = dir + "/F", o = dir + "/O";
  for (const std::string& file : {f, o})
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  ASSERT_EQ(0, symlink(f.c_str(), (dir + "/link").c_str()));
  const struct {
    std::string cursor, output;
    const std::string* standardOutput;  // the file of "-"
    bool same;
  } rows[] = {
      {f, f, nullptr, true},
      {f, dir + "/./F", nullptr, true},
      {dir + "/sub/../F", f, nullptr, true},
      {f, dir + "/link", nullptr, true},
      {f, "-", &f, true},
      {f, o, nullptr, false},
      {f, "-", &o, false},
      {dir + "/N", dir + "/./N", nullptr, true},  // neither there yet
      {dir + "/N", dir + "/M", nullptr, false},
      {dir + "/N", dir + "/sub/N", nullptr, false},
      {dir + "/N", f, nullptr, false},
  };
  for (const auto& row : rows) {
    Options options;
    options.cursor = row.cursor;
    options.output = row.output;
    const int fd =
        row.standardOutput ? open(row.standardOutput->c_str(), O_WRONLY) : -1;
    const UsageError error = CheckCursorIsNotOutput(options, fd);
    if (fd >= 0) close(fd);
    EXPECT_EQ(row.same ? 2 : 0, error.status)
        << row.cursor << " " << row.output;
    EXPECT_EQ(
        row.same ? "the cursor file " + row.cursor + " is also the output" : "",
        error.problem);
  }
  Options list;  // --list writes no output
  list.cursor = f;
  EXPECT_EQ(0, CheckCursorIsNotOutput(list, -1).status);
  EXPECT_EQ(0, std::system(("rm -r '" + dir + "'").c_str()));
}

}  // namespace
}  // namespace tolvane_getlog
