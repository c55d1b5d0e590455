// The device's directory lister.

#ifndef TOLVANE_SRC_SERVICES_VORN_FILEUTILS_H_
#define TOLVANE_SRC_SERVICES_VORN_FILEUTILS_H_

#include <list>
#include <string>

#include "tolvane_export.h"

namespace vorn_fileutils {

// Appends to `list`, after what it already holds, one entry for each regular
// file of `dir` (links to regular files count) whose name matches the
// shell-style `pattern` (fnmatch(3)) and, when `excludePattern` is not null,
// does not match `excludePattern`. Entries already in `list` are untouched.
//
// fullPath:        entries are `dir` + "/" + name instead of the bare name.
// caseInsensitive: both patterns match regardless of letter case.
// sorted:          the appended entries come in ascending byte order of
//                  their names; otherwise in the directory's own order.
//
// Returns the number of entries appended, or -1 when `dir` cannot be opened
// or a read of it fails before its end (nothing is appended then, not even
// the entries read before the failure). Never throws except for memory
// exhaustion.
TOLVANE_EXPORT int GetDirFileList(const char* dir, const char* pattern,
                                  const char* excludePattern,
                                  std::list<std::string>& list, bool fullPath,
                                  bool caseInsensitive, bool sorted);

}  // namespace vorn_fileutils

#endif  // TOLVANE_SRC_SERVICES_VORN_FILEUTILS_H_
