// The record of the selected log type and its accessors.

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"
#include "state/LogNames.h"
#include "tolvane_report.h"

namespace nq_tolvane {
namespace nq_tolvane_internals {
namespace {

// What the string accessors return while no type is selected.
const std::string kNoText;

// The current record, null until the first successful Initialize().
//
// Locking: requests read and change the record under the library lock, and
// so do the other callers of these functions, one thread at a time. The one
// exception is the debugging switch: IsDebugging() and SetDebugging() may be
// called from any thread at any time, also while a request replaces the
// record. So the pointer is replaced, and the switch read and written, under
// `switchMutex`, which is held for nothing else and never while calling out.
std::mutex switchMutex;
TolvaneState* state = nullptr;

// Makes `next` current and destroys the record it replaces.
void Install(std::unique_ptr<TolvaneState> next) {
  std::unique_ptr<TolvaneState> previous;
  std::lock_guard<std::mutex> lock(switchMutex);
  previous.reset(state);
  state = next.release();
}

}  // namespace

bool Initialize(LogType type, std::string& name) {
  const LogTypeRow* row = FindLogType(type);
  if (row == nullptr) {
    std::fprintf(stderr, "%s: Unknown log type requested.\n", "Initialize");
    Install(nullptr);
    return false;
  }

  name = row->name;
  // Current before its number is looked up: its switch is off, so the
  // diagnostics of the look-up print nothing.
  Install(std::unique_ptr<TolvaneState>(new TolvaneState{
      type, name, row->activeDir, row->backupDir, 0, 0, false}));
  const std::uint16_t num = FindLastBackupLogNum(row->backupDir, name);
  state->lastLogNum = state->logNum = num;
  Message("%s: switch state to %s at %u", "Initialize", name.c_str(), num);
  return true;
}

LogType GetLogType() {
  return state != nullptr ? state->logType : static_cast<LogType>(0);
}

const std::string& GetLogPrefix() {
  return state != nullptr ? state->logPrefix : kNoText;
}

const std::string& GetActiveDir() {
  return state != nullptr ? state->activeDir : kNoText;
}

const std::string& GetBackupDir() {
  return state != nullptr ? state->backupDir : kNoText;
}

std::uint16_t GetLastLogNum() {
  return state != nullptr ? state->lastLogNum : 0;
}

std::uint16_t GetLogNum() { return state != nullptr ? state->logNum : 0; }

void SetLogNum(std::uint16_t num) {
  if (state == nullptr) {
    Message("%s: Invalid call - no state.", "SetLogNum");
    return;
  }
  state->logNum = num;
  Message("%s: set logNum %u", "SetLogNum", static_cast<unsigned>(num));
}

bool GetDebugCondition() {
  std::lock_guard<std::mutex> lock(switchMutex);
  return state != nullptr && state->debugCondition;
}

void SetDebugCondition(bool on) {
  std::lock_guard<std::mutex> lock(switchMutex);
  if (state != nullptr) state->debugCondition = on;
}

bool CheckFileExist(const char* path) {
  struct stat info;
  return path != nullptr && stat(path, &info) == 0;
}

}  // namespace nq_tolvane_internals

bool IsDebugging() { return nq_tolvane_internals::GetDebugCondition(); }

void SetDebugging(bool on) { nq_tolvane_internals::SetDebugCondition(on); }

std::string LogTypeName(LogType type) {
  const LogTypeRow* row = FindLogType(type);
  return row != nullptr ? row->name : "";
}

LogType LogTypeNamed(const std::string& name) {
  for (int type = LOGTYPE_AUDIT; type <= LOGTYPE_MISC; ++type)
    if (name == FindLogType(static_cast<LogType>(type))->name)
      return static_cast<LogType>(type);
  return static_cast<LogType>(0);
}

}  // namespace nq_tolvane
