// Parts of a history written by the streaming engine on a device laid out
// in the sandbox: after a position, a time window in age order, a size
// budget cut at a line start, damaged archives; and the same bytes as the
// commands' way over a table of device states.

#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <optional>

#include "core/Position.h"
#include "core/Request.h"
#include "support.h"
#include "tolvane_report.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::LOGTYPE_MISC;
using nq_tolvane::Selection;

std::string Active(int n) { return MiscPath(n, ".log"); }
std::string Archive(int n) { return MiscPath(n, ".log.gz"); }

class SelectionTest : public DeviceTest {
 protected:
  // Runs the request into /var/log/out: its result; *out the output.
  bool Run(const Selection& selection, std::string* out = nullptr) {
    const bool result = nq_tolvane::AssembleLog(LOGTYPE_MISC, "/var/log/out",
                                                selection, &report_);
    if (out != nullptr) *out = ReadFile("/var/log/out");
    return result;
  }
  nq_tolvane::Report report_;
};

// The plan drops what the request would, each rule a letter per piece,
// with the position's and the window's notes. The window follows the age
// order, not the clock: 01 ended before 99, its clock having gone back.
TEST_F(SelectionTest, PlanShowsWhatTheSelectionKeeps) {
  LayOut();
  WriteFile(Active(2), std::string(1 << 20, 'x'));
  const long now = std::time(nullptr);
  const std::string paths[] = {Archive(98), Archive(99), Archive(1), Active(2)};
  const long ends[] = {now - 3 * 86400, now - 7200, now - 4 * 86400, now - 10};
  for (int i = 0; i < 4; ++i) SetEnd(paths[i], ends[i]);
  const std::string mismatch = "tolvane1:misc:00002:5:0000000000000000";
  const std::string gone = "tolvane1:misc:00097:0:cbf29ce484222325";
  const struct {
    std::optional<std::int64_t> since, until;
    std::optional<std::uint64_t> budget;
    std::string after;
    const char* selected;  // "ypsub"[rule], then the notes: "M" mismatch,
                           // "G" gone, "B" before the history
  } rows[] = {
      {now - 3600, {}, {}, "", "sssy"},       {{}, now - 7200, {}, "", "yyuu"},
      {now - 5 * 86400, {}, {}, "", "yyyyB"}, {{}, {}, 1000000, "", "bbby"},
      {{}, {}, {}, mismatch, "pppyM"},        {{}, {}, {}, gone, "yyyyG"},
  };
  for (const auto& row : rows) {
    Selection selection;
    selection.since = row.since;
    selection.until = row.until;
    selection.maxBytes = row.budget;
    selection.after = row.after;
    nq_tolvane::Plan plan;
    ASSERT_TRUE(nq_tolvane::PlanLog(LOGTYPE_MISC, selection, &plan));
    std::string got;
    for (const auto& piece : plan.pieces)
      got += "ypsub"[static_cast<int>(piece.droppedBy)];
    got += std::string(plan.found.positionMismatch ? "M" : "") +
           (plan.found.positionGone ? "G" : "") +
           (plan.found.windowBeforeHistory ? "B" : "");
    EXPECT_EQ(row.selected, got);
  }
}

// A selection that cannot apply fails the request with nothing written.
TEST_F(SelectionTest, RefusedSelectionWritesNothing) {
  LayOut();
  WriteFile("/var/log/out", "earlier");
  Selection audit, garbled, backwards;
  audit.after = "tolvane1:audit:00001:0:cbf29ce484222325";
  garbled.after = "tolvane1:misc:1:0:cbf29ce484222325";
  backwards.since = 20;
  backwards.until = 10;
  for (const auto& [selection, failure] :
       {std::pair(audit, "a position of log audit, not of log misc"),
        {garbled, "not a position: tolvane1:misc:1:0:cbf29ce484222325"},
        {backwards, "the window ends before it starts"}}) {
    EXPECT_FALSE(Run(selection));
    EXPECT_EQ(failure, report_.failure);
    EXPECT_EQ("earlier", ReadFile("/var/log/out"));
  }
}

// A snapshot writes the bytes the commands of GetEntireLog write, and ends
// at the same position, for the same files: across the wrap, hostile names,
// several members, bytes after the compressed data.
TEST_F(DeviceTest, StreamingWritesWhatTheCommandsWrite) {
  const std::string several = Archive(1);
  const struct {
    const char* name;
    std::function<void()> layOut;
  } rows[] = {
      {"across the wrap", [] {}},
      {"hostile names",
       [] {
         for (const std::string& tail :
              std::vector<std::string>{"'", "$(touch pwned)", "\\c", "\n-n",
                                       " -rf *", std::string(255 - 16, 'n')})
           WriteGz("/var/log/misc00001" + tail + ".log.gz", tail + "\n");
       }},
      {"several members",
       [&] {
         WriteGz(several, "one\n");
         WriteGz("/var/log/two.gz", "two\n");
         WriteFile(several, ReadFile(several) + ReadFile("/var/log/two.gz"));
         fs::remove("/var/log/two.gz");
       }},
      {"bytes after the compressed data",
       [&] { WriteFile(several, ReadFile(several) + "junk"); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (const auto& entry : fs::directory_iterator("/var/log"))
      fs::remove_all(entry);
    LayOut();
    row.layOut();
    for (const auto& entry : fs::directory_iterator("/var/log"))
      SetEnd(entry.path(), std::time(nullptr) - 3600);
    nq_tolvane::Report commands, streaming;
    const bool done = nq_tolvane::AssembleEntireLog(
        LOGTYPE_MISC, "/var/tmp/commands", &commands, nullptr);
    EXPECT_EQ(done, nq_tolvane::AssembleLog(LOGTYPE_MISC, "/var/tmp/stream",
                                            Selection(), &streaming));
    EXPECT_EQ(ReadFile("/var/tmp/commands"), ReadFile("/var/tmp/stream"));
    EXPECT_NE("<missing>", ReadFile("/var/tmp/stream"));
    EXPECT_EQ(commands.position, streaming.position);
    EXPECT_FALSE(fs::exists("/var/log/pwned"));
  }
}

}  // namespace
}  // namespace tolvane_test
