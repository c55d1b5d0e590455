// The history GetEntireLog() writes, found as the device's programs were
// built to find it: the checkpoint file read by ReadCheckPointFile(), the
// archives listed by the device's directory lister, one per base name, and
// ordered by the list sort of compare_file_age().

#ifndef TOLVANE_SRC_COMMANDS_ARCHIVEMAP_H_
#define TOLVANE_SRC_COMMANDS_ARCHIVEMAP_H_

#include "core/History.h"

namespace nq_tolvane {

// Finds the history in `files`. Reads the checkpoint file and makes its
// number the state's logNum, the pivot of compare_file_age(); lists the
// directories (the active directory's copy of an archive wins where both
// hold one); gives each piece its size and end time. Runs no command and
// sends nothing to the device log.
// REQUIRES: the selected type is the one with files.prefix, and the caller
// holds the library lock.
History FindHistory(const LogFiles& files);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_COMMANDS_ARCHIVEMAP_H_
