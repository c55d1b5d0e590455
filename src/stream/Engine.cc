#include "stream/Engine.h"

#include <algorithm>
#include <cstring>

namespace nq_tolvane {
namespace {

constexpr std::size_t kChunk = 128 * 1024;
// A last line longer than this is written as it is rather than held back.
constexpr std::size_t kLongestLine = 64 * 1024;

std::string Block(const std::string& source, std::uint64_t start,
                  bool damaged) {
  return "\n" + HeaderLine(source, start, damaged) + "\n\n";
}

std::uint64_t BlockSize(const std::string& source, std::uint64_t start,
                        bool damaged = false) {
  return Block(source, start, damaged).size();
}

// The bytes of a piece's data just before a point of it, for a position's
// check: at most Position::kWindow of them.
class Window final {
 public:
  void Add(const char* data, std::size_t size) {
    if (size >= sizeof ring_) {
      data += size - sizeof ring_;
      size = sizeof ring_;
    }
    for (std::size_t i = 0; i < size; ++i)
      ring_[(filled_ + i) % sizeof ring_] = static_cast<unsigned char>(data[i]);
    filled_ += size;
  }
  std::uint64_t Check() const {
    const std::uint64_t held = std::min<std::uint64_t>(filled_, sizeof ring_);
    std::string window;
    for (std::uint64_t i = filled_ - held; i < filled_; ++i)
      window += static_cast<char>(ring_[i % sizeof ring_]);
    return CheckOf(window);
  }

 private:
  unsigned char ring_[Position::kWindow];
  std::uint64_t filled_ = 0;
};

// A piece's data as it is read, up to a limit.
class Input final {
 public:
  Input(PieceReader& reader, std::optional<std::uint64_t> limit,
        std::vector<char>& buffer)
      : reader_(reader), limit_(limit), buffer_(buffer) {}

  // The bytes read and not yet taken; refills when all were taken. Empty
  // at the end.
  std::pair<const char*, std::size_t> Next() {
    if (pos_ == size_ && !ended_) {
      pos_ = size_ = 0;
      std::size_t want = buffer_.size();
      if (limit_) want = std::min<std::uint64_t>(want, *limit_ - at_);
      size_ = want == 0 ? 0 : reader_.Read(buffer_.data(), want);
      if (size_ == 0) {
        ended_ = true;
        byLimit_ = want == 0;
      }
    }
    return {buffer_.data() + pos_, size_ - pos_};
  }
  void Take(std::size_t count) {
    pos_ += count;
    at_ += count;
  }
  // Passes over up to `count` bytes where the reader can without reading.
  void Pass(std::uint64_t count) {
    if (pos_ == size_ && !ended_) at_ += reader_.Skip(count);
  }
  std::uint64_t at() const { return at_; }  // bytes of the data taken
  Ending ending() const { return byLimit_ ? Ending() : reader_.ending(); }

 private:
  PieceReader& reader_;
  const std::optional<std::uint64_t> limit_;
  std::vector<char>& buffer_;
  std::size_t pos_ = 0, size_ = 0;
  std::uint64_t at_ = 0;
  bool ended_ = false, byLimit_ = false;
};

// Takes the bytes of `input` up to byte `to` of its data into `window`
// (what lies before the window's reach passed over where it can be);
// false when the data ends before it, or `stopped`.
bool SkipTo(Input& input, std::uint64_t to, Window& window, Source& stopped) {
  if (to > input.at() + Position::kWindow)
    input.Pass(to - Position::kWindow - input.at());
  while (input.at() < to) {
    if (stopped.Stopped()) return false;
    const auto [data, size] = input.Next();
    if (size == 0) return false;
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>(size, to - input.at()));
    window.Add(data, take);
    input.Take(take);
  }
  return true;
}

bool Plain(const PlannedPiece& piece) {
  return piece.kind != PieceKind::kArchive;
}

}  // namespace

Streamer::Streamer(const History& history, const Part& part, Source& source,
                   Sink& sink, Report* report)
    : history_(history),
      part_(part),
      source_(source),
      sink_(sink),
      report_(report),
      waitFrom_(part.cursor ? CursorWaitFrom() : history.pieces.size()) {}

