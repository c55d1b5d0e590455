// Parts of a history: after a stored position (growth, rotation, the wrap,
// a generation rotated away, a replaced file, nothing new), a time window
// that follows the age order, and a size budget cut at a line start.

#include <sys/stat.h>
#include <utime.h>

#include <csignal>
#include <filesystem>

#include "support.h"
#include "tolvane_report.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::LOGTYPE_MISC;
using nq_tolvane::PieceStatus;
using nq_tolvane::Rule;
using nq_tolvane::Selection;

std::string Active(int n) {
  char name[64];
  std::snprintf(name, sizeof name, "/var/log/misc%05d.log", n);
  return name;
}
std::string Archive(int n) { return Active(n) + ".gz"; }
std::string From(const std::string& source, std::size_t byte,
                 const std::string& content) {
  return "\n" + source + " follows from byte " + std::to_string(byte) +
         ":\n\n" + content;
}

// The device rotates active log `n` into its archive and starts `n` + 1.
void Rotate(int n) {
  WriteGz(Archive(n), ReadFile(Active(n)));
  fs::remove(Active(n));
  WriteFile(Active((n + 1) % 65536), "");
  WriteFile("/var/log/misc.txt", std::to_string((n + 1) % 65536) + "\n");
}

void Append(const std::string& path, const std::string& text) {
  WriteFile(path, ReadFile(path) + text);
}

void SetEnd(const std::string& path, long time) {
  const utimbuf times{time, time};
  ASSERT_EQ(0, utime(path.c_str(), &times)) << path;
}

class SelectionTest : public DeviceTest {
 protected:
  // Runs the request into /var/log/out: its result; *out the output.
  bool Run(const Selection& selection, std::string* out = nullptr) {
    fs::remove("/var/log/out");
    const bool result = nq_tolvane::AssembleLog(LOGTYPE_MISC, "/var/log/out",
                                                selection, &report_);
    if (out != nullptr) *out = ReadFile("/var/log/out");
    return result;
  }
  // A selection after the position of the last request.
  Selection After() {
    Selection selection;
    selection.after = report_.position;
    return selection;
  }
  // The number of decompressions the requests since the last call ran.
  std::size_t Decompressed() {
    return With(TakeBrev(), "7 ExtractArchive").size();
  }

  nq_tolvane::Report report_;
};

// A cursor follows the log through growth, nothing new, a rotation and the
// wrap: each request writes what came since the last, and nothing again.
TEST_F(SelectionTest, PositionFollowsGrowthRotationAndTheWrap) {
  WriteFile("/var/log/misc.txt", "65534\n");
  WriteGz(Archive(65533), "z1\n");
  WriteFile(Active(65534), "a1\na2\n");
  std::string out;
  ASSERT_TRUE(Run(Selection(), &out));
  EXPECT_EQ(Block(Archive(65533), "z1\n") + Block(Active(65534), "a1\na2\n"),
            out);

  Append(Active(65534), "a3\n");  // growth
  TakeBrev();
  ASSERT_TRUE(Run(After(), &out));
  EXPECT_EQ(From(Active(65534), 6, "a3\n"), out);
  EXPECT_EQ(PieceStatus::kSelectedOut, report_.pieces[0].status);
  EXPECT_EQ(Rule::kPosition, report_.pieces[0].droppedBy);
  EXPECT_EQ(6u, report_.pieces[1].startByte);
  EXPECT_EQ(0u, Decompressed());

  const std::string before = report_.position;  // nothing new
  ASSERT_TRUE(Run(After(), &out));
  EXPECT_EQ("", out);
  EXPECT_EQ(before, report_.position);
  EXPECT_TRUE(report_.outputWritten);
  EXPECT_EQ(0u, Decompressed());

  Append(Active(65534), "a4\n");  // a request that does not complete
  EXPECT_EQ(0, RunAs("", [&] {
              std::signal(SIGCHLD, SIG_IGN);  // no command's status comes
              return !Run(After()) && report_.position == before ? 0 : 1;
            }));

  Rotate(65534);  // the rest of that generation, then the newer one
  Append(Active(65535), "b1\n");
  ASSERT_TRUE(Run(After(), &out));
  EXPECT_EQ(From(Archive(65534), 9, "a4\n") + Block(Active(65535), "b1\n"),
            out);

  Rotate(65535);  // the wrap, with nothing more in 65535
  Append(Active(0), "c1\n");
  ASSERT_TRUE(Run(After(), &out));
  EXPECT_EQ(Block(Active(0), "c1\n"), out);
  EXPECT_EQ(Rule::kPosition, report_.pieces[2].droppedBy);
  EXPECT_FALSE(report_.positionMismatch || report_.positionGone);
}

