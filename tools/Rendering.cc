#include "Rendering.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace tolvane_getlog {

namespace {

const char kName[] = "tolvane-getlog: ";
const char kWarning[] = "tolvane-getlog: warning: ";

// The words of the rule that drops a piece, as --list shows them.
const char* RuleText(nq_tolvane::Rule rule) {
  switch (rule) {
    case nq_tolvane::Rule::kNone:
      return "yes";
    case nq_tolvane::Rule::kPosition:
      return "position";
    case nq_tolvane::Rule::kSince:
      return "since";
    case nq_tolvane::Rule::kUntil:
      return "until";
    case nq_tolvane::Rule::kBudget:
      return "max-size";
  }
  return "?";
}

const char* KindText(nq_tolvane::PieceKind kind) {
  switch (kind) {
    case nq_tolvane::PieceKind::kArchive:
      return "archive";
    case nq_tolvane::PieceKind::kActiveLog:
      return "active";
    case nq_tolvane::PieceKind::kRotatedLog:
      return "rotated";
  }
  return "?";
}

// `seconds` since the epoch in UTC, as YYYY-MM-DDTHH:MM:SSZ.
std::string UtcText(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc = {};
  char text[64] = "?";
  if (gmtime_r(&time, &utc) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

// A sequence number in five digits.
std::string Sequence(std::uint16_t number) {
  char text[8];
  std::snprintf(text, sizeof text, "%05u", unsigned{number});
  return text;
}

std::string Given(const std::optional<std::string>& text) {
  return Escaped(text.value_or(""));
}

}  // namespace

std::string Escaped(const std::string& text) {
  const auto plain = [](unsigned char c) {
    return c >= 0x20 && c != 0x7f && c != '\\';
  };
  if (std::all_of(text.begin(), text.end(), plain)) return text;
  std::string shown;
  for (const unsigned char c : text) {
    if (c == '\\') {
      shown += "\\\\";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\t') {
      shown += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

std::vector<std::string> ReportLines(const Options& options,
                                     const nq_tolvane::Report& report) {
  std::vector<std::string> lines;
  const nq_tolvane::Findings& found = report.found;
  if (found.positionMismatch)
    lines.push_back(kWarning + ("the position in " + Given(options.cursor)) +
                    " did not match its piece, which was written whole.");
  if (found.positionGone)
    lines.push_back(
        kWarning +
        ("the generation of the position in " + Given(options.cursor)) +
        " is gone; what lay between it and the oldest piece is "
        "lost.");
  if (found.windowBeforeHistory)
    lines.push_back(kWarning + ("--since " + Escaped(options.since)) +
                    " reaches back past the oldest generation; the history "
                    "may not cover its start.");
  for (const nq_tolvane::GenerationRun& run : found.lost)
    lines.push_back(kWarning + nq_tolvane::MissingText(options.type, run) +
                    ".");
  for (const nq_tolvane::GenerationRun& run : found.rotating)
    lines.push_back(kWarning + nq_tolvane::RotatingText(options.type, run) +
                    ".");
  // Only a written piece carries kDamaged.
  for (const nq_tolvane::PieceReport& piece : report.pieces) {
    if (piece.code != nq_tolvane::Reason::kDamaged) continue;
    lines.push_back(
        kWarning + Escaped(piece.sourcePath) + " is " +
        nq_tolvane::ReasonText(nq_tolvane::Reason::kDamaged) + "; " +
        (piece.bytesLost ? std::to_string(*piece.bytesLost) + " bytes lost."
                         : "the rest of it is lost."));
  }
  // Stored, the position passes what the budget dropped for good.
  if (options.cursor && options.selection.maxBytes &&
      !report.budgetDropped.empty()) {
    std::string runs;
    for (const nq_tolvane::GenerationRun& run : report.budgetDropped)
      runs += (runs.empty() ? "" : ", ") + nq_tolvane::GenerationsText(run);
    lines.push_back(kWarning + ("--max-size " + Escaped(options.maxSize)) +
                    " dropped " + std::to_string(report.budgetDroppedBytes) +
                    " bytes of " + runs + "; the cursor passes them for good.");
  }
  if (found.waitingFor)
    lines.push_back(kName + nq_tolvane::LogTypeName(options.type) +
                    " is being rotated: this run ends before generation " +
                    Sequence(*found.waitingFor) + ", which a later run " +
                    "writes.");
  for (const nq_tolvane::LeftOut& left : report.leftOut)
    lines.push_back(kName + Escaped(left.source) +
                    " left out: " + Escaped(left.why) + ".");
  if (!report.failure.empty())
    lines.push_back(kName + Escaped(report.failure) + ".");
  else if (!report.complete && report.pieceCount == 0 &&
           report.leftOut.empty() && report.stopSignal == 0)
    lines.push_back(std::string(kName) + "no file of log " +
                    nq_tolvane::LogTypeName(options.type) + " was found.");
  return lines;
}

std::string StoppedLine(int signal) {
  return kName + ("stopped by signal " + std::to_string(signal));
}

std::string IncompleteLine(const Options& options) {
  const std::string into = options.toCommand
                               ? "the input of " + Escaped(*options.toCommand)
                               : Escaped(options.output);
  return kName + ("log " + Escaped(options.typeText)) +
         " could not be assembled completely into " + into;
}

std::string CommandFailedLine(const Options& options, int waitStatus) {
  const std::string how =
      waitStatus == -1 ? "ended with no status known"
      : WIFSIGNALED(waitStatus)
          ? "was ended by signal " + std::to_string(WTERMSIG(waitStatus))
          : "exited with status " + std::to_string(WEXITSTATUS(waitStatus));
  return kName + Given(options.toCommand) + " " + how +
         (options.cursor ? "; the cursor file is left as it was." : ".");
}

std::string ListHeader(const Options& options) {
  return std::string(
             "# source\tkind\tsequence\tbytes\treadable\tdata\treachable") +
         (options.selecting ? "\tended\tselected" : "");
}

std::string PieceLine(const Options& options,
                      const nq_tolvane::PlannedPiece& piece) {
  const auto yes = [](bool value) { return value ? "\tyes" : "\tno"; };
  std::string line =
      Escaped(piece.sourcePath) + "\t" + KindText(piece.kind) + "\t" +
      Sequence(piece.sequence) + "\t" + std::to_string(piece.sizeOnDisk) +
      yes(piece.readable) + "\t" +
      (piece.scratchSizeKnown ? std::to_string(piece.scratchSize) : "?") +
      yes(piece.reachable);
  if (options.selecting)
    line += "\t" + UtcText(piece.endTime) + "\t" + RuleText(piece.droppedBy);
  return line;
}

std::vector<std::string> ListFooter(const Options& options,
                                    const nq_tolvane::Plan& plan) {
  std::vector<std::string> lines;
  const nq_tolvane::Findings& found = plan.found;
  if (plan.pieceCount == 0) lines.push_back("# nothing found");
  for (const nq_tolvane::GenerationRun& run : found.lost)
    lines.push_back("# missing: " + nq_tolvane::GenerationsText(run));
  if (found.positionMismatch)
    lines.push_back("# position: the position in " + Given(options.cursor) +
                    " did not match its piece, which comes whole");
  if (found.positionGone)
    lines.push_back("# position: the generation of the position in " +
                    Given(options.cursor) +
                    " is gone; what lay between it and the oldest piece is "
                    "lost");
  if (found.windowBeforeHistory)
    lines.push_back("# since: --since " + Escaped(options.since) +
                    " reaches back past the oldest generation; the history "
                    "may not cover its start");
  if (found.waitingFor)
    lines.push_back("# waiting: generation " + Sequence(*found.waitingFor) +
                    " is being rotated; a run now ends before it");
  for (const nq_tolvane::GenerationRun& run : found.rotating)
    lines.push_back("# rotating: " + nq_tolvane::GenerationsText(run) +
                    ", which a run now leaves out");
  if (found.checkpointFound) {
    lines.push_back("# checkpoint: " + Escaped(found.checkpointPath) +
                    " found, current " + Sequence(found.current));
  } else {
    lines.push_back("# checkpoint: " + Escaped(found.checkpointPath) +
                    " missing or not whole; the order is taken from the "
                    "files alone");
  }
  for (const std::string& dir : found.unlisted)
    lines.push_back("# not listed: " + Escaped(dir));
  return lines;
}

std::vector<std::string> ListLines(const Options& options,
                                   const nq_tolvane::Plan& plan) {
  std::vector<std::string> lines = {ListHeader(options)};
  for (const nq_tolvane::PlannedPiece& piece : plan.pieces)
    lines.push_back(PieceLine(options, piece));
  const std::vector<std::string> footer = ListFooter(options, plan);
  lines.insert(lines.end(), footer.begin(), footer.end());
  return lines;
}

}  // namespace tolvane_getlog
