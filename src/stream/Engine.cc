// The engine's decisions before and between the pieces: what the position,
// the window and the budget keep, what waits, what the report tells. The
// writing of one piece is in WritePiece.cc.

#include "stream/Engine.h"

#include <algorithm>

#include "core/Request.h"
#include "core/Wording.h"

namespace nq_tolvane {
namespace {

constexpr std::size_t kChunk = 128 * 1024;

std::uint64_t BlockSize(const std::string& source, std::uint64_t start) {
  return HeaderLine(source, start).size() + 3;  // "\n" line "\n\n"
}

}  // namespace

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
  Report fresh;
  fresh.found.checkpointPath = history_.found.checkpointPath;
  fresh.found.checkpointFound = history_.found.checkpointFound;
  fresh.found.current = history_.found.current;
  fresh.found.activeLogPath = history_.found.activeLogPath;
  fresh.found.unlisted = history_.found.unlisted;
  *report_ = std::move(fresh);
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

// The size of piece `index`'s data, learnt if need be and `learn`; kNothing
// when it is not known.
Streamer::Outcome Streamer::SizeOf(std::size_t index, bool learn,
                                   std::uint64_t* size) {
  if (Plain(index)) {
    *size = history_.pieces[index].size;
    return Outcome::kWritten;
  }
  const Choice* known = Find(index);
  // A trailer is checked against the data as the piece is written, where
  // what was written can be taken back.
  if ((!known || !known->size) && (sink_.Rewindable() || !learn))
    if (auto hint = source_.SizeHint(Planned(index))) {
      *size = *hint;
      return Outcome::kWritten;
    }
  if ((!known || !known->size) && !learn) return Outcome::kNothing;
  Ending failure;
  if ((!known || !known->size) && !Learn(index, &failure))
    return Failed(index, failure);
  *size = *Detail(index).size;
  return Outcome::kWritten;
}

// What piece `index` comes to when its data cannot be had.
Streamer::Outcome Streamer::Failed(std::size_t index, const Ending& failure) {
  switch (failure.how) {
    case Ending::kGone:
      return Outcome::kLookAgain;
    case Ending::kStopped:
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

// Reads the data of piece `index` once to learn its size and how it ends.
bool Streamer::Learn(std::size_t index, Ending* failure) {
  std::unique_ptr<PieceReader> reader = source_.Open(Planned(index), failure);
  if (!reader) return false;
  std::vector<char> buffer(kChunk);
  std::uint64_t size = 0;
  while (const std::size_t got = reader->Read(buffer.data(), buffer.size())) {
    size += got;
    if (source_.Stopped()) {
      failure->how = Ending::kStopped;
      return false;
    }
  }
  const Ending ending = reader->ending();
  if (ending.how != Ending::kComplete && ending.how != Ending::kWarned &&
      ending.how != Ending::kDamaged) {
    *failure = ending;
    return false;
  }
  Choice& choice = Detail(index);
  choice.size = size;
  choice.ending = ending;
  return true;
}

// The budget: the pieces that fit in it, newest first, the oldest of them
// cut at a line start (or, from the start, the newest cut at a line end).
// Without `learn`, only the sizes known beforehand count, and the budget
// drops nothing older than a piece whose size is not.
Streamer::Outcome Streamer::ApplyBudget(bool learn) {
  if (!part_.maxBytes) return Outcome::kWritten;
  std::uint64_t left = *part_.maxBytes;
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < waitFrom_; ++i)
    if (slots_[i].droppedBy == Rule::kNone) order.push_back(i);
  if (!part_.budgetFromStart) std::reverse(order.begin(), order.end());
  std::size_t cut = order.size();
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::size_t i = order[k];
    std::uint64_t size = 0;
    const Outcome sized = SizeOf(i, learn, &size);
    if (sized == Outcome::kNothing && !learn) return Outcome::kNothing;
    if (sized == Outcome::kNothing) continue;  // left out
    if (sized != Outcome::kWritten) return sized;
    const Choice* known = Find(i);
    const std::uint64_t start = known ? known->start : 0;
    size = std::max(size, start);
    Detail(i).sizeUsed = size;
    const std::uint64_t cost =
        BlockSize(history_.Path(i), start) + size - start;
    if (cost <= left) {
      left -= cost;
      continue;
    }
    cut = k + (BudgetCut(i, size, left) ? 1 : 0);
    break;
  }
  for (std::size_t k = cut; k < order.size(); ++k)
    SelectOut(order[k], Rule::kBudget);
  return Outcome::kWritten;
}

// Cuts piece `index` of `size` bytes to what `left` bytes of budget hold;
// false when not even a line of it fits.
bool Streamer::BudgetCut(std::size_t index, std::uint64_t size,
                         std::uint64_t left) {
  Choice& choice = Detail(index);
  const std::string source = history_.Path(index);
  if (part_.budgetFromStart) {
    const std::uint64_t header = BlockSize(source, choice.start);
    if (left <= header) return false;
    choice.limit = choice.start + (left - header);
    return true;
  }
  // A cut's header names a byte with at most as many digits as the size.
  const std::uint64_t header = BlockSize(source, size);
  if (left <= header || size - (left - header) <= choice.start) return false;
  choice.cutFrom = size - (left - header);
  return true;
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

void Streamer::LeaveOut(std::size_t index, const Ending& ending) {
  complete_ = false;
  slots_[index].status = PieceStatus::kLeftOut;
  slots_[index].code = ending.why;
  Detail(index).error = ending.error;
  report_->leftOut.push_back({history_.Path(index),
                              ReasonText(ending.why, ending.error), ending.why,
                              ending.error});
}

void Streamer::Foresee() {
  Decide();
  ApplyBudget(false);
}

// A trailer that did not tell an archive's size (several members) made the
// budget cut in the wrong place.
bool Streamer::Misjudged() const {
  for (const auto& entry : choices_) {
    const Choice& choice = entry.second;
    if (choice.sizeUsed && choice.size && *choice.sizeUsed != *choice.size)
      return true;
  }
  return false;
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

// What the budget dropped: the generations, and their bytes as far as
// known (a trailer's size for an archive never read).
void Streamer::CountDropped() {
  if (!part_.maxBytes) return;
  std::vector<GenerationRun>& runs = report_->budgetDropped;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const Choice* choice = Find(i);
    const bool cut =
        choice && choice->cutFrom && slots_[i].status == PieceStatus::kWritten;
    if (slots_[i].droppedBy != Rule::kBudget && !cut) continue;
    std::uint64_t size = choice ? choice->start : 0;
    if (!cut)
      size = choice && choice->sizeUsed ? *choice->sizeUsed
             : choice && choice->size   ? *choice->size
             : Plain(i)                 ? history_.pieces[i].size
                        : source_.SizeHint(Planned(i)).value_or(0);
    const std::uint64_t from = choice ? choice->from : 0;
    report_->budgetDroppedBytes += size > from ? size - from : 0;
    const std::uint16_t sequence = history_.pieces[i].sequence;
    if (!runs.empty() &&
        static_cast<std::uint16_t>(runs.back().last + 1) == sequence)
      runs.back().last = sequence;
    else if (runs.empty() || runs.back().last != sequence)
      runs.push_back({sequence, sequence});
  }
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
    if (choice) {
      told.error = choice->error;
      told.bytesLost = choice->bytesLost;
    }
    told.reason = ReasonText(slot.code, told.error);
    report.pieces.push_back(std::move(told));
  }
}

}  // namespace nq_tolvane
