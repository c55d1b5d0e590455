#include "services/vorn_fileutils.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace vorn_fileutils {

namespace {

// True when `entry` of the directory `dirFd` is a regular file: its type
// where the file system gives it; a link (followed) or an unknown type is
// looked up.
bool IsRegularFile(int dirFd, const dirent& entry) {
  if (entry.d_type == DT_REG) return true;
  if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN) return false;
  struct stat info;
  return fstatat(dirFd, entry.d_name, &info, 0) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

int GetDirFileList(const char* dir, const char* pattern,
                   const char* excludePattern, std::list<std::string>& list,
                   bool fullPath, bool caseInsensitive, bool sorted) {
  if (dir == nullptr || pattern == nullptr) return -1;
  std::unique_ptr<DIR, int (*)(DIR*)> stream(opendir(dir), closedir);
  if (stream == nullptr) return -1;

  const int flags = caseInsensitive ? FNM_CASEFOLD : 0;
  const std::string prefix = std::string(dir) + "/";
  std::vector<std::string> names;
  for (;;) {
    // readdir returns null both at the end and on a failed read (EIO, or
    // EOVERFLOW where an offset does not fit); only errno tells them apart.
    errno = 0;
    const dirent* entry = readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) return -1;
      break;
    }
    const char* name = entry->d_name;
    if (fnmatch(pattern, name, flags) != 0) continue;
    if (excludePattern != nullptr && fnmatch(excludePattern, name, flags) == 0)
      continue;
    if (!IsRegularFile(dirfd(stream.get()), *entry)) continue;
    names.emplace_back(name);
  }
  stream.reset();

  if (sorted) std::sort(names.begin(), names.end());
  for (const std::string& name : names)
    list.push_back(fullPath ? prefix + name : name);
  return static_cast<int>(names.size());
}

}  // namespace vorn_fileutils
