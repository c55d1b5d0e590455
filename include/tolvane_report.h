// tolvane report: what a request for the history of one log will find
// (PlanEntireLog, PlanLog), what it did (AssembleEntireLog, AssembleLog), and
// how to stop it (Stop).
//
// GetEntireLog() answers with one boolean and tells the reasons only to the
// device log. The functions here answer with facts a program can act on.
//
// Two ways of writing a history:
// - AssembleEntireLog() is GetEntireLog() with a report: the same commands
//   through the shell, scratch copies in /var/tmp, bytes and device-log
//   messages. PlanEntireLog() foresees it.
// - AssembleLog() streams: it decompresses in process what the caller can
//   read, reads the rest through "sudo -n /bin/gunzip -c ARCHIVE", and
//   writes straight into the output. It serves the whole history or a part
//   of it (a Selection). PlanLog() foresees it.
//
// Memory does not grow with the size of the pieces; with their number it
// grows by a few machine words a piece: a report lists only the pieces with
// something to tell, and PlanLog() can hand each piece to a callback.
//
// Thread safety: requests of one process run one at a time under the library
// lock; any function may be called from any thread. Stop::Request() may be
// called from any thread and from a signal handler.

#ifndef TOLVANE_INCLUDE_TOLVANE_REPORT_H_
#define TOLVANE_INCLUDE_TOLVANE_REPORT_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
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

// Selects log `type` as a request does and switches its diagnostics on (see
// SetDebugging()) for the whole of the next request. False for a type
// outside 1 to 4.
TOLVANE_EXPORT bool StartDebugging(LogType type);

// How long a rotation of the device's logs may take, in seconds: a
// generation with no readable file is taken as being rotated this long after
// the newest sign of the rotation (the checkpoint file or a newer
// generation's file changing), and as lost after that.
constexpr int kSettlingSeconds = 60;

enum class PieceKind : std::uint8_t {
  kArchive,     // a gzip archive
  kActiveLog,   // the active log file, read (copied) as the caller
  kRotatedLog,  // AssembleLog(): an older generation's plain file, rotated
                // and not yet (wholly) compressed; read as the caller
};

// The rule of a Selection that dropped a piece.
enum class Rule : std::uint8_t {
  kNone,      // not dropped
  kPosition,  // all of it lies before the position
  kSince,     // it ended before `since`, and so did every older piece
  kUntil,     // a piece older than it ended at or after `until`
  kBudget,    // it does not fit in `maxBytes` beside the newer pieces
};

// How AssembleLog() lays a history out.
enum class OutputFormat : std::uint8_t {
  kPieces,  // each piece behind its header block, as GetEntireLog() does
  kCat,     // the pieces' bytes alone, one after the other
  kJson,    // a JSON object for each line of the log (see AssembleLog())
};

// The part of a history that AssembleLog() writes or PlanLog() shows. Every
// rule is optional and all apply; they follow the pieces' age order, never
// the clock.
struct Selection {
  // A position from an earlier Report::position: only what came after it.
  // Where the piece it points into no longer matches it, that piece comes
  // whole; where its generation is gone, every piece after it comes.
  std::string after;
  // Whole pieces by the time each ended (its file's modification time, in
  // seconds since the epoch). `since`: the oldest piece that ended at or
  // after it and every newer one. `until`: every piece up to and including
  // the oldest one that ended at or after it.
  std::optional<std::int64_t> since;
  std::optional<std::int64_t> until;
  // At most this many bytes of output, headers included: whole pieces are
  // dropped from the old end, and the oldest one kept may start part way,
  // at the start of a line.
  std::optional<std::uint64_t> maxBytes;
  // false (a snapshot): the request stores no position and writes
  // everything the device holds now, naming in Findings::rotating what it
  // could not read. true (a cursor request): the caller stores
  // Report::position and goes on from it; the request waits for a rotation
  // under way after the position and takes whole lines from the active log.
  bool cursor = false;
  // How the part is laid out. `maxBytes` counts it as kPieces lays it out,
  // whatever the format.
  OutputFormat format = OutputFormat::kPieces;
};

