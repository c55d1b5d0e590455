// Facts about a history found without running a command: what its pieces
// will take, who can reach them, and which generations are missing.

#ifndef TOLVANE_SRC_ASSEMBLY_FACTS_H_
#define TOLVANE_SRC_ASSEMBLY_FACTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tolvane_report.h"

namespace nq_tolvane {

// True when this user may decompress archives through the sudoers drop-in:
// root, or a member of the group "tolvane".
bool MayUseSudoRule();

// Fills the size, readability and scratch size of `piece`, whose
// sourcePath and kind are set. An archive's scratch size is read from its
// gzip trailer, which holds the size of its last member modulo 2^32: a
// lower bound of what it decompresses to.
void Measure(PlannedPiece* piece, bool mayUseSudoRule);

// Bytes free in `dir` for this user; 0 when it cannot be told.
std::uint64_t FreeBytes(const std::string& dir);

// The runs of generations missing from a history whose archives carry
// `oldestFirst`, in age order, and whose active log is `current`. Where the
// numbers wrapped within the history, the point where the device wraps is
// not known from its files: the numbers after the newest archive of the
// earlier cycle and 0 are not counted, 1 up to `current` are.
std::vector<GenerationRun> LostGenerations(
    const std::vector<std::uint16_t>& oldestFirst, std::uint16_t current);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_ASSEMBLY_FACTS_H_
