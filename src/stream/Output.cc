#include "stream/Output.h"

#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nq_tolvane {
namespace {

constexpr std::size_t kBuffer = 256 * 1024;
// What a pipe found writable takes without blocking.
constexpr std::size_t kPipeWrite = 4096;
constexpr int kPollMilliseconds = 20;

bool Pending(int signal) {
  sigset_t pending;
  return sigpending(&pending) == 0 && sigismember(&pending, signal) == 1;
}

}  // namespace

OutputSink::OutputSink(OutputFile& file, Runner& runner)
    : file_(file), runner_(runner) {
  buffer_.reserve(kBuffer);
  struct stat info;
  direct_ = file.Regular() ||
            (fstat(file.Descriptor(), &info) == 0 && S_ISREG(info.st_mode));
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &mask_);
  pipePending_ = Pending(SIGPIPE);
}

OutputSink::~OutputSink() {
  // The SIGPIPE a write raised is pending for this thread alone: taking it
  // does not wait.
  if (!pipePending_ && Pending(SIGPIPE)) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigwaitinfo(&pipe, nullptr);
  }
  pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
}

bool OutputSink::Write(const char* data, std::size_t size) {
  if (error_ != 0) return false;
  while (size > 0) {
    if (buffer_.size() == kBuffer && !Flush()) return false;
    const std::size_t take = std::min(size, kBuffer - buffer_.size());
    // A large write goes through without a copy.
    if (buffer_.empty() && take == kBuffer) {
      if (!WriteOut(data, take)) return false;
      flushed_ += take;
    } else {
      buffer_.insert(buffer_.end(), data, data + take);
    }
    data += take;
    size -= take;
  }
  return true;
}

bool OutputSink::Flush() {
  if (error_ != 0) return false;
  if (!WriteOut(buffer_.data(), buffer_.size())) return false;
  flushed_ += buffer_.size();
  buffer_.clear();
  return true;
}

bool OutputSink::WriteOut(const char* data, std::size_t size) {
  const int fd = file_.Descriptor();
  while (size > 0) {
    std::size_t chunk = size;
    if (!direct_) {
      // A reader that takes nothing must not keep a stop waiting.
      if (runner_.Stopped()) {
        error_ = EINTR;
        return false;
      }
      pollfd ready = {fd, POLLOUT, 0};
      const int polled = poll(&ready, 1, kPollMilliseconds);
      if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
      chunk = std::min(size, kPipeWrite);
    }
    const ssize_t wrote = write(fd, data, chunk);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      error_ = wrote < 0 ? errno : EIO;
      return false;
    }
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

bool OutputSink::Rewind(std::uint64_t offset) {
  if (offset >= flushed_) {
    buffer_.resize(std::min<std::uint64_t>(buffer_.size(), offset - flushed_));
    return true;
  }
  if (!Rewindable()) return false;
  buffer_.clear();
  const int fd = file_.Descriptor();
  if (ftruncate(fd, static_cast<off_t>(offset)) != 0 ||
      lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    error_ = errno;
    return false;
  }
  flushed_ = offset;
  return true;
}

}  // namespace nq_tolvane