// Two requests with growth and a rotation between hold every line once.
TEST_F(SelectionTest, TwoRequestsTogetherHoldEveryLineOnce) {
  WriteFile("/var/log/misc.txt", "7\n");
  WriteGz(Archive(6), "line 1\n");
  WriteFile(Active(7), "line 2\nline 3\n");
  std::string first, second;
  ASSERT_TRUE(Run(Selection(), &first));
  Append(Active(7), "line 4\n");
  Rotate(7);
  Append(Active(8), "line 5\n");
  ASSERT_TRUE(Run(After(), &second));
  std::string lines;
  for (const std::string& out : {first, second})
    for (std::size_t at = 0; (at = out.find("line ", at)) != std::string::npos;
         at = out.find('\n', at))
      lines += out.substr(at, out.find('\n', at) - at) + ";";
  EXPECT_EQ("line 1;line 2;line 3;line 4;line 5;", lines);
}

// The generation of the position is gone: everything after it comes, and
// the report says what lay between is gone. A position whose file was
// replaced does not match: that piece comes whole, and the report says so.
TEST_F(SelectionTest, PositionGoneOrNotMatching) {
  WriteFile("/var/log/misc.txt", "5\n");
  WriteFile(Active(5), "old five\n");
  ASSERT_TRUE(Run(Selection()));
  const Selection atFive = After();
  Rotate(5);
  Rotate(6);
  fs::remove(Archive(5));
  fs::remove(Archive(6));
  WriteGz(Archive(7), "seven\n");
  fs::remove(Active(7));
  WriteFile("/var/log/misc.txt", "8\n");
  WriteFile(Active(8), "eight\n");
  std::string out;
  ASSERT_TRUE(Run(atFive, &out));
  EXPECT_EQ(Block(Archive(7), "seven\n") + Block(Active(8), "eight\n"), out);
  EXPECT_TRUE(report_.positionGone);
  EXPECT_FALSE(report_.positionMismatch);

  const struct {
    const char* name;
    std::function<void()> replace;
    std::string whole;
  } rows[] = {
      {"active log", [] { WriteFile(Active(8), "EIGHT, anew\n"); },
       Block(Active(8), "EIGHT, anew\n")},
      {"archive",
       [] {
         Rotate(8);
         WriteGz(Archive(8), "another eight\n");
       },
       Block(Archive(8), "another eight\n") + Block(Active(9), "")},
  };
  for (const auto& row : rows) {
    ASSERT_TRUE(Run(Selection()));
    const Selection after = After();
    row.replace();
    ASSERT_TRUE(Run(after, &out)) << row.name;
    EXPECT_EQ(row.whole, out) << row.name;
    EXPECT_TRUE(report_.positionMismatch) << row.name;
  }
}