// The first piece a cursor request waits at.
std::size_t Streamer::CursorWaitFrom() const {
  return std::min(history_.waitFrom, history_.pieces.size());
}

// A snapshot is about to write past what a cursor request would wait for:
// `safe` is where such a request would have ended.
void Streamer::Pass(const std::optional<Position>& safe) {
  if (part_.cursor || passed_) return;
  passed_ = true;
  safe_ = safe;
}

void Streamer::Decide() {
  const std::vector<Choice> learnt = std::move(pieces_);
  pieces_.assign(history_.pieces.size(), Choice());
  *report_ = Report();
  report_->checkpointFound = history_.checkpointFound;
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    const PlannedPiece& piece = history_.pieces[i];
    Choice& choice = pieces_[i];
    if (i < learnt.size()) {
      choice.size = learnt[i].size;
      choice.ending = learnt[i].ending;
    }
    // A plain file is read as far as it was when it was found: the active
    // log may grow meanwhile, and the budget counted that size.
    if (Plain(piece)) {
      choice.limit = piece.sizeOnDisk;
      choice.size = piece.sizeOnDisk;
    }
    choice.wholeLines = part_.cursor && piece.kind == PieceKind::kActiveLog;
    choice.lastLine = !part_.cursor && piece.kind == PieceKind::kActiveLog;
    report_->pieces.emplace_back();
    PieceReport& reported = report_->pieces.back();
    reported.sourcePath = piece.sourcePath;
    reported.kind = piece.kind;
    reported.sequence = piece.sequence;
  }
  ApplyPosition();
  ApplyWindow();
  for (std::size_t i = waitFrom_; i < pieces_.size(); ++i)
    report_->pieces[i].status = PieceStatus::kWaiting;
  if (part_.cursor) report_->waitingFor = history_.waitingFor;
  const auto key = [&](std::uint16_t n) { return AgeKey(n, history_.current); };
  // What lies before the position was told before; what lies after the
  // generation a cursor request waits for is a later request's to tell.
  const auto told = [&](const GenerationRun& run) {
    return (!part_.after || key(run.last) > key(part_.after->sequence)) &&
           (!report_->waitingFor || key(run.last) < key(*report_->waitingFor));
  };
  for (const GenerationRun& run : history_.lost)
    if (told(run)) report_->lost.push_back(run);
  if (!part_.cursor)
    for (const GenerationRun& run : history_.rotating)
      if (told(run)) report_->rotating.push_back(run);
}

// Drops what lies before the position; the piece that holds it starts
// there, once its data before it is found to match.
void Streamer::ApplyPosition() {
  if (!part_.after) return;
  const Position& after = *part_.after;
  const auto& all = history_.pieces;
  std::size_t at = 0;
  while (at < all.size() && all[at].sequence != after.sequence) ++at;
  if (at == all.size()) {
    // Its generation is gone, unless the history waits for it.
    report_->positionGone = history_.waitingFor != after.sequence;
    const std::uint32_t key = AgeKey(after.sequence, history_.current);
    for (std::size_t i = 0; i < all.size(); ++i)
      if (AgeKey(all[i].sequence, history_.current) < key)
        pieces_[i].droppedBy = Rule::kPosition;
    return;
  }
  for (std::size_t i = 0; i < at; ++i) pieces_[i].droppedBy = Rule::kPosition;
  pieces_[at].from = pieces_[at].start = after.offset;
  pieces_[at].atPosition = pieces_[at].checkPosition = true;
}

// Whole pieces by the time each ended, in age order.
void Streamer::ApplyWindow() {
  const std::vector<Rule> rules = WindowRules(
      history_.pieces, part_.since, part_.until, &report_->windowBeforeHistory);
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (pieces_[i].droppedBy == Rule::kNone) pieces_[i].droppedBy = rules[i];
    if (pieces_[i].droppedBy != Rule::kNone) {
      report_->pieces[i].status = PieceStatus::kSelectedOut;
      report_->pieces[i].droppedBy = pieces_[i].droppedBy;
    }
  }
}

