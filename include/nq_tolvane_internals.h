// tolvane internals: the state of the selected log type, its diagnostics and
// the sequence-number functions. Exported for the device's own tools and for
// tests; GetEntireLog() is the library's entry point.
//
// Thread safety: GetEntireLog() uses these functions under its library lock.
// A program that calls them itself must do so from one thread at a time and
// not while a request runs; GetDebugCondition() and SetDebugCondition(), like
// IsDebugging() and SetDebugging(), may be called from any thread at any
// time. The references returned by GetLogPrefix(), GetActiveDir() and
// GetBackupDir() point into the current record, which the next Initialize()
// destroys: copy them at once.

#ifndef TOLVANE_INCLUDE_NQ_TOLVANE_INTERNALS_H_
#define TOLVANE_INCLUDE_NQ_TOLVANE_INTERNALS_H_

#include <cstdint>
#include <string>

#include "nq_tolvane.h"

namespace nq_tolvane {
namespace nq_tolvane_internals {

// The record of the selected log type.
struct TolvaneState {
  LogType logType;
  std::string logPrefix;     // "audit", "brev", "snmpd" or "misc"
  std::string activeDir;     // directory of the active log file
  std::string backupDir;     // directory of the archives and checkpoint file
  std::uint16_t lastLogNum;  // number found when the record was built
  std::uint16_t logNum;      // current number: the pivot of the age order
  bool debugCondition;       // diagnostics switch
};

struct CheckPointResult {
  bool found;            // the checkpoint file existed and could be opened
  std::uint16_t logNum;  // the number read from it; 0 when !found
};

// Selects log type 1 to 4: writes its name into `name`, replaces the current
// record by a new one (switch off) whose numbers come from
// FindLastBackupLogNum(), and returns true. Any other value prints
// "Initialize: Unknown log type requested." on stderr, destroys the current
// record, leaves `name` as it was and returns false.
TOLVANE_EXPORT bool Initialize(LogType type, std::string& name);

// Accessors of the current record. With no record: 0, false or a reference
// to an empty string; the setters then change nothing.
TOLVANE_EXPORT LogType GetLogType();
TOLVANE_EXPORT const std::string& GetLogPrefix();
TOLVANE_EXPORT const std::string& GetActiveDir();
TOLVANE_EXPORT const std::string& GetBackupDir();
TOLVANE_EXPORT std::uint16_t GetLastLogNum();
TOLVANE_EXPORT std::uint16_t GetLogNum();
TOLVANE_EXPORT void SetLogNum(std::uint16_t num);
TOLVANE_EXPORT bool GetDebugCondition();
TOLVANE_EXPORT void SetDebugCondition(bool on);

// True when stat() accepts `path` (links followed, directories included).
TOLVANE_EXPORT bool CheckFileExist(const char* path);

// While the switch is on, writes one line to stderr: the 24-character local
// time, ':', the formatted text and a newline. Writes nothing otherwise.
TOLVANE_EXPORT void Message(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// The sequence number of archive `name`: the low 16 bits of what strtol()
// reads from the (at most five) characters at index prefix.size(). 0 when
// the prefix or ".gz" occurs nowhere in the name.
TOLVANE_EXPORT std::uint16_t FindLogNum(const std::string& name,
                                        const std::string& prefix);

// Less-than predicate of the age order: true when archive `first` is older
// than `second`, pivoting on the current record's logNum n. Numbers above n
// were written before the wrap and are older than every number up to n.
// Two equal numbers up to n compare true in both orders, so use it only with
// a sort that copes with that (std::list::sort does).
// With no selected type it returns false for every pair.
TOLVANE_EXPORT bool compare_file_age(const std::string& first,
                                     const std::string& second);

// Reads the number at the start of `dir`/`prefix`.txt.
TOLVANE_EXPORT CheckPointResult ReadCheckPointFile(const std::string& prefix,
                                                   const std::string& dir);

// The newest sequence number of a type: the checkpoint file's, or else the
// number of the last archive of `dir` in name order, or 0 with none.
TOLVANE_EXPORT std::uint16_t FindLastBackupLogNum(const std::string& dir,
                                                  const std::string& prefix);

}  // namespace nq_tolvane_internals
}  // namespace nq_tolvane

#endif  // TOLVANE_INCLUDE_NQ_TOLVANE_INTERNALS_H_
