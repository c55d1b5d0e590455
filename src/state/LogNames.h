// The four log types and the names of their files: the one place that knows
// them. The state and assembly units and the public name functions read it.

#ifndef TOLVANE_SRC_STATE_LOGNAMES_H_
#define TOLVANE_SRC_STATE_LOGNAMES_H_

#include <cstdint>
#include <string>

#include "nq_tolvane.h"

namespace nq_tolvane {

struct LogTypeRow {
  LogType type;
  const char* name;  // also the prefix of its file names
  const char* activeDir;
  const char* backupDir;
};

// The row of `type`, or null for a value outside 1 to 4.
const LogTypeRow* FindLogType(LogType type);

// The last component of `path`, as POSIX basename() gives it.
std::string BaseName(const std::string& path);

// The directory-listing pattern of the archives of the type with `prefix`:
// the prefix, any run of characters, then ".log.gz".
std::string ArchivePattern(const std::string& prefix);

// <backupDir>/<prefix>.txt, which holds the current sequence number.
std::string CheckpointPath(const std::string& backupDir,
                           const std::string& prefix);

// <activeDir>/<prefix><number in five digits>.log.
std::string ActiveLogPath(const std::string& activeDir,
                          const std::string& prefix, std::uint16_t number);

// The place of sequence number `n` in the age order around `current`, the
// active log's: numbers above it were written before the numbers wrapped.
inline std::uint32_t AgeKey(std::uint16_t n, std::uint16_t current) {
  return (n > current ? 0u : 65536u) + n;
}

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_STATE_LOGNAMES_H_
