// The start of every request, whichever way it writes a history: the
// library lock, the selection of a log type, and the failure of a request
// as a whole.

#ifndef TOLVANE_SRC_CORE_REQUEST_H_
#define TOLVANE_SRC_CORE_REQUEST_H_

#include <string>

#include "platform/OutputFile.h"
#include "services/OrvoMutex.h"
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

// True when `piece` has something to tell, and so a place among a report's
// pieces: it was not written nor dropped by the selection, or it was
// written with a warning or from a byte other than 0.
bool Told(const PieceReport& piece);

// Keeps among the report's pieces, each filled in, only those Told(), and
// counts the rest.
void KeepTold(Report* report);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_CORE_REQUEST_H_
