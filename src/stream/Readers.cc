#include "stream/Readers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "platform/Facts.h"
#include "services/brev.h"

namespace nq_tolvane {
namespace {

constexpr char kTag[] = "TolvaneUtils";
constexpr std::size_t kInput = 64 * 1024;
// How long a wait on sudo's output lasts before the stop is asked again.
constexpr int kPollMilliseconds = 20;

Status Unreadable(Reason why, int error = 0) {
  return Status(Status::kLeftOut, why, error);
}

class PlainReader final : public PieceReader {
 public:
  explicit PlainReader(int fd) : fd_(fd) {}
  ~PlainReader() override { close(fd_); }
  PlainReader(const PlainReader&) = delete;
  PlainReader& operator=(const PlainReader&) = delete;

  std::size_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t got = read(fd_, buffer, size);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno == EINTR) continue;
      ending_ = Unreadable(Reason::kNotRun, errno);
      return 0;
    }
  }
  Status ending() const override { return ending_; }
  std::uint64_t Skip(std::uint64_t count) override {
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    struct stat info;
    if (at < 0 || fstat(fd_, &info) != 0 || info.st_size <= at) return 0;
    const std::uint64_t step = std::min<std::uint64_t>(
        count, static_cast<std::uint64_t>(info.st_size - at));
    return lseek(fd_, static_cast<off_t>(step), SEEK_CUR) < 0 ? 0 : step;
  }

 private:
  const int fd_;
  Status ending_;
};

class Gzip final : public PieceReader {
 public:
  Gzip(int fd, std::function<bool()> stopped)
      : fd_(fd), stopped_(std::move(stopped)), input_(kInput) {
    std::memset(&stream_, 0, sizeof stream_);
    stream_.next_in = input_.data();
    // A gzip stream only; its members one at a time.
    ready_ = inflateInit2(&stream_, 15 + 16) == Z_OK;
    if (!ready_) Finish(Status::kDamaged);
  }
  ~Gzip() override {
    if (ready_) inflateEnd(&stream_);
    close(fd_);
  }
  Gzip(const Gzip&) = delete;
  Gzip& operator=(const Gzip&) = delete;

  std::size_t Read(char* buffer, std::size_t size) override {
    if (done_) return 0;
    stream_.next_out = reinterpret_cast<Bytef*>(buffer);
    stream_.avail_out =
        static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
    const uInt room = stream_.avail_out;
    while (stream_.avail_out == room && !done_) {
      if (stream_.avail_in < 2 && !Fill()) break;
      if (between_) {
        NextMember();
        continue;
      }
      const int result = inflate(&stream_, Z_NO_FLUSH);
      if (result == Z_STREAM_END) {
        between_ = true;
        ++members_;
      } else if (result == Z_BUF_ERROR && stream_.avail_in == 0 && end_) {
        Finish(Status::kDamaged);  // truncated
      } else if (result != Z_OK && result != Z_BUF_ERROR) {
        corrupt_ = true;
        Finish(Status::kDamaged);
      }
    }
    const std::size_t got = room - stream_.avail_out;
    written_ += got;
    return got;
  }

  Status ending() const override {
    Status ending = ending_;
    // A corrupt first member keeps its trailer, which tells the whole size.
    if (ending.kind == Status::kDamaged && corrupt_ && members_ == 0)
      if (const auto size = TrailerSize(fd_))
        if (*size > (written_ & 0xffffffffu))
          ending.bytesLost = *size - (written_ & 0xffffffffu);
    return ending;
  }

 private:
  // Reads more input behind what is left; false once finished.
  bool Fill() {
    if (end_) return true;
    if (stopped_()) {
      Finish(Status::kStopped);
      return false;
    }
    std::memmove(input_.data(), stream_.next_in, stream_.avail_in);
    for (;;) {
      const ssize_t got = read(fd_, input_.data() + stream_.avail_in,
                               input_.size() - stream_.avail_in);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        ending_ = Unreadable(Reason::kNotRun, errno);
        done_ = true;
        return false;
      }
      stream_.next_in = input_.data();
      stream_.avail_in += static_cast<uInt>(got);
      end_ = got == 0;
      return true;
    }
  }

  // After a member: another one, or what GNU gunzip makes of the rest.
  void NextMember() {
    const Bytef* next = stream_.next_in;
    const uInt left = stream_.avail_in;
    if (left == 0) return Finish(Status::kComplete);
    if (left >= 2 && next[0] == 0x1f && next[1] == 0x8b) {
      between_ = false;
      inflateReset(&stream_);
      return;
    }
    if (next[0] == 0 && OnlyZeros()) return Finish(Status::kComplete);
    // One byte alone, or the magic of another format, is an error to it.
    if (left == 1 || (next[0] == 0x1f &&
                      (next[1] == 0x9e || next[1] == 0x1e || next[1] == 0x9d)))
      return Finish(Status::kDamaged);
    Finish(Status::kWarned);
  }

  // True when nothing but zero bytes is left in the file.
  bool OnlyZeros() {
    for (;;) {
      const Bytef* next = stream_.next_in;
      if (std::any_of(next, next + stream_.avail_in,
                      [](Bytef byte) { return byte != 0; }))
        return false;
      if (end_) return true;
      stream_.avail_in = 0;
      if (!Fill()) return false;
    }
  }

  void Finish(Status::Kind kind) {
    if (!done_) ending_ = Status(kind);
    done_ = true;
  }

  const int fd_;
  const std::function<bool()> stopped_;
  std::vector<Bytef> input_;
  z_stream stream_;
  bool ready_ = false;
  bool end_ = false;      // the file is read to its end
  bool between_ = false;  // a member has ended
  bool done_ = false;
  bool corrupt_ = false;
  int members_ = 0;  // members decoded whole
  std::uint64_t written_ = 0;
  Status ending_;
};

