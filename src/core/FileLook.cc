#include "core/FileLook.h"

#include <algorithm>
#include <string_view>

#include "core/Generations.h"
#include "nq_tolvane_internals.h"
#include "state/LogNames.h"

namespace nq_tolvane {
namespace {

using nq_tolvane_internals::FindLogNum;

// A checkpoint is the current number when a file of one of this many
// generations up to it is there, and none of the next ones is newer.
constexpr unsigned kNearWindow = 16;
constexpr std::int64_t kNs = 1000000000;

bool EndsWith(const std::string& name, std::string_view tail) {
  return name.size() >= tail.size() &&
         name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
}

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

}  // namespace

std::string PathOf(const Piece& file, const Look& look, const LogFiles& files) {
  if (file.path != 0) return look.paths[file.path - 1];
  char buffer[16];
  return (file.inActiveDir ? files.activeDir : files.backupDir) + "/" +
         files.prefix + std::string(UsualTail(file, buffer));
}

namespace {

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

}  // namespace

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
  // A generation whose file went since it was listed is not there: a gap,
  // which its signs tell waiting from lost.
  look->numbers.assign(65536, false);
  for (const Piece& file : look->files)
    if (file.numbered) look->numbers[file.sequence] = true;
}

}  // namespace nq_tolvane
