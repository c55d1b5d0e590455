#include "Selection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace nq_tolvane {
namespace {

// The bytes a piece's header block takes: echo's text and its line feed.
std::uint64_t HeaderSize(const std::string& source, std::uint64_t start) {
  return HeaderText(source, start).size() + 1;
}

// The first byte at or after `from` (> 0) that starts a line of the file
// `path`, before its end `size`; 0 when there is none.
std::uint64_t LineStart(const std::string& path, std::uint64_t from,
                        std::uint64_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buffer[65536];
  std::uint64_t found = 0;
  for (std::uint64_t at = from - 1; found == 0 && at + 1 < size;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(at));
    if (n <= 0) break;
    const char* end = buffer + n;
    const char* feed = std::find(static_cast<const char*>(buffer), end, '\n');
    if (feed != end && at + (feed - buffer) + 1 < size)
      found = at + (feed - buffer) + 1;
    at += static_cast<std::uint64_t>(n);
  }
  close(fd);
  return found;
}

std::uint64_t FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_size : 0;
}

}  // namespace

std::string SelectionProblem(const Selection& selection,
                             const std::string& prefix) {
  if (selection.since && selection.until && *selection.until < *selection.since)
    return "the window ends before it starts";
  Position position;
  if (selection.after.empty()) return "";
  if (!ParsePosition(selection.after, &position))
    return "not a position: " + selection.after;
  if (position.prefix != prefix)
    return "a position of log " + position.prefix + ", not of log " + prefix;
  return "";
}

std::vector<Rule> WindowRules(const std::vector<PlannedPiece>& pieces,
                              const std::optional<std::int64_t>& since,
                              const std::optional<std::int64_t>& until,
                              bool* before) {
  auto first = [&](std::int64_t time) {
    std::size_t i = 0;
    while (i < pieces.size() && pieces[i].endTime < time) ++i;
    return i;
  };
  std::vector<Rule> rules(pieces.size(), Rule::kNone);
  *before = false;
  if (since) {
    const std::size_t from = first(*since);
    *before = !pieces.empty() && from == 0;
    std::fill(rules.begin(), rules.begin() + from, Rule::kSince);
  }
  if (until)
    for (std::size_t i = first(*until) + 1; i < pieces.size(); ++i)
      if (rules[i] == Rule::kNone) rules[i] = Rule::kUntil;
  return rules;
}

std::string HeaderLine(const std::string& source, std::uint64_t start,
                       bool damaged) {
  return source + " follows" +
         (start == 0 ? std::string() : " from byte " + std::to_string(start)) +
         (damaged ? ", damaged:" : ":");
}

std::string HeaderText(const std::string& source, std::uint64_t start) {
  return "\n" + HeaderLine(source, start) + "\n";
}

Cutter::Cutter(const History& history, const Selection& selection)
    : history_(history),
      pieces_(history.pieces.size()),
      left_(selection.maxBytes) {
  Position position;
  if (ParsePosition(selection.after, &position)) after_ = position;
  ApplyPosition();
  ApplyWindow(selection);
  ApplyKnownSizes();
}

// Drops what lies before the position. The active log holds it still
// while the device writes it, and is checked where it lies; an archive is
// checked once decompressed.
void Cutter::ApplyPosition() {
  if (!after_) return;
  const auto& all = history_.pieces;
  std::size_t at = 0;
  while (at < all.size() && all[at].sequence != after_->sequence) ++at;
  if (at == all.size()) {
    positionGone_ = true;
    const std::uint32_t key = AgeKey(after_->sequence, history_.current);
    for (std::size_t i = 0; i < all.size(); ++i)
      if (AgeKey(all[i].sequence, history_.current) < key)
        pieces_[i].droppedBy = Rule::kPosition;
    return;
  }
  for (std::size_t i = 0; i < at; ++i) pieces_[i].droppedBy = Rule::kPosition;
  Choice& choice = pieces_[at];
  choice.start = after_->offset;
  choice.checkPosition = true;
  if (all[at].kind != PieceKind::kActiveLog || !all[at].readable) return;
  if (!Holds(all[at].sourcePath, *after_)) {
    positionMismatch_ = true;
    choice = Choice();
  } else if (all[at].sizeOnDisk == after_->offset) {
    choice.droppedBy = Rule::kPosition;  // nothing new in it
  }
}