// The size of piece `index`'s data, learnt if need be.
// The size of piece `index`'s data, learnt if need be and `learn`; kNothing
// when it is not known.
Streamer::Piece Streamer::SizeOf(std::size_t index, bool learn,
                                 std::uint64_t* size) {
  Choice& choice = pieces_[index];
  // A trailer is checked against the data as the piece is written, where
  // what was written can be taken back.
  if (!choice.size && (sink_.Rewindable() || !learn))
    if (auto hint = source_.SizeHint(history_.pieces[index])) {
      *size = *hint;
      return Piece::kWritten;
    }
  if (!choice.size && !learn) return Piece::kNothing;
  Ending failure;
  if (!choice.size && !Learn(index, &failure)) return Failed(index, failure);
  *size = *choice.size;
  return Piece::kWritten;
}

// What piece `index` comes to when its data cannot be had.
Streamer::Piece Streamer::Failed(std::size_t index, const Ending& failure) {
  switch (failure.how) {
    case Ending::kGone:
      return Piece::kLookAgain;
    case Ending::kStopped:
      return Piece::kStopped;
    default:
      // A rotated file the caller cannot read is compressed in a moment.
      if (history_.pieces[index].kind == PieceKind::kRotatedLog &&
          history_.unsettled[index]) {
        if (!part_.cursor) {
          Unreadable(index);
          return Piece::kNothing;
        }
        Wait(index);
        return Piece::kWait;
      }
      LeaveOut(index, failure);
      return Piece::kNothing;
  }
}

// A snapshot passes a generation being rotated that it cannot read now, and
// names it.
void Streamer::Unreadable(std::size_t index) {
  Pass(end());
  const std::uint16_t sequence = history_.pieces[index].sequence;
  report_->pieces[index].status = PieceStatus::kWaiting;
  auto& runs = report_->rotating;
  const auto key = [&](std::uint16_t n) { return AgeKey(n, history_.current); };
  const auto at = std::find_if(runs.begin(), runs.end(), [&](const auto& run) {
    return key(run.first) > key(sequence);
  });
  runs.insert(at, {sequence, sequence});
}

// Reads the data of piece `index` once to learn its size and how it ends.
bool Streamer::Learn(std::size_t index, Ending* failure) {
  Choice& choice = pieces_[index];
  std::unique_ptr<PieceReader> reader =
      source_.Open(history_.pieces[index], failure);
  if (!reader) return false;
  std::vector<char> buffer(kChunk);
  std::uint64_t size = 0;
  while (const std::size_t got = reader->Read(buffer.data(), buffer.size())) {
    size += got;
    if (source_.Stopped()) {
      failure->how = Ending::kStopped;
      return false;
    }
  }
  const Ending ending = reader->ending();
  if (ending.how != Ending::kComplete && ending.how != Ending::kWarned &&
      ending.how != Ending::kDamaged) {
    *failure = ending;
    return false;
  }
  choice.size = size;
  choice.ending = ending;
  return true;
}

// The budget: the pieces that fit in it, newest first, the oldest of them
// cut at a line start (or, from the start, the newest cut at a line end).
// Without `learn`, only the sizes known beforehand count, and the budget
// drops nothing older than a piece whose size is not.
Streamer::Piece Streamer::ApplyBudget(bool learn) {
  if (!part_.maxBytes) return Piece::kWritten;
  std::uint64_t left = *part_.maxBytes;
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < waitFrom_; ++i)
    if (pieces_[i].droppedBy == Rule::kNone) order.push_back(i);
  if (!part_.budgetFromStart) std::reverse(order.begin(), order.end());
  std::size_t cut = order.size();
  for (std::size_t k = 0; k < order.size(); ++k) {
    const std::size_t i = order[k];
    Choice& choice = pieces_[i];
    const std::string& source = history_.pieces[i].sourcePath;
    std::uint64_t size = 0;
    const Piece sized = SizeOf(i, learn, &size);
    if (sized == Piece::kNothing && !learn) return Piece::kNothing;
    if (sized == Piece::kNothing) continue;  // left out
    if (sized != Piece::kWritten) return sized;
    size = std::max(size, choice.start);
    choice.sizeUsed = size;
    const std::uint64_t cost =
        BlockSize(source, choice.start) + size - choice.start;
    if (cost <= left) {
      left -= cost;
      continue;
    }
    cut = k;
    if (part_.budgetFromStart) {
      const std::uint64_t header = BlockSize(source, choice.start);
      if (left > header) {
        choice.limit = choice.start + (left - header);
        choice.wholeLines = true;
        ++cut;
      }
    } else {
      // A cut's header names a byte with at most as many digits as the size.
      const std::uint64_t header = BlockSize(source, size);
      if (left > header && size - (left - header) > choice.start) {
        choice.cutFrom = size - (left - header);
        ++cut;
      }
    }
    break;
  }
  for (std::size_t k = cut; k < order.size(); ++k) {
    const std::size_t i = order[k];
    pieces_[i].droppedBy = Rule::kBudget;
    report_->pieces[i].status = PieceStatus::kSelectedOut;
    report_->pieces[i].droppedBy = Rule::kBudget;
  }
  return Piece::kWritten;
}

