// The entire-log request: makes scratch copies of the pieces of one log
// type's history and concatenates them into the caller's file; and the plan
// of such a request.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "Assembly.h"
#include "Facts.h"
#include "History.h"
#include "Library.h"
#include "LogNames.h"
#include "OrvoMutex.h"
#include "OutputFile.h"
#include "ScratchDir.h"
#include "Selection.h"
#include "Shell.h"
#include "Wording.h"
#include "brev.h"
#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"
#include "tolvane_report.h"

namespace nq_tolvane {
namespace {

using namespace nq_tolvane_internals;

// A piece on its way into the output: its record, its place in the history
// (and so in the report), and the byte of its data where its output starts.
struct QueuedPiece {
  std::unique_ptr<ArchivePathInfo> record;
  std::size_t index;
  std::uint64_t start;
};
// The pieces of one request. Producers append at the back (the active log,
// then the archives newest first); the assembly takes from the back.
using PieceQueue = std::deque<QueuedPiece>;

const std::string NULL_REDIRECT = " 2>/dev/null";
const std::string SCRATCH_DIR = "/var/tmp/";
// Decimal id of the process running the request, in its scratch names.
std::string pidTag;
// Serialises the requests of this process.
OrvoMutex libraryLock;

constexpr char kTag[] = "TolvaneUtils";

// Writes every piece, oldest first, behind its header block into `output`,
// removes its scratch file and deletes its record. A piece that starts part
// way is read from that byte on by cat's standard input. Returns true when
// every command succeeded.
bool CreateSingleLogFile(const OutputFile& output, PieceQueue& pieces,
                         Assembly& assembly) {
  const char* const kFunction = "CreateSingleLogFile";
  bool written = true;
  while (!pieces.empty() && !assembly.runner().Stopped()) {
    const ArchivePathInfo& piece = *pieces.back().record;
    const std::uint64_t start = pieces.back().start;
    PieceReport& reported = assembly.Piece(pieces.back().index);
    const std::string header = "/bin/echo -e " +
                               EchoWord(HeaderText(piece.sourcePath, start)) +
                               " >> " + output.Target() + NULL_REDIRECT;
    const std::string append = "/bin/cat " +
                               (start == 0 ? ShellWord(piece.tempPath) : "-") +
                               " >> " + output.Target() + NULL_REDIRECT;
    // Both are judged: a missing header corrupts the layout as surely as a
    // missing piece.
    const int fd = output.Descriptor();
    const bool headerWritten = assembly.RunJudged(kFunction, header, fd);
    bool pieceWritten;
    if (start == 0) {
      pieceWritten = assembly.RunJudged(kFunction, append, fd);
    } else {
      const ScratchReader tail(piece.tempPath, start);
      pieceWritten = tail.fd() >= 0 &&
                     assembly.RunJudged(kFunction, append, fd, tail.fd());
    }
    if (headerWritten && pieceWritten) {
      reported.status = PieceStatus::kWritten;
    } else {
      written = false;
      assembly.LeaveOut(kFunction, piece.sourcePath,
                        {Making::kLeftOut, Reason::kNotWritten}, &reported);
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

// Settles piece `index` of the history, made into `copy`, by the
// selection: queues it from where its output starts, or marks it dropped
// and removes the copy.
void Queue(Assembly& assembly, Cutter& cutter, std::size_t index,
           std::unique_ptr<ArchivePathInfo> record, PieceQueue& pieces) {
  PieceReport& reported = assembly.Piece(index);
  std::uint64_t start = 0;
  const Rule rule = cutter.After(index, record->tempPath, &start);
  if (rule != Rule::kNone) {
    assembly.SelectOut(index, rule);
    std::remove(record->tempPath.c_str());
    return;
  }
  reported.startByte = start;
  pieces.push_back({std::move(record), index, start});
}

// True when the selection drops piece `index` before it is made, which the
// report then tells.
bool DroppedBefore(Assembly& assembly, const Cutter& cutter,
                   std::size_t index) {
  const Rule rule = cutter.Before(index);
  if (rule != Rule::kNone) assembly.SelectOut(index, rule);
  return rule != Rule::kNone;
}

// Decompresses `source` into the scratch file `target`. GNU gunzip exits 2
// for a warning (bytes after the compressed data) once every member is
// decoded: the piece is whole and kept, and the warning reported.
Making ExtractArchive(const std::string& source, const std::string& target,
                      Assembly& assembly) {
  if (!CheckFileExist(source.c_str())) {
    __brev_printf(5, kTag, "%s: %s file not found", "ExtractArchive",
                  source.c_str());
    return {Making::kGone};
  }
  static const std::string kGunzip = "sudo /bin/gunzip -c ";
  const std::string command =
      kGunzip + ShellWord(source) + " > " + ShellWord(target) + NULL_REDIRECT;
  __brev_printf(7, kTag, "%s: %s", "ExtractArchive", command.c_str());
  const CommandResult result = assembly.runner().Run(command);
  if (result.ok()) return {Making::kMade};
  if (!result.stopped && result.ExitedWith(2) &&
      CheckFileExist(target.c_str())) {
    __brev_printf(4, kTag, "%s: %s decompressed with a warning of gunzip.",
                  "ExtractArchive", source.c_str());
    return {Making::kMade, Reason::kGunzipWarned};
  }
  if (!result.stopped) ReportFailure("ExtractArchive", command, result, true);
  const Making made =
      assembly.WhyNotMade(source, result, Reason::kNotDecompressed);
  std::remove(target.c_str());  // a partial extraction is of no use
  return made;
}

// Extracts the archives of `history` newest first and queues each one
// extracted.
void CopyArchives(Assembly& assembly, const History& history, Cutter& cutter,
                  PieceQueue& pieces) {
  for (std::size_t index = history.pieces.size();
       index-- > 0 && !assembly.runner().Stopped();) {
    const PlannedPiece& archive = history.pieces[index];
    if (archive.kind != PieceKind::kArchive) continue;
    if (DroppedBefore(assembly, cutter, index)) continue;
    PieceReport& reported = assembly.Piece(index);
    const std::string name = BaseName(archive.sourcePath);
    const std::string target = assembly.scratch().FileFor(name);
    const Making made = ExtractArchive(archive.sourcePath, target, assembly);
    if (made.outcome == Making::kStopped) break;
    if (made.outcome != Making::kMade) {
      __brev_printf(3, kTag, "%s: Failed to extract backup %s log: %s to %s",
                    "CopyArchives", assembly.prefix.c_str(), name.c_str(),
                    target.c_str());
      assembly.NotMade("CopyArchives", archive.sourcePath, made, &reported);
    } else if (!CheckFileExist(target.c_str())) {
      __brev_printf(3, kTag, "%s: extracted file not found: %s.",
                    "CopyArchives", target.c_str());
      assembly.LeaveOut("CopyArchives", archive.sourcePath,
                        {Making::kLeftOut, Reason::kNotDecompressed},
                        &reported);
    } else {
      reported.code = made.why;
      reported.reason = ReasonText(made.why);
      Queue(assembly, cutter, index,
            std::unique_ptr<ArchivePathInfo>(
                new ArchivePathInfo{archive.sourcePath, name, target}),
            pieces);
    }
  }
}

// Copies the active log, piece `index` of the history, into the scratch
// directory and queues it.
void CopyActiveLog(Assembly& assembly, const PlannedPiece& active,
                   std::size_t index, Cutter& cutter, PieceQueue& pieces) {
  const std::string& path = active.sourcePath;
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
    Queue(assembly, cutter, index, std::move(record), pieces);
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
void GatherLogPieces(Assembly& assembly, const History& history, Cutter& cutter,
                     PieceQueue& pieces) {
  const char* const prefix = assembly.prefix.c_str();
  if (!history.checkpointFound) {
    __brev_printf(3, kTag, "%s: unknown current log file %s.", "CopyActiveLog",
                  prefix);
  } else {
    __brev_printf(6, kTag, "%s: %s.", "GetCurrentLogFileName",
                  history.activeLogPath.c_str());
    // The active log, when it is there, is the history's last piece.
    if (!history.pieces.empty() &&
        history.pieces.back().kind == PieceKind::kActiveLog) {
      const std::size_t last = history.pieces.size() - 1;
      if (!DroppedBefore(assembly, cutter, last))
        CopyActiveLog(assembly, history.pieces[last], last, cutter, pieces);
    } else {
      __brev_printf(4, kTag, "%s: %s active log file not found: %s.",
                    "CopyActiveLog", prefix, history.activeLogPath.c_str());
    }
  }
  if (assembly.runner().Stopped()) return;
  for (const std::string& dir : history.unlisted)
    assembly.LeaveOut("BuildArchiveMap", dir + "/" + ArchivePattern(prefix),
                      {Making::kLeftOut, Reason::kNotListed}, nullptr);
  CopyArchives(assembly, history, cutter, pieces);
}

}  // namespace

OrvoMutex& LibraryLock() { return libraryLock; }

bool SelectType(LogType type, std::string* prefix) {
  // Taken on every request, not only when the type changes: a child forked
  // after a request, or a caller that selected the type itself, still gets
  // scratch names of its own.
  pidTag = std::to_string(static_cast<unsigned>(getpid()));
  if (FindLogType(type) != nullptr && type == GetLogType()) {
    *prefix = GetLogPrefix();
    return true;
  }
  return Initialize(type, *prefix);
}

bool Fail(const char* function, Report* report, const std::string& failure) {
  __brev_printf(3, kTag, "%s: %s.", function, failure.c_str());
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

namespace {

// The history of the selected type, whose prefix is `prefix`.
History FindSelectedHistory(const std::string& prefix) {
  return FindHistory({prefix, GetActiveDir(), GetBackupDir()});
}

}  // namespace

bool AssembleByCommands(LogType type, const std::string& outputPath,
                        const Selection& selection, Report* report,
                        Stop* stop) {
  const char* const kFunction = "GetEntireLog";
  Report unused;
  if (report == nullptr) report = &unused;
  OrvoMutexLock lock(&libraryLock);
  std::string prefix;
  OutputFile output;
  if (!BeginRequest(kFunction, type, outputPath, selection, report, &prefix,
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
  Cutter cutter(history, selection);
  report->checkpointFound = history.checkpointFound;
  report->lost = history.lost;
  for (std::size_t i = 0; i < history.pieces.size(); ++i) {
    report->pieces.emplace_back();
    PieceReport& piece = report->pieces.back();
    piece.sourcePath = history.pieces[i].sourcePath;
    piece.kind = history.pieces[i].kind;
    piece.sequence = history.pieces[i].sequence;
    piece.startByte = cutter.Start(i);
  }

  // Declared after the assembly: an exception frees the records before the
  // scratch directory goes.
  PieceQueue pieces;
  GatherLogPieces(assembly, history, cutter, pieces);
  report->positionMismatch = cutter.positionMismatch();
  report->positionGone = cutter.positionGone();
  report->windowBeforeHistory = cutter.windowBeforeHistory();
  const bool gathered = !pieces.empty();
  // Every piece found was dropped by the selection: nothing new, and the
  // output is written empty.
  bool selectedNone = !history.pieces.empty();
  for (const PieceReport& piece : report->pieces)
    selectedNone = selectedNone && piece.status == PieceStatus::kSelectedOut;
  // A history that could not be written whole leaves the earlier file.
  if ((gathered && CreateSingleLogFile(output, pieces, assembly)) ||
      (selectedNone && !assembly.runner().Stopped())) {
    if (output.Commit(&why)) {
      report->outputWritten = true;
    } else {
      Fail(kFunction, report, "cannot write " + outputPath + ": " + why);
      assembly.LostOutput();
    }
  }
  if (const int signal = assembly.runner().Stopped()) {
    report->stopSignal = signal;
    __brev_printf(3, kTag, "%s: %s log stopped by signal %d; %s not written.",
                  kFunction, prefix.c_str(), signal, path);
    return false;
  }
  for (const GenerationRun& run : report->lost)
    __brev_printf(4, kTag, "%s: %s.", kFunction,
                  MissingText(type, run).c_str());
  if (!assembly.complete()) {
    __brev_printf(3, kTag, "%s: %s log NOT completely copied to %s.", kFunction,
                  prefix.c_str(), path);
    return false;
  }
  // Nothing found: the output is untouched.
  if (!gathered && !selectedNone) return false;
  __brev_printf(6, kTag, "%s: %s log copied to %s.", kFunction, prefix.c_str(),
                path);
  report->complete = true;
  report->position = cutter.NewPosition();
  return true;
}

bool AssembleEntireLog(LogType type, const std::string& outputPath,
                       Report* report, Stop* stop) {
  return AssembleByCommands(type, outputPath, Selection(), report, stop);
}

bool GetEntireLog(LogType type, const std::string& outputPath) {
  return AssembleEntireLog(type, outputPath, nullptr);
}

bool PlanByCommands(LogType type, const Selection& selection, Plan* plan) {
  if (plan == nullptr) return false;
  *plan = Plan();
  OrvoMutexLock lock(&libraryLock);
  std::string prefix;
  if (!SelectType(type, &prefix) ||
      !SelectionProblem(selection, prefix).empty())
    return false;
  History history = FindSelectedHistory(prefix);
  const Cutter cutter(history, selection);
  for (std::size_t i = 0; i < history.pieces.size(); ++i) {
    history.pieces[i].droppedBy = cutter.Before(i);
    history.pieces[i].startByte = cutter.Start(i);
  }
  *plan = PlanOf(std::move(history), FreeBytes(SCRATCH_DIR));
  plan->positionMismatch = cutter.positionMismatch();
  plan->positionGone = cutter.positionGone();
  plan->windowBeforeHistory = cutter.windowBeforeHistory();
  return true;
}

bool PlanEntireLog(LogType type, Plan* plan) {
  return PlanByCommands(type, Selection(), plan);
}

bool StartDebugging(LogType type) {
  OrvoMutexLock lock(&libraryLock);
  std::string prefix;
  if (!SelectType(type, &prefix)) return false;
  SetDebugCondition(true);
  return true;
}

}  // namespace nq_tolvane
