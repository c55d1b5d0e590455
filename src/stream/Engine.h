// The streaming engine: which bytes of which piece of a history go where in
// the output, decided as the pieces' data is read through a small seam
// (Source, PieceReader) and written through another (Sink). The files,
// zlib and sudo stand behind the seams in a request (Readers.h, Output.h);
// strings do in the tests.

#ifndef TOLVANE_SRC_STREAM_ENGINE_H_
#define TOLVANE_SRC_STREAM_ENGINE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/History.h"
#include "core/Position.h"
#include "core/Selection.h"
#include "core/Status.h"
#include "state/LogNames.h"
#include "tolvane_report.h"

namespace nq_tolvane {

// The data of one piece, read once from its start.
class PieceReader {
 public:
  virtual ~PieceReader() = default;
  // Reads up to `size` (> 0) bytes into `buffer`: how many, or 0 at the end,
  // after which ending() tells how it ended.
  virtual std::size_t Read(char* buffer, std::size_t size) = 0;
  virtual Status ending() const = 0;
  // Passes over up to `count` bytes without reading them, where the data
  // allows it (a plain file): how many; 0 where they must be read.
  virtual std::uint64_t Skip(std::uint64_t count) {
    (void)count;
    return 0;
  }
};

// Where the engine gets the pieces' data.
class Source {
 public:
  virtual ~Source() = default;
  // Opens `piece` to read its data from the start: its reader, or null with
  // `*ending` saying why not (kGone, kUnreadable, kStopped).
  virtual std::unique_ptr<PieceReader> Open(const PlannedPiece& piece,
                                            Status* ending) = 0;
  // The size of an archive's data as its gzip trailer gives it, where the
  // caller can read that: exact for one member under 4 GiB, too small for
  // several.
  virtual std::optional<std::uint64_t> SizeHint(const PlannedPiece& piece) = 0;
  // The signal that stopped the request, or 0.
  virtual int Stopped() = 0;
};

// Where the output goes.
class Sink {
 public:
  virtual ~Sink() = default;
  // Appends `data`; false when it cannot (the request then fails).
  virtual bool Write(const char* data, std::size_t size) = 0;
  virtual std::uint64_t Offset() const = 0;
  // True when what was written can be taken back by Rewind(), to `offset`.
  virtual bool Rewindable() const = 0;
  virtual bool Rewind(std::uint64_t offset) = 0;
};

// The part of a history a round of a request writes.
struct Part {
  std::optional<Position> after;
  std::optional<std::int64_t> since;
  std::optional<std::int64_t> until;
  std::optional<std::uint64_t> maxBytes;
  // The budget keeps the newest end of the part, its oldest piece starting
  // at a line; when true (a round that goes on after a file went away while
  // it was read) the part starts where the last round ended and the budget
  // ends it instead, at a line end.
  bool budgetFromStart = false;
  // A cursor request, which waits for a rotation under way and takes whole
  // lines from the active log; else a snapshot, which writes everything and
  // names what it could not read (see Selection::cursor).
  bool cursor = false;
  OutputFormat format = OutputFormat::kPieces;
};

// What a round ended with.
enum class Streamed {
  kDone,        // the part is written (or waits, see Report::waitingFor)
  kLookAgain,   // a piece's file went away before it was read: the device
                // rotated; a new round goes on from position()
  kStopped,     // Source::Stopped()
  kSinkFailed,  // the sink refused a write
};

class Input;
class PieceOutput;
class Window;

// Writes one round of a request: the part `part` of `history` from
// `source` into `sink`, and fills `report`: the pieces with something to
// tell and the counts, leftOut, the findings this part passes on (lost,
// rotating, waitingFor, the position's flags) and the budget's drops.
// REQUIRES: `history`, `source`, `sink` and `report` outlive it.
class Streamer final {
 public:
  Streamer(const History& history, const Part& part, Source& source, Sink& sink,
           Report* report);
  Streamer(const Streamer&) = delete;
  Streamer& operator=(const Streamer&) = delete;

  Streamed Run();

  // Decides what it can without reading any piece's data, for a plan: the
  // selection's drops and starts, and the budget's from the sizes known
  // beforehand (plain files, trailers); fills the report's findings.
  void Foresee();
  // What became of piece `index`, after Run() or Foresee().
  PieceStatus StatusOf(std::size_t index) const { return slots_[index].status; }
  Rule DroppedBy(std::size_t index) const { return slots_[index].droppedBy; }
  std::uint64_t StartByte(std::size_t index) const;

