// A position in a history: where a request's output ended, so that a later
// request can continue there. Its text is what a caller stores.

#ifndef TOLVANE_SRC_CORE_POSITION_H_
#define TOLVANE_SRC_CORE_POSITION_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace nq_tolvane {

// Just after byte `offset` of the data of generation `sequence` of the log
// with `prefix` (the active log while it is written, then the archive it is
// rotated into). `check` tells whether a file holds that data: a 64-bit
// FNV-1a hash of the (up to kWindow) bytes before the offset.
struct Position {
  static constexpr std::uint64_t kWindow = 4096;

  std::string prefix;
  std::uint16_t sequence = 0;
  std::uint64_t offset = 0;
  std::uint64_t check = 0;
};

// The check of the data just before a position: a 64-bit FNV-1a hash of
// the last Position::kWindow bytes (or fewer) of `data`.
std::uint64_t CheckOf(const std::string& data);
// The same hash of `first` followed by `second`, whatever their sizes.
std::uint64_t CheckOf(std::string_view first, std::string_view second);

// "tolvane1:<prefix>:<sequence, five digits>:<offset>:<check, 16 hex
// digits>", for example "tolvane1:misc:00004:5120:9a3c0e55d2f1b7a0".
std::string PositionText(const Position& position);

// Reads a text of PositionText(). False for anything else.
bool ParsePosition(const std::string& text, Position* position);

// The position at the end of the regular file at `path`, which holds
// generation `sequence` of the log with `prefix`. False when it cannot be
// read.
bool PositionAtEnd(const std::string& path, const std::string& prefix,
                   std::uint16_t sequence, Position* position);

// True when the regular file at `path` holds the data before `position`:
// at least its offset in bytes, the window before it of the same check.
// False also when it cannot be read.
bool Holds(const std::string& path, const Position& position);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_POSITION_H_
