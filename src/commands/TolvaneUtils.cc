// The entire-log request: makes scratch copies of the pieces of one log
// type's history and concatenates them into the caller's file; and the plan
// of such a request.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "commands/ArchiveMap.h"
#include "commands/Assembly.h"
#include "commands/ScratchDir.h"
#include "commands/Shell.h"
#include "core/History.h"
#include "core/Position.h"
#include "core/Request.h"
#include "core/Selection.h"
#include "core/Wording.h"
#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"
#include "platform/Facts.h"
#include "platform/OutputFile.h"
#include "services/OrvoMutex.h"
#include "services/brev.h"
#include "state/LogNames.h"
#include "tolvane_report.h"

namespace nq_tolvane {
namespace {

using namespace nq_tolvane_internals;

// A piece on its way into the output: its record and its place in the
// history (and so in the report).
struct QueuedPiece {
  std::unique_ptr<ArchivePathInfo> record;
  std::size_t index;
};
// The pieces of one request. Producers append at the back (the active log,
// then the archives newest first); the assembly takes from the back.
using PieceQueue = std::deque<QueuedPiece>;

const std::string NULL_REDIRECT = " 2>/dev/null";
const std::string SCRATCH_DIR = "/var/tmp/";
// Decimal id of the process running the request, in its scratch names.
std::string pidTag;
constexpr char kTag[] = "TolvaneUtils";

// Writes every piece, oldest first, behind its header block into `output`,
// removes its scratch file and deletes its record. Returns true when every
// command succeeded.
bool CreateSingleLogFile(const OutputFile& output, PieceQueue& pieces,
                         Assembly& assembly) {
  const char* const kFunction = "CreateSingleLogFile";
  bool written = true;
  while (!pieces.empty() && !assembly.runner().Stopped()) {
    const ArchivePathInfo& piece = *pieces.back().record;
    PieceReport& reported = assembly.Piece(pieces.back().index);
    const std::string header = "/bin/echo -e " +
                               EchoWord(HeaderText(piece.sourcePath, 0)) +
                               " >> " + output.Target() + NULL_REDIRECT;
    const std::string append = "/bin/cat " + ShellWord(piece.tempPath) +
                               " >> " + output.Target() + NULL_REDIRECT;
    // Both are judged: a missing header corrupts the layout as surely as a
    // missing piece.
    const int fd = output.Descriptor();
    const bool headerWritten = assembly.RunJudged(kFunction, header, fd);
    const bool pieceWritten = assembly.RunJudged(kFunction, append, fd);
    if (headerWritten && pieceWritten) {
      reported.status = PieceStatus::kWritten;
    } else {
      written = false;
      assembly.LeaveOut(kFunction, piece.sourcePath,
                        {Status::kLeftOut, Reason::kNotWritten}, &reported);
    }

    std::remove(piece.tempPath.c_str());
    const std::unique_ptr<ArchivePathInfo> done =
        std::move(pieces.back().record);
    pieces.pop_back();
    __brev_printf(7, kTag, "%s: processed %s.", kFunction,
                  done->tempPath.c_str());
  }
  return written && !assembly.runner().Stopped();
}

// Decompresses `source` into the scratch file `target`. GNU gunzip exits 2
// for a warning (bytes after the compressed data) once every member is
// decoded: the piece is whole and kept, and the warning reported.
Status ExtractArchive(const std::string& source, const std::string& target,
                      Assembly& assembly) {
  if (!CheckFileExist(source.c_str())) {
    __brev_printf(5, kTag, "%s: %s file not found", "ExtractArchive",
                  source.c_str());
    return {Status::kGone};
  }
  static const std::string kGunzip = "sudo /bin/gunzip -c ";
  const std::string command =
      kGunzip + ShellWord(source) + " > " + ShellWord(target) + NULL_REDIRECT;
  __brev_printf(7, kTag, "%s: %s", "ExtractArchive", command.c_str());
  const CommandResult result = assembly.runner().Run(command);
  if (result.ok()) return {Status::kComplete};
  if (!result.stopped && result.ExitedWith(2) &&
      CheckFileExist(target.c_str())) {
    __brev_printf(4, kTag, "%s: %s decompressed with a warning of gunzip.",
                  "ExtractArchive", source.c_str());
    return {Status::kWarned, Reason::kGunzipWarned};
  }
  if (!result.stopped) ReportFailure("ExtractArchive", command, result, true);
  const Status made =
      assembly.WhyNotMade(source, result, Reason::kNotDecompressed);
  std::remove(target.c_str());  // a partial extraction is of no use
  return made;
}

// Extracts the archives of `history` newest first and queues each one
// extracted.
void CopyArchives(Assembly& assembly, const History& history,
                  PieceQueue& pieces) {
  for (std::size_t index = history.pieces.size();
       index-- > 0 && !assembly.runner().Stopped();) {
    if (history.pieces[index].kind != PieceKind::kArchive) continue;
    const std::string source = history.Path(index);
    PieceReport& reported = assembly.Piece(index);
    const std::string name = BaseName(source);
    const std::string target = assembly.scratch().FileFor(name);
    const Status made = ExtractArchive(source, target, assembly);
    if (made.kind == Status::kStopped) break;
    if (!made.Whole()) {
      __brev_printf(3, kTag, "%s: Failed to extract backup %s log: %s to %s",
                    "CopyArchives", assembly.prefix.c_str(), name.c_str(),
                    target.c_str());
      assembly.NotMade("CopyArchives", source, made, &reported);
    } else if (!CheckFileExist(target.c_str())) {
      __brev_printf(3, kTag, "%s: extracted file not found: %s.",
                    "CopyArchives", target.c_str());
      assembly.LeaveOut("CopyArchives", source,
                        {Status::kLeftOut, Reason::kNotDecompressed},
                        &reported);
    } else {
      Describe(made, &reported);
      pieces.push_back({std::unique_ptr<ArchivePathInfo>(
                            new ArchivePathInfo{source, name, target}),
                        index});
    }
  }
}

// Copies the active log, piece `index` of the history, into the scratch
// directory and queues it.
void CopyActiveLog(Assembly& assembly, const std::string& path,
                   std::size_t index, PieceQueue& pieces) {
  PieceReport& reported = assembly.Piece(index);
  if (!CheckFileExist(path.c_str())) {
    __brev_printf(4, kTag, "%s: %s active log file not found: %s.",
                  "CopyActiveLog", assembly.prefix.c_str(), path.c_str());
    reported.status = PieceStatus::kGone;
    return;
  }
  std::unique_ptr<ArchivePathInfo> record(
      new ArchivePathInfo{path, BaseName(path), ""});
  record->tempPath = assembly.scratch().FileFor(record->baseName);
  const std::string command = "/bin/cp -f " + ShellWord(path) + " " +
                              ShellWord(record->tempPath) + NULL_REDIRECT;
  const CommandResult result = assembly.runner().Run(command);
  if (result.ok()) {
    pieces.push_back({std::move(record), index});
    return;
  }
  if (!result.stopped)
    __brev_printf(3, kTag, "%s: problem copying %s active log file: %s.",
                  "CopyActiveLog", assembly.prefix.c_str(), command.c_str());
  assembly.NotMade("CopyActiveLog", path,
                   assembly.WhyNotMade(path, result, Reason::kNotCopied),
                   &reported);
  std::remove(record->tempPath.c_str());
}

// Fills `pieces` from `history`: the active log first, then the archives
// newest first.
void GatherLogPieces(Assembly& assembly, const History& history,
                     PieceQueue& pieces) {
  const char* const prefix = assembly.prefix.c_str();
  const Findings& found = history.found;
  if (!found.checkpointFound) {
    __brev_printf(3, kTag, "%s: unknown current log file %s.", "CopyActiveLog",
                  prefix);
  } else {
    __brev_printf(6, kTag, "%s: %s.", "GetCurrentLogFileName",
                  found.activeLogPath.c_str());
    // The active log, when it is there, is the history's last piece.
    if (!history.pieces.empty() &&
        history.pieces.back().kind == PieceKind::kActiveLog) {
      const std::size_t last = history.pieces.size() - 1;
      CopyActiveLog(assembly, history.Path(last), last, pieces);
    } else {
      __brev_printf(4, kTag, "%s: %s active log file not found: %s.",
                    "CopyActiveLog", prefix, found.activeLogPath.c_str());
    }
  }
  if (assembly.runner().Stopped()) return;
  for (const std::string& dir : found.unlisted)
    assembly.LeaveOut("BuildArchiveMap", dir + "/" + ArchivePattern(prefix),
                      {Status::kLeftOut, Reason::kNotListed}, nullptr);
  CopyArchives(assembly, history, pieces);
}

// The history of the selected type, whose prefix is `prefix`.
History FindSelectedHistory(const std::string& prefix) {
  return FindHistory({prefix, GetActiveDir(), GetBackupDir()});
}

// The position just after the newest piece queued (the front of the
// queue), read from its scratch copy; "" when there is none.
std::string PositionAfter(const History& history, const PieceQueue& pieces) {
  Position position;
  if (pieces.empty() ||
      !PositionAtEnd(pieces.front().record->tempPath, history.prefix(),
                     history.pieces[pieces.front().index].sequence, &position))
    return "";
  return PositionText(position);
}

}  // namespace

bool AssembleEntireLog(LogType type, const std::string& outputPath,
                       Report* report, Stop* stop) {
  const char* const kFunction = "GetEntireLog";
  Report unused;
  if (report == nullptr) report = &unused;
  OrvoMutexLock lock(&LibraryLock());
  // Taken on every request, not only when the type changes: a child forked
  // after a request, or a caller that selected the type itself, still gets
  // scratch names of its own.
  pidTag = std::to_string(static_cast<unsigned>(getpid()));
  std::string prefix;
  OutputFile output;
  if (!BeginRequest(kFunction, type, outputPath, Selection(), report, &prefix,
                    &output))
    return false;
  Assembly assembly(type, prefix, report, stop);
  const char* const path = outputPath.c_str();
  std::string why;
  if (!assembly.scratch().Create(SCRATCH_DIR, pidTag))
    return Fail(kFunction, report,
                "cannot make a scratch directory in " + SCRATCH_DIR + ": " +
                    ErrorText(errno));

  const History history = FindSelectedHistory(prefix);
  report->found = history.found;
  for (std::size_t i = 0; i < history.pieces.size(); ++i) {
    report->pieces.emplace_back();
    PieceReport& piece = report->pieces.back();
    piece.sourcePath = history.Path(i);
    piece.kind = history.pieces[i].kind;
    piece.sequence = history.pieces[i].sequence;
  }

  // Declared after the assembly: an exception frees the records before the
  // scratch directory goes.
  PieceQueue pieces;
  GatherLogPieces(assembly, history, pieces);
  const bool gathered = !pieces.empty();
  const std::string position = PositionAfter(history, pieces);
  // A history that could not be written whole leaves the earlier file.
  if (gathered && CreateSingleLogFile(output, pieces, assembly)) {
    if (output.Commit(&why)) {
      report->outputWritten = true;
    } else {
      Fail(kFunction, report, "cannot write " + outputPath + ": " + why);
      assembly.LostOutput();
    }
  }
  KeepTold(report);
  if (const int signal = assembly.runner().Stopped()) {
    report->stopSignal = signal;
    __brev_printf(3, kTag, "%s: %s log stopped by signal %d; %s not written.",
                  kFunction, prefix.c_str(), signal, path);
    return false;
  }
  for (const GenerationRun& run : report->found.lost)
    __brev_printf(4, kTag, "%s: %s.", kFunction,
                  MissingText(type, run).c_str());
  if (!assembly.complete()) {
    __brev_printf(3, kTag, "%s: %s log NOT completely copied to %s.", kFunction,
                  prefix.c_str(), path);
    return false;
  }
  // Nothing found: the output is untouched.
  if (!gathered) return false;
  __brev_printf(6, kTag, "%s: %s log copied to %s.", kFunction, prefix.c_str(),
                path);
  report->complete = true;
  report->position = position;
  return true;
}

bool GetEntireLog(LogType type, const std::string& outputPath) {
  return AssembleEntireLog(type, outputPath, nullptr);
}

bool PlanEntireLog(LogType type, Plan* plan) {
  if (plan == nullptr) return false;
  *plan = Plan();
  OrvoMutexLock lock(&LibraryLock());
  std::string prefix;
  if (!SelectType(type, &prefix)) return false;
  const History history = FindSelectedHistory(prefix);
  plan->found = history.found;
  const bool sudo = MayUseSudoRule();
  Tally tally(FreeBytes(SCRATCH_DIR));
  for (std::size_t i = 0; i < history.pieces.size(); ++i) {
    plan->pieces.push_back(history.Planned(i));
    Measure(&plan->pieces.back(), sudo);
    tally.Add(plan->pieces.back(), history.found.current);
  }
  tally.Finish(plan);
  return true;
}

}  // namespace nq_tolvane
