#include "core/Request.h"

#include "core/Selection.h"
#include "nq_tolvane_internals.h"
#include "services/brev.h"
#include "state/LogNames.h"

namespace nq_tolvane {
namespace {

using namespace nq_tolvane_internals;

// Serialises the requests of this process.
OrvoMutex libraryLock;

}  // namespace

OrvoMutex& LibraryLock() { return libraryLock; }

bool SelectType(LogType type, std::string* prefix) {
  if (FindLogType(type) != nullptr && type == GetLogType()) {
    *prefix = GetLogPrefix();
    return true;
  }
  return Initialize(type, *prefix);
}

bool Fail(const char* function, Report* report, const std::string& failure) {
  __brev_printf(3, "TolvaneUtils", "%s: %s.", function, failure.c_str());
  report->failure = failure;
  return false;
}

bool BeginRequest(const char* function, LogType type,
                  const std::string& outputPath, const Selection& selection,
                  Report* report, std::string* prefix, OutputFile* output) {
  *report = Report();
  report->position = selection.after;
  if (!SelectType(type, prefix)) {
    report->failure = "unknown log type";
    return false;
  }
  const std::string problem = SelectionProblem(selection, *prefix);
  if (!problem.empty()) return Fail(function, report, problem);
  std::string why;
  bool refused = false;
  if (!output->Open(outputPath, &why, &refused))
    return Fail(function, report,
                (refused ? "refusing to write " : "cannot write ") +
                    outputPath + ": " + why);
  return true;
}

bool Told(const PieceReport& piece) {
  return (piece.status != PieceStatus::kWritten &&
          piece.status != PieceStatus::kSelectedOut) ||
         piece.code != Reason::kNone || piece.startByte != 0;
}

void KeepTold(Report* report) {
  report->pieceCount = report->pieces.size();
  std::size_t kept = 0;
  for (PieceReport& piece : report->pieces) {
    report->written += piece.status == PieceStatus::kWritten;
    report->selectedOut += piece.status == PieceStatus::kSelectedOut;
    if (Told(piece)) report->pieces[kept++] = std::move(piece);
  }
  report->pieces.resize(kept);
}

bool StartDebugging(LogType type) {
  OrvoMutexLock lock(&libraryLock);
  std::string prefix;
  if (!SelectType(type, &prefix)) return false;
  SetDebugCondition(true);
  return true;
}

}  // namespace nq_tolvane
