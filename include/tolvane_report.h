// tolvane report: what a request for the history of one log will find
// (PlanEntireLog, PlanLog), what it did (AssembleEntireLog, AssembleLog), and
// how to stop it (Stop).
//
// GetEntireLog() answers with one boolean and tells the reasons only to the
// device log. The functions here answer with facts a program can act on:
// each piece of the history in output order, whether it went in and if not
// why, the generations that are missing on the device, and the signal that
// stopped the request.
//
// Two ways of writing a history:
// - AssembleEntireLog() is GetEntireLog() with a report: the same commands
//   through the shell, scratch copies in /var/tmp, bytes and device-log
//   messages. PlanEntireLog() foresees it.
// - AssembleLog() streams: it decompresses in process what the caller can
//   read, reads the rest through "sudo -n /bin/gunzip -c ARCHIVE", and
//   writes straight into the output, with no scratch file. It serves a part
//   of a history (a Selection) and keeps the cursor's promise while the
//   device rotates its logs (see AssembleLog()). PlanLog() foresees it.
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

// How long a rotation of the device's logs may take: a generation that has
// no readable file for the moment (compressed under a name the library
// cannot know, an archive still being written) is waited for this long, in
// seconds, after the newest sign of the rotation (the checkpoint file or a
// newer generation's file changing), before AssembleLog() takes it as lost.
constexpr int kSettlingSeconds = 60;

