// The entire-log request: gathers the active log and the archives of one log
// type into scratch files and concatenates them into the caller's file.

#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "OrvoMutex.h"
#include "ScratchFiles.h"
#include "Shell.h"
#include "brev.h"
#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"
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
// Decimal id of the process running the request; scratch names carry it so
// that processes assembling at the same time never share a scratch file.
std::string pidTag;
// Serialises the requests of this process.
OrvoMutex libraryLock;

constexpr char kTag[] = "TolvaneUtils";

std::string BaseName(const std::string& path) {
  std::vector<char> copy(path.begin(), path.end());
  copy.push_back('\0');
  return basename(copy.data());
}

std::string ScratchPath(const std::string& dir, const std::string& baseName) {
  return dir + baseName + "-" + pidTag + ".txt";
}

// Returns true for status 0. Otherwise reports the status of `command` on
// behalf of `function`: -1 with the error text, any other value with its exit
// code and, when `withErrno`, errno and the process id as well.
bool Succeeded(const char* function, const std::string& command, int status,
               bool withErrno) {
  if (status == 0) return true;
  const int error = errno;
  if (status == -1) {
    __brev_printf(3, kTag, "%s: system(%s) failed; error = %s", function,
                  command.c_str(), std::strerror(error));
  } else if (withErrno) {
    __brev_printf(3, kTag, "%s: error %d and errno %d %s on pid %d for %s",
                  function, (status >> 8) & 0xFF, error, std::strerror(error),
                  static_cast<int>(getpid()), command.c_str());
  } else {
    __brev_printf(3, kTag, "%s: error %d for %s", function,
                  (status >> 8) & 0xFF, command.c_str());
  }
  return false;
}

// Writes every piece, oldest first, behind its header block into
// `outputPath`, removes its scratch file and deletes its record. Returns true
// when every command succeeded.
bool CreateSingleLogFile(const std::string& outputPath, PieceQueue& pieces,
                         ScratchFiles& scratch) {
  const std::string output = ShellWord(outputPath);
  bool headerWritten = false;
  bool complete = true;
  while (!pieces.empty()) {
    const ArchivePathInfo& piece = *pieces.back();
    const std::string header =
        "/bin/echo -e " + EchoWord("\n" + piece.sourcePath + " follows:\n") +
        (headerWritten ? " >> " : " > ") + output + NULL_REDIRECT;
    const int headerStatus = std::system(header.c_str());
    const std::string append = "/bin/cat " + ShellWord(piece.tempPath) +
                               " >> " + output + NULL_REDIRECT;
    const int appendStatus = std::system(append.c_str());
    // Both are judged: a missing header corrupts the layout as surely as a
    // missing piece.
    complete &= Succeeded("CreateSingleLogFile", header, headerStatus, false);
    complete &= Succeeded("CreateSingleLogFile", append, appendStatus, false);

    scratch.Remove(piece.tempPath);
    const std::unique_ptr<ArchivePathInfo> done = std::move(pieces.back());
    pieces.pop_back();
    __brev_printf(7, kTag, "%s: processed %s.", "CreateSingleLogFile",
                  done->tempPath.c_str());
    headerWritten = true;
  }
  return complete;
}

// Decompresses `source` into the scratch file `target`.
bool ExtractArchive(const std::string& source, const std::string& target,
                    ScratchFiles& scratch) {
  if (!CheckFileExist(source.c_str())) {
    __brev_printf(5, kTag, "%s: %s file not found", "ExtractArchive",
                  source.c_str());
    return false;
  }
  static const std::string kGunzip = "sudo /bin/gunzip -c ";
  const std::string command =
      kGunzip + ShellWord(source) + " > " + ShellWord(target) + NULL_REDIRECT;
  __brev_printf(7, kTag, "%s: %s", "ExtractArchive", command.c_str());
  if (!scratch.Create(target)) return false;
  if (Succeeded("ExtractArchive", command, std::system(command.c_str()), true))
    return true;
  scratch.Remove(target);  // a partial extraction is of no use
  return false;
}

// Extracts the archives newest first and queues each one extracted.
void CopyArchives(const std::string& prefix, ArchiveMap& archives,
                  const std::list<std::string>& names, PieceQueue& pieces,
                  ScratchFiles& scratch) {
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    const std::string target = ScratchPath(SCRATCH_DIR, *name);
    std::unique_ptr<ArchivePathInfo>& record = archives.at(*name);
    if (!ExtractArchive(record->sourcePath, target, scratch)) {
      __brev_printf(3, kTag, "%s: Failed to extract backup %s log: %s to %s",
                    "CopyArchives", prefix.c_str(), name->c_str(),
                    target.c_str());
      continue;
    }
    if (!CheckFileExist(target.c_str())) {
      __brev_printf(3, kTag, "%s: extracted file not found: %s.",
                    "CopyArchives", target.c_str());
      continue;
    }
    record->tempPath = target;
    pieces.push_back(std::move(record));
  }
}

