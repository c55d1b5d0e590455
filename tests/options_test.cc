// tolvane-getlog's command line, read in process: every form of TIME and SIZE,
// the options, their usage errors and the cursor files that are refused.

#include "Options.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace tolvane_getlog {
namespace {

constexpr std::int64_t kNow = 1767225600;  // 2026-01-01T00:00:00Z

TEST(TimeTest, EachFormAndWhatIsNone) {
  // US Eastern time by its rule, no time zone file needed: 2020-03-01 00:00
  // is 1583038800; on 2026-03-08 the clock skips from 02:00 to 03:00.
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  const struct {
    const char* text;
    std::int64_t seconds;  // -1: refused
  } rows[] = {
      {"@9223372036854775807", INT64_MAX},
      {"2020-03-01", 1583038800},
      {"2020-02-29 23:59:59", 1583038799},
      {"2020-07-01T12:00", 1593619200},  // summer time
      {"-90s", kNow - 90},
      {"-5m", kNow - 300},
      {"-2h", kNow - 7200},
      {"-106751991167300d", kNow - 9223372036854720000},  // the most days
      {"@9223372036854775808", -1},
      {"@-5", -1},
      {"2026-02-30", -1},        // mktime would make it March 2
      {"2026-03-08 02:30", -1},  // the hour the clock skips
      {"2026-03-01 12:00:5", -1},
      {"2026-03-01x12:00", -1},
      {"2026-03-01 12.00", -1},
      {"2026-03-01 +1:00", -1},
      {"-5w", -1},
      {"-106751991167301d", -1},  // past the range of seconds
  };
  for (const auto& row : rows) {
    std::int64_t seconds = -1;
    const bool read = ParseTime(row.text, kNow, &seconds);
    EXPECT_EQ(row.seconds, read ? seconds : -1) << row.text;
  }
  unsetenv("TZ");
  tzset();
}

TEST(SizeTest, EachFormAndWhatIsNone) {
  const struct {
    const char* text;
    std::optional<std::uint64_t> bytes;  // none: refused
  } rows[] = {
      {"1K", 1024},
      {"10M", 10 << 20},
      {"18446744073709551615", UINT64_MAX},
      {"17179869183G", 17179869183ull << 30},
      {"18446744073709551616", {}},
      {"17179869184G", {}},
      {"K", {}},
      {"1k", {}},
      {"+1", {}},
  };
  for (const auto& row : rows) {
    std::uint64_t bytes = 0;
    const bool read = ParseSize(row.text, &bytes);
    EXPECT_EQ(row.bytes, read ? std::make_optional(bytes) : std::nullopt)
        << row.text;
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
  if (selection.format != nq_tolvane::OutputFormat::kPieces)
    text += " format " + std::to_string(static_cast<int>(selection.format));
  return text;
}

// Each row: the words, and what they give: the options, or the line of the
// usage error.
TEST(OptionsTest, CommandLines) {
  const struct {
    std::vector<std::string> args;
    std::string gives;
  } rows[] = {
      {{"--list", "snmpd"}, "type 3 list"},
      {{"--debug", "--to-command", "curl -T -", "--since", "-1h", "brev"},
       "type 2 debug selecting since 1767222000 command curl -T -"},
      // A window that ends where it starts is one.
      {{"--since", "@10", "--until", "@10", "--max-size", "1K", "--cursor-file",
        "c", "4", "-"},
       "type 4 output - selecting since 10 until 10 max 1024 cursor c"},
      {{"foo", "OUT"}, "unknown log type \"foo\""},
      {{"7", "OUT"}, "unknown log type \"7\""},
      {{"0", "OUT"}, "unknown log type \"0\""},
      {{"-1", "OUT"}, "unknown log type \"-1\""},
      {{"99999999999", "OUT"}, "unknown log type \"99999999999\""},
      {{"--debug"}, "TYPE is missing"},
      {{"misc"}, "OUTPUT is missing"},
      {{"misc", ""}, "OUTPUT is empty"},
      {{"misc", "out", "x\ty"}, "unexpected argument \"x\\ty\""},
      {{"--list", "misc", "out"}, "unexpected argument \"out\""},
      {{"misc", "out", "--since", "-1h"}, "options come before TYPE: --since"},
      {{"--sinse", "-1h", "misc", "o"}, "unknown option --sinse"},
      {{"--debug", "--help"}, "--help must be the first word"},
      {{"--debug", "--list", "misc"}, "--debug and --list exclude each other"},
      {{"--debug", "--debug"}, "--debug given twice"},
      {{"--list", "--list", "misc"}, "--list given twice"},
      {{"--list", "--max-size"}, "--max-size needs a SIZE"},
      {{"--until", "@1", "--until", "@2"}, "--until given twice"},
      {{"--until", "2026-02-30\n"},
       "--until: cannot read the time \"2026-02-30\\n\""},
      {{"--max-size", "10\tM"}, "--max-size: cannot read the size \"10\\tM\""},
      {{"--since", "@20", "--until", "@10", "misc", "out"},
       "the window ends before it starts: --until @10 is before --since @20"},
      {{"--to-command", "cat", "misc", "out"},
       "--to-command takes the place of OUTPUT"},
      {{"--list", "--to-command", "cat", "misc"},
       "--list and --to-command exclude each other"},
      {{"--to-command", ""}, "--to-command: the COMMAND is empty"},
      {{"-o", "json", "--cursor-file", "c", "--to-command", "cat", "misc"},
       "type 4 selecting cursor c command cat format 2"},
      {{"--output", "cat", "misc", "-"}, "type 4 output - format 1"},
      {{"-o", "pieces", "misc", "-"}, "type 4 output -"},
      {{"-o", "xml"}, "-o: unknown format \"xml\" (pieces, cat or json)"},
      {{"-o", "cat", "--output", "cat"}, "--output given twice"},
      {{"--list", "-o", "cat", "misc"},
       "--list and --output exclude each other"},
      {{"misc", "-", "-o", "json"}, "options come before TYPE: -o"},
  };
  for (const auto& row : rows) {
    Options options;
    const UsageError error = ParseOptions(row.args, kNow, &options);
    const std::string got =
        error.status == 0 ? Describe(options) : error.problem;
    EXPECT_EQ(row.gives, got) << ::testing::PrintToString(row.args);
    EXPECT_EQ(error.status == 0 ? 0 : 2, error.status);
  }
}

// In a directory of its own: the file F, a link to it and another file O.
// A cursor file is refused when it is the output, or when its directory is
// missing; one that is not there yet is not.
TEST(CursorFileTest, SameFileByAnyNameOrNoDirectory) {
  const std::string dir =
      ::testing::TempDir() + "cursor." + std::to_string(getpid());
  ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
  const std::string f = dir + "/F", o = dir + "/O";
  for (const std::string& file : {f, o})
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
  ASSERT_EQ(0, symlink(f.c_str(), (dir + "/link").c_str()));
  const auto output = [](const std::string& cursor) {
    return "the cursor file " + cursor + " is also the output";
  };
  const struct {
    std::string cursor, output;
    const std::string* standardOutput;  // the file of "-"
    std::string problem;                // "" for none
  } rows[] = {
      {f, f, nullptr, output(f)},
      {f, dir + "/./F", nullptr, output(f)},
      {f, dir + "/link", nullptr, output(f)},
      {f, "-", &f, output(f)},
      {f, o, nullptr, ""},
      {f, "-", &o, ""},
      {dir + "/N", dir + "/./N", nullptr, output(dir + "/N")},  // neither yet
      {dir + "/N", dir + "/M", nullptr, ""},
      {dir + "/N", dir + "/../N", nullptr, ""},
      {dir + "/n\to/c", o, nullptr,
       "the directory " + dir + "/n\\to of the cursor file " + dir +
           "/n\\to/c does not exist"},
  };
  for (const auto& row : rows) {
    Options options;
    options.cursor = row.cursor;
    options.output = row.output;
    const int fd =
        row.standardOutput ? open(row.standardOutput->c_str(), O_WRONLY) : -1;
    const UsageError error = CheckCursorIsNotOutput(options, fd);
    if (fd >= 0) close(fd);
    EXPECT_EQ(error.problem.empty() ? 0 : 2, error.status);
    EXPECT_EQ(row.problem, error.problem + MissingCursorDirectory(options))
        << row.cursor << " " << row.output;
  }
  EXPECT_EQ(0, std::system(("rm -r '" + dir + "'").c_str()));
}

}  // namespace
}  // namespace tolvane_getlog
