#include "platform/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>

#include "core/Wording.h"

namespace nq_tolvane {
namespace {

// True when `entry`, found in the directory `dir` ("" for the root), must
// not be followed or opened: the directory is sticky and world-writable,
// and the entry belongs neither to this user nor to the directory's owner.
bool Planted(const std::string& dir, const struct stat& entry) {
  struct stat info;
  if (stat(dir.empty() ? "/" : dir.c_str(), &info) != 0) return false;
  return (info.st_mode & S_ISVTX) && (info.st_mode & S_IWOTH) &&
         entry.st_uid != geteuid() && entry.st_uid != info.st_uid;
}

void AppendParts(const std::string& path, std::deque<std::string>* parts) {
  std::deque<std::string> more;
  for (std::string::size_type start = 0; start < path.size();) {
    std::string::size_type end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) more.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  parts->insert(parts->begin(), more.begin(), more.end());
}

// Sets `why` to the text of `error`; returns false.
bool Failed(std::string* why, int error) {
  *why = ErrorText(error);
  return false;
}

// Where a process's own descriptors are named.
constexpr char kOwnFds[] = "/proc/self/fd/";

bool InProc(const std::string& path) {
  return path == "/proc" || path.compare(0, 6, "/proc/") == 0;
}

// Resolves the links of `path` one by one, as the kernel does, and refuses
// a planted one. `resolved` receives the path without links; from /proc on
// the path is kept as it is, since its links name descriptors, not files
// (/dev/stdout leads to /proc/self/fd/1).
bool Resolve(const std::string& path, std::string* resolved, std::string* why,
             bool* refused) {
  std::string current;  // without a trailing "/": "" is the root
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) return Failed(why, errno);
    current = std::strcmp(cwd, "/") == 0 ? "" : cwd;
  }
  std::deque<std::string> rest;
  AppendParts(path, &rest);
  for (int links = 0; !rest.empty();) {
    const std::string part = rest.front();
    rest.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      current.erase(current.empty() ? 0 : current.rfind('/'));
      continue;
    }
    const std::string next = current + "/" + part;
    if (InProc(current)) {
      *resolved = next;
      for (const std::string& more : rest) *resolved += "/" + more;
      return true;
    }
    struct stat info;
    if (lstat(next.c_str(), &info) != 0) {
      if (errno != ENOENT || !rest.empty()) return Failed(why, errno);
      *resolved = next;
      return true;
    }
    if (!S_ISLNK(info.st_mode)) {
      current = next;
      continue;
    }
    if (Planted(current, info)) {
      *refused = true;
      *why = next + " is a link of another user in a sticky directory";
      return false;
    }
    char target[PATH_MAX];
    const ssize_t size = readlink(next.c_str(), target, sizeof target - 1);
    if (size < 0 || ++links > 40) return Failed(why, size < 0 ? errno : ELOOP);
    target[size] = '\0';
    if (target[0] == '/') current.clear();
    AppendParts(target, &rest);
  }
  *resolved = current.empty() ? "/" : current;
  return true;
}

std::string RandomName() {
  static std::random_device random;
  return ".tolvane-out." + std::to_string(random());
}

// Resolves `path` and looks at what lies at its end (`*exists`, `*info`):
// false for what Open() refuses, with `why` and `refused` set.
bool CheckPath(const std::string& path, std::string* resolved,
               struct stat* info, bool* exists, std::string* why,
               bool* refused) {
  *refused = false;
  if (path.empty()) return Failed(why, ENOENT);
  if (!Resolve(path, resolved, why, refused)) return false;
  *exists = lstat(resolved->c_str(), info) == 0;
  if (*exists && S_ISDIR(info->st_mode)) return Failed(why, EISDIR);
  if (*exists && !InProc(*resolved) &&
      Planted(resolved->substr(0, resolved->rfind('/')), *info)) {
    *refused = true;
    *why = "a file of another user in a sticky directory";
    return false;
  }
  return true;
}

}  // namespace

