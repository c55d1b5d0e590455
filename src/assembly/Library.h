// What the two ways of writing a history share: the library lock, the
// selection of a log type, and the commands' way kept whole for comparison.

#ifndef TOLVANE_SRC_ASSEMBLY_LIBRARY_H_
#define TOLVANE_SRC_ASSEMBLY_LIBRARY_H_

#include <string>

#include "OrvoMutex.h"
#include "OutputFile.h"
#include "tolvane_report.h"

namespace nq_tolvane {

// Serialises the requests of this process.
OrvoMutex& LibraryLock();

// Selects `type`, unless it is selected already, and gives its prefix;
// false, printing the rejection, for a type outside 1 to 4.
// REQUIRES: the caller holds LibraryLock().
bool SelectType(LogType type, std::string* prefix);

// Reports on behalf of `function` why nothing could be written into the
// report's failure and the device log; returns false.
bool Fail(const char* function, Report* report, const std::string& failure);

// Begins a request under the held library lock: clears `report` but for the
// position `selection` gives, selects `type`, checks `selection` and opens
// `output` at `outputPath`. On failure returns false with the report's
// failure set (told on behalf of `function`, but for an unknown type, which
// the selection tells).
bool BeginRequest(const char* function, LogType type,
                  const std::string& outputPath, const Selection& selection,
                  Report* report, std::string* prefix, OutputFile* output);

// AssembleEntireLog() and PlanEntireLog() for the part of the history that
// `selection` keeps, through the commands and scratch copies of
// GetEntireLog(): what AssembleLog() and PlanLog() did before they
// streamed, the reference their bytes are compared with.
bool AssembleByCommands(LogType type, const std::string& outputPath,
                        const Selection& selection, Report* report, Stop* stop);
bool PlanByCommands(LogType type, const Selection& selection, Plan* plan);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_ASSEMBLY_LIBRARY_H_