// Lists the archives of the backup directory and, where it differs, of the
// active directory; a base name found in both keeps the active directory's.
void BuildArchiveMap(const std::string& prefix, ArchiveMap& archives) {
  const std::string pattern = prefix + "*" + ".log" + ".gz";
  std::list<std::string> entries;
  const std::string backupDir = GetBackupDir();
  vorn_fileutils::GetDirFileList(backupDir.c_str(), pattern.c_str(), nullptr,
                                 entries, /*fullPath=*/true,
                                 /*caseInsensitive=*/false, /*sorted=*/true);
  const std::string activeDir = GetActiveDir();
  if (activeDir != backupDir) {
    vorn_fileutils::GetDirFileList(activeDir.c_str(), pattern.c_str(), nullptr,
                                   entries, true, false, true);
  }
  for (const std::string& entry : entries) {
    std::unique_ptr<ArchivePathInfo> record(new ArchivePathInfo{entry, "", ""});
    record->baseName = BaseName(record->sourcePath);
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

// Forms the active log's path from the checkpoint number and makes that
// number the pivot of the archive order.
bool GetCurrentLogFileName(const std::string& logPrefix,
                           std::string& fileName) {
  const std::string backupDir = GetBackupDir();
  if (backupDir.empty()) {
    __brev_printf(3, kTag, "%s: backup directory name is empty",
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
  __brev_printf(6, kTag, "%s: %s.", "GetCurrentLogFileName", fileName.c_str());
  return true;
}

// Copies the active log into a scratch file in `destination`.
bool CopyActiveLog(const std::string& logPrefix, const std::string& destination,
                   std::string& activeLogPath, ScratchFiles& scratch) {
  if (!GetCurrentLogFileName(logPrefix, activeLogPath)) {
    __brev_printf(3, kTag, "%s: unknown current log file %s.", "CopyActiveLog",
                  logPrefix.c_str());
    return false;
  }
  if (!CheckFileExist(activeLogPath.c_str())) {
    __brev_printf(4, kTag, "%s: %s active log file not found: %s.",
                  "CopyActiveLog", logPrefix.c_str(), activeLogPath.c_str());
    return false;
  }
  const std::string target = ScratchPath(destination, BaseName(activeLogPath));
  const std::string command = "/bin/cp -f " + ShellWord(activeLogPath) + " " +
                              ShellWord(target) + NULL_REDIRECT;
  if (!scratch.Create(target) || std::system(command.c_str()) != 0) {
    __brev_printf(3, kTag, "%s: problem copying %s active log file: %s.",
                  "CopyActiveLog", logPrefix.c_str(), command.c_str());
    scratch.Remove(target);
    return false;
  }
  return true;
}

// Fills `pieces`: the active log first, then the archives newest first.
void GatherLogPieces(const std::string& prefix, PieceQueue& pieces,
                     ScratchFiles& scratch) {
  std::string activeLogPath;
  if (CopyActiveLog(prefix, SCRATCH_DIR, activeLogPath, scratch)) {
    std::unique_ptr<ArchivePathInfo> piece(
        new ArchivePathInfo{activeLogPath, "", ""});
    piece->baseName = BaseName(piece->sourcePath);
    piece->tempPath = ScratchPath(SCRATCH_DIR, piece->baseName);
    pieces.push_back(std::move(piece));
  }
  ArchiveMap archives;
  BuildArchiveMap(prefix, archives);
  std::list<std::string> names;
  SortArchiveNames(archives, names);
  CopyArchives(prefix, archives, names, pieces, scratch);
}

bool IsLogType(LogType type) {
  return type >= LOGTYPE_AUDIT && type <= LOGTYPE_MISC;
}

}  // namespace

bool GetEntireLog(LogType type, const std::string& outputPath) {
  OrvoMutexLock lock(&libraryLock);
  // Taken on every request, not only when the type changes: a child forked
  // after a request, or a caller that selected the type itself, still gets
  // scratch names of its own.
  pidTag = std::to_string(static_cast<unsigned>(getpid()));

  std::string prefix;
  if (IsLogType(type) && type == GetLogType()) {
    prefix = GetLogPrefix();
  } else if (!Initialize(type, prefix)) {
    return false;
  }

  // Declared before the queue, so that the records go first and the scratch
  // files last when an exception leaves the request.
  ScratchFiles scratch;
  PieceQueue pieces;
  GatherLogPieces(prefix, pieces, scratch);
  if (pieces.empty()) return false;

  if (!CreateSingleLogFile(outputPath, pieces, scratch)) {
    __brev_printf(3, kTag, "%s: %s log NOT completely copied to %s.",
                  "GetEntireLog", prefix.c_str(), outputPath.c_str());
    return false;
  }
  __brev_printf(6, kTag, "%s: %s log copied to %s.", "GetEntireLog",
                prefix.c_str(), outputPath.c_str());
  return true;
}

}  // namespace nq_tolvane