  // Just after the last byte written, or else the position the part was
  // given; nullopt when neither is known. A new round goes on from it.
  std::optional<Position> end() const {
    return newest_ ? newest_ : part_.after;
  }
  // Where a cursor request may go on from: end(), or for a snapshot that
  // wrote past what a cursor request would have waited for, the end of what
  // it would have written.
  std::optional<Position> position() const { return passed_ ? safe_ : end(); }
  // True once a snapshot wrote past what a cursor request would wait for.
  bool passed() const { return passed_; }
  // False once a piece was left out.
  bool complete() const { return complete_; }

 private:
  // What became of a piece, for every piece: three bytes.
  struct Slot {
    PieceStatus status = PieceStatus::kNotReached;
    Rule droppedBy = Rule::kNone;
    Reason code = Reason::kNone;
  };
  // What the engine has decided or learnt of a piece beyond its slot, kept
  // only for the pieces that need it.
  struct Choice {
    std::uint64_t from = 0;      // the position's byte in it, or 0
    std::uint64_t start = 0;     // the byte of its data where output starts
    bool atPosition = false;     // it holds the position
    bool checkPosition = false;  // `from` is the position's, to be checked
    std::optional<std::uint64_t> cutFrom;   // the budget's cut: start at the
                                            // first line at or after it
    std::optional<std::uint64_t> limit;     // the budget's end: read no
                                            // further, and end at a line end
    std::optional<std::uint64_t> size;      // its data's size, once known
    std::optional<std::uint64_t> sizeUsed;  // the size the budget took
    std::optional<Status> ending;           // how its data ends, once known
    int error = 0;                          // kLeftOut: the errno value
    std::optional<std::uint64_t> bytesLost;
  };
  // What became of one piece; kAgain: write it again from its start,
  // knowing more (the position did not match, it is damaged).
  enum class Outcome {
    kWritten,
    kNothing,
    kWait,
    kAgain,
    kLookAgain,
    kStopped,
    kSinkFailed
  };

  Choice& Detail(std::size_t index) { return choices_[index]; }
  const Choice* Find(std::size_t index) const;
  PlannedPiece Planned(std::size_t index) const {
    return history_.Planned(index);
  }
  bool Plain(std::size_t index) const {
    return history_.pieces[index].kind != PieceKind::kArchive;
  }
  std::uint32_t Key(std::uint16_t n) const {
    return AgeKey(n, history_.found.current);
  }
  void SelectOut(std::size_t index, Rule rule);
  Streamed Rounds();
  void Decide();
  void ApplyPosition();
  void ApplyWindow();
  Outcome ApplyBudget(bool learn);
  bool BudgetCut(std::size_t index, std::uint64_t size, std::uint64_t left);
  Outcome SizeOf(std::size_t index, bool learn, std::uint64_t* size);
  Outcome Failed(std::size_t index, const Status& failure);
  bool Learn(std::size_t index, Status* failure);
  bool Misjudged() const;
  void CountDropped();
  Outcome Stream(std::size_t index);
  Outcome Write(std::size_t index, PieceReader& reader, std::uint64_t mark);
  Outcome Pour(std::size_t index, Input& input, PieceOutput& out,
               std::string* held);
  Outcome Settle(std::size_t index, const Input& input, PieceOutput& out,
                 const std::string& held, std::uint64_t mark);
  Outcome SkipToCut(std::size_t index, Input& input, Window& window);
  void Wait(std::size_t index);
  void Pass(const std::optional<Position>& safe);
  void Unreadable(std::size_t index);
  void LeaveOut(std::size_t index, const Status& ending);
  void Done(std::size_t index);
  void Tell();
  std::size_t CursorWaitFrom() const;

  const History& history_;
  const Part part_;
  Source& source_;
  Sink& sink_;
  Report* const report_;
  std::vector<Slot> slots_;
  std::unordered_map<std::size_t, Choice> choices_;
  // Where the pieces' data is read into, one for the whole round: a buffer
  // made again for each piece costs the heap's growing and shrinking.
  std::vector<char> buffer_ = std::vector<char>(128 * 1024);
  std::size_t waitFrom_;            // pieces from here on wait
  std::optional<Position> newest_;  // the end of the newest piece written
  bool passed_ = false;             // see passed()
  std::optional<Position> safe_;    // position() once passed
  bool complete_ = true;
};

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_STREAM_ENGINE_H_
