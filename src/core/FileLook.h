// One look at the files of a log type through an Env: the archives and
// plain files listed, one per name, with what their names tell, and the
// checkpoint read. What it means for the history is Generations' to say.

#ifndef TOLVANE_SRC_CORE_FILELOOK_H_
#define TOLVANE_SRC_CORE_FILELOOK_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/History.h"
#include "platform/Env.h"

namespace nq_tolvane {

// The files and the checkpoint at one look. The files' kinds are kArchive
// and, for every plain file, kRotatedLog until the active log is known.
struct Look {
  Pieces files;
  std::vector<std::string> paths;                  // the unusual ones
  std::optional<std::uint16_t> checkpoint;         // as it reads, if whole
  std::optional<std::int64_t> checkpointModified;  // seconds, when there
  std::vector<std::string> unlisted;
  std::vector<bool> numbers;  // a numbered file of the number is there
};

// A plain file "<prefix>NNNNN.log", not an archive.
inline bool Plain(const Piece& file) {
  return file.kind != PieceKind::kArchive;
}

// The path of `file`.
std::string PathOf(const Piece& file, const Look& look, const LogFiles& files);

// Lists the files, one per name in name order (the active directory's copy
// of an archive wins), and reads the checkpoint. Nothing is measured.
Look LookAt(Env& env, const LogFiles& files);

// A numbered file of `number` is there.
inline bool Has(const Look& look, std::uint16_t number) {
  return look.numbers[number];
}

// The checkpoint's number agrees with the files: a file of one of the 16
// generations up to it is there, and none of the next 16 was written since
// (those of the cycle before are older). Measures the files of those
// generations.
bool Trusted(Env& env, const LogFiles& files, Look* look);

// The newest number by the files alone: the one before the widest gap of
// the numbers around the wrap.
std::uint16_t NewestByFiles(const Look& look);

// Puts the files oldest first around `current`: the archives as the
// commands' way orders them, each plain file before the first newer one.
void Order(Look* look, std::uint16_t current);

// Measures the files from age `from` on, and every plain file; those gone
// since they were listed go, and their numbers are no longer there.
void MeasureFrom(Env& env, const LogFiles& files, std::uint16_t current,
                 std::uint32_t from, Look* look);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_FILELOOK_H_
