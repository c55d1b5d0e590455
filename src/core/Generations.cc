#include "core/Generations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <list>
#include <map>

#include "nq_tolvane_internals.h"
#include "services/vorn_fileutils.h"
#include "state/LogNames.h"

namespace nq_tolvane {
namespace {

using nq_tolvane_internals::FindLogNum;

constexpr int kAttempts = 3;
constexpr int kRetryMicroseconds = 10 * 1000;
// A checkpoint is the current number when a file of one of this many
// generations up to it is there, and none of the next ones is newer.
constexpr unsigned kNearWindow = 16;

// One file of the history as found on disk.
struct File {
  std::string path;
  std::string name;  // its base name
  std::uint16_t number = 0;
  bool archive = false;
  bool numbered = false;  // five digits follow the prefix
  std::uint64_t size = 0;
  std::int64_t modified = 0;    // seconds since the epoch
  std::int64_t modifiedNs = 0;  // nanoseconds since the epoch
};

// The files and the checkpoint at one look.
struct Look {
  std::vector<File> files;
  std::optional<std::uint16_t> checkpoint;         // as it reads, if whole
  std::optional<std::int64_t> checkpointModified;  // when it is there
  std::vector<std::string> unlisted;
  // The latest modification of a numbered file of each number, in
  // nanoseconds since the epoch; -1 for none.
  std::vector<std::int64_t> numbers = std::vector<std::int64_t>(65536, -1);
};

// Fills the size and time of `file`; false when it is gone.
bool Measure(File* file) {
  struct stat info;
  if (stat(file->path.c_str(), &info) != 0) return false;
  file->size = info.st_size;
  file->modified = info.st_mtim.tv_sec;
  file->modifiedNs = info.st_mtim.tv_sec * 1000000000ll + info.st_mtim.tv_nsec;
  return true;
}

Look LookAt(const LogFiles& files) {
  Look look;
  for (auto& archive : FindArchives(files, &look.unlisted)) {
    File file;
    file.number = FindLogNum(archive.first, files.prefix);
    file.numbered = Numbered(archive.first, files.prefix);
    file.archive = true;
    file.name = archive.first;
    file.path = std::move(archive.second);
    if (Measure(&file)) look.files.push_back(std::move(file));
  }
  // The plain files of the active directory: the active log, and older
  // generations rotated but not yet compressed.
  std::list<std::string> plain;
  vorn_fileutils::GetDirFileList(
      files.activeDir.c_str(), (files.prefix + "*.log").c_str(), nullptr, plain,
      /*fullPath=*/true, /*caseInsensitive=*/false, /*sorted=*/true);
  for (std::string& path : plain) {
    File file;
    file.name = BaseName(path);
    if (file.name.size() != files.prefix.size() + 9 ||
        !Numbered(file.name, files.prefix))
      continue;
    file.number = static_cast<std::uint16_t>(
        std::stoul(file.name.substr(files.prefix.size(), 5)));
    file.numbered = true;
    file.path = std::move(path);
    if (Measure(&file)) look.files.push_back(std::move(file));
  }

  const std::string path = CheckpointPath(files.backupDir, files.prefix);
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    char text[64];
    const ssize_t size = read(fd, text, sizeof text);
    if (size > 0)
      look.checkpoint =
          CheckpointNumber(std::string(text, static_cast<std::size_t>(size)));
    look.checkpointModified = info.st_mtime;
  }
  if (fd >= 0) close(fd);
  for (const File& file : look.files)
    if (file.numbered)
      look.numbers[file.number] =
          std::max(look.numbers[file.number], file.modifiedNs);
  return look;
}

bool Has(const Look& look, std::uint16_t number) {
  return look.numbers[number] >= 0;
}

// The checkpoint's number agrees with the files: a file of one of the
// generations up to it is there, and none of the next ones was written
// since (those of the cycle before are older). A checkpoint read half
// written holds a prefix of its number, which the files then give away.
bool Trusted(const Look& look) {
  if (!look.checkpoint) return false;
  const std::uint16_t current = *look.checkpoint;
  std::int64_t near = -1, next = -1;
  for (unsigned step = 0; step <= kNearWindow; ++step) {
    near = std::max(near,
                    look.numbers[static_cast<std::uint16_t>(current - step)]);
    if (step > 0)
      next = std::max(next,
                      look.numbers[static_cast<std::uint16_t>(current + step)]);
  }
  return near >= 0 && next < near;
}

// The newest number by the files alone: the one before the widest gap of
// the numbers around the wrap.
std::uint16_t NewestByFiles(const Look& look) {
  std::vector<std::uint16_t> numbers;
  for (const File& file : look.files)
    if (file.numbered) numbers.push_back(file.number);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  if (numbers.empty()) return 0;
  std::size_t newest = numbers.size() - 1;
  std::uint32_t widest = 0;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::uint16_t next = numbers[(i + 1) % numbers.size()];
    const std::uint32_t gap =
        (static_cast<std::uint32_t>(next) + 65536u - numbers[i] - 1u) % 65536u;
    if (gap > widest || (numbers.size() == 1)) {
      widest = gap;
      newest = i;
    }
  }
  return numbers[newest];
}

