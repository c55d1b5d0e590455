#include "platform/Facts.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace nq_tolvane {
namespace {

constexpr char kSudoGroup[] = "tolvane";

bool InGroup(gid_t gid) {
  if (getegid() == gid) return true;
  const int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(count);
  const int got = getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) !=
                        groups.begin() + got;
}

// Opens the regular file `path` for reading, which also tells whether the
// caller can read it; -1 when it cannot.
int OpenToRead(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

int OpenRegular(const std::string& path, std::uint64_t* size) {
  const int fd = OpenToRead(path);
  struct stat info;
  if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    if (size != nullptr) *size = static_cast<std::uint64_t>(info.st_size);
    return fd;
  }
  if (fd >= 0) close(fd);
  if (fd >= 0) errno = EINVAL;
  return -1;
}

std::optional<std::uint64_t> TrailerSize(int fd) {
  struct stat info;
  unsigned char tail[4];
  // The smallest gzip file: a 10-byte header and an 8-byte trailer.
  if (fstat(fd, &info) != 0 || info.st_size < 18 ||
      pread(fd, tail, sizeof tail, info.st_size - 4) != 4)
    return std::nullopt;
  return tail[0] | tail[1] << 8 | tail[2] << 16 |
         static_cast<std::uint64_t>(tail[3]) << 24;
}

bool MayUseSudoRule() {
  if (geteuid() == 0) return true;
  group entry;
  group* found = nullptr;
  std::vector<char> buffer(16384);
  return getgrnam_r(kSudoGroup, &entry, buffer.data(), buffer.size(), &found) ==
             0 &&
         found != nullptr && InGroup(found->gr_gid);
}

void Measure(PlannedPiece* piece, bool mayUseSudoRule) {
  // An archive was listed as a regular file: it is opened first, which
  // tells readability, and the open file is measured, one lookup of its
  // path instead of two (tens of thousands of archives are planned in a
  // moment). The active log, which may be anything, is looked at first.
  struct stat info;
  int fd =
      piece->kind == PieceKind::kArchive ? OpenToRead(piece->sourcePath) : -1;
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    close(fd);
    fd = -1;
  }
  if (fd < 0 && stat(piece->sourcePath.c_str(), &info) != 0) return;
  piece->sizeOnDisk = info.st_size;
  piece->endTime = info.st_mtime;
  if (fd < 0 && S_ISREG(info.st_mode) && piece->kind != PieceKind::kArchive)
    fd = OpenToRead(piece->sourcePath);
  piece->readable = fd >= 0 || (!S_ISREG(info.st_mode) &&
                                faccessat(AT_FDCWD, piece->sourcePath.c_str(),
                                          R_OK, AT_EACCESS) == 0);
  if (piece->kind != PieceKind::kArchive) {
    piece->reachable = piece->readable;
    piece->scratchSizeKnown = true;
    piece->scratchSize = piece->sizeOnDisk;
  } else {
    piece->reachable = mayUseSudoRule;
    if (fd >= 0)
      if (const auto size = TrailerSize(fd)) {
        piece->scratchSizeKnown = true;
        piece->scratchSize = *size;
      }
  }
  if (fd >= 0) close(fd);
}

std::uint64_t FreeBytes(const std::string& dir) {
  struct statvfs info;
  if (statvfs(dir.c_str(), &info) != 0) return 0;
  const std::uint64_t blocks = geteuid() == 0 ? info.f_bfree : info.f_bavail;
  return blocks * info.f_frsize;
}

}  // namespace nq_tolvane
