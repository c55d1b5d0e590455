#include "core/Generations.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string_view>

#include "nq_tolvane_internals.h"
#include "state/LogNames.h"

namespace nq_tolvane {
namespace {

using nq_tolvane_internals::FindLogNum;

constexpr int kAttempts = 3;
constexpr int kRetryMilliseconds = 10;
// A checkpoint is the current number when a file of one of this many
// generations up to it is there, and none of the next ones is newer.
constexpr unsigned kNearWindow = 16;
constexpr std::int64_t kNs = 1000000000;

// The files and the checkpoint at one look. The files' kinds are kArchive
// and, for every plain file, kRotatedLog until the active log is known.
struct Look {
  Pieces files;
  std::vector<std::string> paths;                  // the unusual ones
  std::optional<std::uint16_t> checkpoint;         // as it reads, if whole
  std::optional<std::int64_t> checkpointModified;  // seconds, when there
  std::vector<std::string> unlisted;
  std::vector<bool> numbers;  // a numbered file of the number is there
};

bool EndsWith(const std::string& name, std::string_view tail) {
  return name.size() >= tail.size() &&
         name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
}

bool Plain(const Piece& file) { return file.kind != PieceKind::kArchive; }

// The usual name's tail after the prefix: "NNNNN.log.gz" or "NNNNN.log".
std::string_view UsualTail(const Piece& file, char (&buffer)[16]) {
  unsigned n = file.sequence;
  for (int i = 4; i >= 0; --i, n /= 10)
    buffer[i] = static_cast<char>('0' + n % 10);
  const char* suffix = Plain(file) ? ".log" : ".log.gz";
  std::size_t size = 5;
  while (*suffix != '\0') buffer[size++] = *suffix++;
  return std::string_view(buffer, size);
}

// Name order of two files, as a listing sorted by name gives them.
bool NameBefore(const Piece& a, const Piece& b, const Look& look,
                std::size_t prefix) {
  if (a.path == 0 && b.path == 0)
    return a.sequence != b.sequence ? a.sequence < b.sequence
                                    : Plain(a) && !Plain(b);
  char x[16], y[16];
  const auto tail = [&](const Piece& file, char(&buffer)[16]) {
    if (file.path == 0) return UsualTail(file, buffer);
    const std::string& path = look.paths[file.path - 1];
    return std::string_view(path).substr(path.rfind('/') + 1 + prefix);
  };
  return tail(a, x) < tail(b, y);
}

bool SameName(const Piece& a, const Piece& b, const Look& look,
              std::size_t prefix) {
  return !NameBefore(a, b, look, prefix) && !NameBefore(b, a, look, prefix);
}

// Notes the file `name` of `dir` when it is an archive of the log, or (in
// the active directory) a plain file "<prefix>NNNNN.log".
void Note(const LogFiles& files, const std::string& dir,
          const std::string& name, Look* look) {
  const std::string& prefix = files.prefix;
  Piece file;
  file.inActiveDir = dir == files.activeDir;
  file.numbered = Numbered(name, prefix);
  if (EndsWith(name, ".log.gz") && name.size() >= prefix.size() + 7) {
    file.sequence = FindLogNum(name, prefix);
  } else if (file.inActiveDir && file.numbered &&
             name.size() == prefix.size() + 9 && EndsWith(name, ".log")) {
    file.kind = PieceKind::kRotatedLog;
    file.sequence =
        static_cast<std::uint16_t>(std::stoul(name.substr(prefix.size(), 5)));
  } else {
    return;
  }
  if (!file.numbered ||
      name.size() != prefix.size() + 5 + (Plain(file) ? 4 : 7)) {
    look->paths.push_back(dir + "/" + name);
    file.path = static_cast<std::uint32_t>(look->paths.size());
  }
  look->files.push_back(file);
}

std::string PathOf(const Piece& file, const Look& look, const LogFiles& files) {
  if (file.path != 0) return look.paths[file.path - 1];
  char buffer[16];
  return (file.inActiveDir ? files.activeDir : files.backupDir) + "/" +
         files.prefix + std::string(UsualTail(file, buffer));
}

// Looks up the size and time of `file`; false when it is gone.
bool Measure(Env& env, const Look& look, const LogFiles& files, Piece* file) {
  FileFacts facts;
  if (!env.Stat(PathOf(*file, look, files), &facts) || !facts.regular)
    return false;
  file->size = facts.size;
  file->modifiedNs = facts.modifiedNs;
  file->measured = true;
  return true;
}

// Lists the files, one per name in name order (the active directory's
// copy of an archive wins), and reads the checkpoint. Nothing is measured.
Look LookAt(Env& env, const LogFiles& files) {
  Look look;
  for (const std::string* dir : {&files.backupDir, &files.activeDir}) {
    if (dir == &files.activeDir && files.activeDir == files.backupDir) break;
    if (!env.List(*dir, files.prefix, [&](const std::string& name) {
          Note(files, *dir, name, &look);
        }))
      look.unlisted.push_back(*dir);
  }
  const std::size_t prefix = files.prefix.size();
  std::sort(look.files.begin(), look.files.end(),
            [&](const Piece& a, const Piece& b) {
              return NameBefore(a, b, look, prefix) ||
                     (!NameBefore(b, a, look, prefix) &&
                      a.inActiveDir < b.inActiveDir);
            });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < look.files.size(); ++i) {
    if (kept > 0 && SameName(look.files[kept - 1], look.files[i], look, prefix))
      look.files[kept - 1] = look.files[i];
    else
      look.files[kept++] = look.files[i];
  }
  look.files.resize(kept);