bool Readable(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
}

}  // namespace

std::optional<std::uint16_t> CheckpointNumber(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\n");
  if (first == std::string::npos) return std::nullopt;
  std::size_t end = first;
  std::uint32_t value = 0;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9' &&
         end - first < 5)
    value = value * 10 + static_cast<std::uint32_t>(text[end++] - '0');
  if (end == first || value > 65535 ||
      text.find_first_not_of(" \t\n", end) != std::string::npos)
    return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

History FindGenerations(const LogFiles& files, const Looking& looking) {
  Look look = LookAt(files);
  bool trusted = Trusted(look);
  for (int attempt = 1; !trusted && attempt < kAttempts; ++attempt) {
    usleep(kRetryMicroseconds);
    look = LookAt(files);
    trusted = Trusted(look);
  }

  History history;
  history.prefix = files.prefix;
  history.checkpointPath = CheckpointPath(files.backupDir, files.prefix);
  history.checkpointFound = trusted;
  history.current = trusted ? *look.checkpoint : NewestByFiles(look);
  history.unlisted = std::move(look.unlisted);
  const std::uint16_t current = history.current;
  if (trusted)
    history.activeLogPath =
        ActiveLogPath(files.activeDir, files.prefix, current);
  auto key = [&](std::uint16_t n) { return AgeKey(n, current); };

  // The files oldest first: the archives as the commands' way orders them
  // (by name, then by age with the list sort of compare_file_age, for which
  // two equal numbers up to the current one are each older than the
  // other), each plain file before the first newer archive.
  std::list<File> archives;
  std::vector<File> plains;
  for (File& file : look.files)
    (file.archive ? archives.emplace_back() : plains.emplace_back()) =
        std::move(file);
  archives.sort([](const File& a, const File& b) { return a.name < b.name; });
  archives.sort([&](const File& a, const File& b) {
    return a.number == b.number ? a.number <= current
                                : key(a.number) < key(b.number);
  });
  look.files.assign(std::make_move_iterator(archives.begin()),
                    std::make_move_iterator(archives.end()));
  for (File& file : plains) {
    auto at = std::find_if(
        look.files.begin(), look.files.end(),
        [&](const File& f) { return key(f.number) > key(file.number); });
    look.files.insert(at, std::move(file));
  }
  std::optional<std::uint32_t> oldestArchive;
  for (const File& file : look.files)
    if (file.archive && file.numbered && !oldestArchive)
      oldestArchive = key(file.number);
  std::map<std::uint16_t, const File*> plain;  // the plain file of each number
  for (const File& file : look.files) {
    if (file.archive) continue;
    // Older plain files than the oldest archive are leftovers, not a
    // generation being rotated.
    if (file.number == current ||
        static_cast<std::uint16_t>(file.number + 1) == current ||
        (oldestArchive && key(file.number) >= *oldestArchive))
      plain[file.number] = &file;
  }
  // Without a trusted checkpoint the oldest plain file is taken as the
  // active log, which may still grow: nothing after it is written.
  std::optional<std::uint16_t> active;
  if (trusted && plain.count(current)) active = current;
  if (!trusted && !plain.empty()) {
    active = plain.begin()->first;
    for (const auto& entry : plain)
      if (key(entry.first) < key(*active)) active = entry.first;
  }

  // What shows when a generation was rotated away: the checkpoint, written
  // as the device rotates, and the files of newer generations but the
  // active log, each last written after that rotation. The oldest of those
  // signs is the latest the rotation can have been.
  std::vector<std::int64_t> signSince(
      look.files.size() + 1, look.checkpointModified.value_or(INT64_MAX));
  for (std::size_t i = look.files.size(); i-- > 0;) {
    const File& file = look.files[i];
    const bool open = !file.archive && active == file.number;
    signSince[i] =
        open ? signSince[i + 1] : std::min(signSince[i + 1], file.modified);
  }
  auto settledAfter = [&](std::uint32_t age) {
    std::size_t i = 0;
    while (i < look.files.size() && key(look.files[i].number) <= age) ++i;
    return signSince[i];
  };
  auto unsettled = [&](std::int64_t when) {
    if (when == INT64_MAX) return false;  // no sign at all
    const std::int64_t since = looking.now - when;
    return since <= kSettlingSeconds && since >= -kSettlingSeconds;
  };

  // One piece per generation: its plain file where there is one the caller
  // can read (being compressed, it still holds the whole generation), else
  // its archives.
  std::vector<std::uint16_t> numbers;
  for (std::size_t first = 0, next; first < look.files.size(); first = next) {
    const std::uint16_t number = look.files[first].number;
    next = first;
    while (next < look.files.size() && look.files[next].number == number)
      ++next;
    const auto own = plain.find(number);
    const bool hasArchive =
        std::any_of(look.files.begin() + first, look.files.begin() + next,
                    [](const File& f) { return f.archive; });
    const bool usePlain =
        own != plain.end() &&
        (active == number || !hasArchive || Readable(own->second->path));
    for (std::size_t i = first; i < next; ++i) {
      const File& file = look.files[i];
      if (file.archive ? usePlain : (!usePlain || own->second != &file))
        continue;
      if (active && key(number) > key(*active) && !history.waitingFor) {
        history.waitingFor = static_cast<std::uint16_t>(*active + 1);
        history.waitFrom = history.pieces.size();
      }
      PlannedPiece piece;
      piece.sourcePath = file.path;
      piece.kind = file.archive       ? PieceKind::kArchive
                   : active == number ? PieceKind::kActiveLog
                                      : PieceKind::kRotatedLog;
      piece.sequence = number;
      piece.sizeOnDisk = file.size;
      piece.endTime = file.modified;
      piece.scratchSize = file.archive ? 0 : file.size;
      piece.scratchSizeKnown = !file.archive;
      history.pieces.push_back(std::move(piece));
      // signSince[next]: the signs of the generations after this one.
      history.unsettled.push_back(unsettled(file.modified) ||
                                  unsettled(signSince[next]));
      if (file.numbered && (numbers.empty() || numbers.back() != number))
        numbers.push_back(number);
    }
  }

  // Gaps: lost once settled, else being rotated. Where the numbers wrapped,
  // the numbers after the newest one before the wrap, and 0, may not exist
  // on this device at all: a cursor waits for them while the rotation is
  // fresh, but they are never named.
  const std::vector<GenerationRun> certain = LostGenerations(numbers, current);
  const auto fresh = [&](const GenerationRun& gap) {
    return unsettled(settledAfter(key(gap.first)));
  };
  for (const GenerationRun& gap : certain)
    (fresh(gap) ? history.rotating : history.lost).push_back(gap);
  if (!trusted) history.lost.clear();

  std::vector<GenerationRun> gaps = certain;
  if (!numbers.empty() && numbers.front() > current) {
    std::uint16_t newestEarlier = 0;
    for (std::uint16_t n : numbers)
      if (n > current) newestEarlier = std::max(newestEarlier, n);
    if (newestEarlier < 65535 &&
        !Has(look, static_cast<std::uint16_t>(newestEarlier + 1)))
      gaps.push_back({static_cast<std::uint16_t>(newestEarlier + 1),
                      static_cast<std::uint16_t>(newestEarlier + 1)});
    if (current > 0 && !Has(look, 0)) gaps.push_back({0, 0});
  }
  if (looking.after && !Has(look, *looking.after))
    gaps.push_back({*looking.after, *looking.after});
  // A cursor waits for the oldest fresh gap that is not older than its
  // position: what lies before the position is behind it already.
  const std::uint32_t from = looking.after ? key(*looking.after) : 0;
  std::optional<std::uint32_t> wait;
  for (const GenerationRun& gap : gaps) {
    if (!fresh(gap) || key(gap.last) < from) continue;
    const std::uint32_t age = std::max(key(gap.first), from);
    if (!wait || age < *wait) wait = age;
  }
  if (wait && (!history.waitingFor || *wait < key(*history.waitingFor))) {
    history.waitingFor = static_cast<std::uint16_t>(*wait);
    history.waitFrom = 0;
    while (history.waitFrom < history.pieces.size() &&
           key(history.pieces[history.waitFrom].sequence) <= *wait)
      ++history.waitFrom;
  }
  return history;
}

}  // namespace nq_tolvane