OutputFile::~OutputFile() {
  if (!temp_.empty()) unlinkat(dirFd_, temp_.c_str(), 0);
  // The commands append through a file description of their own; a
  // caller's descriptor of the same regular file (standard output
  // redirected to a file) is moved past what they wrote, so that what the
  // caller writes next follows the history instead of overwriting it.
  struct stat mine, caller;
  if (callerFd_ >= 0 && fstat(fd_, &mine) == 0 &&
      fstat(callerFd_, &caller) == 0 && S_ISREG(mine.st_mode) &&
      mine.st_dev == caller.st_dev && mine.st_ino == caller.st_ino)
    lseek(callerFd_, 0, SEEK_END);
  if (fd_ >= 0) close(fd_);
  if (dirFd_ >= 0) close(dirFd_);
}

int OpenToRead(const std::string& path, std::string* why, bool* missing) {
  std::string resolved;
  struct stat info;
  bool exists = false, refused = false;
  *missing = false;
  if (!CheckPath(path, &resolved, &info, &exists, why, &refused)) return -1;
  if (!exists) {
    *missing = true;
    Failed(why, ENOENT);
    return -1;
  }
  if (!S_ISREG(info.st_mode)) {
    *why = "not a regular file";
    return -1;
  }
  const int fd = open(resolved.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK |
                                            O_NOCTTY | O_CLOEXEC);
  if (fd < 0) Failed(why, errno);
  return fd;
}

bool OutputFile::Open(const std::string& path, std::string* why,
                      bool* refused) {
  std::string resolved;
  struct stat info;
  bool exists = false;
  if (!CheckPath(path, &resolved, &info, &exists, why, refused)) return false;
  const std::string::size_type slash = resolved.rfind('/');
  const std::string dir = resolved.substr(0, slash);
  const bool special = InProc(resolved) || (exists && !S_ISREG(info.st_mode));
  // Close-on-exec like every descriptor of the library: the commands that
  // write through it get it explicitly, other programs the caller starts
  // meanwhile do not.
  if (special) {
    fd_ = open(resolved.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC |
                                     (InProc(resolved) ? 0 : O_NOFOLLOW));
    if (resolved.compare(0, sizeof kOwnFds - 1, kOwnFds) == 0)
      callerFd_ = std::atoi(resolved.c_str() + sizeof kOwnFds - 1);
  } else {
    mode_ = exists && info.st_uid == geteuid() ? info.st_mode & 07777 : 0600;
    name_ = resolved.substr(slash + 1);
    dirFd_ = open(dir.empty() ? "/" : dir.c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ >= 0)
      fd_ = openat(dirFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    for (int attempt = 0; dirFd_ >= 0 && fd_ < 0 && attempt < 8 &&
                          (errno == EOPNOTSUPP || errno == EISDIR ||
                           errno == EEXIST || errno == EINVAL);
         ++attempt) {
      // No unnamed files here: a hidden name of its own instead.
      temp_ = RandomName();
      fd_ = openat(dirFd_, temp_.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd_ < 0) temp_.clear();
    }
  }
  if (fd_ < 0) return Failed(why, errno);
  target_ = kOwnFds + std::to_string(fd_);
  return true;
}

bool OutputFile::Commit(std::string* why) {
  if (dirFd_ < 0) return true;  // written directly
  if (fchmod(fd_, mode_) != 0 || fsync(fd_) != 0) return Failed(why, errno);
  // An unnamed file gets a hidden name first: rename() then replaces the
  // earlier file in one step.
  for (int attempt = 0; temp_.empty(); ++attempt) {
    temp_ = RandomName();
    if (linkat(AT_FDCWD, target_.c_str(), dirFd_, temp_.c_str(),
               AT_SYMLINK_FOLLOW) == 0)
      break;
    temp_.clear();
    if (errno != EEXIST || attempt == 8) return Failed(why, errno);
  }
  if (renameat(dirFd_, temp_.c_str(), dirFd_, name_.c_str()) != 0)
    return Failed(why, errno);
  temp_.clear();
  return fsync(dirFd_) == 0 || Failed(why, errno);
}

}  // namespace nq_tolvane
