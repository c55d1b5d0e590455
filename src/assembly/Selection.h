// The part of a history that a Selection keeps: decided before any piece is
// made where the history tells it (the position, the window, the sizes
// known), and settled piece by piece, newest first, as each copy is made
// (the position checked against the copy, the budget cut at a line start).

#ifndef TOLVANE_SRC_ASSEMBLY_SELECTION_H_
#define TOLVANE_SRC_ASSEMBLY_SELECTION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "History.h"
#include "Position.h"
#include "tolvane_report.h"

namespace nq_tolvane {

// Why `selection` cannot apply to the log with `prefix`, or "".
std::string SelectionProblem(const Selection& selection,
                             const std::string& prefix);

// The rule of a time window that drops each of `pieces` (in age order), or
// Rule::kNone: `since` keeps the oldest piece that ended at or after it and
// every newer one, `until` every piece up to and including that one.
// `*before` tells whether `since` reaches back past the oldest piece.
std::vector<Rule> WindowRules(const std::vector<PlannedPiece>& pieces,
                              const std::optional<std::int64_t>& since,
                              const std::optional<std::int64_t>& until,
                              bool* before);

// The header line of a piece from `source` whose output starts at byte
// `start` of its data, between the line feed before it and the empty line
// after it: "<source> follows:", "<source> follows from byte N:", with
// ", damaged" before the colon for a damaged archive.
std::string HeaderLine(const std::string& source, std::uint64_t start,
                       bool damaged = false);

// The text "/bin/echo -e" gets for the header of the piece from `source`
// whose output starts at byte `start` of its data; echo adds a line feed.
std::string HeaderText(const std::string& source, std::uint64_t start);

// What a selection makes of one history.
// REQUIRES: SelectionProblem() found none. `history` outlives it.
class Cutter final {
 public:
  Cutter(const History& history, const Selection& selection);
  Cutter(const Cutter&) = delete;
  Cutter& operator=(const Cutter&) = delete;

  // Before piece `index` is made: the rule that drops it, or Rule::kNone.
  Rule Before(std::size_t index) const;
  // Where the output of piece `index` starts, as far as known beforehand.
  std::uint64_t Start(std::size_t index) const { return pieces_[index].start; }

  // Piece `index`, newest first, has been made into `copy`: sets `*start`
  // where its output starts and returns Rule::kNone, or returns the rule
  // that drops it after all. REQUIRES: Before(index) was Rule::kNone.
  Rule After(std::size_t index, const std::string& copy, std::uint64_t* start);

  // The position just after the newest piece After() kept, or else the one
  // the selection was given ("" for none).
  std::string NewPosition() const;

  bool positionMismatch() const { return positionMismatch_; }
  bool positionGone() const { return positionGone_; }
  bool windowBeforeHistory() const { return windowBeforeHistory_; }

 private:
  struct Choice {
    Rule droppedBy = Rule::kNone;
    std::uint64_t start = 0;
    bool checkPosition = false;  // start is the position's, to be checked
  };

  void ApplyPosition();
  void ApplyWindow(const Selection& selection);
  void ApplyKnownSizes();
  bool FitBudget(const std::string& source, const std::string& copy,
                 std::uint64_t* start);

  const History& history_;
  std::vector<Choice> pieces_;
  std::optional<Position> after_;
  std::optional<std::uint64_t> left_;  // bytes the budget has left
  bool spent_ = false;                 // no older piece fits
  std::optional<Position> newest_;     // the end of the newest piece kept
  bool positionMismatch_ = false;
  bool positionGone_ = false;
  bool windowBeforeHistory_ = false;
};

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_ASSEMBLY_SELECTION_H_
