// The engine's decisions before and between the pieces: what the position
// and the window keep, what waits, what the report tells. The budget is in
// Budget.cc, the writing of one piece in WritePiece.cc.

#include "stream/Engine.h"

#include <algorithm>

#include "core/Request.h"
#include "core/Wording.h"

namespace nq_tolvane {

Streamer::Streamer(const History& history, const Part& part, Source& source,
                   Sink& sink, Report* report)
    : history_(history),
      part_(part),
      source_(source),
      sink_(sink),
      report_(report),
      waitFrom_(part.cursor ? CursorWaitFrom() : history.pieces.size()) {}

// The first piece a cursor request waits at.
std::size_t Streamer::CursorWaitFrom() const {
  return std::min(history_.waitFrom, history_.pieces.size());
}

const Streamer::Choice* Streamer::Find(std::size_t index) const {
  const auto found = choices_.find(index);
  return found == choices_.end() ? nullptr : &found->second;
}

std::uint64_t Streamer::StartByte(std::size_t index) const {
  const Choice* choice = Find(index);
  return choice ? choice->start : 0;
}

// A snapshot is about to write past what a cursor request would wait for:
// `safe` is where such a request would have ended.
void Streamer::Pass(const std::optional<Position>& safe) {
  if (part_.cursor || passed_) return;
  passed_ = true;
  safe_ = safe;
}

void Streamer::SelectOut(std::size_t index, Rule rule) {
  slots_[index].droppedBy = rule;
  slots_[index].status = PieceStatus::kSelectedOut;
}

void Streamer::Decide() {
  slots_.assign(history_.pieces.size(), Slot());
  // What was learnt of a piece's data stays; what was decided goes.
  for (auto& entry : choices_) {
    Choice learnt;
    learnt.size = entry.second.size;
    learnt.ending = entry.second.ending;
    entry.second = learnt;
  }
  // What the history found; what this part passes on is told below.
  *report_ = Report();
  report_->found = history_.found;
  report_->found.lost.clear();
  report_->found.rotating.clear();
  report_->found.waitingFor.reset();
  ApplyPosition();
  ApplyWindow();
  for (std::size_t i = waitFrom_; i < slots_.size(); ++i)
    if (slots_[i].droppedBy == Rule::kNone)
      slots_[i].status = PieceStatus::kWaiting;
  Findings& found = report_->found;
  if (part_.cursor) found.waitingFor = history_.found.waitingFor;
  // What lies before the position was told before; what lies after the
  // generation a cursor request waits for is a later request's to tell.
  const auto told = [&](const GenerationRun& run) {
    return (!part_.after || Key(run.last) > Key(part_.after->sequence)) &&
           (!found.waitingFor || Key(run.last) < Key(*found.waitingFor));
  };
  for (const GenerationRun& run : history_.found.lost)
    if (told(run)) found.lost.push_back(run);
  if (!part_.cursor)
    for (const GenerationRun& run : history_.found.rotating)
      if (told(run)) found.rotating.push_back(run);
}

// Drops what lies before the position; the piece that holds it starts
// there, once its data before it is found to match.
void Streamer::ApplyPosition() {
  if (!part_.after) return;
  const Position& after = *part_.after;
  const auto& all = history_.pieces;
  std::size_t at = 0;
  while (at < all.size() && all[at].sequence != after.sequence) ++at;
  if (at == all.size()) {
    // Its generation is gone, unless the history waits for it.
    report_->found.positionGone = history_.found.waitingFor != after.sequence;
    for (std::size_t i = 0; i < all.size(); ++i)
      if (Key(all[i].sequence) < Key(after.sequence))
        SelectOut(i, Rule::kPosition);
    return;
  }
  for (std::size_t i = 0; i < at; ++i) SelectOut(i, Rule::kPosition);
  Choice& choice = Detail(at);
  choice.from = choice.start = after.offset;
  choice.atPosition = choice.checkPosition = true;
}

// Whole pieces by the time each ended, in age order.
void Streamer::ApplyWindow() {
  const std::vector<Rule> rules =
      WindowRules(history_.pieces, part_.since, part_.until,
                  &report_->found.windowBeforeHistory);
  for (std::size_t i = 0; i < rules.size(); ++i)
    if (slots_[i].droppedBy == Rule::kNone && rules[i] != Rule::kNone)
      SelectOut(i, rules[i]);
}

// What piece `index` comes to when its data cannot be had.
Streamer::Outcome Streamer::Failed(std::size_t index, const Status& failure) {
  switch (failure.kind) {
    case Status::kGone:
      return Outcome::kLookAgain;
    case Status::kStopped:
      return Outcome::kStopped;
    default:
      // A rotated file the caller cannot read is compressed in a moment.
      if (history_.pieces[index].kind == PieceKind::kRotatedLog &&
          history_.pieces[index].unsettled) {
        if (!part_.cursor) {
          Unreadable(index);
          return Outcome::kNothing;
        }
        Wait(index);
        return Outcome::kWait;
      }
      LeaveOut(index, failure);
      return Outcome::kNothing;
  }
}

// A snapshot passes a generation being rotated that it cannot read now, and
// names it.
void Streamer::Unreadable(std::size_t index) {
  Pass(end());
  const std::uint16_t sequence = history_.pieces[index].sequence;
  slots_[index].status = PieceStatus::kWaiting;
  auto& runs = report_->found.rotating;
  const auto at = std::find_if(runs.begin(), runs.end(), [&](const auto& run) {
    return Key(run.first) > Key(sequence);
  });
  runs.insert(at, {sequence, sequence});
}

void Streamer::Wait(std::size_t index) {
  if (index < waitFrom_) waitFrom_ = index;
  const std::uint16_t sequence = history_.pieces[index].sequence;
  report_->found.waitingFor = sequence;
  // What lies after it is not this round's to tell.
  auto& lost = report_->found.lost;
  lost.erase(std::remove_if(lost.begin(), lost.end(),
                            [&](const GenerationRun& run) {
                              return Key(run.last) > Key(sequence);
                            }),
             lost.end());
  for (std::size_t i = index; i < slots_.size(); ++i)
    if (slots_[i].status != PieceStatus::kSelectedOut)
      slots_[i].status = PieceStatus::kWaiting;
}

void Streamer::LeaveOut(std::size_t index, const Status& ending) {
  complete_ = false;
  slots_[index].status = PieceStatus::kLeftOut;
  slots_[index].code = ending.reason;
  Detail(index).error = ending.error;
  report_->leftOut.push_back({history_.Path(index),
                              ReasonText(ending.reason, ending.error),
                              ending.reason, ending.error});
}

void Streamer::Foresee() {
  Decide();
  ApplyBudget(false);
}

Streamed Streamer::Run() {
  const Streamed streamed = Rounds();
  if (streamed == Streamed::kDone) CountDropped();
  Tell();
  return streamed;
}

// Writes the pieces; again, when the budget cut in the wrong place.
Streamed Streamer::Rounds() {
  Decide();
  for (std::size_t attempt = 0;; ++attempt) {
    const std::uint64_t mark = sink_.Offset();
    const Outcome budget = ApplyBudget(true);
    if (budget == Outcome::kLookAgain) return Streamed::kLookAgain;
    if (budget == Outcome::kStopped) return Streamed::kStopped;
    for (std::size_t i = 0; i < waitFrom_; ++i) {
      if (slots_[i].droppedBy != Rule::kNone ||
          slots_[i].status == PieceStatus::kLeftOut)
        continue;
      if (source_.Stopped()) return Streamed::kStopped;
      // A snapshot writes on where a cursor request would wait.
      if (i >= CursorWaitFrom()) Pass(end());
      switch (Stream(i)) {
        case Outcome::kLookAgain:
          return Streamed::kLookAgain;
        case Outcome::kStopped:
          return Streamed::kStopped;
        case Outcome::kSinkFailed:
          return Streamed::kSinkFailed;
        default:
          Done(i);
      }
    }
    // Cut again, knowing the sizes.
    if (!Misjudged() || part_.budgetFromStart || attempt > slots_.size()) break;
    if (!sink_.Rewind(mark)) return Streamed::kSinkFailed;
    newest_.reset();
    passed_ = false;
    safe_.reset();
    complete_ = true;
    waitFrom_ = part_.cursor ? CursorWaitFrom() : history_.pieces.size();
    Decide();
  }
  return Streamed::kDone;
}

// Piece `index` is done: what is kept of it is only what the report or the
// budget still needs.
void Streamer::Done(std::size_t index) {
  const auto found = choices_.find(index);
  if (found == choices_.end() || part_.maxBytes) return;
  const Choice& choice = found->second;
  if (choice.start == 0 && choice.error == 0 && !choice.bytesLost)
    choices_.erase(found);
}

// The report's pieces: those with something to tell, in output order; the
// others counted.
void Streamer::Tell() {
  Report& report = *report_;
  report.pieceCount = slots_.size();
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const Slot& slot = slots_[i];
    const Choice* choice = Find(i);
    report.written += slot.status == PieceStatus::kWritten;
    report.selectedOut += slot.status == PieceStatus::kSelectedOut;
    PieceReport told;
    told.status = slot.status;
    told.code = slot.code;
    told.startByte = choice ? choice->start : 0;
    if (!Told(told)) continue;
    told.sourcePath = history_.Path(i);
    told.kind = history_.pieces[i].kind;
    told.sequence = history_.pieces[i].sequence;
    told.droppedBy = slot.droppedBy;
    Status status;
    status.reason = slot.code;
    if (choice) {
      status.error = choice->error;
      status.bytesLost = choice->bytesLost;
    }
    Describe(status, &told);
    report.pieces.push_back(std::move(told));
  }
}

}  // namespace nq_tolvane
