// The writing of one piece: its header, its data from where the output
// starts, whole lines where they are asked for, and what its end tells.

#include <cstring>

#include "core/Selection.h"
#include "stream/DataInput.h"
#include "stream/Engine.h"
#include "stream/PieceOutput.h"

namespace nq_tolvane {
namespace {

// A last line longer than this is written as it is rather than held back.
constexpr std::size_t kLongestLine = 64 * 1024;

bool Whole(const Status& ending) {
  return ending.kind == Status::kComplete || ending.kind == Status::kWarned;
}

}  // namespace

Streamer::Outcome Streamer::Stream(std::size_t index) {
  // A sink that cannot take back what it got learns first whether an
  // archive is whole, so that its header says so and nothing of one still
  // being written goes out.
  Status failure;
  if (!sink_.Rewindable() && !Plain(index) && !Detail(index).ending &&
      !Learn(index, &failure))
    return Failed(index, failure);
  for (int attempt = 0; attempt < 4; ++attempt) {
    const Choice& choice = Detail(index);
    if (choice.ending && choice.ending->kind == Status::kDamaged &&
        history_.pieces[index].unsettled) {
      // Still being written: a cursor request takes none of it yet.
      if (part_.cursor) {
        Wait(index);
        return Outcome::kWait;
      }
      Pass(end());
    }
    std::unique_ptr<PieceReader> reader =
        source_.Open(Planned(index), &failure);
    if (!reader) return Failed(index, failure);
    const Outcome written = Write(index, *reader, sink_.Offset());
    if (written != Outcome::kAgain) return written;
  }
  return Outcome::kLookAgain;
}

// Passes over the data up to the first line at or after the budget's cut;
// kNothing when no byte follows it.
Streamer::Outcome Streamer::SkipToCut(std::size_t index, Input& input,
                                      Window& window) {
  Choice& choice = Detail(index);
  bool found = SkipTo(input, *choice.cutFrom - 1, window, source_);
  while (found) {
    const auto [data, size] = input.Next();
    if (size == 0) {
      found = false;
      break;
    }
    const char* feed = static_cast<const char*>(std::memchr(data, '\n', size));
    const std::size_t take = feed ? feed - data + 1 : size;
    window.Add(data, take);
    input.Take(take);
    if (feed) break;
  }
  if (found && input.Next().second == 0) found = false;
  if (!found) {
    if (source_.Stopped() || input.ending().kind == Status::kStopped)
      return Outcome::kStopped;
    SelectOut(index, Rule::kBudget);
    return Outcome::kNothing;
  }
  choice.start = input.at();
  return Outcome::kWritten;
}

// Writes piece `index` from `reader`, the sink at `mark`. Returns kAgain
// after taking back what it wrote, when it learnt that the position does
// not match or that the data is damaged.
Streamer::Outcome Streamer::Write(std::size_t index, PieceReader& reader,
                                  std::uint64_t mark) {
  const Piece& piece = history_.pieces[index];
  Choice& choice = Detail(index);
  const bool damaged = choice.ending && choice.ending->kind == Status::kDamaged;
  std::optional<std::uint64_t> limit = damaged ? choice.size : choice.limit;
  if (!limit && Plain(index)) limit = piece.size;  // as far as it was found
  Input input(reader, limit, buffer_);
  Window window;

  const bool reached = SkipTo(input, choice.start, window, source_);
  if (!reached && source_.Stopped()) return Outcome::kStopped;
  if (!reached && !Whole(input.ending())) {
    const Status ending = input.ending();
    if (ending.kind != Status::kDamaged) return Failed(index, ending);
    if (part_.cursor && piece.unsettled) {
      Wait(index);
      return Outcome::kWait;
    }
    // Damaged before the position: nothing of it is new.
    SelectOut(index, Rule::kPosition);
    return Outcome::kNothing;
  }
  if (choice.checkPosition) {
    choice.checkPosition = false;
    if (!reached || window.Check() != part_.after->check) {
      report_->found.positionMismatch = true;
      choice.from = choice.start = 0;
      return Outcome::kAgain;
    }
  }
  if (choice.cutFrom) {
    const Outcome cut = SkipToCut(index, input, window);
    if (cut != Outcome::kWritten) return cut;
  }
  PieceFacts facts;
  facts.log = history_.prefix();
  facts.source = history_.Path(index);
  facts.generation = piece.sequence;
  facts.start = input.at();
  facts.damaged = damaged;
  facts.closed = piece.kind != PieceKind::kActiveLog;
  PieceOutput out(sink_, part_.format, std::move(facts), window);
  std::string held;  // a last line without its line feed, held back
  const Outcome poured = Pour(index, input, out, &held);
  if (poured != Outcome::kWritten) return poured;
  return Settle(index, input, out, held, mark);
}

// Puts the data of piece `index` from `input` into `out`; the active log's
// last line without its line feed (or the budget's end) in `*held`.
Streamer::Outcome Streamer::Pour(std::size_t index, Input& input,
                                 PieceOutput& out, std::string* held) {
  const bool active = history_.pieces[index].kind == PieceKind::kActiveLog;
  const bool lines = active || Detail(index).limit;
  for (;;) {
    const auto [data, size] = input.Next();
    if (size == 0) break;
    input.Take(size);
    if (source_.Stopped()) return Outcome::kStopped;
    if (!lines) {
      if (!out.Put(data, size)) return Outcome::kSinkFailed;
      continue;
    }
    const char* feed = static_cast<const char*>(memrchr(data, '\n', size));
    if (feed == nullptr) {
      held->append(data, size);
      if (held->size() <= kLongestLine) continue;
      if (!out.Put(held->data(), held->size())) return Outcome::kSinkFailed;
      held->clear();
      continue;
    }
    const std::size_t whole = feed - data + 1;
    if ((!held->empty() && !out.Put(held->data(), held->size())) ||
        !out.Put(data, whole))
      return Outcome::kSinkFailed;
    held->assign(feed + 1, size - whole);
  }
  return Outcome::kWritten;
}

// What the end of piece `index`'s data makes of it, `held` its last line
// without a line feed, the sink at `mark` before it.
Streamer::Outcome Streamer::Settle(std::size_t index, const Input& input,
                                   PieceOutput& out, const std::string& held,
                                   std::uint64_t mark) {
  const Piece& piece = history_.pieces[index];
  Choice& choice = Detail(index);
  const bool damaged = choice.ending && choice.ending->kind == Status::kDamaged;
  // A snapshot's active log gives its last line as it stands, the position
  // before it; a cursor request's, or the budget's end, holds it back.
  const bool lastLine =
      !part_.cursor && piece.kind == PieceKind::kActiveLog && !choice.limit;
  Status ending = input.ending();
  // Read again as far as it decompressed: the limit ended it.
  if (damaged && ending.kind == Status::kComplete) ending = *choice.ending;
  bool keep = held.empty();
  switch (ending.kind) {
    case Status::kStopped:
      return Outcome::kStopped;
    case Status::kGone:
    case Status::kLeftOut:
      // Learnt only at the end (sudo refused): nothing of it stays.
      if (!sink_.Rewind(mark)) return Outcome::kSinkFailed;
      return Failed(index, ending);
    case Status::kDamaged:
      if (!damaged) {
        // Still being written, or damaged: taken back, and written again
        // knowing it.
        choice.ending = ending;
        choice.size = input.at();
        if (!sink_.Rewind(mark)) return Outcome::kSinkFailed;
        return Outcome::kAgain;
      }
      if ((!held.empty() && !out.Put(held.data(), held.size())) ||
          (!out.headed() && choice.start == 0 && !out.Put(nullptr, 0)))
        return Outcome::kSinkFailed;
      keep = true;
      if (out.headed()) {
        slots_[index].code = Reason::kDamaged;
        choice.bytesLost = choice.ending->bytesLost;
      }
      break;
    case Status::kWarned:
      slots_[index].code = Reason::kGunzipWarned;
      [[fallthrough]];
    case Status::kComplete:
      // An empty piece read whole still gets its header, once.
      if (!out.headed() && choice.start == 0 && !choice.cutFrom &&
          !choice.atPosition && held.empty() && !out.Put(nullptr, 0))
        return Outcome::kSinkFailed;
      if (lastLine && !held.empty()) {
        Pass(out.headed() ? std::optional<Position>(
                                Position{history_.prefix(), piece.sequence,
                                         out.written(), out.check()})
                          : end());
        if (!out.Put(held.data(), held.size())) return Outcome::kSinkFailed;
        keep = true;
      }
      break;
  }
  if (!out.Finish()) return Outcome::kSinkFailed;
  if (!out.headed()) {
    // Nothing new in it, or only a line still being written.
    if (keep)
      SelectOut(index, Rule::kPosition);
    else
      slots_[index].status = PieceStatus::kWaiting;
    return Outcome::kNothing;
  }
  slots_[index].status = PieceStatus::kWritten;
  if (!damaged && ending.kind != Status::kDamaged) choice.size = input.at();
  newest_ =
      Position{history_.prefix(), piece.sequence, out.written(), out.check()};
  return Outcome::kWritten;
}

}  // namespace nq_tolvane
