// What the finders of a history ask of the operating system: listing a
// directory, a file's size and time, reading a small file, readability, the
// clock. The decisions made from the answers are tested against an
// in-memory Env; PosixEnv() is the running system's.
//
// Implementations are safe for use from one request at a time.

#ifndef TOLVANE_SRC_PLATFORM_ENV_H_
#define TOLVANE_SRC_PLATFORM_ENV_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace nq_tolvane {

struct FileFacts {
  std::uint64_t size = 0;
  std::int64_t modifiedNs = 0;  // nanoseconds since the epoch
  bool regular = false;         // a regular file, not a directory or device
};

class Env {
 public:
  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env() = default;

  // Calls `each` with the name of every regular file of `dir` (links
  // followed) whose name begins with `prefix`, in no order. Returns true
  // when it was listed or is not there (no call), false when it is there
  // but cannot be listed.
  virtual bool List(const std::string& dir, const std::string& prefix,
                    const std::function<void(const std::string&)>& each) = 0;
  // The facts of the file at `path`, links followed; false when there is
  // none.
  virtual bool Stat(const std::string& path, FileFacts* facts) = 0;
  // Up to `max` bytes of the regular file at `path`, opened without waiting
  // on anything, and its facts. False when it is not a regular file the
  // caller can open.
  virtual bool ReadSmall(const std::string& path, std::size_t max,
                         std::string* text, FileFacts* facts) = 0;
  // True when the caller may read the file at `path`.
  virtual bool Readable(const std::string& path) = 0;
  // Seconds since the epoch.
  virtual std::int64_t Now() = 0;
  // Lets `milliseconds` pass.
  virtual void Pause(int milliseconds) = 0;
};

// The running system's Env. It lives as long as the process.
Env& PosixEnv();

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_PLATFORM_ENV_H_
