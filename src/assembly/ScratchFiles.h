// The scratch files of one request under /var/tmp/.

#ifndef TOLVANE_SRC_ASSEMBLY_SCRATCHFILES_H_
#define TOLVANE_SRC_ASSEMBLY_SCRATCHFILES_H_

#include <string>
#include <vector>

namespace nq_tolvane {

// Creates scratch files safely and removes, when it goes out of scope, every
// one still present, so that no exit from a request leaves one behind.
// Not copyable: two owners would remove the same files.
class ScratchFiles final {
 public:
  ScratchFiles() = default;
  ~ScratchFiles();
  ScratchFiles(const ScratchFiles&) = delete;
  ScratchFiles& operator=(const ScratchFiles&) = delete;

  // Removes whatever stands at `path` and creates an empty file there
  // exclusively, without following links, readable by its owner only. A
  // command may then write into it; a link planted at the name cannot
  // redirect the write. On failure reports the reason and returns false.
  bool Create(const std::string& path);

  // Removes the scratch file at `path` now. Failure is silent.
  void Remove(const std::string& path);

 private:
  std::vector<std::string> paths_;
};

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_ASSEMBLY_SCRATCHFILES_H_
