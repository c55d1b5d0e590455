// The pieces' data from the device's files: a plain file read directly, an
// archive the caller can read decompressed in process with zlib, one it
// cannot through "sudo -n /bin/gunzip -c ARCHIVE", started without a shell.

#ifndef TOLVANE_SRC_STREAM_READERS_H_
#define TOLVANE_SRC_STREAM_READERS_H_

#include <functional>
#include <memory>

#include "platform/Runner.h"
#include "stream/Engine.h"

namespace nq_tolvane {

// Reads no more than the caller could read itself, and runs nothing through
// sudo but that gunzip. Not copyable: its readers hold its runner.
class FileSource final : public Source {
 public:
  // `runner` runs the decompressions and owns the request's stop; it must
  // outlive the source and every reader it opened.
  explicit FileSource(Runner& runner) : runner_(runner) {}
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  std::unique_ptr<PieceReader> Open(const PlannedPiece& piece,
                                    Status* ending) override;
  std::optional<std::uint64_t> SizeHint(const PlannedPiece& piece) override;
  int Stopped() override { return runner_.Stopped(); }

 private:
  Runner& runner_;
};

// The data of the gzip file open on `fd` (which it takes), decompressed as
// GNU gunzip does: every member in turn; after the last, nothing or only
// zero bytes is complete, a lone byte or the start of another compressed
// format is damaged, anything else is warned of and ignored. `stopped` is
// asked between reads.
std::unique_ptr<PieceReader> GzipReader(int fd, std::function<bool()> stopped);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_STREAM_READERS_H_