enum class PieceKind {
  kArchive,     // a gzip archive, decompressed through "sudo /bin/gunzip -c"
                // or, by AssembleLog(), in process where the caller can read
                // it
  kActiveLog,   // the active log file, copied (read) as the caller
  kRotatedLog,  // AssembleLog(): an older generation's plain file, rotated
                // and not yet (or not yet wholly) compressed; read as the
                // caller
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
  // The kind of request. false (the default): a snapshot, which stores no
  // position and writes everything the device holds at that moment: every
  // piece on disk, a damaged archive as far as it decompresses, the active
  // log's last line as it stands; a generation being rotated that no file
  // can be read of now is named in Report::rotating. true: a cursor request,
  // whose Report::position the caller stores and goes on from: it keeps the
  // rules of AssembleLog() that make two requests after each other write
  // every line once (it waits for a rotation under way, takes whole lines).
  bool cursor = false;
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
  std::uint64_t scratchSize = 0;  // bytes of its data: the size of a plain
                                  // file, the size an archive's gzip trailer
                                  // gives (a lower bound for an archive of
                                  // several members); 0 when not known. For
                                  // PlanEntireLog() also what its scratch
                                  // copy takes in /var/tmp
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
  // PlanEntireLog() only; 0 from PlanLog(), whose request needs no scratch.
  std::uint64_t scratchNeeded = 0;  // bytes the scratch copies need at once
  bool scratchNeededIsLowerBound = false;  // some pieces' sizes are unknown
  std::uint64_t scratchFree = 0;  // bytes free in /var/tmp for the caller
  // The verdict of the plan: nothing is expected to be left out. Some piece
  // is found, each selected one is reachable, (PlanEntireLog()) their
  // scratch copies fit in scratchFree, no generation is lost among them and
  // every directory was listed. scratchNeeded counts the selected pieces
  // only.
  bool expectedComplete = false;
  // PlanLog(), as in Report.
  std::optional<std::uint16_t> waitingFor;
  std::vector<GenerationRun> rotating;
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
  kWaiting,      // AssembleLog(): a rotation is under way at it or before
                 // it. A cursor request ends before it (Report::waitingFor)
                 // and a later one writes it; a snapshot could not read it
                 // now and names it in Report::rotating
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
  kDamaged,          // "damaged: written as far as it decompresses"
                     // (AssembleLog(), kWritten): an archive that cannot be
                     // decompressed completely and is not being written
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
  // Reason::kDamaged: the bytes it lacks, where its gzip trailer tells.
  std::optional<std::uint64_t> bytesLost;
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
  // "refusing to write <path>: <why>", "cannot write <path>: <why>",
  // "cannot make a scratch directory in /var/tmp/: <why>" (AssembleEntireLog)
  // or "the files of log <type> kept changing while they were read"
  // (AssembleLog). When nothing was found, `pieces` is empty and `failure`
  // is "".
  std::string failure;
  // Where a later request may continue (Selection::after), so that storing
  // it loses nothing: just after the last byte written, or the position the
  // request was given when it wrote nothing or did not complete; "" when
  // neither is known. A snapshot that wrote past what a cursor request would
  // have waited for (a generation being rotated, a fresh damaged archive, a
  // last line without its line feed) gives the last safe point instead: the
  // end of what a cursor request would have written, so that a cursor
  // request from it may write some lines again but never loses or cuts one.
  // A short text of printable characters.
  std::string position;
  bool positionMismatch = false;  // the piece at the position given did not
                                  // match it, and came whole
  bool positionGone = false;      // the generation of the position given is no
                                  // longer on the device: what lay between it
                                  // and the oldest piece after it is gone
  bool windowBeforeHistory = false;  // `since` reaches back past the oldest
                                     // generation on the device, which may
                                     // not cover the window's start
  // AssembleLog(), a cursor request: the generation at which a rotation is
  // under way (it has no complete readable file yet): the history written
  // ends before it, the position stays there, and a later request goes on
  // from it.
  std::optional<std::uint16_t> waitingFor;
  // AssembleLog(), a snapshot: generations being rotated that no file could
  // be read of now (compressed under another name, not yet readable). They
  // are not in this output; the pieces after them are. A later request may
  // find them.
  std::vector<GenerationRun> rotating;
  // The errno value of a write into the output that failed (EPIPE: its
  // reader stopped reading), or 0.
  int outputError = 0;
  // AssembleLog(): what `maxBytes` dropped of the selected part: the
  // generations (wholly or in part) and their bytes. A position stored after
  // it passes them for good.
  std::vector<GenerationRun> budgetDropped;
  std::uint64_t budgetDroppedBytes = 0;
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

// Writes the part of the history of log `type` that `selection` keeps into
// `outputPath`, as AssembleEntireLog() lays it out: per piece a line feed,
// "<source> follows:" (or "<source> follows from byte N:" for a piece that
// starts part way), a line feed, an empty line, then its bytes. It streams:
// an archive the caller can read is decompressed in process (several
// members, and bytes after the last, as GNU gunzip takes them), one it
// cannot through "sudo -n /bin/gunzip -c ARCHIVE" started without a shell,
// a plain file is read directly, and the bytes go straight into the output
// (as AssembleEntireLog() writes it: unnamed, synced, put in place whole),
// with no scratch file; memory is bounded by fixed buffers. The device-log
// messages are its own; it runs nothing but that gunzip.
//
// The history is the one the device's files hold at that moment. A
// snapshot (the default) writes all of it; a cursor request
// (Selection::cursor) is made safe against a rotation caught half way, so
// that two successful cursor requests after each other, the second after
// the first's Report::position, write every line once. Both:
// - One generation, one piece: an archive and the plain file of the same
//   number (still being compressed) are one generation, written from the
//   plain file (PieceKind::kRotatedLog where it is not the active log).
// - A generation that stays away kSettlingSeconds after the newest sign of
//   the rotation is lost (Report::lost) and passed; a position whose
//   generation is gone (removed by retention) goes on from the oldest one
//   after it (positionGone).
// - The checkpoint file is trusted only when it reads as a whole number
//   that the files agree with; read at a bad moment (empty, partial), it is
//   read again, and the order then comes from the files alone.
// - A file gone between the listing and its reading makes the request look
//   again and go on from where it is.
// - An archive that cannot be decompressed completely is written as far as
//   it decompresses, with the header "<source> follows, damaged:" (or
//   "... follows from byte N, damaged:"), marked Reason::kDamaged with the
//   bytes lost where known, and passed.
// A cursor request besides:
// - waits for a generation after its position that has no complete readable
//   file for the moment (a gap within the settling time, an archive still
//   being written, a rotated file not yet readable): the history ends before
//   it (Report::waitingFor), the position stays, and the request does not
//   fail for it. A gap older than the position holds nothing back.
// - takes whole lines from the active log: a last line without its line
//   feed waits for the next request. Archives and rotated files come whole.
// A snapshot instead writes the pieces after such a generation, names the
// generation in Report::rotating, writes a fresh damaged archive as far as
// it decompresses and the active log's last line as it stands.
//
// Returns true when every selected piece went in; when the selection keeps
// nothing (nothing new), the output is written empty and the result is true.
// A position that is not one of `type`, or a window that ends before it
// starts, fails the request (Report::failure) with nothing written.
TOLVANE_EXPORT bool AssembleLog(LogType type, const std::string& outputPath,
                                const Selection& selection, Report* report,
                                Stop* stop = nullptr);

// The plan of AssembleLog() for `selection`, found by the same rules,
// without decompressing anything: the pieces the selection drops are marked
// (PlannedPiece::droppedBy). Where a budget cuts depends on bytes only the
// request reads: the plan drops the pieces that the sizes it knows (plain
// files, gzip trailers) leave no room for. Returns false for a type outside
// 1 to 4 or a selection that AssembleLog() refuses.
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
