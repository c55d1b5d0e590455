// The history of one log type as its files hold it: which pieces it has and
// in which order, found once. A request and a plan both start from it and
// never reorder it. A piece takes a few machine words; its name is made
// when it is needed.

#ifndef TOLVANE_SRC_CORE_HISTORY_H_
#define TOLVANE_SRC_CORE_HISTORY_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "state/LogNames.h"
#include "tolvane_report.h"

namespace nq_tolvane {

// Where the files of one log type lie.
struct LogFiles {
  std::string prefix;
  std::string activeDir;
  std::string backupDir;
};

// One piece of a history, in 24 bytes.
struct Piece {
  std::int64_t modifiedNs = 0;  // its modification time, nanoseconds since
                                // the epoch; 0 where it was not looked at
  std::uint64_t size = 0;       // bytes on disk
  std::uint32_t path = 0;       // 1 + its index in History's unusual paths,
                                // or 0: "<dir>/<prefix>NNNNN.log[.gz]"
  std::uint16_t sequence = 0;
  PieceKind kind = PieceKind::kArchive;
  bool inActiveDir : 1;  // else in the backup directory
  bool unsettled : 1;    // it changed, or a newer generation did, within the
                         // settling time: an archive that reads short may
                         // still be written, a plain file that cannot be
                         // read may still be rotated
  bool numbered : 1;     // five digits follow the prefix in its name
  bool measured : 1;     // its size and time were looked at

  Piece()
      : inActiveDir(false),
        unsettled(false),
        numbered(false),
        measured(false) {}
  // When it ended: its modification time in seconds since the epoch.
  std::int64_t endTime() const { return modifiedNs / 1000000000; }
};

// The pieces of a history: a deque, so that a long one grows without
// copying itself.
using Pieces = std::deque<Piece>;

class History {
 public:
  History() = default;
  explicit History(LogFiles files) : files_(std::move(files)) {}

  Findings found;
  // In output order: the archives oldest first, then the active log.
  Pieces pieces;
  // A cursor request ends before piece `waitFrom` (Findings::waitingFor).
  std::size_t waitFrom = SIZE_MAX;

  const std::string& prefix() const { return files_.prefix; }
  const LogFiles& files() const { return files_; }

  // Appends `piece`, whose file is at `path`, or at its usual path
  // "<dir>/<prefix>NNNNN.log[.gz]" when `path` is "".
  void Add(Piece piece, const std::string& path = "");
  // Takes `pieces`, whose unusual paths are `paths`.
  void Take(Pieces pieces, std::vector<std::string> paths);
  // The path of piece `index`.
  std::string Path(std::size_t index) const;
  // Piece `index` as a plan shows it, before it is measured.
  PlannedPiece Planned(std::size_t index) const;

 private:
  std::string UsualPath(const Piece& piece) const;

  LogFiles files_;
  std::vector<std::string> paths_;  // the paths that are not the usual ones
};

// Generations no file holds, between the oldest of `oldestFirst` (numbers
// in age order around `current`) and `current`, not `current` itself. Where
// the numbers wrapped, the device's wrap point is not known from its files:
// the numbers after the newest one before the wrap, and 0, are not counted.
std::vector<GenerationRun> LostGenerations(
    const std::vector<std::uint16_t>& oldestFirst, std::uint16_t current);

// True when `name` begins with `prefix` and five digits: the number in it
// was read, not taken as 0.
bool Numbered(const std::string& name, const std::string& prefix);

// Orders `items` oldest first by the sequence number `number(item)` gives,
// around `current`, as the list sort of compare_file_age() orders archive
// names: by AgeKey(), and of equal numbers up to `current` the later one
// first (that comparison calls each of two equal ones older).
template <typename Items, typename Number>
void SortByAge(Items* items, std::uint16_t current, Number number);

// Sums up a plan's pieces as they are handed on: the verdict and the room
// their scratch copies need. Pieces are added in output order.
class Tally final {
 public:
  // `scratchFree`: the room for scratch copies, or none for a request that
  // needs none.
  explicit Tally(std::optional<std::uint64_t> scratchFree)
      : scratchFree_(scratchFree) {}
  void Add(const PlannedPiece& piece, std::uint16_t current);
  // Sets the plan's count, scratch room and verdict.
  void Finish(Plan* plan) const;

 private:
  const std::optional<std::uint64_t> scratchFree_;
  std::size_t count_ = 0;
  std::uint64_t needed_ = 0;
  bool lowerBound_ = false;
  bool reachable_ = true;
  std::optional<std::uint32_t> oldest_;  // age of the oldest selected piece
};

template <typename Items, typename Number>
void SortByAge(Items* items, std::uint16_t current, Number number) {
  // Sorted through their indices, which takes a quarter of the memory the
  // items would; then put in that order, cycle by cycle.
  std::vector<std::uint32_t> order(items->size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  // Stable: of equal keys the earlier index first.
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const std::uint32_t x = AgeKey(number((*items)[a]), current);
    const std::uint32_t y = AgeKey(number((*items)[b]), current);
    return x != y ? x < y : a < b;
  });
  for (std::uint32_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    auto held = std::move((*items)[start]);
    std::uint32_t at = start;
    while (order[at] != start) {
      const std::uint32_t from = order[at];
      (*items)[at] = std::move((*items)[from]);
      order[at] = at;
      at = from;
    }
    (*items)[at] = std::move(held);
    order[at] = at;
  }
  for (auto run = items->begin(); run != items->end();) {
    auto end = run;
    while (end != items->end() && number(*end) == number(*run)) ++end;
    if (number(*run) <= current) std::reverse(run, end);
    run = end;
  }
}

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_HISTORY_H_
