// What became of getting one piece's data (reading, decompressing or
// copying it), or why it could not be had: made where it is known, and
// carried unchanged into the report by Describe().

#ifndef TOLVANE_SRC_CORE_STATUS_H_
#define TOLVANE_SRC_CORE_STATUS_H_

#include <cstdint>
#include <optional>

#include "tolvane_report.h"

namespace nq_tolvane {

struct Status {
  enum Kind : std::uint8_t {
    kComplete,  // all of it
    kWarned,    // all of it; bytes after the compressed data, which GNU
                // gunzip warns of, ignored (Reason::kGunzipWarned)
    kDamaged,   // not all of it: truncated, corrupt, or still being written
    kGone,      // not there (any more): not missing
    kLeftOut,   // the caller cannot have it: `reason`, `error`
    kStopped,   // the request was stopped
  };
  Status() = default;
  Status(Kind kind, Reason reason = Reason::kNone, int error = 0)
      : kind(kind), reason(reason), error(error) {}

  Kind kind = kComplete;
  Reason reason = Reason::kNone;  // kLeftOut: why; kWarned: the warning
  int error = 0;                  // Reason::kNotRun: the errno value
  std::optional<std::uint64_t> bytesLost;  // kDamaged, where known

  // All of the data was had.
  bool Whole() const { return kind == kComplete || kind == kWarned; }
};

// Fills `piece`'s code, errno, reason text and bytes lost from `status`,
// and its status where `status` ends it (left out, gone): the one place a
// piece's reason is written.
void Describe(const Status& status, PieceReport* piece);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_STATUS_H_