// Pieces by the time they ended, in the order of their numbers: 98 ended
// at 100, 99 at 200, and after a clock that went back 1 at 50 and 2 at 60.
TEST_F(SelectionTest, WindowFollowsTheAgeOrderNotTheClock) {
  LayOut();
  WriteFile("/var/log/misc.txt", "3\n");
  fs::rename("/var/log/misc00002.log", Active(3));
  WriteGz(Archive(2), "misc archive 2\n");
  const int ends[] = {100, 200, 50, 60, 300};
  const std::string paths[] = {Archive(98), Archive(99), Archive(1), Archive(2),
                               Active(3)};
  for (int i = 0; i < 5; ++i) SetEnd(paths[i], ends[i]);
  const struct {
    std::optional<std::int64_t> since, until;
    const char* selected;  // one letter per piece: the rule or 'y'
    bool before;           // reaches back past the oldest generation
  } rows[] = {
      {150, {}, "syyyy", false},  {{}, 150, "yyuuu", false},
      {150, 150, "syuuu", false}, {10, {}, "yyyyy", true},
      {400, {}, "sssss", false},
  };
  for (const auto& row : rows) {
    Selection selection;
    selection.since = row.since;
    selection.until = row.until;
    TakeBrev();
    std::string out;
    ASSERT_TRUE(Run(selection, &out));
    nq_tolvane::Plan plan;
    ASSERT_TRUE(nq_tolvane::PlanLog(LOGTYPE_MISC, selection, &plan));
    std::string got, planned;
    const char letters[] = "ypsub";
    for (std::size_t i = 0; i < 5; ++i) {
      got += letters[static_cast<int>(report_.pieces[i].droppedBy)];
      planned += letters[static_cast<int>(plan.pieces[i].droppedBy)];
    }
    EXPECT_EQ(row.selected, got) << row.selected;
    EXPECT_EQ(row.selected, planned);
    EXPECT_EQ(row.before, report_.windowBeforeHistory) << row.selected;
    // Only what is selected is decompressed.
    const std::string kept = got.substr(0, 4);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), 'y'), Decompressed());
  }
}

// The newest end within the budget, headers included: whole pieces from
// the old end go, and the oldest kept starts at a line.
TEST_F(SelectionTest, BudgetKeepsTheNewestEndFromALineStart) {
  LayOut();
  WriteGz(Archive(1), "first line\nsecond line\nthird line\n");
  const std::string active = Block(Active(2), "misc active 2\nno line feed");
  const std::string third = "third line\n";
  const std::string cut = From(Archive(1), 23, third);
  const struct {
    std::uint64_t budget;
    std::string out;
    const char* planned;  // what the sizes known beforehand drop: b
  } rows[] = {
      {active.size() + cut.size(), cut + active, "bbyy"},
      {active.size() + cut.size() + 9, cut + active, "bbyy"},  // all takes 10
      {active.size() + cut.size() - 1, active, "bbyy"},
      {active.size() - 1, From(Active(2), 14, "no line feed"), "bbby"},
      {10, "", "bbbb"},
  };
  for (const auto& row : rows) {
    Selection selection;
    selection.maxBytes = row.budget;
    TakeBrev();
    std::string out;
    ASSERT_TRUE(Run(selection, &out)) << row.budget;
    EXPECT_EQ(row.out, out) << row.budget;
    EXPECT_LE(Decompressed(), 1u) << "98 and 99 do not fit";
    nq_tolvane::Plan plan;
    ASSERT_TRUE(nq_tolvane::PlanLog(LOGTYPE_MISC, selection, &plan));
    std::string planned;
    for (const auto& piece : plan.pieces)
      planned += piece.droppedBy == Rule::kBudget ? 'b' : 'y';
    EXPECT_EQ(row.planned, planned) << row.budget;
  }
}

// A selection that cannot apply fails the request with nothing written.
TEST_F(SelectionTest, RefusedSelectionWritesNothing) {
  LayOut();
  WriteFile("/var/log/out", "earlier");
  const struct {
    std::string after;
    std::optional<std::int64_t> since, until;
    const char* failure;
  } rows[] = {
      {"tolvane1:audit:00001:0:cbf29ce484222325",
       {},
       {},
       "a position of log audit, not of log misc"},
      {"tolvane1:misc:1:0:cbf29ce484222325",
       {},
       {},
       "not a position: tolvane1:misc:1:0:cbf29ce484222325"},
      {"", 20, 10, "the window ends before it starts"},
  };
  for (const auto& row : rows) {
    Selection selection;
    selection.after = row.after;
    selection.since = row.since;
    selection.until = row.until;
    nq_tolvane::Report report;
    EXPECT_FALSE(nq_tolvane::AssembleLog(LOGTYPE_MISC, "/var/log/out",
                                         selection, &report));
    EXPECT_EQ(row.failure, report.failure);
    EXPECT_EQ("earlier", ReadFile("/var/log/out"));
  }
}

}  // namespace
}  // namespace tolvane_test
