#include "commands/ArchiveMap.h"

#include <list>
#include <map>
#include <memory>

#include "nq_tolvane_internals.h"
#include "platform/Env.h"
#include "services/vorn_fileutils.h"
#include "state/LogNames.h"

namespace nq_tolvane {
namespace {

using namespace nq_tolvane_internals;

// Archives by base name, each record made once.
using ArchiveMap = std::map<std::string, std::unique_ptr<ArchivePathInfo>>;

// Forms the active log's path from the checkpoint number and makes that
// number the pivot of the archive order. False, with `fileName` as it was,
// without a checkpoint.
bool GetCurrentLogFileName(const LogFiles& files, std::string& fileName) {
  if (files.backupDir.empty()) return false;
  const CheckPointResult checkpoint =
      ReadCheckPointFile(files.prefix, files.backupDir);
  if (!checkpoint.found) return false;
  fileName = ActiveLogPath(files.activeDir, files.prefix, checkpoint.logNum);
  SetLogNum(checkpoint.logNum);
  return true;
}

// Lists the archives of `dir` into `entries`; notes a directory that is
// there but cannot be read.
void ListArchives(const std::string& dir, const std::string& prefix,
                  std::list<std::string>& entries,
                  std::vector<std::string>* unlisted) {
  const int listed = vorn_fileutils::GetDirFileList(
      dir.c_str(), ArchivePattern(prefix).c_str(), nullptr, entries,
      /*fullPath=*/true, /*caseInsensitive=*/false, /*sorted=*/true);
  if (listed < 0 && CheckFileExist(dir.c_str())) unlisted->push_back(dir);
}

// One record per archive base name of both directories; the active
// directory's, listed last, wins.
void BuildArchiveMap(const LogFiles& files, ArchiveMap& archives,
                     std::vector<std::string>* unlisted) {
  std::list<std::string> entries;
  ListArchives(files.backupDir, files.prefix, entries, unlisted);
  if (files.activeDir != files.backupDir)
    ListArchives(files.activeDir, files.prefix, entries, unlisted);
  for (std::string& entry : entries) {
    std::string name = BaseName(entry);
    archives[name].reset(new ArchivePathInfo{std::move(entry), name, ""});
  }
}

// Lists the archive names oldest first, around the current sequence number.
void SortArchiveNames(const ArchiveMap& archives,
                      std::list<std::string>& names) {
  for (const auto& entry : archives) names.push_back(entry.second->baseName);
  names.sort(compare_file_age);
}

}  // namespace

History FindHistory(const LogFiles& files) {
  History history(files);
  Findings& found = history.found;
  found.checkpointPath = CheckpointPath(files.backupDir, files.prefix);
  found.checkpointFound = GetCurrentLogFileName(files, found.activeLogPath);
  found.current = GetLogNum();

  ArchiveMap archives;
  std::list<std::string> names;
  BuildArchiveMap(files, archives, &found.unlisted);
  SortArchiveNames(archives, names);

  auto add = [&](const std::string& path, PieceKind kind,
                 std::uint16_t sequence) {
    Piece piece;
    piece.kind = kind;
    piece.sequence = sequence;
    piece.inActiveDir =
        path.compare(0, files.activeDir.size() + 1, files.activeDir + "/") == 0;
    FileFacts facts;
    if (PosixEnv().Stat(path, &facts)) {
      piece.size = facts.size;
      piece.modifiedNs = facts.modifiedNs;
      piece.measured = true;
    }
    history.Add(piece, path);
  };
  std::vector<std::uint16_t> numbers;
  for (const std::string& name : names) {
    const std::uint16_t number = FindLogNum(name, files.prefix);
    add(archives.at(name)->sourcePath, PieceKind::kArchive, number);
    if (Numbered(name, files.prefix)) numbers.push_back(number);
  }
  if (found.checkpointFound) {
    if (CheckFileExist(found.activeLogPath.c_str()))
      add(found.activeLogPath, PieceKind::kActiveLog, found.current);
    // Without a checkpoint the order across the wrap is a guess, and so
    // would every gap be: none is reported.
    found.lost = LostGenerations(numbers, found.current);
  }
  return history;
}

}  // namespace nq_tolvane
