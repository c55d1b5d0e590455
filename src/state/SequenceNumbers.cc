// Sequence numbers: reading them from archive names and the checkpoint file,
// and the age order of archive names around the current number.

#include <cstdlib>
#include <fstream>
#include <list>
#include <string>

#include "nq_tolvane_internals.h"
#include "services/vorn_fileutils.h"
#include "state/LogNames.h"

namespace nq_tolvane {
namespace nq_tolvane_internals {

std::uint16_t FindLogNum(const std::string& name, const std::string& prefix) {
  if (name.find(prefix) == std::string::npos) return 0;
  if (name.find(".gz") == std::string::npos) return 0;
  // The number is read where a name starting with the prefix has it, even
  // when the prefix was found further on, from at most five characters.
  // Copied to the stack, not to a string: every comparison of the age order
  // reads two names.
  char digits[6] = {};
  name.copy(digits, 5, prefix.size());
  const long value = std::strtol(digits, nullptr, 10);
  return static_cast<std::uint16_t>(value);  // low 16 bits
}

bool compare_file_age(const std::string& first, const std::string& second) {
  if (GetLogType() == 0) return false;
  const std::string prefix = GetLogPrefix();
  const std::uint16_t n = GetLogNum();
  const std::uint16_t a = FindLogNum(first, prefix);
  const std::uint16_t b = FindLogNum(second, prefix);

  // Of two equal numbers up to n, each is called the older.
  const bool older = AgeKey(a, n) < AgeKey(b, n) || (a == b && a <= n);

  Message("%s: %s is %s than %s", "compare_file_age", first.c_str(),
          older ? "older" : "newer", second.c_str());
  return older;
}

CheckPointResult ReadCheckPointFile(const std::string& prefix,
                                    const std::string& dir) {
  CheckPointResult result{false, 0};
  const std::string path = CheckpointPath(dir, prefix);
  if (!CheckFileExist(path.c_str())) return result;

  Message("%s: reading %s.", "ReadCheckPointFile", path.c_str());
  std::ifstream file(path);
  if (!file.is_open()) return result;
  std::uint16_t num = 0;
  file >> num;
  file.close();

  result.found = true;
  result.logNum = num;
  Message("%s: read logNum %u from checkpoint file", "ReadCheckPointFile",
          static_cast<unsigned>(num));
  return result;
}

std::uint16_t FindLastBackupLogNum(const std::string& dir,
                                   const std::string& prefix) {
  const CheckPointResult checkpoint = ReadCheckPointFile(prefix, dir);
  if (checkpoint.found) {
    Message("%s: read logNum %u from checkpoint file", "FindLastBackupLogNum",
            static_cast<unsigned>(checkpoint.logNum));
    return checkpoint.logNum;
  }

  std::list<std::string> names;
  vorn_fileutils::GetDirFileList(dir.c_str(), ArchivePattern(prefix).c_str(),
                                 nullptr, names,
                                 /*fullPath=*/false, /*caseInsensitive=*/false,
                                 /*sorted=*/true);
  const std::uint16_t num =
      names.empty() ? 0 : FindLogNum(names.back(), prefix);
  Message("%s: scanning backups found logNum %u", "FindLastBackupLogNum",
          static_cast<unsigned>(num));
  return num;
}

}  // namespace nq_tolvane_internals
}  // namespace nq_tolvane
