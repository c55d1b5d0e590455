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
#include <optional>
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

// The rule of a Selection that dropped a piece.
enum class Rule {
  kNone,      // not dropped
  kPosition,  // all of it lies before the position
  kSince,     // it ended before `since`, and so did every older piece
  kUntil,     // a piece older than it ended at or after `until`
  kBudget,    // it does not fit in `maxBytes` beside the newer pieces
};

// The part of a history that a request writes (AssembleLog()) or a plan
// shows (PlanLog()). Every rule is optional; none selects the whole
// history, and the rules given all apply. The selection follows the age
// order of the pieces, never the clock.
struct Selection {
  // A position from an earlier Report::position: only what came after it.
  // Where the piece it points into no longer matches it (the file was
  // replaced, the numbering restarted), that piece comes whole; where its
  // generation is gone, every piece after it comes. "" for the start.
  std::string after;
  // Whole pieces by the time each ended, its file's modification time in
  // seconds since the epoch. `since`: the oldest piece that ended at or
  // after it and every newer one. `until`: every piece up to and including
  // the oldest one that ended at or after it.
  std::optional<std::int64_t> since;
  std::optional<std::int64_t> until;
  // At most this many bytes of output, headers included: whole pieces are
  // dropped from the old end, and the oldest one kept may start part way,
  // at the start of a line.
  std::optional<std::uint64_t> maxBytes;
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
  std::int64_t endTime = 0;       // when it ended: its modification time,
                                  // seconds since the epoch
  Rule droppedBy = Rule::kNone;   // PlanLog(): the rule that drops it
  std::uint64_t startByte = 0;    // PlanLog(): the byte of its data where the
                                  // output starts, when not at 0 (after a
                                  // position; an archive's is checked when
                                  // it is decompressed)
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
  // is found, each selected one is reachable, their scratch copies fit in
  // scratchFree, no generation is lost among them and every directory was
  // listed. scratchNeeded counts the selected pieces only.
  bool expectedComplete = false;
  // PlanLog(), as in Report.
  bool positionMismatch = false;
  bool positionGone = false;
  bool windowBeforeHistory = false;
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
  kWritten,      // in the history (in the output when outputWritten)
  kLeftOut,      // could not be made or written; `code` says why
  kGone,         // removed (rotated away) since it was found: not missing
  kNotReached,   // the request ended before this piece was handled
  kSelectedOut,  // dropped by the selection (`droppedBy`): not missing
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
  Reason code = Reason::kNone;   // kLeftOut: why; kWritten: a warning or none
  int error = 0;                 // Reason::kNotRun: the errno value
  std::string reason;            // ReasonText(code, error)
  Rule droppedBy = Rule::kNone;  // kSelectedOut: the rule that dropped it
  std::uint64_t startByte = 0;   // the byte of its data where the output
                                 // starts: its header then reads
                                 // "<source> follows from byte N:"
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
  // Where a later request may continue (Selection::after): just after the
  // last byte written, or the position the request was given when it wrote
  // nothing or did not complete, so that storing it loses nothing; "" when
  // neither is known. A short text of printable characters.
  std::string position;
  bool positionMismatch = false;  // the piece at the position given did not
                                  // match it, and came whole
  bool positionGone = false;      // the generation of the position given is no
                                  // longer on the device: what lay between it
                                  // and the oldest piece after it is gone
  bool windowBeforeHistory = false;  // `since` reaches back past the oldest
                                     // generation on the device, which may
                                     // not cover the window's start
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

// AssembleEntireLog() for the part of the history that `selection` keeps:
// the same commands and bytes for each piece it writes, with a header
// "<source> follows from byte N:" for one that starts part way. A piece the
// selection drops is never made where that can be told beforehand: a
// request after a position with nothing new runs no sudo and no
// decompression. Returns true when every selected piece went in; when the
// selection keeps nothing (nothing new), the output is written empty and
// the result is true. A position that is not one of `type`, or a window
// that ends before it starts, fails the request (Report::failure) with
// nothing written.
TOLVANE_EXPORT bool AssembleLog(LogType type, const std::string& outputPath,
                                const Selection& selection, Report* report,
                                Stop* stop = nullptr);

// PlanEntireLog() with the pieces that `selection` drops marked
// (PlannedPiece::droppedBy) and left out of scratchNeeded. Where a budget
// cuts depends on bytes that only the request reads: the plan drops the
// pieces that the sizes it knows leave no room for. Returns false for a
// type outside 1 to 4 or a selection that AssembleLog() refuses.
TOLVANE_EXPORT bool PlanLog(LogType type, const Selection& selection,
                            Plan* plan);

// Reads the position stored in the file `path` for log `type` into
// `position`: "" when the file does not exist. A file another user planted
// in a sticky world-writable directory is refused, as AssembleEntireLog()
// refuses such an output. On failure returns false with `why` saying why:
// it cannot be read, or it does not hold a position of `type`.
TOLVANE_EXPORT bool LoadPosition(LogType type, const std::string& path,
                                 std::string* position, std::string* why);

// Replaces the file `path` with `position` and a line feed, as a whole,
// synced, mode 0600, with the output file's protections: nothing is written
// through what another user planted. On failure returns false with `why`
// set, and the earlier file is as it was.
TOLVANE_EXPORT bool StorePosition(const std::string& path,
                                  const std::string& position,
                                  std::string* why);

}  // namespace nq_tolvane

#endif  // TOLVANE_INCLUDE_TOLVANE_REPORT_H_
