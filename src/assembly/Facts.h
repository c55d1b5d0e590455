// Facts found without running a command: what a piece will take, who can
// reach it, and the room in a directory.

#ifndef TOLVANE_SRC_ASSEMBLY_FACTS_H_
#define TOLVANE_SRC_ASSEMBLY_FACTS_H_

#include <cstdint>
#include <string>

#include "tolvane_report.h"

namespace nq_tolvane {

// True when this user may decompress archives through the sudoers drop-in:
// root, or a member of the group "tolvane".
bool MayUseSudoRule();

// Fills the size, end time, readability and scratch size of `piece`, whose
// sourcePath and kind are set. An archive's scratch size is read from its
// gzip trailer, which holds the size of its last member modulo 2^32: a
// lower bound of what it decompresses to.
void Measure(PlannedPiece* piece, bool mayUseSudoRule);

// Bytes free in `dir` for this user; 0 when it cannot be told.
std::uint64_t FreeBytes(const std::string& dir);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_ASSEMBLY_FACTS_H_
