#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/Env.h"

namespace nq_tolvane {
namespace {

std::int64_t Nanoseconds(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
         info.st_mtim.tv_nsec;
}

class Posix final : public Env {
 public:
  bool List(const std::string& dir, const std::string& prefix,
            const std::function<void(const std::string&)>& each) override {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) return errno == ENOENT || errno == ENOTDIR;
    std::string name;
    for (;;) {
      // Null both at the end and on a failed read (EIO, or EOVERFLOW where
      // an offset does not fit): only errno tells them apart.
      errno = 0;
      const dirent* entry = readdir(listing);
      if (entry == nullptr) break;
      if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0)
        continue;
      // The file system tells the type; a link or an unknown one is looked
      // up.
      struct stat info;
      if (entry->d_type != DT_REG &&
          ((entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) ||
           fstatat(dirfd(listing), entry->d_name, &info, 0) != 0 ||
           !S_ISREG(info.st_mode)))
        continue;
      name = entry->d_name;
      each(name);
    }
    const bool listed = errno == 0;
    closedir(listing);
    return listed;
  }

  bool Stat(const std::string& path, FileFacts* facts) override {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return false;
    facts->size = static_cast<std::uint64_t>(info.st_size);
    facts->modifiedNs = Nanoseconds(info);
    facts->regular = S_ISREG(info.st_mode);
    return true;
  }

  bool ReadSmall(const std::string& path, std::size_t max, std::string* text,
                 FileFacts* facts) override {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    bool read_ = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (read_) {
      facts->size = static_cast<std::uint64_t>(info.st_size);
      facts->modifiedNs = Nanoseconds(info);
      facts->regular = true;
      text->resize(max);
      const ssize_t got = read(fd, &(*text)[0], max);
      text->resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    close(fd);
    return read_;
  }

  bool Readable(const std::string& path) override {
    return faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
  }

  std::int64_t Now() override {
    return static_cast<std::int64_t>(std::time(nullptr));
  }

  void Pause(int milliseconds) override { usleep(milliseconds * 1000); }
};

}  // namespace

Env& PosixEnv() {
  static Posix env;
  return env;
}

}  // namespace nq_tolvane