  std::string text;
  FileFacts facts;
  if (env.ReadSmall(CheckpointPath(files.backupDir, files.prefix), 64, &text,
                    &facts)) {
    if (!text.empty()) look.checkpoint = CheckpointNumber(text);
    look.checkpointModified = facts.modifiedNs / kNs;
  }
  look.numbers.assign(65536, false);
  for (const Piece& file : look.files)
    if (file.numbered) look.numbers[file.sequence] = true;
  return look;
}

bool Has(const Look& look, std::uint16_t number) {
  return look.numbers[number];
}

// The checkpoint's number agrees with the files: a file of one of the
// generations up to it is there, and none of the next ones was written
// since (those of the cycle before are older). A checkpoint read half
// written holds a prefix of its number, which the files then give away.
// Measures the files of those generations.
bool Trusted(Env& env, const LogFiles& files, Look* look) {
  if (!look->checkpoint) return false;
  const std::uint16_t current = *look->checkpoint;
  std::int64_t near = -1, next = -1;
  for (Piece& file : look->files) {
    const std::uint16_t ahead =
        static_cast<std::uint16_t>(file.sequence - current);
    const std::uint16_t behind =
        static_cast<std::uint16_t>(current - file.sequence);
    if (!file.numbered || (ahead > kNearWindow && behind > kNearWindow))
      continue;
    if (!file.measured && !Measure(env, *look, files, &file)) continue;
    std::int64_t& side = behind <= kNearWindow ? near : next;
    side = std::max(side, file.modifiedNs);
  }
  return near >= 0 && next < near;
}

// The newest number by the files alone: the one before the widest gap of
// the numbers around the wrap.
std::uint16_t NewestByFiles(const Look& look) {
  std::vector<std::uint16_t> numbers;
  for (std::uint32_t n = 0; n < 65536; ++n)
    if (look.numbers[n]) numbers.push_back(static_cast<std::uint16_t>(n));
  if (numbers.empty()) return 0;
  std::size_t newest = numbers.size() - 1;
  std::uint32_t widest = 0;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const std::uint16_t next = numbers[(i + 1) % numbers.size()];
    const std::uint32_t gap =
        (static_cast<std::uint32_t>(next) + 65536u - numbers[i] - 1u) % 65536u;
    if (gap > widest || numbers.size() == 1) {
      widest = gap;
      newest = i;
    }
  }
  return numbers[newest];
}

// Puts the files oldest first: the archives as the commands' way orders
// them, each plain file before the first newer archive.
void Order(Look* look, std::uint16_t current) {
  std::vector<Piece> plains;
  for (const Piece& file : look->files)
    if (Plain(file)) plains.push_back(file);
  Pieces& files = look->files;
  files.erase(std::remove_if(files.begin(), files.end(), Plain), files.end());
  SortByAge(&files, current, [](const Piece& p) { return p.sequence; });
  for (const Piece& plain : plains) {
    const auto at =
        std::find_if(files.begin(), files.end(), [&](const Piece& p) {
          return AgeKey(p.sequence, current) > AgeKey(plain.sequence, current);
        });
    files.insert(at, plain);
  }
}

// Measures the files from age `from` on, and every plain file; those gone
// since they were listed go.
void MeasureFrom(Env& env, const LogFiles& files, std::uint16_t current,
                 std::uint32_t from, Look* look) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < look->files.size(); ++i) {
    Piece& file = look->files[i];
    const bool wanted = Plain(file) || AgeKey(file.sequence, current) >= from;
    if (wanted && !file.measured && !Measure(env, *look, files, &file))
      continue;
    look->files[kept++] = file;
  }
  look->files.resize(kept);
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

