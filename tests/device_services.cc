// A device's own services, for the build that links them in place of the
// stand-ins: debug-log messages go to stderr marked as the device's.

#include <dirent.h>
#include <fnmatch.h>

#include <cstdarg>
#include <cstdio>

#include "services/OrvoMutex.h"
#include "services/brev.h"
#include "services/vorn_fileutils.h"

extern "C" void __brev_printf(int level, const char*, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fprintf(stderr, "device brev %d: ", level);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

OrvoMutex::OrvoMutex() { pthread_mutex_init(&mutex_, nullptr); }
OrvoMutex::~OrvoMutex() { pthread_mutex_destroy(&mutex_); }
void OrvoMutex::Lock() { pthread_mutex_lock(&mutex_); }
void OrvoMutex::Unlock() { pthread_mutex_unlock(&mutex_); }

// No exclusion pattern or case folding: tolvane asks for neither.
int vorn_fileutils::GetDirFileList(const char* dir, const char* pattern,
                                   const char*, std::list<std::string>& list,
                                   bool fullPath, bool, bool sorted) {
  DIR* stream = opendir(dir);
  if (stream == nullptr) return -1;
  std::list<std::string> names;
  while (const dirent* entry = readdir(stream)) {
    if (entry->d_type == DT_REG && fnmatch(pattern, entry->d_name, 0) == 0)
      names.push_back(fullPath ? std::string(dir) + "/" + entry->d_name
                               : entry->d_name);
  }
  closedir(stream);
  if (sorted) names.sort();
  const int count = static_cast<int>(names.size());
  list.splice(list.end(), names);
  return count;
}