// An archive decompressed by "sudo -n /bin/gunzip -c ARCHIVE", read from
// the pipe of its standard output.
class SudoReader final : public PieceReader {
 public:
  SudoReader(Runner& runner, std::string path, pid_t child, int fd)
      : runner_(runner), path_(std::move(path)), child_(child), fd_(fd) {}
  ~SudoReader() override {
    // Abandoned: gunzip meets a closed pipe, and a stop ends it.
    if (fd_ >= 0) Finish();
  }
  SudoReader(const SudoReader&) = delete;
  SudoReader& operator=(const SudoReader&) = delete;

  std::size_t Read(char* buffer, std::size_t size) override {
    while (fd_ >= 0) {
      if (runner_.Stopped()) break;
      pollfd ready = {fd_, POLLIN, 0};
      const int polled = poll(&ready, 1, kPollMilliseconds);
      if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
      const ssize_t got = read(fd_, buffer, size);
      if (got > 0) return static_cast<std::size_t>(got);
      if (got < 0 && errno == EINTR) continue;
      break;
    }
    if (fd_ >= 0) Finish();
    return 0;
  }
  Status ending() const override { return ending_; }

 private:
  void Finish() {
    close(fd_);
    fd_ = -1;
    const CommandResult result = runner_.Finish(child_);
    if (result.stopped) {
      ending_ = Status(Status::kStopped);
    } else if (result.ok()) {
      ending_ = Status(Status::kComplete);
    } else if (result.ExitedWith(2)) {
      ending_ = Status(Status::kWarned);  // bytes after the compressed data
    } else if (result.status == -1) {
      ending_ = Unreadable(Reason::kNotRun, result.error);
    } else {
      ending_ = WhyNot();
    }
  }

  // Why gunzip failed: sudo refuses this user, the archive is gone, or it
  // is damaged.
  Status WhyNot() {
    if (geteuid() != 0) {
      int error = 0;
      const pid_t probe = runner_.Start(
          {"sudo", "-n", "-l", "/bin/gunzip", "-c", path_}, -1, &error);
      if (probe < 0)
        return error == 0 ? Status(Status::kStopped)
                          : Unreadable(Reason::kNotRun, error);
      const CommandResult result = runner_.Finish(probe);
      if (result.stopped) return Status(Status::kStopped);
      if (!result.ok()) return Unreadable(Reason::kSudoRefused);
    }
    struct stat info;
    if (lstat(path_.c_str(), &info) != 0 && errno == ENOENT)
      return Status(Status::kGone);
    return Status(Status::kDamaged);
  }

  Runner& runner_;
  const std::string path_;
  const pid_t child_;
  int fd_;
  Status ending_;
};

}  // namespace

std::unique_ptr<PieceReader> GzipReader(int fd, std::function<bool()> stopped) {
  return std::make_unique<Gzip>(fd, std::move(stopped));
}

std::unique_ptr<PieceReader> FileSource::Open(const PlannedPiece& piece,
                                              Status* ending) {
  if (runner_.Stopped()) {
    *ending = Status(Status::kStopped);
    return nullptr;
  }
  const std::string& path = piece.sourcePath;
  const int fd = OpenRegular(path);
  if (fd >= 0) {
    if (piece.kind != PieceKind::kArchive)
      return std::make_unique<PlainReader>(fd);
    return GzipReader(fd, [this] { return runner_.Stopped() != 0; });
  }
  const int error = errno;
  if (error == ENOENT) {
    *ending = Status(Status::kGone);
    return nullptr;
  }
  const bool denied = error == EACCES || error == EPERM;
  if (piece.kind != PieceKind::kArchive || !denied) {
    *ending = Unreadable(
        denied || error == EINVAL ? Reason::kNotCopied : Reason::kNotRun,
        error);
    return nullptr;
  }
  // An archive the caller cannot read: through sudo, as the drop-in allows.
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    *ending = Unreadable(Reason::kNotRun, errno);
    return nullptr;
  }
  __brev_printf(7, kTag, "%s: sudo -n /bin/gunzip -c %s", "ReadArchive",
                path.c_str());
  int spawned = 0;
  const pid_t child = runner_.Start({"sudo", "-n", "/bin/gunzip", "-c", path},
                                    pipeFds[1], &spawned);
  close(pipeFds[1]);
  if (child < 0) {
    close(pipeFds[0]);
    *ending = spawned == 0 ? Status(Status::kStopped)
                           : Unreadable(Reason::kNotRun, spawned);
    return nullptr;
  }
  return std::make_unique<SudoReader>(runner_, path, child, pipeFds[0]);
}

std::optional<std::uint64_t> FileSource::SizeHint(const PlannedPiece& piece) {
  const int fd = OpenRegular(piece.sourcePath);
  if (fd < 0) return std::nullopt;
  const auto size = TrailerSize(fd);
  close(fd);
  return size;
}

}  // namespace nq_tolvane
