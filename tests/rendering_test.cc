// What tolvane-getlog tells, byte for byte, from reports and plans made
// here: its warnings and lines in their order, its last lines, the --list
// text, and names with control bytes.

#include "Rendering.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvane_getlog {
namespace {

using nq_tolvane::PieceKind;
using nq_tolvane::PieceStatus;
using nq_tolvane::Reason;
using Lines = std::vector<std::string>;

TEST(EscapedTest, ControlBytesDelAndBackslash) {
  const struct {
    std::string text, shown;
  } rows[] = {
      {"/var/log/misc00001.log.gz", "/var/log/misc00001.log.gz"},
      {"a\nb\tc\\d", "a\\nb\\tc\\\\d"},
      {std::string("\x01\x1b[31m\x7f", 7), "\\x01\\x1b[31m\\x7f"},
      {std::string("\0", 1), "\\x00"},
      {"caf\xc3\xa9 \x80", "caf\xc3\xa9 \x80"},  // UTF-8 and high bytes pass
  };
  for (const auto& row : rows) EXPECT_EQ(row.shown, Escaped(row.text));
}

// Options of a selection with a cursor file whose name holds a tab.
Options Selecting() {
  Options options;
  options.type = nq_tolvane::LOGTYPE_MISC;
  options.typeText = "misc";
  options.output = "/var/log/out";
  options.selecting = true;
  options.cursor = "/var/lib/c\tur";
  options.since = "-2d";
  options.maxSize = "10M";
  options.selection.maxBytes = 10 << 20;
  return options;
}

nq_tolvane::PieceReport Piece(const std::string& source, PieceStatus status,
                              Reason code) {
  nq_tolvane::PieceReport piece;
  piece.sourcePath = source;
  piece.status = status;
  piece.code = code;
  return piece;
}

// Everything a report can tell at once, in the order it is told.
TEST(ReportLinesTest, EachLineInItsPlace) {
  nq_tolvane::Report report;
  report.positionMismatch = report.positionGone = true;
  report.windowBeforeHistory = true;
  report.lost = {{2, 2}, {65535, 1}};
  report.pieces = {
      Piece("/var/log/misc00005.log.gz", PieceStatus::kWritten,
            Reason::kDamaged),
      Piece("/var/log/misc00006.log.gz", PieceStatus::kWritten,
            Reason::kGunzipWarned),
      Piece("/var/log/misc0000\n7.log.gz", PieceStatus::kWritten,
            Reason::kDamaged),
      Piece("/var/log/misc00008.log.gz", PieceStatus::kLeftOut,
            Reason::kNotDecompressed),
  };
  report.pieces[2].bytesLost = 4096;
  report.budgetDropped = {{3, 3}, {9, 11}};
  report.budgetDroppedBytes = 123456;
  report.waitingFor = 12;
  report.leftOut = {
      {"/var/log/misc00008.log.gz", "could not decompress",
       Reason::kNotDecompressed, 0},
      {"/var/log/misc\x01.log", "could not be copied", Reason::kNotCopied, 0}};
  report.failure = "cannot write /var/log/out: No space left on device";
  const std::string warn = "tolvane-getlog: warning: ";
  EXPECT_EQ(
      (Lines{
          warn + "the position in /var/lib/c\\tur did not match its piece, "
                 "which was written whole.",
          warn + "the generation of the position in /var/lib/c\\tur is gone; "
                 "what lay between it and the oldest piece is lost.",
          warn + "--since -2d reaches back past the oldest generation; the "
                 "history may not cover its start.",
          warn + "misc generation 00002 is missing.",
          warn + "misc generations 65535-00001 are missing.",
          warn + "/var/log/misc00005.log.gz is damaged: written as far as it "
                 "decompresses; the rest of it is lost.",
          warn + "/var/log/misc0000\\n7.log.gz is damaged: written as far as "
                 "it decompresses; 4096 bytes lost.",
          warn + "--max-size 10M dropped 123456 bytes of generation 00003, "
                 "generations 00009-00011; the cursor passes them for good.",
          "tolvane-getlog: misc is being rotated: this run ends before "
          "generation 00012, which a later run writes.",
          "tolvane-getlog: /var/log/misc00008.log.gz left out: could not "
          "decompress.",
          "tolvane-getlog: /var/log/misc\\x01.log left out: could not be "
          "copied.",
          "tolvane-getlog: cannot write /var/log/out: No space left on "
          "device.",
      }),
      ReportLines(Selecting(), report));
  nq_tolvane::Report complete;
  complete.complete = true;
  EXPECT_EQ(Lines{}, ReportLines(Selecting(), complete));
  EXPECT_EQ(Lines{"tolvane-getlog: no file of log misc was found."},
            ReportLines(Selecting(), nq_tolvane::Report()));
}

// What --max-size dropped is told only where a stored position passes it.
TEST(ReportLinesTest, BudgetLineNeedsCursorAndMaxSize) {
  nq_tolvane::Report report;
  report.complete = true;
  report.budgetDropped = {{3, 4}};
  report.budgetDroppedBytes = 10;
  Options noCursor = Selecting(), noBudget = Selecting();
  noCursor.cursor.reset();
  noBudget.selection.maxBytes.reset();
  EXPECT_EQ(1u, ReportLines(Selecting(), report).size());
  EXPECT_EQ(Lines{}, ReportLines(noCursor, report));
  EXPECT_EQ(Lines{}, ReportLines(noBudget, report));
}

TEST(LastLineTest, StoppedIncompleteAndCommandFailed) {
  Options command = Selecting();
  command.output.clear();
  command.toCommand = "curl -T - https://collector.example/\x1b";
  Options noCursor = command;
  noCursor.cursor.reset();
  const std::string curl = "curl -T - https://collector.example/\\x1b";
  const struct {
    std::string line, expected;
  } rows[] = {
      {StoppedLine(15), "tolvane-getlog: stopped by signal 15"},
      {IncompleteLine(command),
       "tolvane-getlog: log misc could not be assembled completely into the "
       "input of " +
           curl},
      {CommandFailedLine(command, 3 << 8),
       "tolvane-getlog: " + curl +
           " exited with status 3; the cursor file is left as it was."},
      {CommandFailedLine(command, 9),
       "tolvane-getlog: " + curl +
           " was ended by signal 9; the cursor file is left as it was."},
      {CommandFailedLine(noCursor, 1 << 8),
       "tolvane-getlog: " + curl + " exited with status 1."},
  };
  for (const auto& row : rows) EXPECT_EQ(row.expected, row.line);
}

nq_tolvane::PlannedPiece Planned(const std::string& source, PieceKind kind,
                                 std::uint16_t sequence, bool known) {
  nq_tolvane::PlannedPiece piece;
  piece.sourcePath = source;
  piece.kind = kind;
  piece.sequence = sequence;
  piece.sizeOnDisk = 36;
  piece.readable = known;
  piece.reachable = true;
  piece.scratchSizeKnown = known;
  piece.scratchSize = known ? 16 : 0;
  piece.endTime = 1583038799;
  return piece;
}

TEST(ListLinesTest, PiecesOfEachKindAndEveryNote) {
  nq_tolvane::Plan plan;
  plan.pieces = {
      Planned("/var/log/misc65535\n\t\x01\\.log.gz", PieceKind::kArchive, 65535,
              false),
      Planned("/var/log/misc00001.log", PieceKind::kRotatedLog, 1, true),
      Planned("/var/log/misc00003.log", PieceKind::kActiveLog, 3, true),
  };
  plan.pieces[0].reachable = false;
  plan.pieces[0].droppedBy = nq_tolvane::Rule::kPosition;
  plan.pieces[2].droppedBy = nq_tolvane::Rule::kBudget;
  plan.lost = {{2, 2}};
  plan.positionMismatch = plan.positionGone = plan.windowBeforeHistory = true;
  plan.waitingFor = 2;
  plan.checkpointFound = true;
  plan.checkpointPath = "/var/log/misc.txt";
  plan.current = 3;
  plan.unlisted = {"/etc/sysconfig/vorn/tolvane"};
  const std::string kept = "\t2020-03-01T04:59:59Z\t";
  EXPECT_EQ(
      (Lines{
          "# source\tkind\tsequence\tbytes\treadable\tdata\treachable\tended"
          "\tselected",
          "/var/log/misc65535\\n\\t\\x01\\\\.log.gz\tarchive\t65535\t36\tno\t?"
          "\tno" +
              kept + "position",
          "/var/log/misc00001.log\trotated\t00001\t36\tyes\t16\tyes" + kept +
              "yes",
          "/var/log/misc00003.log\tactive\t00003\t36\tyes\t16\tyes" + kept +
              "max-size",
          "# missing: generation 00002",
          "# position: the position in /var/lib/c\\tur did not match its "
          "piece, which comes whole",
          "# position: the generation of the position in /var/lib/c\\tur is "
          "gone; what lay between it and the oldest piece is lost",
          "# since: --since -2d reaches back past the oldest generation; the "
          "history may not cover its start",
          "# waiting: generation 00002 is being rotated; a run now ends "
          "before it",
          "# checkpoint: /var/log/misc.txt found, current 00003",
          "# not listed: /etc/sysconfig/vorn/tolvane",
      }),
      ListLines(Selecting(), plan));
}

TEST(ListLinesTest, NothingFoundWithoutSelectionOrCheckpoint) {
  nq_tolvane::Plan plan;
  plan.checkpointPath = "/var/log/misc.txt";
  Options options = Selecting();
  options.selecting = false;
  EXPECT_EQ((Lines{"# source\tkind\tsequence\tbytes\treadable\tdata\treachable",
                   "# nothing found",
                   "# checkpoint: /var/log/misc.txt missing or not whole; the "
                   "order is taken from the files alone"}),
            ListLines(options, plan));
}

}  // namespace
}  // namespace tolvane_getlog
