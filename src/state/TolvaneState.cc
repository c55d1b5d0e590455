// The record of the selected log type and its accessors.

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "nq_tolvane.h"
#include "nq_tolvane_internals.h"

namespace nq_tolvane {
namespace nq_tolvane_internals {
namespace {

#define VORN_CONFIG_DIR "/etc/sysconfig/vorn"

struct LogTypeRow {
  LogType type;
  const char* name;
  const char* activeDir;
  const char* backupDir;
};

constexpr LogTypeRow kLogTypes[] = {
    {LOGTYPE_AUDIT, "audit", VORN_CONFIG_DIR "/tolvane",
     VORN_CONFIG_DIR "/tolvane"},
    {LOGTYPE_BREV, "brev", "/var/log", VORN_CONFIG_DIR "/tolvane"},
    {LOGTYPE_SNMPD, "snmpd", "/var/log", "/var/log"},
    {LOGTYPE_MISC, "misc", "/var/log", "/var/log"},
};

const LogTypeRow* FindLogType(LogType type) {
  for (const LogTypeRow& row : kLogTypes)
    if (row.type == type) return &row;
  return nullptr;
}

// What the string accessors return while no type is selected.
const std::string kNoText;

// The current record, null until the first successful Initialize(). The
// mutex guards the pointer and the fields, so that IsDebugging() and
// SetDebugging() may race a request's Initialize() safely. It is never held
// while calling out, so Message() may be called with any state.
std::mutex stateMutex;
TolvaneState* state = nullptr;

// Makes `next` current and returns the record it replaces.
std::unique_ptr<TolvaneState> Install(std::unique_ptr<TolvaneState> next) {
  std::lock_guard<std::mutex> lock(stateMutex);
  std::unique_ptr<TolvaneState> previous(state);
  state = next.release();
  return previous;
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
  std::unique_ptr<TolvaneState> fresh(new TolvaneState{
      type, name, row->activeDir, row->backupDir, 0, 0, false});
  TolvaneState* const installed = fresh.get();
  // The previous record lives until the new one is complete.
  std::unique_ptr<TolvaneState> previous = Install(std::move(fresh));

  const std::uint16_t num = FindLastBackupLogNum(row->backupDir, name);
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (state == installed) state->lastLogNum = state->logNum = num;
  }
  Message("%s: switch state to %s at %u", "Initialize", name.c_str(), num);
  return true;
}

LogType GetLogType() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return state != nullptr ? state->logType : static_cast<LogType>(0);
}

const std::string& GetLogPrefix() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return state != nullptr ? state->logPrefix : kNoText;
}

const std::string& GetActiveDir() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return state != nullptr ? state->activeDir : kNoText;
}

const std::string& GetBackupDir() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return state != nullptr ? state->backupDir : kNoText;
}

std::uint16_t GetLastLogNum() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return state != nullptr ? state->lastLogNum : 0;
}

std::uint16_t GetLogNum() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return state != nullptr ? state->logNum : 0;
}

void SetLogNum(std::uint16_t num) {
  bool stored = false;
  {
    std::lock_guard<std::mutex> lock(stateMutex);
    if (state != nullptr) {
      state->logNum = num;
      stored = true;
    }
  }
  if (stored)
    Message("%s: set logNum %u", "SetLogNum", static_cast<unsigned>(num));
  else
    Message("%s: Invalid call - no state.", "SetLogNum");
}

bool GetDebugCondition() {
  std::lock_guard<std::mutex> lock(stateMutex);
  return state != nullptr && state->debugCondition;
}

void SetDebugCondition(bool on) {
  std::lock_guard<std::mutex> lock(stateMutex);
  if (state != nullptr) state->debugCondition = on;
}

bool CheckFileExist(const char* path) {
  struct stat info;
  return path != nullptr && stat(path, &info) == 0;
}

}  // namespace nq_tolvane_internals

bool IsDebugging() { return nq_tolvane_internals::GetDebugCondition(); }

void SetDebugging(bool on) { nq_tolvane_internals::SetDebugCondition(on); }

}  // namespace nq_tolvane
