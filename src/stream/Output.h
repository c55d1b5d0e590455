// The output of a streaming request: the bytes go through a fixed buffer
// into the output file (OutputFile: unnamed, synced and put in place whole,
// or a FIFO, terminal or descriptor written directly).

#ifndef TOLVANE_SRC_STREAM_OUTPUT_H_
#define TOLVANE_SRC_STREAM_OUTPUT_H_

#include <signal.h>

#include <vector>

#include "platform/OutputFile.h"
#include "platform/Runner.h"
#include "stream/Engine.h"

namespace nq_tolvane {

// A write into a pipe whose reader is gone fails with EPIPE instead of
// killing the caller: SIGPIPE is blocked in the calling thread while the
// sink lives, and one it raised is taken back. A write that cannot go on
// (a reader that reads nothing) gives way to a stop. Not copyable: it
// changes the thread's signal mask until it goes.
class OutputSink final : public Sink {
 public:
  // REQUIRES: `file` is open; it and `runner` outlive the sink.
  OutputSink(OutputFile& file, Runner& runner);
  ~OutputSink() override;
  OutputSink(const OutputSink&) = delete;
  OutputSink& operator=(const OutputSink&) = delete;

  bool Write(const char* data, std::size_t size) override;
  std::uint64_t Offset() const override { return flushed_ + buffer_.size(); }
  bool Rewindable() const override { return file_.Regular(); }
  bool Rewind(std::uint64_t offset) override;

  // Writes what the buffer holds; false when it cannot.
  bool Flush();
  // Why a write failed (an errno value), or 0; EINTR when stopped.
  int error() const { return error_; }

 private:
  bool WriteOut(const char* data, std::size_t size);

  OutputFile& file_;
  Runner& runner_;
  std::vector<char> buffer_;
  std::uint64_t flushed_ = 0;
  int error_ = 0;
  bool direct_;       // a regular file, whose writes never wait on a reader
  sigset_t mask_;     // the thread's mask before
  bool pipePending_;  // SIGPIPE was pending before
};

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_STREAM_OUTPUT_H_
