// The history of one log type as its files hold it: which pieces it has and
// in which order, found once. A request and a plan both start from it and
// never reorder it.

#ifndef TOLVANE_SRC_CORE_HISTORY_H_
#define TOLVANE_SRC_CORE_HISTORY_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tolvane_report.h"

namespace nq_tolvane {

// Where the files of one log type lie.
struct LogFiles {
  std::string prefix;
  std::string activeDir;
  std::string backupDir;
};

struct History {
  std::string prefix;
  std::string checkpointPath;    // <backupDir>/<prefix>.txt
  bool checkpointFound = false;  // else the order across the wrap is inferred
  std::uint16_t current = 0;     // the pivot of the order: the checkpoint's
                                 // number, or else the state's number
  std::string activeLogPath;     // as the checkpoint names it, or ""
  // In output order: the archives of both directories, one per base name
  // (the active directory's where both hold it), oldest first; then the
  // active log, when the checkpoint names one that is there. Each with the
  // facts found on disk.
  std::vector<PlannedPiece> pieces;
  // Generations no archive holds, between the oldest archive and `current`;
  // none without a checkpoint (see Plan::lost). FindGenerations(): those the
  // rotation left long enough ago, wherever they lie.
  std::vector<GenerationRun> lost;
  // FindGenerations() only: the gaps a rotation left within the settling
  // time, which a snapshot names as being rotated.
  std::vector<GenerationRun> rotating;
  std::vector<std::string> unlisted;  // directories there but not listed

  // FindGenerations() only. A rotation under way at generation
  // `waitingFor`: a cursor request ends before it, at piece `waitFrom`.
  std::optional<std::uint16_t> waitingFor;
  std::size_t waitFrom = SIZE_MAX;
  // Per piece: it changed, or a newer generation did, within the settling
  // time, so that an archive that reads incomplete may still be being
  // written and a plain file that cannot be read may still be rotated.
  std::vector<bool> unsettled;
};

// The place of sequence number `n` in the age order around `current`:
// numbers above it were written before the numbers wrapped.
inline std::uint32_t AgeKey(std::uint16_t n, std::uint16_t current) {
  return (n > current ? 0u : 65536u) + n;
}

// The archives in `files` by base name, each with its path: the backup
// directory's and, where it differs, the active directory's, whose copy wins
// where both hold one. A directory that is there but cannot be listed goes
// into `unlisted`.
std::map<std::string, std::string> FindArchives(
    const LogFiles& files, std::vector<std::string>* unlisted);

// True when `name` begins with `prefix` and five digits: the number in it
// was read, not taken as 0.
bool Numbered(const std::string& name, const std::string& prefix);

// Generations no file holds, between the oldest of `oldestFirst` (numbers
// in age order around `current`) and `current`, not `current` itself. Where
// the numbers wrapped, the device's wrap point is not known from its files:
// the numbers after the newest one before the wrap, and 0, are not counted.
std::vector<GenerationRun> LostGenerations(
    const std::vector<std::uint16_t>& oldestFirst, std::uint16_t current);

// Finds the history in `files`. Reads the checkpoint file and makes its
// number the state's logNum, the pivot of compare_file_age(), by which the
// archive names are sorted; lists the directories; measures each piece
// (Measure()). Runs no command and sends nothing to the device log.
// REQUIRES: the selected type is the one with files.prefix, and the caller
// holds the library lock.
History FindHistory(const LogFiles& files);

// The plan of a request for `history`, whose pieces' droppedBy and
// startByte are set, with `scratchFree` bytes free for its scratch copies;
// nullopt for a request that needs none.
Plan PlanOf(History history, std::optional<std::uint64_t> scratchFree);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_HISTORY_H_
