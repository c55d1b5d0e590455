// One request in progress: the runner that owns its stop, its scratch
// directory, and the report it fills, with the one way a piece is left out
// and the one place where a failed copy gets its reason.

#ifndef TOLVANE_SRC_COMMANDS_ASSEMBLY_H_
#define TOLVANE_SRC_COMMANDS_ASSEMBLY_H_

#include <cstddef>
#include <string>

#include "commands/ScratchDir.h"
#include "core/Status.h"
#include "platform/Runner.h"
#include "tolvane_report.h"

namespace nq_tolvane {

// Not copyable: it owns the scratch directory and the runner.
class Assembly final {
 public:
  // `report` must outlive the assembly; its pieces are filled by the caller.
  Assembly(LogType type, const std::string& prefix, Report* report, Stop* stop)
      : type(type), prefix(prefix), report_(report), runner_(stop) {}
  Assembly(const Assembly&) = delete;
  Assembly& operator=(const Assembly&) = delete;

  const LogType type;
  const std::string prefix;

  Runner& runner() { return runner_; }
  ScratchDir& scratch() { return scratch_; }
  Report& report() { return *report_; }
  PieceReport& Piece(std::size_t index) { return report_->pieces[index]; }
  // False once something was left out.
  bool complete() const { return complete_; }

  // Marks the history incomplete and reports on behalf of `function` that
  // `source` is left out for `made.reason`; `piece` (null for the listing of a
  // directory) gets the status. Once the request is stopped nothing is left
  // out: a stop is no fault of a piece.
  void LeaveOut(const char* function, const std::string& source,
                const Status& made, PieceReport* piece);
  // Settles a piece that was not made: gone, left out, or stopped.
  void NotMade(const char* function, const std::string& source,
               const Status& made, PieceReport* piece);
  // Piece `index` is dropped by the selection's `rule`: not missing.
  void SelectOut(std::size_t index, Rule rule) {
    report_->pieces[index].status = PieceStatus::kSelectedOut;
    report_->pieces[index].droppedBy = rule;
  }
  // The output could not be committed: the history is incomplete.
  void LostOutput() { complete_ = false; }

  // Why `result` did not make the scratch copy of `source`: the command was
  // stopped or not run, the source is gone (rotated away since it was
  // found: not missing), the scratch file system is full, sudo refuses this
  // user (asked through the runner), or else `otherwise`.
  Status WhyNotMade(const std::string& source, const CommandResult& result,
                    Reason otherwise);

  // Runs `command` with `passFd` (and `inputFd`, see Runner::Run()) and
  // returns true when it succeeded; reports its failure on behalf of
  // `function` unless the request was stopped.
  bool RunJudged(const char* function, const std::string& command, int passFd,
                 int inputFd = -1);

 private:
  Report* const report_;
  Runner runner_;
  ScratchDir scratch_;
  bool complete_ = true;
};

// Reports the failed `command` to the device log on behalf of `function`:
// -1 with the error text, any other status with its exit code and, when
// `withErrno`, errno and the process id as well.
void ReportFailure(const char* function, const std::string& command,
                   const CommandResult& result, bool withErrno);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_COMMANDS_ASSEMBLY_H_
