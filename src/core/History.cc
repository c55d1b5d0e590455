#include "core/History.h"

#include <algorithm>
#include <list>
#include <map>
#include <memory>

#include "nq_tolvane_internals.h"
#include "platform/Facts.h"
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

// One record per archive of FindArchives().
void BuildArchiveMap(const LogFiles& files, ArchiveMap& archives,
                     History* history) {
  for (auto& found : FindArchives(files, &history->unlisted)) {
    std::unique_ptr<ArchivePathInfo> record(
        new ArchivePathInfo{std::move(found.second), found.first, ""});
    archives[found.first] = std::move(record);
  }
}

// Lists the archive names oldest first, around the current sequence number.
void SortArchiveNames(const ArchiveMap& archives,
                      std::list<std::string>& names) {
  for (const auto& entry : archives) names.push_back(entry.second->baseName);
  names.sort(compare_file_age);
}

// Appends the missing numbers from `first` to `last` to `runs`, joining
// consecutive ones.
void AddMissing(const std::vector<bool>& present, std::uint32_t first,
                std::uint32_t last, std::vector<GenerationRun>* runs) {
  for (std::uint32_t n = first; n <= last && first <= last; ++n) {
    if (present[n]) continue;
    if (!runs->empty() && runs->back().last + 1u == n)
      runs->back().last = static_cast<std::uint16_t>(n);
    else
      runs->push_back(
          {static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(n)});
  }
}

}  // namespace

bool Numbered(const std::string& name, const std::string& prefix) {
  if (name.compare(0, prefix.size(), prefix) != 0 ||
      name.size() < prefix.size() + 5)
    return false;
  for (std::size_t i = prefix.size(); i < prefix.size() + 5; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

std::map<std::string, std::string> FindArchives(
    const LogFiles& files, std::vector<std::string>* unlisted) {
  std::list<std::string> entries;
  ListArchives(files.backupDir, files.prefix, entries, unlisted);
  if (files.activeDir != files.backupDir)
    ListArchives(files.activeDir, files.prefix, entries, unlisted);
  std::map<std::string, std::string> archives;
  for (std::string& entry : entries) {
    std::string name = BaseName(entry);
    archives[std::move(name)] = std::move(entry);
  }
  return archives;
}

std::vector<GenerationRun> LostGenerations(
    const std::vector<std::uint16_t>& oldestFirst, std::uint16_t current) {
  std::vector<GenerationRun> runs;
  if (oldestFirst.empty()) return runs;
  std::vector<bool> present(65536, false);
  std::uint16_t newestEarlier = 0;
  bool wrapped = false;
  for (std::uint16_t n : oldestFirst) {
    present[n] = true;
    if (n > current) {
      wrapped = true;
      newestEarlier = std::max(newestEarlier, n);
    }
  }
  // Oldest first, the earlier cycle's numbers come before the current's.
  if (wrapped) AddMissing(present, oldestFirst.front(), newestEarlier, &runs);
  const std::uint32_t start = wrapped ? 1 : oldestFirst.front();
  if (current > 0) AddMissing(present, start, current - 1u, &runs);
  return runs;
}

History FindHistory(const LogFiles& files) {
  History history;
  history.prefix = files.prefix;
  history.checkpointPath = CheckpointPath(files.backupDir, files.prefix);
  history.checkpointFound = GetCurrentLogFileName(files, history.activeLogPath);
  history.current = GetLogNum();

  ArchiveMap archives;
  std::list<std::string> names;
  BuildArchiveMap(files, archives, &history);
  SortArchiveNames(archives, names);

  const bool sudo = MayUseSudoRule();
  auto add = [&](const std::string& source, PieceKind kind,
                 std::uint16_t sequence) {
    PlannedPiece piece;
    piece.sourcePath = source;
    piece.kind = kind;
    piece.sequence = sequence;
    Measure(&piece, sudo);
    history.pieces.push_back(std::move(piece));
  };
  std::vector<std::uint16_t> numbers;
  for (const std::string& name : names) {
    const std::uint16_t number = FindLogNum(name, files.prefix);
    add(archives.at(name)->sourcePath, PieceKind::kArchive, number);
    if (Numbered(name, files.prefix)) numbers.push_back(number);
  }
  if (history.checkpointFound) {
    if (CheckFileExist(history.activeLogPath.c_str()))
      add(history.activeLogPath, PieceKind::kActiveLog, history.current);
    // Without a checkpoint the order across the wrap is a guess, and so
    // would every gap be: none is reported.
    history.lost = LostGenerations(numbers, history.current);
  }
  return history;
}

Plan PlanOf(History history, std::optional<std::uint64_t> scratchFree) {
  Plan plan;
  plan.checkpointPath = std::move(history.checkpointPath);
  plan.checkpointFound = history.checkpointFound;
  plan.current = history.current;
  plan.activeLogPath = std::move(history.activeLogPath);
  plan.lost = std::move(history.lost);
  plan.unlisted = std::move(history.unlisted);
  plan.pieces = std::move(history.pieces);
  // The verdict and the scratch space are the selected pieces'; a lost run
  // counts when it lies after the oldest of them.
  bool reachable = true;
  bool selected = false;
  std::uint32_t oldest = 0;
  for (const PlannedPiece& piece : plan.pieces) {
    if (piece.droppedBy != Rule::kNone) continue;
    if (!selected) oldest = AgeKey(piece.sequence, plan.current);
    selected = true;
    if (scratchFree) {
      plan.scratchNeeded += piece.scratchSize;
      plan.scratchNeededIsLowerBound |= !piece.scratchSizeKnown;
    }
    reachable = reachable && piece.reachable;
  }
  bool lost = false;
  for (const GenerationRun& run : plan.lost)
    lost = lost || (selected && AgeKey(run.last, plan.current) > oldest);
  plan.scratchFree = scratchFree.value_or(0);
  plan.expectedComplete = !plan.pieces.empty() && reachable &&
                          plan.scratchNeeded <= plan.scratchFree && !lost &&
                          plan.unlisted.empty();
  return plan;
}

}  // namespace nq_tolvane
