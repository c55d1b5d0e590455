// tolvane: assembles the complete history of one device log into one file.
//
// The device keeps four kinds of log. Each has an active log file and older
// generations as gzip archives numbered with a wrapping 16-bit sequence
// number. GetEntireLog() writes every archive, oldest first, and then the
// active log into one output file, each piece behind a header line.
//
// Thread safety: GetEntireLog(), IsDebugging() and SetDebugging() may be
// called from any thread. Requests of one process run one at a time under one
// library lock; requests of different processes, and of different users, may
// run at once and do not disturb each other.

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
// Returns true only when the history is complete: every archive listed and
// the active log named by the checkpoint file (where it exists) were written.
// Returns false for a type outside 1 to 4; when nothing was found (the output
// is then untouched); when a piece was left out (reported at level 3 as
// "<function>: <source> left out: <why>."; the rest is still written); and
// when the output could not be written or the request was stopped (the
// output is then as it was). Failures are reported to the device log, and
// so are generations missing on the device (numbers no archive holds,
// between the oldest archive and the active log), at level 4 as
// "GetEntireLog: <type> generations 00100-00101 are missing."; those do not
// change the result, since everything that exists was written.
//
// The output: a regular file, or a name that does not exist yet, is replaced
// whole once the history is written and synced to disk, so no reader sees it
// half written and a power cut leaves the earlier file or the new one; a
// new file gets mode 0600, an existing one of the caller keeps its mode. A
// FIFO, a terminal or /dev/stdout is written directly. A link, FIFO, device
// or file that another user planted in a sticky world-writable directory
// such as /var/tmp is refused. Scratch files live in a private directory
// under /var/tmp, which is removed in every case; one left by a request that
// was killed outright is removed by the next request of the same user.
//
// Commands: the pieces are made and written by shell commands, each run as
// "/bin/sh -c" in a session of its own, away from the caller's terminal,
// with default signal dispositions; the caller's own dispositions are left
// as they are. Their status must reach the library, so the caller must
// neither ignore SIGCHLD nor reap children it did not start (with SIGCHLD
// ignored, every command reports "No child processes" and the request
// fails). SIGINT, SIGQUIT or SIGTERM blocked and pending in the calling
// thread before a command, or a command ended by SIGINT or SIGQUIT, stops
// the request: no further command runs and false is returned. To stop a
// request from another thread or a signal handler, use AssembleEntireLog()
// with a Stop (tolvane_report.h).
TOLVANE_EXPORT bool GetEntireLog(LogType type, const std::string& outputPath);

// The diagnostics switch of the selected log type. Reads false while no type
// is selected; setting it then has no effect. Selecting another type turns it
// off again.
TOLVANE_EXPORT bool IsDebugging();
TOLVANE_EXPORT void SetDebugging(bool on);

}  // namespace nq_tolvane

#endif  // TOLVANE_INCLUDE_NQ_TOLVANE_H_
