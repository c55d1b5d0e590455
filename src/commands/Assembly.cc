#include "commands/Assembly.h"

#include <unistd.h>

#include "commands/Shell.h"
#include "core/Wording.h"
#include "nq_tolvane_internals.h"
#include "services/brev.h"

namespace nq_tolvane {
namespace {
constexpr char kTag[] = "TolvaneUtils";
}  // namespace

void ReportFailure(const char* function, const std::string& command,
                   const CommandResult& result, bool withErrno) {
  if (result.status == -1) {
    __brev_printf(3, kTag, "%s: system(%s) failed; error = %s", function,
                  command.c_str(), ErrorText(result.error).c_str());
  } else if (withErrno) {
    __brev_printf(3, kTag, "%s: error %d and errno %d %s on pid %d for %s",
                  function, (result.status >> 8) & 0xFF, result.error,
                  ErrorText(result.error).c_str(), static_cast<int>(getpid()),
                  command.c_str());
  } else {
    __brev_printf(3, kTag, "%s: error %d for %s", function,
                  (result.status >> 8) & 0xFF, command.c_str());
  }
}

void Assembly::LeaveOut(const char* function, const std::string& source,
                        const Status& made, PieceReport* piece) {
  if (runner_.Stopped()) return;
  complete_ = false;
  const std::string why = ReasonText(made.reason, made.error);
  __brev_printf(3, kTag, "%s: %s left out: %s.", function, source.c_str(),
                why.c_str());
  report_->leftOut.push_back({source, why, made.reason, made.error});
  if (piece != nullptr) {
    Describe(made, piece);
    piece->status = PieceStatus::kLeftOut;
  }
}

void Assembly::NotMade(const char* function, const std::string& source,
                       const Status& made, PieceReport* piece) {
  if (made.kind == Status::kGone)
    piece->status = PieceStatus::kGone;
  else if (made.kind == Status::kLeftOut)
    LeaveOut(function, source, made, piece);
}

Status Assembly::WhyNotMade(const std::string& source,
                            const CommandResult& result, Reason otherwise) {
  if (result.stopped) return {Status::kStopped};
  if (result.status == -1)
    return {Status::kLeftOut, Reason::kNotRun, result.error};
  if (!nq_tolvane_internals::CheckFileExist(source.c_str()))
    return {Status::kGone};
  if (scratch_.Full()) return {Status::kLeftOut, Reason::kNoRoom};
  if (otherwise == Reason::kNotDecompressed && geteuid() != 0) {
    const CommandResult probe =
        runner_.Run("sudo -n -l /bin/gunzip -c " + ShellWord(source) +
                    " >/dev/null 2>/dev/null");
    if (probe.stopped) return {Status::kStopped};
    if (!probe.ok()) return {Status::kLeftOut, Reason::kSudoRefused};
  }
  return {Status::kLeftOut, otherwise};
}

bool Assembly::RunJudged(const char* function, const std::string& command,
                         int passFd, int inputFd) {
  const CommandResult result = runner_.Run(command, passFd, inputFd);
  if (!result.ok() && !result.stopped)
    ReportFailure(function, command, result, false);
  return result.ok();
}

}  // namespace nq_tolvane
