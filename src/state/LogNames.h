// The names of a log type's files that both the state and the assembly
// units form.

#ifndef TOLVANE_SRC_STATE_LOGNAMES_H_
#define TOLVANE_SRC_STATE_LOGNAMES_H_

#include <string>

namespace nq_tolvane {

// The directory-listing pattern of the archives of the type with `prefix`:
// the prefix, any run of characters, then ".log.gz".
inline std::string ArchivePattern(const std::string& prefix) {
  return prefix + "*.log.gz";
}

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_STATE_LOGNAMES_H_