void Streamer::Wait(std::size_t index) {
  if (index < waitFrom_) waitFrom_ = index;
  const std::uint16_t sequence = history_.pieces[index].sequence;
  report_->waitingFor = sequence;
  // What lies after it is not this round's to tell.
  auto& lost = report_->lost;
  lost.erase(std::remove_if(lost.begin(), lost.end(),
                            [&](const GenerationRun& run) {
                              return AgeKey(run.last, history_.current) >
                                     AgeKey(sequence, history_.current);
                            }),
             lost.end());
  for (std::size_t i = index; i < pieces_.size(); ++i)
    if (report_->pieces[i].status != PieceStatus::kSelectedOut)
      report_->pieces[i].status = PieceStatus::kWaiting;
}

void Streamer::LeaveOut(std::size_t index, const Ending& ending) {
  complete_ = false;
  PieceReport& reported = report_->pieces[index];
  reported.status = PieceStatus::kLeftOut;
  reported.code = ending.why;
  reported.error = ending.error;
  reported.reason = ReasonText(ending.why, ending.error);
  report_->leftOut.push_back(
      {reported.sourcePath, reported.reason, ending.why, ending.error});
}

Streamer::Piece Streamer::Stream(std::size_t index) {
  const PlannedPiece& piece = history_.pieces[index];
  Choice& choice = pieces_[index];
  // A sink that cannot take back what it got learns first whether an
  // archive is whole, so that its header says so and nothing of one still
  // being written goes out.
  Ending failure;
  if (!sink_.Rewindable() && piece.kind == PieceKind::kArchive &&
      !choice.ending && !Learn(index, &failure))
    return Failed(index, failure);
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (choice.ending && choice.ending->how == Ending::kDamaged &&
        history_.unsettled[index]) {
      // Still being written: a cursor request takes none of it yet.
      if (!part_.cursor) {
        Pass(end());
      } else {
        Wait(index);
        return Piece::kWait;
      }
    }
    std::unique_ptr<PieceReader> reader = source_.Open(piece, &failure);
    if (!reader) return Failed(index, failure);
    const Piece written = Write(index, *reader, sink_.Offset());
    if (written != Piece::kAgain) return written;
  }
  return Piece::kLookAgain;
}

