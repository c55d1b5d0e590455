// The rules of a Selection that need no piece's data: whether it applies to
// a log, the time window, and the header line a piece is written behind.

#ifndef TOLVANE_SRC_CORE_SELECTION_H_
#define TOLVANE_SRC_CORE_SELECTION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/History.h"
#include "core/Position.h"
#include "tolvane_report.h"

namespace nq_tolvane {

// Why `selection` cannot apply to the log with `prefix`, or "".
std::string SelectionProblem(const Selection& selection,
                             const std::string& prefix);

// The rule of a time window that drops each of `pieces` (in age order), or
// Rule::kNone: `since` keeps the oldest piece that ended at or after it and
// every newer one, `until` every piece up to and including that one.
// `*before` tells whether `since` reaches back past the oldest piece.
std::vector<Rule> WindowRules(const Pieces& pieces,
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

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_SELECTION_H_
