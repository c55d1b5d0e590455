// The budget of a part (maxBytes): the sizes of the pieces' data, learnt
// where they are not known beforehand, where it cuts, and what it dropped.

#include <algorithm>

#include "core/Selection.h"
#include "stream/Engine.h"

namespace nq_tolvane {
namespace {

std::uint64_t BlockSize(const std::string& source, std::uint64_t start) {
  return HeaderLine(source, start).size() + 3;  // "\n" line "\n\n"
}

}  // namespace

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
  Status failure;
  if ((!known || !known->size) && !Learn(index, &failure))
    return Failed(index, failure);
  *size = *Detail(index).size;
  return Outcome::kWritten;
}

// Reads the data of piece `index` once to learn its size and how it ends.
bool Streamer::Learn(std::size_t index, Status* failure) {
  std::unique_ptr<PieceReader> reader = source_.Open(Planned(index), failure);
  if (!reader) return false;
  std::uint64_t size = 0;
  while (const std::size_t got = reader->Read(buffer_.data(), buffer_.size())) {
    size += got;
    if (source_.Stopped()) {
      failure->kind = Status::kStopped;
      return false;
    }
  }
  const Status ending = reader->ending();
  if (ending.kind != Status::kComplete && ending.kind != Status::kWarned &&
      ending.kind != Status::kDamaged) {
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

}  // namespace nq_tolvane