// Consecutive sequence numbers from `first` to `last`, counted upwards
// across the wrap: {65535, 1} is 65535, 0 and 1.
struct GenerationRun {
  std::uint16_t first = 0;
  std::uint16_t last = 0;
};

// What a look at the files of one log found: the same for a plan and for
// the report of the request it foresees.
struct Findings {
  std::string checkpointPath;    // <backup dir>/<prefix>.txt
  bool checkpointFound = false;  // false: the order across the wrap was
                                 // inferred, and no generation is lost
  std::uint16_t current = 0;     // the active log's number, the pivot of
                                 // the age order
  std::string activeLogPath;     // as the checkpoint names it, or ""
  // Generations no file holds, between the oldest one and `current`. Where
  // the numbers wrapped, the numbers after the newest one before the wrap,
  // and 0, may not exist on the device: they are never counted.
  std::vector<GenerationRun> lost;
  // A snapshot: generations being rotated that no file could be read of
  // (compressed under another name, not yet readable). They are not in the
  // output; the pieces after them are.
  std::vector<GenerationRun> rotating;
  // A cursor request: the generation at which a rotation is under way. The
  // history written ends before it, the position stays there, and a later
  // request goes on from it.
  std::optional<std::uint16_t> waitingFor;
  std::vector<std::string> unlisted;  // directories there but not listed
  bool positionMismatch = false;      // the piece at the position did not
                                      // match it, and came whole
  bool positionGone = false;          // the position's generation is gone:
                                      // what lay between it and the oldest
                                      // piece after it is gone too
  bool windowBeforeHistory = false;   // `since` reaches back past the oldest
                                      // generation on the device
};

// One piece that a request will write, as found on disk.
struct PlannedPiece {
  std::string sourcePath;  // as listed (archive) or formed (active log)
  PieceKind kind = PieceKind::kArchive;
  std::uint16_t sequence = 0;     // the number in its name
  std::uint64_t sizeOnDisk = 0;   // bytes
  bool readable = false;          // the caller can read it itself
  bool reachable = false;         // expected to go in: readable, or an
                                  // archive the caller may decompress (root,
                                  // or a member of the group "tolvane")
  bool scratchSizeKnown = false;  // scratchSize was read from the file
  std::uint64_t scratchSize = 0;  // bytes of its data: a plain file's size,
                                  // or the size its gzip trailer gives (a
                                  // lower bound for several members)
  std::int64_t endTime = 0;       // its modification time, in seconds since
                                  // the epoch
  Rule droppedBy = Rule::kNone;   // PlanLog(): the rule that drops it
  std::uint64_t startByte = 0;    // PlanLog(): the byte of its data where the
                                  // output starts, when known beforehand
};

// What a request for one log type would write, found without running any
// command and without writing anything.
struct Plan {
  Findings found;
  // In output order: archives oldest first, then the active log. Empty
  // when PlanLog() handed them to a callback instead.
  std::vector<PlannedPiece> pieces;
  std::size_t pieceCount = 0;  // the pieces found
  // PlanEntireLog(): room its scratch copies need and have in /var/tmp.
  std::uint64_t scratchNeeded = 0;
  bool scratchNeededIsLowerBound = false;  // some sizes are unknown
  std::uint64_t scratchFree = 0;
  // Nothing is expected to be left out: some piece is found, each selected
  // one is reachable, (PlanEntireLog()) the scratch copies fit, no
  // generation is lost or being rotated among them, every directory listed.
  bool expectedComplete = false;
};

// "generation 00100", or "generations 00100-00101" for a longer run.
TOLVANE_EXPORT std::string GenerationsText(const GenerationRun& run);

// "misc generation 00100 is missing", or "misc generations 00100-00101 are
// missing": the words of the device log and tolvane-getlog.
TOLVANE_EXPORT std::string MissingText(LogType type, const GenerationRun& run);

// "misc generation 00003 is being rotated: it is not in this output", or
// "misc generations 00003-00004 are being rotated: they are not in this
// output": the words of a snapshot's Findings::rotating.
TOLVANE_EXPORT std::string RotatingText(LogType type, const GenerationRun& run);

