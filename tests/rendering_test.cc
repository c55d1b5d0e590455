// What tolvane-getlog tells, byte for byte, from reports and plans made here:
// each line in its order, the last lines, --list and control bytes in names.

#include "Rendering.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvane_getlog {
namespace {

using nq_tolvane::PieceKind;
using nq_tolvane::Reason;
using Lines = std::vector<std::string>;

// DEL alone, and a backslash among bytes that pass (UTF-8, 0x80 and up); \n,
// \t and \xHH show in the names of the reports and plans below.
TEST(EscapedTest, DelAndBackslash) {
  EXPECT_EQ("\\x7f", Escaped("\x7f"));
  EXPECT_EQ("caf\xc3\xa9 \x80\\\\", Escaped("caf\xc3\xa9 \x80\\"));
}

// Options of a selection with a cursor file whose name holds a tab, for a
// command that takes the output.
Options Selecting() {
  Options options;
  options.type = nq_tolvane::LOGTYPE_MISC;
  options.typeText = "misc";
  options.toCommand = "cat >x\x1b";
  options.selecting = true;
  options.cursor = "/var/lib/c\tur";
  options.since = "-2d";
  options.maxSize = "10M";
  options.selection.maxBytes = 10 << 20;
  return options;
}

// Everything a report can tell at once, in the order it is told.
TEST(ReportLinesTest, EachLineInItsPlace) {
  nq_tolvane::Report report;
  report.found.positionMismatch = report.found.positionGone = true;
  report.found.windowBeforeHistory = true;
  report.found.lost = {{65535, 1}};
  report.found.rotating = {{4, 4}, {6, 7}};
  report.pieces.resize(3);  // only a damaged piece is told
  report.pieces[0].sourcePath = "/var/log/misc00005.log.gz";
  report.pieces[0].code = report.pieces[2].code = Reason::kDamaged;
  report.pieces[1].code = Reason::kGunzipWarned;
  report.pieces[2].sourcePath = "/var/log/misc0000\n7.log.gz";
  report.pieces[2].bytesLost = 4096;
  report.budgetDropped = {{3, 3}, {9, 11}};
  report.budgetDroppedBytes = 123456;
  report.found.waitingFor = 12;
  report.leftOut = {
      {"/var/log/misc\x01.log", "could not be copied", Reason::kNotCopied, 0}};
  report.failure = "cannot write /var/log/out: No space left on device";
  const std::string name = "tolvane-getlog: ", warn = name + "warning: ";
  EXPECT_EQ(
      (Lines{
          warn + "the position in /var/lib/c\\tur did not match its piece, "
                 "which was written whole.",
          warn + "the generation of the position in /var/lib/c\\tur is gone; "
                 "what lay between it and the oldest piece is lost.",
          warn + "--since -2d reaches back past the oldest generation; the "
                 "history may not cover its start.",
          warn + "misc generations 65535-00001 are missing.",
          warn + "misc generation 00004 is being rotated: it is not in this "
                 "output.",
          warn + "misc generations 00006-00007 are being rotated: they are "
                 "not in this output.",
          warn + "/var/log/misc00005.log.gz is damaged: written as far as it "
                 "decompresses; the rest of it is lost.",
          warn + "/var/log/misc0000\\n7.log.gz is damaged: written as far as "
                 "it decompresses; 4096 bytes lost.",
          warn + "--max-size 10M dropped 123456 bytes of generation 00003, "
                 "generations 00009-00011; the cursor passes them for good.",
          name + "misc is being rotated: this run ends before generation "
                 "00012, which a later run writes.",
          name + "/var/log/misc\\x01.log left out: could not be copied.",
          name + "cannot write /var/log/out: No space left on device.",
      }),
      ReportLines(Selecting(), report));
  EXPECT_EQ(Lines{name + "no file of log misc was found."},
            ReportLines(Selecting(), nq_tolvane::Report()));
  // Complete: nothing. What --max-size dropped is told only where a stored
  // position passes it.
  nq_tolvane::Report complete;
  complete.complete = true;
  EXPECT_EQ(Lines{}, ReportLines(Selecting(), complete));
  complete.budgetDropped = {{3, 4}};
  Options noCursor = Selecting(), noBudget = Selecting();
  noCursor.cursor.reset();
  noBudget.selection.maxBytes.reset();
  EXPECT_EQ(Lines{}, ReportLines(noCursor, complete));
  EXPECT_EQ(Lines{}, ReportLines(noBudget, complete));
}

TEST(LastLineTest, StoppedIncompleteAndCommandFailed) {
  Options noCursor = Selecting();
  noCursor.cursor.reset();
  const std::string cat = "tolvane-getlog: cat >x\\x1b ";
  EXPECT_EQ("tolvane-getlog: stopped by signal 15", StoppedLine(15));
  EXPECT_EQ(
      "tolvane-getlog: log misc could not be assembled completely into "
      "the input of cat >x\\x1b",
      IncompleteLine(Selecting()));
  EXPECT_EQ(cat + "was ended by signal 9; the cursor file is left as it was.",
            CommandFailedLine(Selecting(), 9));
  EXPECT_EQ(cat + "exited with status 3.", CommandFailedLine(noCursor, 3 << 8));
  EXPECT_EQ(cat + "ended with no status known.",
            CommandFailedLine(noCursor, -1));
}

nq_tolvane::PlannedPiece Planned(const std::string& source, PieceKind kind,
                                 std::uint16_t sequence) {
  nq_tolvane::PlannedPiece piece;
  piece.sourcePath = source;
  piece.kind = kind;
  piece.sequence = sequence;
  piece.sizeOnDisk = 36;
  piece.readable = piece.reachable = piece.scratchSizeKnown = true;
  piece.scratchSize = 16;
  piece.endTime = 1583038799;
  return piece;
}

TEST(ListLinesTest, EachLine) {
  nq_tolvane::Plan plan;
  plan.found.checkpointPath = "/var/log/misc.txt";
  const std::string header =
      "# source\tkind\tsequence\tbytes\treadable\tdata\treachable";
  Options options = Selecting();
  options.selecting = false;
  EXPECT_EQ((Lines{header, "# nothing found",
                   "# checkpoint: /var/log/misc.txt missing or not whole; the "
                   "order is taken from the files alone"}),
            ListLines(options, plan));
  // With a selection and a checkpoint.
  plan.pieces = {
      Planned("misc65535\n.log.gz", PieceKind::kArchive, 65535),
      Planned("misc00001.log", PieceKind::kRotatedLog, 1),
      Planned("misc00003.log", PieceKind::kActiveLog, 3),
  };
  plan.pieces[0].reachable = plan.pieces[0].scratchSizeKnown = false;
  plan.pieces[0].droppedBy = nq_tolvane::Rule::kPosition;
  plan.pieces[2].droppedBy = nq_tolvane::Rule::kBudget;
  plan.found.lost = {{2, 2}};
  plan.found.positionMismatch = plan.found.positionGone =
      plan.found.windowBeforeHistory = true;
  plan.found.waitingFor = 2;
  plan.found.rotating = {{4, 5}};
  plan.pieceCount = plan.pieces.size();
  plan.found.checkpointFound = true;
  plan.found.current = 3;
  plan.found.unlisted = {"/etc/sysconfig/vorn/tolvane"};
  const std::string ended = "\t2020-03-01T04:59:59Z\t";
  EXPECT_EQ(
      (Lines{
          header + "\tended\tselected",
          "misc65535\\n.log.gz\tarchive\t65535\t36\tyes\t?\tno" + ended +
              "position",
          "misc00001.log\trotated\t00001\t36\tyes\t16\tyes" + ended + "yes",
          "misc00003.log\tactive\t00003\t36\tyes\t16\tyes" + ended + "max-size",
          "# missing: generation 00002",
          "# position: the position in /var/lib/c\\tur did not match its "
          "piece, which comes whole",
          "# position: the generation of the position in /var/lib/c\\tur is "
          "gone; what lay between it and the oldest piece is lost",
          "# since: --since -2d reaches back past the oldest generation; the "
          "history may not cover its start",
          "# waiting: generation 00002 is being rotated; a run now ends "
          "before it",
          "# rotating: generations 00004-00005, which a run now leaves out",
          "# checkpoint: /var/log/misc.txt found, current 00003",
          "# not listed: /etc/sysconfig/vorn/tolvane",
      }),
      ListLines(Selecting(), plan));
}

}  // namespace
}  // namespace tolvane_getlog
