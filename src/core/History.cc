#include "core/History.h"

#include <cstdio>

namespace nq_tolvane {
namespace {

// Appends the missing numbers from `first` to `last` to `runs`, joining
// consecutive ones.
void AddMissing(const std::vector<bool>& present, std::uint32_t first,
                std::uint32_t last, std::vector<GenerationRun>* runs) {
  for (std::uint32_t n = first; n <= last && first <= last; ++n) {
    if (present[n]) continue;
    if (!runs->empty() && runs->back().last + 1u == n)
      runs->back().last = static_cast<std::uint16_t>(n);
    else
      runs->push_back(
          {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n)});
  }
}

}  // namespace

void History::Add(Piece piece, const std::string& path) {
  piece.path = 0;
  if (!path.empty() && path != UsualPath(piece)) {
    paths_.push_back(path);
    piece.path = static_cast<std::uint32_t>(paths_.size());
  }
  pieces.push_back(piece);
}

void History::Take(Pieces taken, std::vector<std::string> paths) {
  pieces = std::move(taken);
  paths_ = std::move(paths);
}

std::string History::UsualPath(const Piece& piece) const {
  char number[8];
  std::snprintf(number, sizeof number, "%05u", unsigned{piece.sequence});
  return (piece.inActiveDir ? files_.activeDir : files_.backupDir) + "/" +
         files_.prefix + number +
         (piece.kind == PieceKind::kArchive ? ".log.gz" : ".log");
}

std::string History::Path(std::size_t index) const {
  const Piece& piece = pieces[index];
  return piece.path == 0 ? UsualPath(piece) : paths_[piece.path - 1];
}

PlannedPiece History::Planned(std::size_t index) const {
  const Piece& piece = pieces[index];
  PlannedPiece planned;
  planned.sourcePath = Path(index);
  planned.kind = piece.kind;
  planned.sequence = piece.sequence;
  planned.sizeOnDisk = piece.size;
  planned.endTime = piece.endTime();
  return planned;
}

bool Numbered(const std::string& name, const std::string& prefix) {
  if (name.compare(0, prefix.size(), prefix) != 0 ||
      name.size() < prefix.size() + 5)
    return false;
  for (std::size_t i = prefix.size(); i < prefix.size() + 5; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

std::vector<GenerationRun> LostGenerations(
    const std::vector<std::uint16_t>& oldestFirst, std::uint16_t current) {
  std::vector<GenerationRun> runs;
  if (oldestFirst.empty()) return runs;
  std::vector<bool> present(65536, false);
  std::uint16_t newestEarlier = 0;
  bool wrapped = false;
  for (std::uint16_t n : oldestFirst) {
    present[n] = true;
    if (n > current) {
      wrapped = true;
      newestEarlier = std::max(newestEarlier, n);
    }
  }
  // Oldest first, the earlier cycle's numbers come before the current's.
  if (wrapped) AddMissing(present, oldestFirst.front(), newestEarlier, &runs);
  const std::uint32_t start = wrapped ? 1 : oldestFirst.front();
  if (current > 0) AddMissing(present, start, current - 1u, &runs);
  return runs;
}

void Tally::Add(const PlannedPiece& piece, std::uint16_t current) {
  ++count_;
  if (piece.droppedBy != Rule::kNone) return;
  if (!oldest_) oldest_ = AgeKey(piece.sequence, current);
  if (scratchFree_) {
    needed_ += piece.scratchSize;
    lowerBound_ |= !piece.scratchSizeKnown;
  }
  reachable_ = reachable_ && piece.reachable;
}

void Tally::Finish(Plan* plan) const {
  const Findings& found = plan->found;
  plan->pieceCount = count_;
  plan->scratchNeeded = needed_;
  plan->scratchNeededIsLowerBound = lowerBound_;
  plan->scratchFree = scratchFree_.value_or(0);
  // A run lost or being rotated counts when it lies after the oldest
  // selected piece.
  bool missing = false;
  for (const auto* runs : {&found.lost, &found.rotating})
    for (const GenerationRun& run : *runs)
      missing =
          missing || (oldest_ && AgeKey(run.last, found.current) > *oldest_);
  plan->expectedComplete = count_ > 0 && reachable_ &&
                           needed_ <= plan->scratchFree && !missing &&
                           found.unlisted.empty();
}

}  // namespace nq_tolvane
