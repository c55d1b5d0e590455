// tolvane: assembles the complete history of one device log into one file.
//
// The device keeps four kinds of log. Each has an active log file and older
// generations as gzip archives numbered with a wrapping 16-bit sequence
// number. GetEntireLog() writes every archive, oldest first, and then the
// active log into one output file, each piece behind a header line.
//
// Thread safety: every function here may be called from any thread.
// Requests of one process run one at a time under one library lock; requests
// of different processes may run at once and do not disturb each other.

#ifndef TOLVANE_INCLUDE_NQ_TOLVANE_H_
#define TOLVANE_INCLUDE_NQ_TOLVANE_H_

#include <cstdint>
#include <string>

#include "tolvane_export.h"

namespace nq_tolvane {

// The kind of log. 0 means that no type is selected.
enum LogType : std::int32_t {
  LOGTYPE_AUDIT = 1,
  LOGTYPE_BREV = 2,
  LOGTYPE_SNMPD = 3,
  LOGTYPE_MISC = 4,
};

// One piece of an assembled log: an archive or the active log file.
struct ArchivePathInfo {
  std::string sourcePath;  // the piece's source file, as listed or formed
  std::string baseName;    // last path component of sourcePath
  std::string tempPath;    // scratch copy under /var/tmp/; empty until made
};

// Writes the complete history of log `type` into `outputPath`: a line feed,
// "<source path> follows:", a line feed, an empty line and then the piece's
// bytes unchanged, for every archive from the oldest to the newest and last
// for the active log file.
//
// Returns true when at least one piece was gathered and every piece gathered
// was written completely. Returns false for a type outside 1 to 4, when no
// piece was found (the output file is then left untouched), or when writing
// a piece failed (the output file is then incomplete). Scratch files are
// removed in every case. Failures are reported to the device log.
TOLVANE_EXPORT bool GetEntireLog(LogType type, const std::string& outputPath);

// The diagnostics switch of the selected log type. Reads false while no type
// is selected; setting it then has no effect. Selecting another type turns it
// off again.
TOLVANE_EXPORT bool IsDebugging();
TOLVANE_EXPORT void SetDebugging(bool on);

}  // namespace nq_tolvane

#endif  // TOLVANE_INCLUDE_NQ_TOLVANE_H_