namespace {

// Turns one look at the files into a history: which file of each
// generation is its piece, which one is the active log, what is settled.
class Finder final {
 public:
  Finder(Env& env, const LogFiles& files, const Looking& looking, Look look,
         bool trusted)
      : env_(env),
        files_(files),
        looking_(looking),
        look_(std::move(look)),
        history_(files) {
    Findings& found = history_.found;
    found.checkpointPath = CheckpointPath(files.backupDir, files.prefix);
    found.checkpointFound = trusted;
    found.current = trusted ? *look_.checkpoint : NewestByFiles(look_);
    found.unlisted = std::move(look_.unlisted);
    current_ = found.current;
    if (trusted)
      found.activeLogPath =
          ActiveLogPath(files.activeDir, files.prefix, current_);
    Order(&look_, current_);
    // What lies before the position is passed over: its files need no
    // measuring, but for a window, which looks at every piece's time.
    const std::uint32_t from =
        looking.after && !looking.everyFile ? Key(*looking.after) : 0;
    MeasureFrom(env, files, current_, from, &look_);
  }

  History Find() {
    ChoosePlainFiles();
    SignsOfRotation();
    Keep(Gaps(Pieces()));
    history_.Take(std::move(look_.files), std::move(look_.paths));
    return std::move(history_);
  }

 private:
  std::uint32_t Key(std::uint16_t n) const { return AgeKey(n, current_); }
  void ChoosePlainFiles();
  void SignsOfRotation();
  std::vector<std::uint16_t> Pieces();
  // The gaps lost or being rotated; the age a cursor request waits at.
  std::optional<std::uint32_t> Gaps(const std::vector<std::uint16_t>& numbers);
  void Keep(std::optional<std::uint32_t> wait);
  bool Unsettled(std::int64_t when) const {
    if (when == INT64_MAX) return false;  // no sign at all
    const std::int64_t since = looking_.now - when;
    return since <= kSettlingSeconds && since >= -kSettlingSeconds;
  }
  // The newest sign of a rotation after generation age `age`.
  std::int64_t SettledAfter(std::uint32_t age) const {
    std::size_t i = 0;
    while (i < look_.files.size() && Key(look_.files[i].sequence) <= age) ++i;
    return signSince_[i];
  }

  Env& env_;
  const LogFiles& files_;
  const Looking& looking_;
  Look look_;
  History history_;
  std::uint16_t current_ = 0;
  std::map<std::uint16_t, std::size_t> plain_;  // the plain file of a number
  std::optional<std::uint16_t> active_;
  std::vector<std::int64_t> signSince_;
  std::vector<bool> taken_;  // the files that are pieces
};

// The plain files that are generations (older ones than every archive are
// leftovers), and the active log among them. Without a trusted checkpoint
// the oldest plain file is taken as the active log, which may still grow:
// a cursor request writes nothing after it.
void Finder::ChoosePlainFiles() {
  std::optional<std::uint32_t> oldestArchive;
  for (const Piece& file : look_.files)
    if (!Plain(file) && file.numbered && !oldestArchive)
      oldestArchive = Key(file.sequence);
  for (std::size_t i = 0; i < look_.files.size(); ++i) {
    const Piece& file = look_.files[i];
    if (!Plain(file)) continue;
    if (file.sequence == current_ ||
        static_cast<std::uint16_t>(file.sequence + 1) == current_ ||
        (oldestArchive && Key(file.sequence) >= *oldestArchive))
      plain_[file.sequence] = i;
  }
  if (history_.found.checkpointFound && plain_.count(current_))
    active_ = current_;
  if (!history_.found.checkpointFound && !plain_.empty()) {
    active_ = plain_.begin()->first;
    for (const auto& entry : plain_)
      if (Key(entry.first) < Key(*active_)) active_ = entry.first;
  }
}

// What shows when a generation was rotated away: the checkpoint, written as
// the device rotates, and the files of newer generations but the active
// log, each last written after that rotation. The oldest of those signs is
// the latest the rotation can have been. A file not measured shows none.
void Finder::SignsOfRotation() {
  signSince_.assign(look_.files.size() + 1,
                    look_.checkpointModified.value_or(INT64_MAX));
  for (std::size_t i = look_.files.size(); i-- > 0;) {
    const Piece& file = look_.files[i];
    const bool open = Plain(file) && active_ == file.sequence;
    signSince_[i] = open || !file.measured
                        ? signSince_[i + 1]
                        : std::min(signSince_[i + 1], file.modifiedNs / kNs);
  }
}

// One piece per generation: its plain file where there is one the caller
// can read (being compressed, it still holds the whole generation), else
// its archives. Marks the files taken and gives them their kinds and
// settledness; returns the numbers they hold, oldest first.
std::vector<std::uint16_t> Finder::Pieces() {
  std::vector<std::uint16_t> numbers;
  nq_tolvane::Pieces& files = look_.files;
  taken_.assign(files.size(), false);
  for (std::size_t first = 0, next; first < files.size(); first = next) {
    const std::uint16_t number = files[first].sequence;
    next = first;
    bool hasArchive = false;
    while (next < files.size() && files[next].sequence == number)
      hasArchive = !Plain(files[next++]) || hasArchive;
    const auto own = plain_.find(number);
    const bool usePlain =
        own != plain_.end() &&
        (active_ == number || !hasArchive ||
         env_.Readable(PathOf(files[own->second], look_, files_)));
    for (std::size_t i = first; i < next; ++i) {
      Piece& file = files[i];
      if (!Plain(file) ? usePlain : (!usePlain || own->second != i)) continue;
      taken_[i] = true;
      if (Plain(file))
        file.kind =
            active_ == number ? PieceKind::kActiveLog : PieceKind::kRotatedLog;
      // signSince_[next]: the signs of the generations after this one.
      file.unsettled = (file.measured && Unsettled(file.modifiedNs / kNs)) ||
                       Unsettled(signSince_[next]);
      if (file.numbered && (numbers.empty() || numbers.back() != number))
        numbers.push_back(number);
    }
  }
  return numbers;
}

// Keeps the files taken, in order; a cursor request waits from the first
// one after `wait` (an age), or after a guessed active log.
void Finder::Keep(std::optional<std::uint32_t> wait) {
  nq_tolvane::Pieces& files = look_.files;
  Findings& found = history_.found;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!taken_[i]) continue;
    const std::uint32_t key = Key(files[i].sequence);
    if (active_ && key > Key(*active_) && !found.waitingFor) {
      found.waitingFor = static_cast<std::uint16_t>(*active_ + 1);
      history_.waitFrom = kept;
    }
    files[kept++] = files[i];
  }
  files.resize(kept);
  if (wait && (!found.waitingFor || *wait < Key(*found.waitingFor))) {
    found.waitingFor = static_cast<std::uint16_t>(*wait);
    history_.waitFrom = 0;
    while (history_.waitFrom < files.size() &&
           Key(files[history_.waitFrom].sequence) <= *wait)
      ++history_.waitFrom;
  }
}

