#include "state/LogNames.h"

#include <libgen.h>

#include <cstdio>
#include <vector>

namespace nq_tolvane {
namespace {

#define VORN_CONFIG_DIR "/etc/sysconfig/vorn"

constexpr LogTypeRow kLogTypes[] = {
    {LOGTYPE_AUDIT, "audit", VORN_CONFIG_DIR "/tolvane",
     VORN_CONFIG_DIR "/tolvane"},
    {LOGTYPE_BREV, "brev", "/var/log", VORN_CONFIG_DIR "/tolvane"},
    {LOGTYPE_SNMPD, "snmpd", "/var/log", "/var/log"},
    {LOGTYPE_MISC, "misc", "/var/log", "/var/log"},
};

}  // namespace

const LogTypeRow* FindLogType(LogType type) {
  for (const LogTypeRow& row : kLogTypes)
    if (row.type == type) return &row;
  return nullptr;
}

std::string BaseName(const std::string& path) {
  std::vector<char> copy(path.begin(), path.end());
  copy.push_back('\0');
  return basename(copy.data());
}

std::string ArchivePattern(const std::string& prefix) {
  return prefix + "*.log.gz";
}

std::string CheckpointPath(const std::string& backupDir,
                           const std::string& prefix) {
  return backupDir + "/" + prefix + ".txt";
}

std::string ActiveLogPath(const std::string& activeDir,
                          const std::string& prefix, std::uint16_t number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05u", static_cast<unsigned>(number));
  return activeDir + "/" + prefix + digits + ".log";
}

}  // namespace nq_tolvane
