// Reading one piece's data as the engine needs it: up to a limit, passing
// over what comes before a start, keeping the bytes before a point for a
// position's check.

#ifndef TOLVANE_SRC_STREAM_DATAINPUT_H_
#define TOLVANE_SRC_STREAM_DATAINPUT_H_

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/Position.h"
#include "stream/Engine.h"

namespace nq_tolvane {

// The bytes of a piece's data just before a point of it, for a position's
// check: at most Position::kWindow of them.
class Window final {
 public:
  void Add(const char* data, std::size_t size) {
    if (size >= sizeof ring_) {
      data += size - sizeof ring_;
      size = sizeof ring_;
    }
    for (std::size_t i = 0; i < size; ++i)
      ring_[(filled_ + i) % sizeof ring_] = static_cast<unsigned char>(data[i]);
    filled_ += size;
  }
  // The check of the bytes held, oldest first: the ring from its next byte
  // to its end, then from its start.
  std::uint64_t Check() const {
    const char* ring = reinterpret_cast<const char*>(ring_);
    if (filled_ < sizeof ring_)
      return CheckOf(std::string_view(ring, filled_), {});
    const std::size_t next = filled_ % sizeof ring_;
    return CheckOf(std::string_view(ring + next, sizeof ring_ - next),
                   std::string_view(ring, next));
  }

 private:
  unsigned char ring_[Position::kWindow];
  std::uint64_t filled_ = 0;
};

// A piece's data as it is read, up to a limit.
class Input final {
 public:
  Input(PieceReader& reader, std::optional<std::uint64_t> limit,
        std::vector<char>& buffer)
      : reader_(reader), limit_(limit), buffer_(buffer) {}

  // The bytes read and not yet taken; refills when all were taken. Empty
  // at the end.
  std::pair<const char*, std::size_t> Next() {
    if (pos_ == size_ && !ended_) {
      pos_ = size_ = 0;
      std::size_t want = buffer_.size();
      if (limit_) want = std::min<std::uint64_t>(want, *limit_ - at_);
      size_ = want == 0 ? 0 : reader_.Read(buffer_.data(), want);
      if (size_ == 0) {
        ended_ = true;
        byLimit_ = want == 0;
      }
    }
    return {buffer_.data() + pos_, size_ - pos_};
  }
  void Take(std::size_t count) {
    pos_ += count;
    at_ += count;
  }
  // Passes over up to `count` bytes where the reader can without reading.
  void Pass(std::uint64_t count) {
    if (pos_ == size_ && !ended_) at_ += reader_.Skip(count);
  }
  std::uint64_t at() const { return at_; }  // bytes of the data taken
  Status ending() const { return byLimit_ ? Status() : reader_.ending(); }

 private:
  PieceReader& reader_;
  const std::optional<std::uint64_t> limit_;
  std::vector<char>& buffer_;
  std::size_t pos_ = 0, size_ = 0;
  std::uint64_t at_ = 0;
  bool ended_ = false, byLimit_ = false;
};

// Takes the bytes of `input` up to byte `to` of its data into `window`
// (what lies before the window's reach passed over where it can be);
// false when the data ends before it, or `stopped`.
inline bool SkipTo(Input& input, std::uint64_t to, Window& window,
                   Source& stopped) {
  if (to > input.at() + Position::kWindow)
    input.Pass(to - Position::kWindow - input.at());
  while (input.at() < to) {
    if (stopped.Stopped()) return false;
    const auto [data, size] = input.Next();
    if (size == 0) return false;
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>(size, to - input.at()));
    window.Add(data, take);
    input.Take(take);
  }
  return true;
}

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_STREAM_DATAINPUT_H_
