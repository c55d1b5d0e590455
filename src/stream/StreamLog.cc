// The streaming requests: AssembleLog() writes a part of a history straight
// into its output, looking again when the device rotates under it;
// PlanLog() foresees it.

#include <algorithm>
#include <ctime>
#include <string>

#include "core/Generations.h"
#include "core/Position.h"
#include "core/Request.h"
#include "core/Selection.h"
#include "core/Wording.h"
#include "nq_tolvane_internals.h"
#include "platform/Facts.h"
#include "platform/OutputFile.h"
#include "services/brev.h"
#include "state/LogNames.h"
#include "stream/Engine.h"
#include "stream/Output.h"
#include "stream/Readers.h"
#include "tolvane_report.h"

namespace nq_tolvane {
namespace {

constexpr char kTag[] = "TolvaneUtils";
constexpr char kFunction[] = "AssembleLog";
// Rounds of a request whose files go away under it, before it gives up.
constexpr int kRounds = 4;

LogFiles FilesOf(LogType type) {
  const LogTypeRow* row = FindLogType(type);
  return {row->name, row->activeDir, row->backupDir};
}

// The history of `type` now; a checkpoint it trusts becomes the selected
// type's current number, as it does for GetEntireLog().
// Every file is measured for a window or a plan, else only those at or
// after the position.
History Find(LogType type, const Part& part, bool everyFile) {
  Env& env = PosixEnv();
  Looking looking;
  looking.now = env.Now();
  if (part.after) looking.after = part.after->sequence;
  looking.everyFile = everyFile || part.since || part.until;
  History history = FindGenerations(env, FilesOf(type), looking);
  if (history.found.checkpointFound)
    nq_tolvane_internals::SetLogNum(history.found.current);
  return history;
}

// The part a selection asks for; REQUIRES: SelectionProblem() found none.
Part PartOf(const Selection& selection) {
  Part part;
  Position after;
  if (ParsePosition(selection.after, &after)) part.after = after;
  part.since = selection.since;
  part.until = selection.until;
  part.maxBytes = selection.maxBytes;
  part.cursor = selection.cursor;
  part.format = selection.format;
  return part;
}

// Adds to `whole` the report of a round that went on where the last one
// ended: the pieces from there on, and what it found.
void Merge(Report& whole, const Report& round) {
  const auto reached = std::find_if(
      whole.pieces.begin(), whole.pieces.end(), [](const PieceReport& piece) {
        return piece.status == PieceStatus::kNotReached ||
               piece.status == PieceStatus::kWaiting;
      });
  whole.pieces.erase(reached, whole.pieces.end());
  whole.pieces.insert(whole.pieces.end(), round.pieces.begin(),
                      round.pieces.end());
  whole.written += round.written;
  whole.pieceCount = whole.written + round.pieceCount - round.written;
  whole.selectedOut = round.selectedOut;
  whole.leftOut.insert(whole.leftOut.end(), round.leftOut.begin(),
                       round.leftOut.end());
  Findings& found = whole.found;
  for (const auto& [into, from] :
       {std::pair(&found.lost, &round.found.lost),
        std::pair(&found.rotating, &round.found.rotating)})
    for (const GenerationRun& run : *from)
      if (std::none_of(
              into->begin(), into->end(), [&](const GenerationRun& seen) {
                return seen.first == run.first && seen.last == run.last;
              }))
        into->push_back(run);
  whole.budgetDropped.insert(whole.budgetDropped.end(),
                             round.budgetDropped.begin(),
                             round.budgetDropped.end());
  whole.budgetDroppedBytes += round.budgetDroppedBytes;
  found.positionMismatch |= round.found.positionMismatch;
  found.waitingFor = round.found.waitingFor;
}

// Tells the device log what the report holds.
void Tell(LogType type, const Report& report) {
  for (const LeftOut& left : report.leftOut)
    __brev_printf(3, kTag, "%s: %s left out: %s.", kFunction,
                  left.source.c_str(), left.why.c_str());
  for (const PieceReport& piece : report.pieces)
    if (piece.code == Reason::kDamaged)
      __brev_printf(4, kTag, "%s: %s is %s.", kFunction,
                    piece.sourcePath.c_str(),
                    ReasonText(Reason::kDamaged).c_str());
  const Findings& found = report.found;
  for (const GenerationRun& run : found.lost)
    __brev_printf(4, kTag, "%s: %s.", kFunction,
                  MissingText(type, run).c_str());
  for (const GenerationRun& run : found.rotating)
    __brev_printf(5, kTag, "%s: %s.", kFunction,
                  RotatingText(type, run).c_str());
  if (found.waitingFor)
    __brev_printf(5, kTag,
                  "%s: %s generation %05u is being rotated; the history "
                  "ends before it.",
                  kFunction, LogTypeName(type).c_str(),
                  unsigned{*found.waitingFor});
}

// A sink for a plan, which writes nothing.
class NoOutput final : public Sink {
 public:
  bool Write(const char*, std::size_t) override { return false; }
  std::uint64_t Offset() const override { return 0; }
  bool Rewindable() const override { return false; }
  bool Rewind(std::uint64_t) override { return false; }
};

}  // namespace

namespace {

// What the rounds of one request came to.
struct Rounds {
  Streamed streamed = Streamed::kDone;
  // Where a cursor request may go on from: the end, unless a round passed
  // what a cursor request would have waited for.
  std::optional<Position> safe;
  bool complete = true;
  bool found = false;  // some piece, or a generation waited for
  int error = 0;       // of the output, when it failed
};

// Streams the part `selection` keeps into `output`, round after round while
// the device rotates under the request, and fills `report`.
Rounds StreamRounds(LogType type, const std::string& prefix,
                    const Selection& selection, OutputFile& output,
                    Runner& runner, Report* report) {
  Rounds rounds;
  Part part = PartOf(selection);
  rounds.safe = part.after;
  bool passed = false;
  OutputSink sink(output, runner);
  FileSource source(runner);
  for (int round = 0;; ++round) {
    const History history = Find(type, part, false);
    rounds.found =
        rounds.found || !history.pieces.empty() || history.found.waitingFor;
    Report told;
    Streamer streamer(history, part, source, sink, &told);
    rounds.streamed = streamer.Run();
    rounds.complete = rounds.complete && streamer.complete();
    if (!passed) {
      rounds.safe = streamer.position();
      passed = streamer.passed();
    }
    if (round == 0)
      *report = std::move(told);
    else
      Merge(*report, told);
    if (rounds.streamed != Streamed::kLookAgain || round + 1 == kRounds) break;
    // The device rotated under the request: go on from where it is.
    __brev_printf(6, kTag,
                  "%s: %s log changed while it was read; looking again.",
                  kFunction, prefix.c_str());
    part.after = streamer.end();
    if (sink.Offset() > 0) part.since.reset();
    if (part.maxBytes) {
      part.maxBytes = *part.maxBytes - std::min(*part.maxBytes, sink.Offset());
      part.budgetFromStart = true;
    }
  }
  if (rounds.streamed == Streamed::kDone && !sink.Flush())
    rounds.streamed = Streamed::kSinkFailed;
  rounds.error = sink.error();
  return rounds;
}

}  // namespace

bool AssembleLog(LogType type, const std::string& outputPath,
                 const Selection& selection, Report* report, Stop* stop) {
  Report unused;
  if (report == nullptr) report = &unused;
  OrvoMutexLock lock(&LibraryLock());
  std::string prefix;
  OutputFile output;
  if (!BeginRequest(kFunction, type, outputPath, selection, report, &prefix,
                    &output))
    return false;
  const char* const path = outputPath.c_str();
  Runner runner(stop);
  const Rounds rounds =
      StreamRounds(type, prefix, selection, output, runner, report);
  report->position = selection.after;
  if (const int signal = runner.Stopped()) {
    report->stopSignal = signal;
    __brev_printf(3, kTag, "%s: %s log stopped by signal %d; %s not written.",
                  kFunction, prefix.c_str(), signal, path);
    return false;
  }
  if (rounds.streamed == Streamed::kSinkFailed) {
    report->outputError = rounds.error;
    return Fail(kFunction, report,
                "cannot write " + outputPath + ": " + ErrorText(rounds.error));
  }
  if (rounds.streamed == Streamed::kLookAgain)
    return Fail(
        kFunction, report,
        "the files of log " + prefix + " kept changing while they were read");
  Tell(type, *report);
  // Nothing found: the output is untouched.
  if (!rounds.found) return false;
  std::string why;
  if (!output.Commit(&why))
    return Fail(kFunction, report, "cannot write " + outputPath + ": " + why);
  report->outputWritten = true;
  if (!rounds.complete) {
    __brev_printf(3, kTag, "%s: %s log NOT completely written to %s.",
                  kFunction, prefix.c_str(), path);
    return false;
  }
  __brev_printf(6, kTag, "%s: %s log written to %s.", kFunction, prefix.c_str(),
                path);
  report->complete = true;
  report->position = rounds.safe ? PositionText(*rounds.safe) : "";
  return true;
}

bool PlanLog(LogType type, const Selection& selection, Plan* plan,
             const PieceCallback& each) {
  if (plan == nullptr) return false;
  *plan = Plan();
  OrvoMutexLock lock(&LibraryLock());
  std::string prefix;
  if (!SelectType(type, &prefix) ||
      !SelectionProblem(selection, prefix).empty())
    return false;
  const Part part = PartOf(selection);
  const History history = Find(type, part, true);
  Runner runner(nullptr);
  FileSource source(runner);
  NoOutput sink;
  Report foreseen;
  Streamer streamer(history, part, source, sink, &foreseen);
  streamer.Foresee();
  plan->found = std::move(foreseen.found);
  const bool sudo = MayUseSudoRule();
  Tally tally(std::nullopt);
  for (std::size_t i = 0; i < history.pieces.size(); ++i) {
    PlannedPiece piece = history.Planned(i);
    Measure(&piece, sudo);
    // Read in process where the caller can, else through sudo.
    piece.reachable =
        piece.readable || (piece.kind == PieceKind::kArchive && sudo);
    piece.droppedBy = streamer.DroppedBy(i);
    piece.startByte = streamer.StartByte(i);
    // A plain file is checked against the position where it lies.
    if (part.after && piece.kind != PieceKind::kArchive &&
        piece.sequence == part.after->sequence && piece.readable &&
        piece.droppedBy == Rule::kNone && piece.startByte != 0) {
      if (!Holds(piece.sourcePath, *part.after)) {
        plan->found.positionMismatch = true;
        piece.startByte = 0;
      } else if (piece.sizeOnDisk == part.after->offset) {
        piece.droppedBy = Rule::kPosition;  // nothing new in it
      }
    }
    tally.Add(piece, history.found.current);
    if (each)
      each(piece);
    else
      plan->pieces.push_back(std::move(piece));
  }
  tally.Finish(plan);
  return true;
}

}  // namespace nq_tolvane
