#include "core/Position.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "core/Numbers.h"
#include "core/Wording.h"
#include "nq_tolvane.h"
#include "platform/Facts.h"
#include "platform/OutputFile.h"
#include "tolvane_report.h"

namespace nq_tolvane {
namespace {

constexpr char kTag[] = "tolvane1";

// The check of the bytes of `fd` before `offset`. False when they cannot
// all be read.
bool CheckBefore(int fd, std::uint64_t offset, std::uint64_t* check) {
  const std::uint64_t start =
      offset > Position::kWindow ? offset - Position::kWindow : 0;
  std::string window(offset - start, '\0');
  std::size_t got = 0;
  while (got < window.size()) {
    const ssize_t n = pread(fd, &window[got], window.size() - got,
                            static_cast<off_t>(start + got));
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  *check = CheckOf(window);
  return true;
}

}  // namespace

std::uint64_t CheckOf(const std::string& data) {
  const std::size_t from =
      data.size() > Position::kWindow ? data.size() - Position::kWindow : 0;
  return CheckOf(std::string_view(data).substr(from), {});
}

std::uint64_t CheckOf(std::string_view first, std::string_view second) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a, 64 bits
  for (const std::string_view part : {first, second})
    for (const char c : part)
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

std::string PositionText(const Position& position) {
  char text[96];
  std::snprintf(text, sizeof text, "%s:%s:%05u:%" PRIu64 ":%016" PRIx64, kTag,
                position.prefix.c_str(), unsigned{position.sequence},
                position.offset, position.check);
  return text;
}

bool ParsePosition(const std::string& text, Position* position) {
  std::vector<std::string> fields;
  for (std::string::size_type start = 0;;) {
    const std::string::size_type colon = text.find(':', start);
    fields.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  std::uint64_t sequence, offset, check;
  if (fields.size() != 5 || fields[0] != kTag || LogTypeNamed(fields[1]) == 0 ||
      fields[2].size() != 5 || !ParseNumber(fields[2], 10, 65535, &sequence) ||
      !ParseNumber(fields[3], 10, INT64_MAX, &offset) ||
      fields[4].size() != 16 || !ParseNumber(fields[4], 16, UINT64_MAX, &check))
    return false;
  *position = {fields[1], static_cast<std::uint16_t>(sequence), offset, check};
  return true;
}

bool PositionAtEnd(const std::string& path, const std::string& prefix,
                   std::uint16_t sequence, Position* position) {
  std::uint64_t size = 0;
  const int fd = OpenRegular(path, &size);
  if (fd < 0) return false;
  std::uint64_t check = 0;
  const bool read = CheckBefore(fd, size, &check);
  close(fd);
  if (read) *position = {prefix, sequence, size, check};
  return read;
}

bool Holds(const std::string& path, const Position& position) {
  std::uint64_t size = 0;
  const int fd = OpenRegular(path, &size);
  if (fd < 0) return false;
  std::uint64_t check = 0;
  const bool held = size >= position.offset &&
                    CheckBefore(fd, position.offset, &check) &&
                    check == position.check;
  close(fd);
  return held;
}

bool LoadPosition(LogType type, const std::string& path, std::string* position,
                  std::string* why) {
  std::string unused;
  if (why == nullptr) why = &unused;
  position->clear();
  bool missing = false;
  const int fd = OpenToRead(path, why, &missing);
  if (fd < 0) return missing;  // nothing stored yet: the start
  char text[256];
  const ssize_t size = read(fd, text, sizeof text);
  close(fd);
  if (size < 0) {
    *why = ErrorText(errno);
    return false;
  }
  std::string stored(text, static_cast<std::size_t>(size));
  if (!stored.empty() && stored.back() == '\n') stored.pop_back();
  Position parsed;
  if (!ParsePosition(stored, &parsed) || parsed.prefix != LogTypeName(type)) {
    *why =
        "it does not hold a position of log " +
        (LogTypeName(type).empty() ? std::to_string(type) : LogTypeName(type));
    return false;
  }
  *position = stored;
  return true;
}

bool StorePosition(const std::string& path, const std::string& position,
                   std::string* why) {
  std::string unused;
  if (why == nullptr) why = &unused;
  Position parsed;
  if (!ParsePosition(position, &parsed)) {
    *why = "not a position";
    return false;
  }
  OutputFile file;
  bool refused = false;
  if (!file.Open(path, why, &refused)) return false;
  if (!file.Regular()) {
    *why = "not a regular file";
    return false;
  }
  file.SetMode(0600);
  const std::string line = position + "\n";
  const ssize_t written = write(file.Descriptor(), line.data(), line.size());
  if (written != static_cast<ssize_t>(line.size())) {
    *why = ErrorText(written < 0 ? errno : EIO);
    return false;
  }
  return file.Commit(why);
}

}  // namespace nq_tolvane