// Gaps: lost once settled, else being rotated. Where the numbers wrapped,
// the numbers after the newest one before the wrap, and 0, may not exist on
// this device at all: a cursor waits for them while the rotation is fresh,
// but they are never named.
std::optional<std::uint32_t> Finder::Gaps(
    const std::vector<std::uint16_t>& numbers) {
  Findings& found = history_.found;
  const std::vector<GenerationRun> certain = LostGenerations(numbers, current_);
  const auto fresh = [&](const GenerationRun& gap) {
    return Unsettled(SettledAfter(Key(gap.first)));
  };
  for (const GenerationRun& gap : certain)
    (fresh(gap) ? found.rotating : found.lost).push_back(gap);
  if (!found.checkpointFound) found.lost.clear();

  std::vector<GenerationRun> gaps = certain;
  if (!numbers.empty() && numbers.front() > current_) {
    std::uint16_t newestEarlier = 0;
    for (std::uint16_t n : numbers)
      if (n > current_) newestEarlier = std::max(newestEarlier, n);
    const auto past = static_cast<std::uint16_t>(newestEarlier + 1);
    if (newestEarlier < 65535 && !Has(look_, past))
      gaps.push_back({past, past});
    if (current_ > 0 && !Has(look_, 0)) gaps.push_back({0, 0});
  }
  if (looking_.after && !Has(look_, *looking_.after))
    gaps.push_back({*looking_.after, *looking_.after});
  // A cursor waits for the oldest fresh gap that is not older than its
  // position: what lies before the position is behind it already.
  const std::uint32_t from = looking_.after ? Key(*looking_.after) : 0;
  std::optional<std::uint32_t> wait;
  for (const GenerationRun& gap : gaps) {
    if (!fresh(gap) || Key(gap.last) < from) continue;
    const std::uint32_t age = std::max(Key(gap.first), from);
    if (!wait || age < *wait) wait = age;
  }
  return wait;
}

}  // namespace

History FindGenerations(Env& env, const LogFiles& files,
                        const Looking& looking) {
  Look look = LookAt(env, files);
  bool trusted = Trusted(env, files, &look);
  for (int attempt = 1; !trusted && attempt < kAttempts; ++attempt) {
    env.Pause(kRetryMilliseconds);
    look = LookAt(env, files);
    trusted = Trusted(env, files, &look);
  }
  return Finder(env, files, looking, std::move(look), trusted).Find();
}

}  // namespace nq_tolvane
