// The history of one log type for a streaming request, found so that a
// rotation caught half way neither loses nor repeats a generation: one piece
// per generation, a checkpoint trusted only when the files agree with it,
// and the generations still being rotated told apart from the lost ones.

#ifndef TOLVANE_SRC_CORE_GENERATIONS_H_
#define TOLVANE_SRC_CORE_GENERATIONS_H_

#include <cstdint>
#include <optional>
#include <string>

#include "core/History.h"
#include "platform/Env.h"

namespace nq_tolvane {

// What the caller knows when it looks: the time, and the generation of the
// position it goes on from, if any.
struct Looking {
  std::int64_t now = 0;  // seconds since the epoch
  std::optional<std::uint16_t> after;
  // Every file is measured, also those before `after` (for a window or a
  // plan); else those before it are passed over unmeasured.
  bool everyFile = false;
};

// Finds the history in `files` through `env` as the files are at
// `looking.now`:
// - Each generation once: a plain file "<prefix>NNNNN.log" of the active
//   directory and an archive of the same number are one generation, written
//   from the plain file where the caller can read it, else from the
//   archive. A plain file other than the active log is kRotatedLog.
// - The checkpoint's number is trusted when it reads as a whole number, a
//   file of one of the 16 generations up to it is there and none of the
//   next 16 was written since. Else it is read again, up to three times
//   10 ms apart, and then the files alone give the order: the newest number
//   is the one before the widest gap around the wrap, and the oldest plain
//   file is taken as the active log.
// - A missing generation that the files show was rotated within
//   kSettlingSeconds (the checkpoint or a newer generation's file changed
//   since) is being rotated (Findings::rotating); the others are lost. A
//   cursor request waits for the first one not older than `looking.after`
//   (Findings::waitingFor, from piece History::waitFrom on), and for the
//   generation of `looking.after` while it is missing and fresh.
// Sends nothing to the device log and runs no command.
History FindGenerations(Env& env, const LogFiles& files,
                        const Looking& looking);

// The checkpoint's number when `text` is all of a whole one: decimal digits,
// at most 65535, and nothing but blanks and line feeds around them.
std::optional<std::uint16_t> CheckpointNumber(const std::string& text);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_GENERATIONS_H_