// Whole pieces by the time each ended, in age order.
void Cutter::ApplyWindow(const Selection& selection) {
  const std::vector<Rule> rules = WindowRules(
      history_.pieces, selection.since, selection.until, &windowBeforeHistory_);
  for (std::size_t i = 0; i < rules.size(); ++i)
    if (pieces_[i].droppedBy == Rule::kNone) pieces_[i].droppedBy = rules[i];
}

// Drops, newest first, the pieces that the sizes known beforehand (the
// active log's, the archives' trailers: never more than they hold) leave
// no room for; the request settles the rest as it makes each copy.
void Cutter::ApplyKnownSizes() {
  if (!left_) return;
  std::uint64_t left = *left_;
  for (std::size_t i = pieces_.size(); i-- > 0;) {
    if (pieces_[i].droppedBy != Rule::kNone) continue;
    const PlannedPiece& piece = history_.pieces[i];
    const bool known =
        piece.kind == PieceKind::kActiveLog || piece.scratchSizeKnown;
    if (!known) return;
    const std::uint64_t size = piece.kind == PieceKind::kActiveLog
                                   ? piece.sizeOnDisk
                                   : piece.scratchSize;
    const std::uint64_t start = pieces_[i].start;
    const std::uint64_t cost =
        HeaderSize(piece.sourcePath, start) + (size > start ? size - start : 0);
    if (cost <= left) {
      left -= cost;
      continue;
    }
    // It may start part way; not even a line of it fits behind a header.
    if (left <= HeaderSize(piece.sourcePath, 1)) ++i;
    for (std::size_t j = 0; j < i; ++j)
      if (pieces_[j].droppedBy == Rule::kNone)
        pieces_[j].droppedBy = Rule::kBudget;
    return;
  }
}

Rule Cutter::Before(std::size_t index) const {
  if (pieces_[index].droppedBy != Rule::kNone) return pieces_[index].droppedBy;
  return spent_ ? Rule::kBudget : Rule::kNone;
}

Rule Cutter::After(std::size_t index, const std::string& copy,
                   std::uint64_t* start) {
  Choice& choice = pieces_[index];
  if (choice.checkPosition && !Holds(copy, *after_)) {
    positionMismatch_ = true;
    choice.start = 0;
  }
  *start = choice.start;
  if (*start > 0 && *start == FileSize(copy)) return Rule::kPosition;
  if (!FitBudget(history_.pieces[index].sourcePath, copy, start))
    return Rule::kBudget;
  if (!newest_) {
    Position end;
    if (PositionAtEnd(copy, history_.prefix, history_.pieces[index].sequence,
                      &end))
      newest_ = end;
  }
  return Rule::kNone;
}

// Spends the budget on the piece from `source` whose copy is `copy`, from
// `*start` on. Where it does not fit whole, it starts at the first line
// that does, and no older piece fits; false when no line of it fits.
bool Cutter::FitBudget(const std::string& source, const std::string& copy,
                       std::uint64_t* start) {
  if (!left_) return true;
  if (spent_) return false;
  const std::uint64_t size = FileSize(copy);
  const std::uint64_t whole = HeaderSize(source, *start) + (size - *start);
  if (whole <= *left_) {
    *left_ -= whole;
    return true;
  }
  spent_ = true;
  // A cut's header names a byte with at most as many digits as `size`.
  const std::uint64_t header = HeaderSize(source, size);
  if (*left_ <= header) return false;
  const std::uint64_t cut = LineStart(copy, size - (*left_ - header), size);
  if (cut == 0) return false;
  *start = cut;
  *left_ -= HeaderSize(source, cut) + (size - cut);
  return true;
}

std::string Cutter::NewPosition() const {
  if (newest_) return PositionText(*newest_);
  return after_ ? PositionText(*after_) : "";
}

}  // namespace nq_tolvane
