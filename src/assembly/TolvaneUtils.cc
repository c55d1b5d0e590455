// The entire-log request: gathers the active log and the archives of one log
// type into scratch files and concatenates them into the caller's file.

#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "Facts.h"
#include "LogNames.h"
#include "OrvoMutex.h"
#include "OutputFile.h"
#include "ScratchDir.h"
#include "Shell.h"
#include "brev.h"
#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"
#include "tolvane_report.h"
#include "vorn_fileutils.h"

namespace nq_tolvane {
namespace {

using namespace nq_tolvane_internals;

// The pieces of one request. Producers append at the back (the active log,
// then the archives newest first); the assembly takes from the back.
using PieceQueue = std::deque<std::unique_ptr<ArchivePathInfo>>;
// Archives by base name; a record leaves the map when it is queued.
using ArchiveMap = std::map<std::string, std::unique_ptr<ArchivePathInfo>>;

const std::string NULL_REDIRECT = " 2>/dev/null";
const std::string SCRATCH_DIR = "/var/tmp/";
// Decimal id of the process running the request, in its scratch names.
std::string pidTag;
// Serialises the requests of this process.
OrvoMutex libraryLock;

constexpr char kTag[] = "TolvaneUtils";

// What one request, or one plan, works with besides its pieces.
struct Request {
  std::string prefix;
  bool planning = false;  // a plan runs no command and says nothing
  Report* report = nullptr;
  Stop* stop = nullptr;
  ScratchDir scratch;
  bool complete = true;  // no piece left out so far
  int stopped = 0;       // the signal that stopped it: no further command
  std::vector<std::string> unlisted;  // directories that could not be listed
  std::map<std::string, std::size_t> reported;  // source -> report->pieces
};

// Sends a message to the device log, unless this is a plan.
template <typename... Args>
void Say(const Request& request, int level, const char* format, Args... args) {
  if (!request.planning) __brev_printf(level, kTag, format, args...);
}

std::string BaseName(const std::string& path) {
  std::vector<char> copy(path.begin(), path.end());
  copy.push_back('\0');
  return basename(copy.data());
}

// The piece from `source` in the report, or null.
PieceReport* Reported(Request& request, const std::string& source) {
  const auto found = request.reported.find(source);
  return found == request.reported.end()
             ? nullptr
             : &request.report->pieces[found->second];
}

void SetStatus(Request& request, const std::string& source,
               PieceStatus status) {
  if (PieceReport* piece = Reported(request, source)) piece->status = status;
}

// Runs `command`, unless the request was asked to stop, and notes a stop
// that ends it. A command that is not run gives status -1. `passFd` stays
// open in the command.
CommandResult Run(Request& request, const std::string& command,
                  int passFd = -1) {
  auto askedToStop = [&request] {
    if (request.stopped == 0) request.stopped = PendingStopSignal();
    if (request.stopped == 0 && request.stop != nullptr)
      request.stopped = request.stop->Requested();
    return request.stopped != 0;
  };
  if (askedToStop()) return {-1, EINTR};
  const CommandResult result = RunCommand(command, passFd, request.stop);
  request.stopped = result.StopSignal();
  askedToStop();
  return result;
}

// Reports the failed `command` on behalf of `function`: -1 with the error
// text, any other status with its exit code and, when `withErrno`, errno and
// the process id as well.
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

// Runs `command` and returns true when it succeeded; reports its failure
// on behalf of `function` unless the request was stopped.
bool RunJudged(Request& request, const char* function,
               const std::string& command, int passFd) {
  const CommandResult result = Run(request, command, passFd);
  if (!result.ok() && !request.stopped)
    ReportFailure(function, command, result, false);
  return result.ok();
}

// Marks the history incomplete: the piece from `source` (or the listing of
// a directory) is left out.
void LeaveOut(Request& request, const char* function, const std::string& source,
              const std::string& why) {
  request.complete = false;
  __brev_printf(3, kTag, "%s: %s left out: %s.", function, source.c_str(),
                why.c_str());
  request.report->leftOut.push_back({source, why});
  if (PieceReport* piece = Reported(request, source)) {
    piece->status = PieceStatus::kLeftOut;
    piece->reason = why;
  }
}

// True when sudo lets this user decompress `source` without a password.
bool SudoAllows(Request& request, const std::string& source) {
  return RunCommand("sudo -n -l /bin/gunzip -c " + ShellWord(source) +
                        " >/dev/null" + NULL_REDIRECT,
                    -1, request.stop)
      .ok();
}

// Why the piece from `source` could not be made, or "" when `source` is
// gone: rotated away since it was found, so not missing.
std::string WhyNotMade(Request& request, const std::string& source,
                       const CommandResult& result, bool viaSudo) {
  if (result.status == -1) return ErrorText(result.error);
  if (!CheckFileExist(source.c_str())) return "";
  if (request.scratch.Full()) return "no room in /var/tmp";
  if (!viaSudo) return "could not be copied";
  if (geteuid() != 0 && !SudoAllows(request, source))
    return "permission denied by sudo";
  return "could not decompress";
}

// Writes every piece, oldest first, behind its header block into `output`,
// removes its scratch file and deletes its record. Returns true when every
// command succeeded.
bool CreateSingleLogFile(const OutputFile& output, PieceQueue& pieces,
                         Request& request) {
  const char* const kFunction = "CreateSingleLogFile";
  bool written = true;
  while (!pieces.empty() && !request.stopped) {
    const ArchivePathInfo& piece = *pieces.back();
    const std::string header =
        "/bin/echo -e " + EchoWord("\n" + piece.sourcePath + " follows:\n") +
        " >> " + output.Target() + NULL_REDIRECT;
    const std::string append = "/bin/cat " + ShellWord(piece.tempPath) +
                               " >> " + output.Target() + NULL_REDIRECT;
    // Both are judged: a missing header corrupts the layout as surely as a
    // missing piece.
    const int fd = output.Descriptor();
    const bool headerWritten = RunJudged(request, kFunction, header, fd);
    const bool pieceWritten = RunJudged(request, kFunction, append, fd);
    if (request.stopped) {
      // Not in any output: the request ends without writing one.
    } else if (headerWritten && pieceWritten) {
      SetStatus(request, piece.sourcePath, PieceStatus::kWritten);
    } else {
      written = false;
      LeaveOut(request, kFunction, piece.sourcePath, "could not be written");
    }

    std::remove(piece.tempPath.c_str());
    const std::unique_ptr<ArchivePathInfo> done = std::move(pieces.back());
    pieces.pop_back();
    __brev_printf(7, kTag, "%s: processed %s.", kFunction,
                  done->tempPath.c_str());
  }
  return written && !request.stopped;
}

// Decompresses `source` into the scratch file `target`. On failure `why`
// says why the archive is missing, or is empty when it is gone. GNU gunzip
// exits 2 for a warning (bytes after the compressed data) once every member
// is decoded: the piece is whole and kept, and the warning reported.
bool ExtractArchive(const std::string& source, const std::string& target,
                    Request& request, std::string* why) {
  if (!CheckFileExist(source.c_str())) {
    __brev_printf(5, kTag, "%s: %s file not found", "ExtractArchive",
                  source.c_str());
    return false;
  }
  static const std::string kGunzip = "sudo /bin/gunzip -c ";
  const std::string command =
      kGunzip + ShellWord(source) + " > " + ShellWord(target) + NULL_REDIRECT;
  __brev_printf(7, kTag, "%s: %s", "ExtractArchive", command.c_str());
  const CommandResult result = Run(request, command);
  if (result.ok()) return true;
  if (request.stopped) return false;
  if (result.ExitedWith(2) && CheckFileExist(target.c_str())) {
    __brev_printf(4, kTag, "%s: %s decompressed with a warning of gunzip.",
                  "ExtractArchive", source.c_str());
    if (PieceReport* piece = Reported(request, source))
      piece->reason = "gunzip warned: data after the compressed data ignored";
    return true;
  }
  ReportFailure("ExtractArchive", command, result, true);
  *why = WhyNotMade(request, source, result, true);
  std::remove(target.c_str());  // a partial extraction is of no use
  return false;
}

// Extracts the archives newest first and queues each one extracted.
void CopyArchives(Request& request, ArchiveMap& archives,
                  const std::list<std::string>& names, PieceQueue& pieces) {
  for (auto name = names.rbegin(); name != names.rend() && !request.stopped;
       ++name) {
    const std::string target = request.scratch.FileFor(*name);
    std::unique_ptr<ArchivePathInfo>& record = archives.at(*name);
    std::string why;
    if (!ExtractArchive(record->sourcePath, target, request, &why)) {
      if (request.stopped) break;
      __brev_printf(3, kTag, "%s: Failed to extract backup %s log: %s to %s",
                    "CopyArchives", request.prefix.c_str(), name->c_str(),
                    target.c_str());
      if (why.empty())
        SetStatus(request, record->sourcePath, PieceStatus::kGone);
      else
        LeaveOut(request, "CopyArchives", record->sourcePath, why);
      continue;
    }
    if (!CheckFileExist(target.c_str())) {
      __brev_printf(3, kTag, "%s: extracted file not found: %s.",
                    "CopyArchives", target.c_str());
      LeaveOut(request, "CopyArchives", record->sourcePath,
               "could not decompress");
      continue;
    }
    record->tempPath = target;
    pieces.push_back(std::move(record));
  }
}

// Lists `dir` into `entries`; a directory that is there but cannot be read
// leaves the history incomplete.
void ListArchives(Request& request, const std::string& dir,
                  std::list<std::string>& entries) {
  const int listed = vorn_fileutils::GetDirFileList(
      dir.c_str(), ArchivePattern(request.prefix).c_str(), nullptr, entries,
      /*fullPath=*/true, /*caseInsensitive=*/false, /*sorted=*/true);
  if (listed >= 0 || !CheckFileExist(dir.c_str())) return;
  request.unlisted.push_back(dir);
  if (!request.planning)
    LeaveOut(request, "BuildArchiveMap",
             dir + "/" + ArchivePattern(request.prefix),
             "the directory could not be listed");
}

// Lists the archives of the backup directory and, where it differs, of the
// active directory; a base name found in both keeps the active directory's.
void BuildArchiveMap(Request& request, ArchiveMap& archives) {
  std::list<std::string> entries;
  const std::string backupDir = GetBackupDir();
  ListArchives(request, backupDir, entries);
  const std::string activeDir = GetActiveDir();
  if (activeDir != backupDir) ListArchives(request, activeDir, entries);
  for (const std::string& entry : entries) {
    std::unique_ptr<ArchivePathInfo> record(
        new ArchivePathInfo{entry, BaseName(entry), ""});
    const std::string key = record->baseName;
    archives[key] = std::move(record);
  }
}

// Lists the archive names oldest first, around the current sequence number.
void SortArchiveNames(const ArchiveMap& archives,
                      std::list<std::string>& names) {
  for (const auto& entry : archives) names.push_back(entry.second->baseName);
  names.sort(compare_file_age);
}

// Finds the archives and puts their names in age order: the one way both a
// request and a plan see them.
void FindArchives(Request& request, ArchiveMap& archives,
                  std::list<std::string>& names) {
  BuildArchiveMap(request, archives);
  SortArchiveNames(archives, names);
}

// True when five digits follow the prefix in `name`: a number was read.
bool Numbered(const std::string& name, const std::string& prefix) {
  if (name.size() < prefix.size() + 5) return false;
  for (std::size_t i = prefix.size(); i < prefix.size() + 5; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

// The generations missing between the oldest archive and the active log.
// Without a checkpoint the order across the wrap is a guess, and so would
// every gap be: none is reported.
std::vector<GenerationRun> Lost(const Request& request, bool checkpointFound,
                                const std::list<std::string>& names) {
  if (!checkpointFound) return {};
  std::vector<std::uint16_t> numbers;
  for (const std::string& name : names)
    if (Numbered(name, request.prefix))
      numbers.push_back(FindLogNum(name, request.prefix));
  return LostGenerations(numbers, GetLogNum());
}

// Forms the active log's path from the checkpoint number and makes that
// number the pivot of the archive order.
bool GetCurrentLogFileName(const Request& request, const std::string& logPrefix,
                           std::string& fileName) {
  const std::string backupDir = GetBackupDir();
  if (backupDir.empty()) {
    Say(request, 3, "%s: backup directory name is empty",
        "GetCurrentLogFileName");
    return false;
  }
  const CheckPointResult checkpoint = ReadCheckPointFile(logPrefix, backupDir);
  if (!checkpoint.found) return false;

  char digits[8];
  std::snprintf(digits, sizeof digits, "%05u",
                static_cast<unsigned>(checkpoint.logNum));
  fileName = GetActiveDir() + "/" + logPrefix + digits + ".log";
  SetLogNum(checkpoint.logNum);
  Say(request, 6, "%s: %s.", "GetCurrentLogFileName", fileName.c_str());
  return true;
}

// Copies the active log at `activeLogPath` into the scratch directory and
// returns its piece, or null when there is none.
std::unique_ptr<ArchivePathInfo> CopyActiveLog(
    Request& request, const std::string& activeLogPath) {
  if (!CheckFileExist(activeLogPath.c_str())) {
    __brev_printf(4, kTag, "%s: %s active log file not found: %s.",
                  "CopyActiveLog", request.prefix.c_str(),
                  activeLogPath.c_str());
    return nullptr;
  }
  Report& report = *request.report;
  request.reported[activeLogPath] = report.pieces.size();
  report.pieces.push_back(
      {activeLogPath, PieceKind::kActiveLog, GetLogNum(), {}, {}});
  std::unique_ptr<ArchivePathInfo> piece(
      new ArchivePathInfo{activeLogPath, BaseName(activeLogPath), ""});
  piece->tempPath = request.scratch.FileFor(piece->baseName);
  const std::string command = "/bin/cp -f " + ShellWord(activeLogPath) + " " +
                              ShellWord(piece->tempPath) + NULL_REDIRECT;
  const CommandResult result = Run(request, command);
  if (result.ok()) return piece;
  if (request.stopped) return nullptr;
  __brev_printf(3, kTag, "%s: problem copying %s active log file: %s.",
                "CopyActiveLog", request.prefix.c_str(), command.c_str());
  const std::string why = WhyNotMade(request, activeLogPath, result, false);
  if (why.empty())
    SetStatus(request, activeLogPath, PieceStatus::kGone);
  else
    LeaveOut(request, "CopyActiveLog", activeLogPath, why);
  std::remove(piece->tempPath.c_str());
  return nullptr;
}

// Puts the archives, oldest first, in the report in front of the active log.
void ReportArchives(Request& request, const ArchiveMap& archives,
                    const std::list<std::string>& names) {
  std::vector<PieceReport>& pieces = request.report->pieces;
  std::vector<PieceReport> all;
  all.reserve(names.size() + pieces.size());
  for (const std::string& name : names)
    all.push_back({archives.at(name)->sourcePath,
                   PieceKind::kArchive,
                   FindLogNum(name, request.prefix),
                   {},
                   {}});
  all.insert(all.end(), pieces.begin(), pieces.end());
  pieces.swap(all);
  request.reported.clear();
  for (std::size_t i = 0; i < pieces.size(); ++i)
    request.reported[pieces[i].sourcePath] = i;
}

// Fills `pieces`: the active log first, then the archives newest first.
void GatherLogPieces(Request& request, PieceQueue& pieces) {
  // The active log goes first also because reading its checkpoint number
  // sets logNum, the pivot of the archive order below, and because an
  // archive rotated from it meanwhile is then still listed.
  std::string activeLogPath;
  const bool named =
      GetCurrentLogFileName(request, request.prefix, activeLogPath);
  request.report->checkpointFound = named;
  std::unique_ptr<ArchivePathInfo> active;
  if (named)
    active = CopyActiveLog(request, activeLogPath);
  else
    __brev_printf(3, kTag, "%s: unknown current log file %s.", "CopyActiveLog",
                  request.prefix.c_str());
  if (request.stopped) return;
  ArchiveMap archives;
  std::list<std::string> names;
  FindArchives(request, archives, names);
  ReportArchives(request, archives, names);
  request.report->lost = Lost(request, named, names);
  if (active) pieces.push_back(std::move(active));
  CopyArchives(request, archives, names, pieces);
}

bool IsLogType(LogType type) {
  return type >= LOGTYPE_AUDIT && type <= LOGTYPE_MISC;
}

// Selects `type`, unless it is selected already, and gives its prefix.
bool Select(LogType type, std::string* prefix) {
  // Taken on every request, not only when the type changes: a child forked
  // after a request, or a caller that selected the type itself, still gets
  // scratch names of its own.
  pidTag = std::to_string(static_cast<unsigned>(getpid()));
  if (IsLogType(type) && type == GetLogType()) {
    *prefix = GetLogPrefix();
    return true;
  }
  return Initialize(type, *prefix);
}

void SayLost(const char* function, const Request& request) {
  for (const GenerationRun& run : request.report->lost) {
    if (run.first == run.last)
      __brev_printf(4, kTag, "%s: %s generation %05u is missing.", function,
                    request.prefix.c_str(), static_cast<unsigned>(run.first));
    else
      __brev_printf(4, kTag, "%s: %s generations %05u-%05u are missing.",
                    function, request.prefix.c_str(),
                    static_cast<unsigned>(run.first),
                    static_cast<unsigned>(run.last));
  }
}

// Reports why nothing could be written, and returns false.
bool Fail(Report* report, const std::string& failure) {
  __brev_printf(3, kTag, "%s: %s.", "GetEntireLog", failure.c_str());
  report->failure = failure;
  return false;
}

}  // namespace

bool AssembleEntireLog(LogType type, const std::string& outputPath,
                       Report* report, Stop* stop) {
  const char* const kFunction = "GetEntireLog";
  Report unused;
  if (report == nullptr) report = &unused;
  *report = Report();
  OrvoMutexLock lock(&libraryLock);
  Request request;
  request.report = report;
  request.stop = stop;
  if (!Select(type, &request.prefix)) {
    report->failure = "unknown log type";
    return false;
  }
  const char* const prefix = request.prefix.c_str();
  const char* const path = outputPath.c_str();

  OutputFile output;
  std::string why;
  bool refused = false;
  if (!output.Open(outputPath, &why, &refused))
    return Fail(report, (refused ? "refusing to write " : "cannot write ") +
                            outputPath + ": " + why);
  if (!request.scratch.Create(SCRATCH_DIR, pidTag))
    return Fail(report, "cannot make a scratch directory in " + SCRATCH_DIR +
                            ": " + ErrorText(errno));

  PieceQueue pieces;
  GatherLogPieces(request, pieces);
  const bool gathered = !pieces.empty();
  // A history that could not be written whole leaves the earlier file.
  if (gathered && CreateSingleLogFile(output, pieces, request)) {
    if (output.Commit(&why)) {
      report->outputWritten = true;
    } else {
      Fail(report, "cannot write " + outputPath + ": " + why);
      request.complete = false;
    }
  }
  if (request.stopped != 0) {
    report->stopSignal = request.stopped;
    __brev_printf(3, kTag, "%s: %s log stopped by signal %d; %s not written.",
                  kFunction, prefix, request.stopped, path);
    return false;
  }
  SayLost(kFunction, request);
  if (!request.complete) {
    __brev_printf(3, kTag, "%s: %s log NOT completely copied to %s.", kFunction,
                  prefix, path);
    return false;
  }
  if (!gathered) return false;  // nothing found: the output is untouched
  __brev_printf(6, kTag, "%s: %s log copied to %s.", kFunction, prefix, path);
  report->complete = true;
  return true;
}

bool GetEntireLog(LogType type, const std::string& outputPath) {
  return AssembleEntireLog(type, outputPath, nullptr);
}

bool PlanEntireLog(LogType type, Plan* plan) {
  if (plan == nullptr) return false;
  *plan = Plan();
  OrvoMutexLock lock(&libraryLock);
  Request request;
  request.planning = true;
  if (!Select(type, &request.prefix)) return false;
  plan->checkpointFound =
      GetCurrentLogFileName(request, request.prefix, plan->activeLogPath);
  plan->checkpointPath = GetBackupDir() + "/" + request.prefix + ".txt";
  plan->current = GetLogNum();
  ArchiveMap archives;
  std::list<std::string> names;
  FindArchives(request, archives, names);
  plan->unlisted = request.unlisted;
  plan->lost = Lost(request, plan->checkpointFound, names);

  const bool sudo = MayUseSudoRule();
  auto add = [&](const std::string& source, PieceKind kind,
                 std::uint16_t sequence) {
    PlannedPiece piece;
    piece.sourcePath = source;
    piece.kind = kind;
    piece.sequence = sequence;
    Measure(&piece, sudo);
    plan->scratchNeeded += piece.scratchSize;
    plan->scratchNeededIsLowerBound |= !piece.scratchSizeKnown;
    plan->pieces.push_back(std::move(piece));
  };
  for (const std::string& name : names)
    add(archives.at(name)->sourcePath, PieceKind::kArchive,
        FindLogNum(name, request.prefix));
  if (plan->checkpointFound && CheckFileExist(plan->activeLogPath.c_str()))
    add(plan->activeLogPath, PieceKind::kActiveLog, plan->current);
  plan->scratchFree = FreeBytes(SCRATCH_DIR);
  return true;
}

}  // namespace nq_tolvane