// Writes piece `index` from `reader`, the sink at `mark`. Returns kAgain
// after taking back what it wrote, when it learnt that the position does
// not match or that the data is damaged.
Streamer::Piece Streamer::Write(std::size_t index, PieceReader& reader,
                                std::uint64_t mark) {
  const PlannedPiece& piece = history_.pieces[index];
  Choice& choice = pieces_[index];
  PieceReport& reported = report_->pieces[index];
  std::vector<char> buffer(kChunk);
  const bool damaged = choice.ending && choice.ending->how == Ending::kDamaged;
  Input input(reader, damaged ? choice.size : choice.limit, buffer);
  Window window;

  const bool reached = SkipTo(input, choice.start, window, source_);
  if (!reached && source_.Stopped()) return Piece::kStopped;
  if (!reached && input.ending().how != Ending::kComplete &&
      input.ending().how != Ending::kWarned) {
    const Ending ending = input.ending();
    if (ending.how != Ending::kDamaged) return Failed(index, ending);
    if (part_.cursor && history_.unsettled[index]) {
      Wait(index);
      return Piece::kWait;
    }
    // Damaged before the position: nothing of it is new.
    reported.status = PieceStatus::kSelectedOut;
    reported.droppedBy = Rule::kPosition;
    return Piece::kNothing;
  }
  if (choice.checkPosition) {
    choice.checkPosition = false;
    if (!reached || window.Check() != part_.after->check) {
      report_->positionMismatch = true;
      choice.from = choice.start = 0;
      return Piece::kAgain;
    }
  }
  if (choice.cutFrom) {
    // Starts at the first line at or after the cut, if a byte follows it.
    bool found = SkipTo(input, *choice.cutFrom - 1, window, source_);
    while (found) {
      const auto [data, size] = input.Next();
      if (size == 0) {
        found = false;
        break;
      }
      const char* feed =
          static_cast<const char*>(std::memchr(data, '\n', size));
      const std::size_t take = feed ? feed - data + 1 : size;
      window.Add(data, take);
      input.Take(take);
      if (feed) break;
    }
    if (found && input.Next().second == 0) found = false;
    if (!found) {
      if (source_.Stopped() || input.ending().how == Ending::kStopped)
        return Piece::kStopped;
      choice.droppedBy = Rule::kBudget;
      reported.status = PieceStatus::kSelectedOut;
      reported.droppedBy = Rule::kBudget;
      return Piece::kNothing;
    }
    choice.start = input.at();
  }

  bool headed = false;
  std::string held;  // a last line without its line feed, held back
  std::uint64_t written = input.at();  // bytes of the data written
  auto put = [&](const char* data, std::size_t size) {
    if (!headed) {
      const std::string block = Block(piece.sourcePath, choice.start, damaged);
      if (!sink_.Write(block.data(), block.size())) return false;
      headed = true;
    }
    if (size == 0) return true;
    if (!sink_.Write(data, size)) return false;
    window.Add(data, size);
    written += size;
    return true;
  };
  for (;;) {
    const auto [data, size] = input.Next();
    if (size == 0) break;
    input.Take(size);
    if (source_.Stopped()) return Piece::kStopped;
    if (!choice.wholeLines && !choice.lastLine) {
      if (!put(data, size)) return Piece::kSinkFailed;
      continue;
    }
    const char* feed = static_cast<const char*>(memrchr(data, '\n', size));
    if (feed == nullptr) {
      held.append(data, size);
      if (held.size() <= kLongestLine) continue;
      if (!put(held.data(), held.size())) return Piece::kSinkFailed;
      held.clear();
      continue;
    }
    const std::size_t whole = feed - data + 1;
    if ((!held.empty() && !put(held.data(), held.size())) || !put(data, whole))
      return Piece::kSinkFailed;
    held.assign(feed + 1, size - whole);
  }

  Ending ending = input.ending();
  // Read again as far as it decompressed: the limit ended it.
  if (damaged && ending.how == Ending::kComplete) ending = *choice.ending;
  switch (ending.how) {
    case Ending::kStopped:
      return Piece::kStopped;
    case Ending::kGone:
    case Ending::kUnreadable:
      // Learnt only at the end (sudo refused): nothing of it stays.
      if (!sink_.Rewind(mark)) return Piece::kSinkFailed;
      return Failed(index, ending);
    case Ending::kDamaged:
      if (!damaged) {
        // Still being written, or damaged: taken back, and written again
        // knowing it.
        choice.ending = ending;
        choice.size = input.at();
        if (!sink_.Rewind(mark)) return Piece::kSinkFailed;
        return Piece::kAgain;
      }
      if (!held.empty() && !put(held.data(), held.size()))
        return Piece::kSinkFailed;
      held.clear();
      if (!headed && choice.start == 0 && !put(nullptr, 0))
        return Piece::kSinkFailed;
      if (headed) {
        reported.code = Reason::kDamaged;
        reported.reason = ReasonText(Reason::kDamaged);
        reported.bytesLost = choice.ending->bytesLost;
      }
      break;
    case Ending::kWarned:
      reported.code = Reason::kGunzipWarned;
      reported.reason = ReasonText(Reason::kGunzipWarned);
      [[fallthrough]];
    case Ending::kComplete:
      // An empty piece read whole still gets its header, once.
      if (!headed && choice.start == 0 && !choice.cutFrom &&
          !choice.atPosition && held.empty() && !put(nullptr, 0))
        return Piece::kSinkFailed;
      if (choice.lastLine && !held.empty()) {
        // The last line as it stands; a cursor request stops before it.
        Pass(headed ? std::optional<Position>(Position{history_.prefix,
                                                       piece.sequence, written,
                                                       window.Check()})
                    : end());
        if (!put(held.data(), held.size())) return Piece::kSinkFailed;
        held.clear();
      }
      break;
  }
  reported.startByte = choice.start;
  if (!headed) {
    // Nothing new in it, or only a line still being written.
    reported.status =
        held.empty() ? PieceStatus::kSelectedOut : PieceStatus::kWaiting;
    if (held.empty()) reported.droppedBy = Rule::kPosition;
    return Piece::kNothing;
  }
  reported.status = PieceStatus::kWritten;
  if (!damaged && ending.how != Ending::kDamaged) choice.size = input.at();
  newest_ = Position{history_.prefix, piece.sequence, written, window.Check()};
  return Piece::kWritten;
}

