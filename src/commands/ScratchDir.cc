#include "commands/ScratchDir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace nq_tolvane {
namespace {

constexpr char kStem[] = "tolvane.";

// "tolvane.<digits>.<6 letters or digits>", as mkdtemp() makes them.
bool IsScratchName(const char* name) {
  if (std::strncmp(name, kStem, sizeof kStem - 1) != 0) return false;
  const char* p = name + sizeof kStem - 1;
  const char* digits = p;
  while (*p >= '0' && *p <= '9') ++p;
  if (p == digits || *p++ != '.') return false;
  int letters = 0;
  for (; *p != '\0'; ++p, ++letters)
    if (!std::isalnum(static_cast<unsigned char>(*p))) return false;
  return letters == 6;
}

// Unlinks every file of the directory open at `fd`, then the directory
// itself, at `path`. Allocates nothing, so that it may run in a destructor.
void RemoveAll(const char* path, int fd) {
  const int listFd = dup(fd);
  if (DIR* dir = listFd < 0 ? nullptr : fdopendir(listFd)) {
    while (const dirent* entry = readdir(dir)) unlinkat(fd, entry->d_name, 0);
    closedir(dir);
  } else if (listFd >= 0) {
    close(listFd);
  }
  rmdir(path);
}

// Removes the scratch directories in `parent` that belong to this user and
// that no live request holds.
void RemoveDeadRequests(const std::string& parent) {
  DIR* dir = opendir(parent.c_str());
  if (dir == nullptr) return;
  const int parentFd = dirfd(dir);
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir))
    if (IsScratchName(entry->d_name)) names.emplace_back(entry->d_name);
  for (const std::string& name : names) {
    const int fd = openat(parentFd, name.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat info;
    // The lock is held until the directory is gone, so that a request that
    // has just made it and waits for its lock sees that it was removed.
    if (fstat(fd, &info) == 0 && info.st_uid == geteuid() &&
        flock(fd, LOCK_EX | LOCK_NB) == 0)
      RemoveAll((parent + name).c_str(), fd);
    close(fd);
  }
  closedir(dir);
}

}  // namespace

ScratchDir::~ScratchDir() {
  if (fd_ < 0) return;
  RemoveAll(path_.c_str(), fd_);
  close(fd_);
}

bool ScratchDir::Create(const std::string& parent, const std::string& pidTag) {
  RemoveDeadRequests(parent);
  pidTag_ = pidTag;
  for (int attempt = 0; attempt < 8; ++attempt) {
    // Nothing between mkdtemp() and taking ownership allocates, so an
    // exception cannot leave the directory behind.
    std::string path = parent + kStem + pidTag + ".XXXXXX/";
    path.back() = '\0';
    if (mkdtemp(&path[0]) == nullptr) return false;
    path.back() = '/';
    const int fd =
        open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && flock(fd, LOCK_EX) == 0 && fstat(fd, &info) == 0 &&
        info.st_nlink > 0) {
      path_ = std::move(path);
      fd_ = fd;
      return true;
    }
    // Removed by another request before it was locked: make another.
    if (fd >= 0) close(fd);
  }
  errno = EAGAIN;
  return false;
}

std::string ScratchDir::FileFor(const std::string& baseName) const {
  const std::string tagged = baseName + "-" + pidTag_ + ".txt";
  return path_ + (tagged.size() <= NAME_MAX ? tagged : baseName);
}

bool ScratchDir::Full() const {
  struct statvfs info;
  if (fstatvfs(fd_, &info) != 0) return false;
  return (geteuid() == 0 ? info.f_bfree : info.f_bavail) == 0 ||
         info.f_favail == 0;
}

}  // namespace nq_tolvane