// Fills `plan` for log `type` as GetEntireLog() would find it. Runs no
// command and sends nothing to the device log. False, with `plan` cleared,
// for a type outside 1 to 4 or a null `plan`.
TOLVANE_EXPORT bool PlanEntireLog(LogType type, Plan* plan);

enum class PieceStatus : std::uint8_t {
  kWritten,      // in the history (in the output when outputWritten)
  kLeftOut,      // could not be made or written; `code` says why
  kGone,         // removed (rotated away) since it was found: not missing
  kNotReached,   // the request ended before this piece was handled
  kSelectedOut,  // dropped by the selection (`droppedBy`): not missing
  kWaiting,      // a rotation is under way at it or before it: a cursor
                 // request ends before it, a snapshot could not read it
};

// Why something was left out of a history, or what a written piece warns
// of. ReasonText() gives the words the device log and tolvane-getlog use.
enum class Reason : std::uint8_t {
  kNone,             // ""
  kNotCopied,        // "could not be copied": the active log
  kNotDecompressed,  // "could not decompress": a corrupt or truncated archive
  kSudoRefused,      // "permission denied by sudo"
  kNoRoom,           // "no room in /var/tmp"
  kNotWritten,       // "could not be written": into the output
  kNotListed,        // "the directory could not be listed"
  kNotRun,           // a command could not be run: the text of its errno
  kGunzipWarned,     // "gunzip warned: data after the compressed data
                     // ignored": written whole
  kDamaged,          // "damaged: written as far as it decompresses"
                     // (AssembleLog()): written, and passed
};

// The text of `reason`; for Reason::kNotRun the text of `error`, an errno
// value.
TOLVANE_EXPORT std::string ReasonText(Reason reason, int error = 0);

// A piece with something to tell.
struct PieceReport {
  std::string sourcePath;
  PieceKind kind = PieceKind::kArchive;
  std::uint16_t sequence = 0;
  PieceStatus status = PieceStatus::kNotReached;
  Reason code = Reason::kNone;   // kLeftOut: why; kWritten: a warning
  int error = 0;                 // Reason::kNotRun: the errno value
  std::string reason;            // ReasonText(code, error)
  Rule droppedBy = Rule::kNone;  // kSelectedOut: the rule that dropped it
  std::uint64_t startByte = 0;   // where its output starts in its data; its
                                 // header then reads "<source> follows from
                                 // byte N:"
  std::optional<std::uint64_t> bytesLost;  // kDamaged, where the trailer
                                           // tells
};

// Something left out of the history: a piece, or a directory that could not
// be listed (source "<dir>/<prefix>*.log.gz", code Reason::kNotListed).
struct LeftOut {
  std::string source;
  std::string why;  // ReasonText(code, error)
  Reason code = Reason::kNone;
  int error = 0;
};

// What a request did.
struct Report {
  Findings found;
  // In output order, the pieces with something to tell: every one not
  // written or dropped by the selection, every one written with a warning
  // (`code`) or from a byte other than 0. The rest are counted.
  std::vector<PieceReport> pieces;
  std::size_t pieceCount = 0;    // the pieces found
  std::size_t written = 0;       // pieces written
  std::size_t selectedOut = 0;   // pieces the selection dropped
  std::vector<LeftOut> leftOut;  // in the order they happened; each is also
                                 // a "left out" device-log message
  bool complete = false;         // the result: every selected piece went in
  bool outputWritten = false;    // the output holds this request's history
  int stopSignal = 0;            // the signal that stopped the request, or 0
  // Why nothing could be written at all, or "": "unknown log type",
  // "refusing to write <path>: <why>", "cannot write <path>: <why>",
  // "cannot make a scratch directory in /var/tmp/: <why>", or "the files of
  // log <type> kept changing while they were read". When nothing was found,
  // pieceCount is 0 and `failure` is "".
  std::string failure;
  // Where a later request may go on (Selection::after), so that storing it
  // loses nothing: just after the last byte written, or the position given
  // when nothing was written or the request did not complete; "" when
  // neither is known. A snapshot that wrote past what a cursor request would
  // have waited for gives the end of what that request would have written:
  // a cursor request from it may repeat lines but never loses or cuts one.
  std::string position;
  // AssembleLog(): what `maxBytes` dropped of the selected part, and its
  // bytes. A position stored after it passes them for good.
  std::vector<GenerationRun> budgetDropped;
  std::uint64_t budgetDroppedBytes = 0;
  int outputError = 0;  // the errno value of a failed write into the output
                        // (EPIPE: its reader stopped reading), or 0
};

