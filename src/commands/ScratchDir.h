// The private scratch directory of one request.

#ifndef TOLVANE_SRC_COMMANDS_SCRATCHDIR_H_
#define TOLVANE_SRC_COMMANDS_SCRATCHDIR_H_

#include <cstdint>
#include <string>

namespace nq_tolvane {

// A directory of the request's own under a shared, sticky parent such as
// /var/tmp/: "tolvane.<pid>.XXXXXX", mode 0700, so that no other user can
// plant, read or remove anything in it. The request holds a lock on it while
// it lives; the destructor removes the directory with everything in it.
// A request killed outright leaves its directory behind, unlocked; Create()
// removes such directories of the same user, and nothing else.
// Not copyable: two owners would remove the same directory.
class ScratchDir final {
 public:
  ScratchDir() = default;
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // Removes what dead requests of this user left in `parent` (which ends in
  // "/"), then makes this request's directory there. On failure returns
  // false with errno set.
  bool Create(const std::string& parent, const std::string& pidTag);

  // The path of the scratch file for a piece named `baseName`:
  // "<dir>/<baseName>-<pidTag>.txt", or "<dir>/<baseName>" where the longer
  // name would not fit in a directory entry.
  std::string FileFor(const std::string& baseName) const;

  // True when the file system of the directory has no room left.
  bool Full() const;

 private:
  std::string path_;  // ends in "/"
  std::string pidTag_;
  int fd_ = -1;  // open on the directory, holding its lock
};

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_COMMANDS_SCRATCHDIR_H_
