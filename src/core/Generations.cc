#include "core/Generations.h"

#include <algorithm>
#include <map>

#include "core/FileLook.h"
#include "core/Numbers.h"
#include "state/LogNames.h"

namespace nq_tolvane {
namespace {

constexpr int kAttempts = 3;
constexpr int kRetryMilliseconds = 10;
constexpr std::int64_t kNs = 1000000000;

}  // namespace

std::optional<std::uint16_t> CheckpointNumber(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\n");
  if (first == std::string::npos) return std::nullopt;
  const std::size_t end = text.find_first_of(" \t\n", first);
  if (end != std::string::npos &&
      text.find_first_not_of(" \t\n", end) != std::string::npos)
    return std::nullopt;
  const std::string_view digits =
      std::string_view(text).substr(first, end - first);
  std::uint64_t value = 0;
  if (digits.size() > 5 || !ParseNumber(digits, 10, 65535, &value))
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