// Lets a caller stop a request from another thread or a signal handler. One
// object serves one request; not copyable: the request keeps its address.
class Stop final {
 public:
  Stop() = default;
  Stop(const Stop&) = delete;
  Stop& operator=(const Stop&) = delete;

  // Asks the request to stop: its command gets SIGTERM (through sudo, the
  // decompression too) and, a moment later, SIGKILL; no command starts
  // after it; the request leaves the output as it was and reports `signal`
  // (> 0) as Report::stopSignal. Once asked, the object stays so: a stop
  // asked before the request starts stops it at once. Async-signal-safe.
  TOLVANE_EXPORT void Request(int signal) noexcept;

  // The signal asked for, or 0.
  int Requested() const noexcept { return signal_.load(); }

 private:
  friend class Runner;
  std::atomic<int> signal_{0};
  std::atomic<int> command_{0};  // process group of the running command
};

// GetEntireLog() with a report: the same result, messages, commands and
// bytes; `stop`, when not null, can stop it. Returns report->complete;
// `report` may be null.
TOLVANE_EXPORT bool AssembleEntireLog(LogType type,
                                      const std::string& outputPath,
                                      Report* report, Stop* stop = nullptr);

// Writes the part of the history of log `type` that `selection` keeps into
// `outputPath`, laid out as Selection::format says. kPieces: as
// GetEntireLog() lays it out, a piece that starts part way behind
// "<source> follows from byte N:" and a damaged archive behind "<source>
// follows, damaged:". kJson: for each line, one line of JSON
// {"message":M,"log":L,"source":S,"generation":G,"offset":O,"cursor":C}
// with "damaged":true added for the lines of a damaged archive: M the line
// without its line feed (control characters escaped, each byte that is not
// part of valid UTF-8 as U+FFFD), O the
// byte of its start in the piece's data, C the position after it (a cursor
// request from C starts at the next line; the last object's C is the
// report's position). A last line without its line feed, a snapshot's active
// log's, carries the position before it. It streams (see above), with the
// output written unnamed, synced and put in place whole; memory is bounded
// by fixed buffers. doc/rotation.md tells how a rotation caught half way is
// read. Returns true when every selected piece went in; when nothing is
// selected the output is written empty and the result is true. A position
// of another type, or a window that ends before it starts, fails the
// request (Report::failure) with nothing written.
TOLVANE_EXPORT bool AssembleLog(LogType type, const std::string& outputPath,
                                const Selection& selection, Report* report,
                                Stop* stop = nullptr);

// Called by PlanLog() with each piece in output order.
using PieceCallback = std::function<void(const PlannedPiece&)>;

// The plan of AssembleLog() for `selection`, by the same rules, without
// decompressing anything; a budget drops the pieces that the sizes known
// beforehand (plain files, gzip trailers) leave no room for. With `each`,
// every piece goes to it (its name made for the call) instead of into
// plan->pieces. False for a type outside 1 to 4, a null `plan` or a
// selection that AssembleLog() refuses.
TOLVANE_EXPORT bool PlanLog(LogType type, const Selection& selection,
                            Plan* plan, const PieceCallback& each = nullptr);

// Reads the position stored in the file `path` for log `type`: "" when the
// file does not exist. A file another user planted in a sticky
// world-writable directory is refused. On failure returns false with `why`
// set: it cannot be read, or holds no position of `type`.
TOLVANE_EXPORT bool LoadPosition(LogType type, const std::string& path,
                                 std::string* position, std::string* why);

// Replaces the file `path` with `position` and a line feed, whole, synced,
// mode 0600, writing nothing through what another user planted. On failure
// returns false with `why` set, and the earlier file as it was.
TOLVANE_EXPORT bool StorePosition(const std::string& path,
                                  const std::string& position,
                                  std::string* why);

}  // namespace nq_tolvane

#endif  // TOLVANE_INCLUDE_TOLVANE_REPORT_H_
