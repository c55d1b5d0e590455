// tolvane report: what a request for the history of one log will find
// (PlanEntireLog), what it did (AssembleEntireLog), and how to stop it
// (Stop).
//
// GetEntireLog() answers with one boolean and tells the reasons only to the
// device log. The functions here answer with facts a program can act on:
// each piece of the history in output order, whether it went in and if not
// why, the generations that are missing on the device, and the signal that
// stopped the request. GetEntireLog() is AssembleEntireLog() without a
// report: both write the same bytes and the same device-log messages.
//
// Thread safety: as GetEntireLog(). PlanEntireLog() and AssembleEntireLog()
// may be called from any thread; requests of one process run one at a time
// under the library lock. Stop::Request() may be called from any thread and
// from a signal handler.

#ifndef TOLVANE_INCLUDE_TOLVANE_REPORT_H_
#define TOLVANE_INCLUDE_TOLVANE_REPORT_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "nq_tolvane.h"
#include "tolvane_export.h"

namespace nq_tolvane {

// The name of log `type`, which is also the prefix of its file names:
// "audit", "brev", "snmpd" or "misc"; "" for any other value.
TOLVANE_EXPORT std::string LogTypeName(LogType type);

// The type whose name is `name`, or 0 (no type) for any other text.
TOLVANE_EXPORT LogType LogTypeNamed(const std::string& name);

// Selects log `type` as a request for it does, unless it is selected
// already, and switches its diagnostics on (see SetDebugging()), so that
// they cover the whole of the next request for `type`. Returns false for a
// type outside 1 to 4, which is rejected as a request rejects it.
TOLVANE_EXPORT bool StartDebugging(LogType type);

enum class PieceKind {
  kArchive,    // a gzip archive, decompressed through "sudo /bin/gunzip -c"
  kActiveLog,  // the active log file, copied as the caller
};

// A run of consecutive missing sequence numbers, from `first` to `last`
// counted upwards across the wrap: {65535, 1} is 65535, 0 and 1.
struct GenerationRun {
  std::uint16_t first = 0;
  std::uint16_t last = 0;
};

// One piece that a request will write, as found on disk.
struct PlannedPiece {
  std::string sourcePath;  // as listed (archive) or formed (active log)
  PieceKind kind = PieceKind::kArchive;
  std::uint16_t sequence = 0;     // the number in its name
  std::uint64_t sizeOnDisk = 0;   // bytes
  bool readable = false;          // the caller can read it itself
  bool reachable = false;         // expected to go in: an active log the
                                  // caller can read, or an archive the caller
                                  // may decompress (root, or a member of the
                                  // group "tolvane" of the sudoers drop-in)
  bool scratchSizeKnown = false;  // scratchSize was read from the file
  std::uint64_t scratchSize = 0;  // bytes its scratch copy takes in /var/tmp:
                                  // the size of the active log, the size an
                                  // archive's gzip trailer gives (a lower
                                  // bound for an archive of several
                                  // members); 0 when not known
};

// What a request for one log type would write, found without running any
// command and without writing anything.
struct Plan {
  std::vector<PlannedPiece> pieces;  // in output order: archives oldest
                                     // first, then the active log, if any
  std::string checkpointPath;        // <backup dir>/<prefix>.txt
  bool checkpointFound = false;      // false: the order across the wrap was
                                     // inferred from the newest archive, and
                                     // no generation is reported lost
  std::uint16_t current = 0;         // the active log's number, the pivot of
                                     // the order
  std::string activeLogPath;         // as the checkpoint names it; "" when
                                     // there is no checkpoint
  // Generations no archive holds, between the oldest archive and `current`
  // (not `current` itself). Where the numbers wrapped within the history,
  // the point where the device wraps is not known from its files, so the
  // numbers after the newest archive before the wrap, and 0, are not
  // counted; 1 up to `current` are.
  std::vector<GenerationRun> lost;
  std::vector<std::string> unlisted;  // directories that are there but
                                      // could not be listed
  std::uint64_t scratchNeeded = 0;    // bytes the scratch copies need at once
  bool scratchNeededIsLowerBound = false;  // some pieces' sizes are unknown
  std::uint64_t scratchFree = 0;  // bytes free in /var/tmp for the caller
  // The verdict of the plan: nothing is expected to be left out. Some piece
  // is found, each is reachable, the scratch copies fit in scratchFree, no
  // generation is lost and every directory was listed.
  bool expectedComplete = false;
};

// "generation 00100", or "generations 00100-00101" for a longer run.
TOLVANE_EXPORT std::string GenerationsText(const GenerationRun& run);

// "misc generation 00100 is missing", or "misc generations 00100-00101 are
// missing", for log `type`: the words of the device log and tolvane-getlog.
TOLVANE_EXPORT std::string MissingText(LogType type, const GenerationRun& run);

// Fills `plan` for log `type`, selecting the type as GetEntireLog() does.
// Runs no command, writes nothing and sends nothing to the device log.
// Returns false, with `plan` cleared, for a type outside 1 to 4, and false
// for a null `plan`.
TOLVANE_EXPORT bool PlanEntireLog(LogType type, Plan* plan);

enum class PieceStatus {
  kWritten,     // in the history (in the output when outputWritten)
  kLeftOut,     // could not be made or written; `code` says why
  kGone,        // removed (rotated away) since it was found: not missing
  kNotReached,  // the request ended before this piece was handled
};

// Why something was left out of a history, or what a written piece warns of.
// ReasonText() gives the words the device log and tolvane-getlog use.
enum class Reason {
  kNone,             // ""
  kNotCopied,        // "could not be copied": the active log
  kNotDecompressed,  // "could not decompress": a corrupt or truncated archive
  kSudoRefused,      // "permission denied by sudo"
  kNoRoom,           // "no room in /var/tmp"
  kNotWritten,       // "could not be written": into the output
  kNotListed,        // "the directory could not be listed"
  kNotRun,           // a command could not be run: the text of its error
  kGunzipWarned,     // "gunzip warned: data after the compressed data
                     // ignored": GNU gunzip's exit status 2 once every
                     // member was decoded; the piece is whole (kWritten)
};

// The text of `reason`; for Reason::kNotRun the text of `error`, an errno
// value.
TOLVANE_EXPORT std::string ReasonText(Reason reason, int error = 0);

// One piece of an assembled history, in output order.
struct PieceReport {
  std::string sourcePath;
  PieceKind kind = PieceKind::kArchive;
  std::uint16_t sequence = 0;
  PieceStatus status = PieceStatus::kNotReached;
  Reason code = Reason::kNone;  // kLeftOut: why; kWritten: a warning or none
  int error = 0;                // Reason::kNotRun: the errno value
  std::string reason;           // ReasonText(code, error)
};

// Something left out of the history: a piece, or a directory that could not
// be listed (source "<dir>/<prefix>*.log.gz", code Reason::kNotListed).
struct LeftOut {
  std::string source;
  std::string why;  // ReasonText(code, error)
  Reason code = Reason::kNone;
  int error = 0;
};

// What AssembleEntireLog() did.
struct Report {
  std::vector<PieceReport> pieces;  // in output order
  std::vector<LeftOut> leftOut;     // in the order they happened; each is
                                    // also a "left out" device-log message
  std::vector<GenerationRun> lost;  // as in Plan
  bool checkpointFound = false;
  bool complete = false;       // the result: a complete history was written
  bool outputWritten = false;  // the output holds this request's history
  int stopSignal = 0;          // the signal that stopped the request, or 0
  // Why nothing could be written at all, or "": "unknown log type",
  // "refusing to write <path>: <why>", "cannot write <path>: <why>" or
  // "cannot make a scratch directory in /var/tmp/: <why>". When nothing was
  // found, `pieces` is empty and `failure` is "".
  std::string failure;
};

// Lets a caller stop a request from another thread or a signal handler.
// Pass the same object to AssembleEntireLog(); one object serves one request
// at a time. Not copyable: a request keeps its address.
class Stop final {
 public:
  Stop() = default;
  Stop(const Stop&) = delete;
  Stop& operator=(const Stop&) = delete;

  // Asks the request to stop: the command it runs gets SIGTERM (through
  // sudo, the decompression too) and, what is left of it a moment later,
  // SIGKILL; no further command starts; the request removes its scratch
  // files, leaves the output as it was and reports `signal` (> 0) as
  // Report::stopSignal. A stop asked for before the request starts stops it
  // before its first command, and once asked the object stays so: use a
  // new one for the next request. Async-signal-safe.
  TOLVANE_EXPORT void Request(int signal) noexcept;

  // The signal asked for, or 0.
  int Requested() const noexcept { return signal_.load(); }

 private:
  friend class Runner;
  std::atomic<int> signal_{0};
  std::atomic<int> command_{0};  // process group of the running command
};

// Does what GetEntireLog() does, with the same result, messages, commands
// and bytes, and fills `report` with what happened; `stop`, when not null,
// can stop it. Returns report->complete; `report` may be null.
TOLVANE_EXPORT bool AssembleEntireLog(LogType type,
                                      const std::string& outputPath,
                                      Report* report, Stop* stop = nullptr);

}  // namespace nq_tolvane

#endif  // TOLVANE_INCLUDE_TOLVANE_REPORT_H_
