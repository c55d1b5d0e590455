// Facts found without running a command: what a piece will take, who can
// reach it, and the room in a directory.

#ifndef TOLVANE_SRC_PLATFORM_FACTS_H_
#define TOLVANE_SRC_PLATFORM_FACTS_H_

#include <cstdint>
#include <optional>
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

// Opens the regular file `path` to read it, without blocking on anything
// else (a FIFO): its descriptor, with its size in `*size` when not null; -1
// with errno set when it cannot (EINVAL for anything but a regular file).
int OpenRegular(const std::string& path, std::uint64_t* size = nullptr);

// The size of the last member of the gzip file open on `fd`, modulo 2^32,
// from its trailer: a lower bound of what it decompresses to.
std::optional<std::uint64_t> TrailerSize(int fd);

// Bytes free in `dir` for this user; 0 when it cannot be told.
std::uint64_t FreeBytes(const std::string& dir);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_PLATFORM_FACTS_H_
