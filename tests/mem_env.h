// A file system in memory behind the Env seam, for the finders' decisions:
// files by path with their data, time and readability, directories that
// cannot be listed, a clock, and a hook for what happens during a pause.

#ifndef TOLVANE_TESTS_MEM_ENV_H_
#define TOLVANE_TESTS_MEM_ENV_H_

#include <functional>
#include <map>
#include <set>
#include <string>

#include "platform/Env.h"

namespace tolvane_test {

class MemEnv final : public nq_tolvane::Env {
 public:
  struct File {
    std::string data;
    std::int64_t modified = 0;  // seconds since the epoch
    bool readable = true;
    bool regular = true;
  };

  // Puts `data` at `path`, last written at `modified`.
  File& Put(const std::string& path, const std::string& data,
            std::int64_t modified) {
    File& file = files[path];
    file = File{data, modified, true, true};
    return file;
  }

  bool List(const std::string& dir, const std::string& prefix,
            const std::function<void(const std::string&)>& each) override {
    if (unlistable.count(dir) != 0) return false;
    for (const auto& [path, file] : files) {
      if (path.compare(0, dir.size() + 1, dir + "/") != 0) continue;
      const std::string name = path.substr(dir.size() + 1);
      if (name.find('/') == std::string::npos && file.regular &&
          name.compare(0, prefix.size(), prefix) == 0)
        each(name);
    }
    return true;
  }
  bool Stat(const std::string& path, nq_tolvane::FileFacts* facts) override {
    const auto found = files.find(path);
    if (found == files.end() || gone.count(path) != 0) return false;
    facts->size = found->second.data.size();
    facts->modifiedNs = found->second.modified * 1000000000;
    facts->regular = found->second.regular;
    ++stats;
    return true;
  }
  bool ReadSmall(const std::string& path, std::size_t max, std::string* text,
                 nq_tolvane::FileFacts* facts) override {
    const auto found = files.find(path);
    if (found == files.end() || !found->second.readable ||
        !found->second.regular)
      return false;
    Stat(path, facts);
    *text = found->second.data.substr(0, max);
    return true;
  }
  bool Readable(const std::string& path) override {
    const auto found = files.find(path);
    return found != files.end() && found->second.readable;
  }
  std::int64_t Now() override { return now; }
  void Pause(int) override {
    ++pauses;
    if (onPause) onPause();
  }

  std::map<std::string, File> files;
  std::set<std::string> unlistable;
  std::set<std::string> gone;  // listed, and gone before they are looked at
  std::int64_t now = 0;
  int pauses = 0;
  int stats = 0;  // files looked at
  std::function<void()> onPause;
};

}  // namespace tolvane_test

#endif  // TOLVANE_TESTS_MEM_ENV_H_
