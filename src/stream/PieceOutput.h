// What one piece puts into the output, laid out as the request asks: its
// header block and its data (pieces), its data alone (cat), or a JSON
// object for each of its lines (json).

#ifndef TOLVANE_SRC_STREAM_PIECEOUTPUT_H_
#define TOLVANE_SRC_STREAM_PIECEOUTPUT_H_

#include <cstdint>
#include <string>

#include "stream/DataInput.h"
#include "stream/Engine.h"

namespace nq_tolvane {

// What a JSON object tells of the piece its line comes from.
struct PieceFacts {
  std::string log;     // the type's name, the prefix of positions
  std::string source;  // the piece's path
  std::uint16_t generation = 0;
  std::uint64_t start = 0;  // the byte of its data where the output starts
  bool damaged = false;     // written as far as it decompresses
  bool closed = true;       // no line of it grows: false for the active log,
                            // whose last line may be written further
};

// Not copyable: it writes into the sink and window it was given.
class PieceOutput final {
 public:
  // REQUIRES: `sink` and `window` outlive it; `window` holds the data
  // before `facts.start`.
  PieceOutput(Sink& sink, OutputFormat format, PieceFacts facts,
              Window& window);
  PieceOutput(const PieceOutput&) = delete;
  PieceOutput& operator=(const PieceOutput&) = delete;

  // Puts `size` bytes of the piece's data, or with none the piece's
  // header; false when the sink refuses them.
  bool Put(const char* data, std::size_t size);
  // Ends the piece: in JSON, a last line without its line feed goes out as
  // an object of its own, whose cursor is after it where the piece is
  // closed and before it where it may still grow. False when the sink
  // refuses it.
  bool Finish();

  bool headed() const { return headed_; }             // something of it was put
  std::uint64_t written() const { return written_; }  // bytes of its data
  std::uint64_t check() const { return window_.Check(); }  // of the window

 private:
  bool Line(std::uint64_t end, std::uint64_t check);

  Sink& sink_;
  const OutputFormat format_;
  const PieceFacts facts_;
  Window& window_;
  std::uint64_t written_;
  bool headed_ = false;
  std::string line_;           // JSON: the line being put
  std::uint64_t lineStart_;    // its byte in the data
  std::uint64_t checkBefore_;  // the check of the data before it
};

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_STREAM_PIECEOUTPUT_H_