void Streamer::Foresee() {
  Decide();
  ApplyBudget(false);
  for (std::size_t i = 0; i < pieces_.size(); ++i)
    report_->pieces[i].startByte = pieces_[i].start;
}

Streamed Streamer::Run() {
  Decide();
  for (std::size_t attempt = 0;; ++attempt) {
    const std::uint64_t mark = sink_.Offset();
    Piece budget = ApplyBudget(true);
    for (std::size_t i = 0; i < waitFrom_ && budget != Piece::kLookAgain &&
                            budget != Piece::kStopped;
         ++i) {
      if (pieces_[i].droppedBy != Rule::kNone ||
          report_->pieces[i].status == PieceStatus::kLeftOut)
        continue;
      if (source_.Stopped()) return Streamed::kStopped;
      // A snapshot writes on where a cursor request would wait.
      if (i >= CursorWaitFrom()) Pass(end());
      switch (Stream(i)) {
        case Piece::kLookAgain:
          return Streamed::kLookAgain;
        case Piece::kStopped:
          return Streamed::kStopped;
        case Piece::kSinkFailed:
          return Streamed::kSinkFailed;
        default:
          break;
      }
    }
    if (budget == Piece::kLookAgain) return Streamed::kLookAgain;
    if (budget == Piece::kStopped) return Streamed::kStopped;
    // A trailer that did not tell an archive's size (several members) made
    // the budget cut in the wrong place: cut again, knowing it.
    bool wrong = false;
    for (const Choice& choice : pieces_)
      wrong = wrong || (choice.sizeUsed && choice.size &&
                        *choice.sizeUsed != *choice.size);
    if (!wrong || part_.budgetFromStart || attempt > pieces_.size()) break;
    if (!sink_.Rewind(mark)) return Streamed::kSinkFailed;
    newest_.reset();
    passed_ = false;
    safe_.reset();
    complete_ = true;
    waitFrom_ = part_.cursor ? CursorWaitFrom() : history_.pieces.size();
    Decide();
  }
  CountDropped();
  return Streamed::kDone;
}

// What the budget dropped: the generations, and their bytes as far as
// known (a trailer's size for an archive never read).
void Streamer::CountDropped() {
  std::vector<GenerationRun>& runs = report_->budgetDropped;
  for (std::size_t i = 0; i < pieces_.size(); ++i) {
    const Choice& choice = pieces_[i];
    const PlannedPiece& piece = history_.pieces[i];
    const bool cut =
        choice.cutFrom && report_->pieces[i].status == PieceStatus::kWritten;
    if (choice.droppedBy != Rule::kBudget && !cut) continue;
    std::uint64_t size = choice.start;
    if (!cut)
      size = choice.sizeUsed ? *choice.sizeUsed
             : choice.size   ? *choice.size
                             : source_.SizeHint(piece).value_or(0);
    report_->budgetDroppedBytes += size > choice.from ? size - choice.from : 0;
    if (!runs.empty() &&
        static_cast<std::uint16_t>(runs.back().last + 1) == piece.sequence)
      runs.back().last = piece.sequence;
    else if (runs.empty() || runs.back().last != piece.sequence)
      runs.push_back({piece.sequence, piece.sequence});
  }
}

}  // namespace nq_tolvane
