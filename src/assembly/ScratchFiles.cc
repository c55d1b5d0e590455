#include "ScratchFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "brev.h"

namespace nq_tolvane {

ScratchFiles::~ScratchFiles() {
  for (const std::string& path : paths_) std::remove(path.c_str());
}

bool ScratchFiles::Create(const std::string& path) {
  paths_.push_back(path);  // first, so that nothing is made that is not owned
  std::remove(path.c_str());
  const int fd = open(
      path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    paths_.pop_back();  // whatever stands there now is not ours
    __brev_printf(3, "TolvaneUtils", "%s: cannot create %s: %s",
                  "CreateScratchFile", path.c_str(), std::strerror(error));
    return false;
  }
  close(fd);
  return true;
}

void ScratchFiles::Remove(const std::string& path) {
  std::remove(path.c_str());
  paths_.erase(std::remove(paths_.begin(), paths_.end(), path), paths_.end());
}

}  // namespace nq_tolvane
