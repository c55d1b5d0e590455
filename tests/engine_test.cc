// Which bytes of which piece go where in a streaming request, decided in
// process over pieces made of strings: headers, start bytes, the
// position's check, whole lines, the budget's cut, damaged archives and a
// rotation caught half way.

#include "stream/Engine.h"

#include <map>
#include <random>
#include <sstream>

#include "core/Json.h"
#include "support.h"

namespace tolvane_test {
namespace {

using nq_tolvane::History;
using nq_tolvane::PieceKind;
using nq_tolvane::PieceStatus;
using nq_tolvane::PlannedPiece;
using nq_tolvane::Position;
using nq_tolvane::Reason;
using nq_tolvane::Status;
using nq_tolvane::Streamed;

// One piece's data and how reading it ends.
struct FakeFile {
  std::string data;
  Status::Kind kind = Status::kComplete;  // at the end of `data`
  Status openFailure;                     // kComplete: it opens
  std::optional<std::uint64_t> hint;      // its trailer's size
  std::optional<std::uint64_t> lost;      // kDamaged: bytes lost
};

// Reads a string in small steps, as a pipe or decompression would give it.
class StringReader final : public nq_tolvane::PieceReader {
 public:
  explicit StringReader(const FakeFile& file) : file_(file) {}
  std::size_t Read(char* buffer, std::size_t size) override {
    const std::size_t got =
        std::min({size, std::size_t{5}, file_.data.size() - at_});
    file_.data.copy(buffer, got, at_);
    at_ += got;
    return got;
  }
  Status ending() const override {
    Status ending;
    ending.kind = file_.kind;
    ending.bytesLost = file_.lost;
    return ending;
  }

 private:
  const FakeFile& file_;
  std::size_t at_ = 0;
};

class FakeSource final : public nq_tolvane::Source {
 public:
  std::unique_ptr<nq_tolvane::PieceReader> Open(const PlannedPiece& piece,
                                                Status* ending) override {
    const FakeFile& file = files[piece.sourcePath];
    if (file.openFailure.kind != Status::kComplete) {
      *ending = file.openFailure;
      return nullptr;
    }
    return std::make_unique<StringReader>(file);
  }
  std::optional<std::uint64_t> SizeHint(const PlannedPiece& piece) override {
    return files[piece.sourcePath].hint;
  }
  int Stopped() override { return 0; }

  std::map<std::string, FakeFile> files;
};

class StringSink final : public nq_tolvane::Sink {
 public:
  explicit StringSink(bool rewindable) : rewindable_(rewindable) {}
  bool Write(const char* data, std::size_t size) override {
    out.append(data, size);
    return true;
  }
  std::uint64_t Offset() const override { return out.size(); }
  bool Rewindable() const override { return rewindable_; }
  bool Rewind(std::uint64_t offset) override {
    if (!rewindable_ && offset < out.size()) return false;
    out.resize(offset);
    return true;
  }

  std::string out;

 private:
  const bool rewindable_;
};

std::string Source(int n, bool archive = true) {
  return "/var/log/misc" + std::to_string(n) + (archive ? ".log.gz" : ".log");
}

std::string Block(const std::string& source, const std::string& data,
                  std::uint64_t start = 0, bool damaged = false) {
  return "\n" + nq_tolvane::HeaderLine(source, start, damaged) + "\n\n" + data;
}

using nq_tolvane::CheckOf;

class EngineTest : public testing::Test {
 protected:
  // Adds a piece of generation `n` to the history and its data to the
  // source; the last piece added is the current generation.
  FakeFile& Add(int n, PieceKind kind, const std::string& data,
                bool unsettled = false) {
    nq_tolvane::Piece piece;
    const std::string path = Source(n, kind == PieceKind::kArchive);
    piece.kind = kind;
    piece.sequence = static_cast<std::uint16_t>(n);
    piece.size = kind == PieceKind::kArchive ? 99 : data.size();
    piece.modifiedNs = (1000 + n) * 1000000000ll;
    piece.unsettled = unsettled;
    history_.Add(piece, path);
    history_.found.current = static_cast<std::uint16_t>(n);
    FakeFile& file = source_.files[path];
    file.data = data;
    file.hint = data.size();
    return file;
  }
  // Runs one round of a cursor request (or a snapshot, with cursor_ false)
  // into a sink that can take back what it got, or not: the output;
  // *streamed how it ended.
  std::string Run(nq_tolvane::Part part, bool rewindable = true,
                  Streamed* streamed = nullptr) {
    part.cursor = cursor_;
    history_.found.checkpointFound = true;
    StringSink sink(rewindable);
    report_ = nq_tolvane::Report();
    nq_tolvane::Streamer streamer(history_, part, source_, sink, &report_);
    const Streamed result = streamer.Run();
    if (streamed != nullptr) *streamed = result;
    end_ = streamer.position();
    complete_ = streamer.complete();
    statuses_.clear();
    dropped_.clear();
    for (std::size_t i = 0; i < history_.pieces.size(); ++i) {
      statuses_.push_back(streamer.StatusOf(i));
      dropped_.push_back(streamer.DroppedBy(i));
    }
    return sink.out;
  }
  // Both sinks write the same bytes: the output.
  std::string RunBoth(const nq_tolvane::Part& part) {
    const std::string rewound = Run(part, true);
    const nq_tolvane::Report first = report_;
    EXPECT_EQ(rewound, Run(part, false));
    EXPECT_EQ(first.found.waitingFor, report_.found.waitingFor);
    return rewound;
  }
  nq_tolvane::Part After(int n, const std::string& before) {
    nq_tolvane::Part part;
    part.after = Position{"misc", static_cast<std::uint16_t>(n), before.size(),
                          CheckOf(before)};
    return part;
  }
  PieceStatus StatusOf(std::size_t i) { return statuses_.at(i); }
  // What the report tells of generation `n`; none where it tells nothing.
  nq_tolvane::PieceReport Told(int n) {
    for (const auto& piece : report_.pieces)
      if (piece.sequence == n) return piece;
    return {};
  }
  // Piece `i` of the history, to change it between runs.
  nq_tolvane::Piece& At(std::size_t i) { return history_.pieces[i]; }

  bool cursor_ = true;
  History history_{{"misc", "/var/log", "/var/log"}};
  FakeSource source_;
  nq_tolvane::Report report_;
  std::optional<Position> end_;
  bool complete_ = false;
  std::vector<PieceStatus> statuses_;
  std::vector<nq_tolvane::Rule> dropped_;
};

// The piece that holds the position starts there when its data before
// matches, else comes whole; nothing new writes nothing; a generation gone
// lets every newer piece come.
TEST_F(EngineTest, PositionStartsItsPieceOrItComesWhole) {
  Add(3, PieceKind::kArchive, "a\nb\n");
  Add(4, PieceKind::kArchive, "c\nd\n");
  Add(5, PieceKind::kActiveLog, "e\n");
  EXPECT_EQ(Block(Source(4), "d\n", 2) + Block(Source(5, false), "e\n"),
            RunBoth(After(4, "c\n")));
  EXPECT_FALSE(report_.found.positionMismatch);
  EXPECT_EQ(PieceStatus::kSelectedOut, StatusOf(0));

  EXPECT_EQ(Block(Source(4), "c\nd\n") + Block(Source(5, false), "e\n"),
            RunBoth(After(4, "x\n")));
  EXPECT_TRUE(report_.found.positionMismatch);

  EXPECT_EQ("", Run(After(5, "e\n")));
  EXPECT_EQ(nq_tolvane::Rule::kPosition, dropped_[2]);
  EXPECT_EQ(2u, end_->offset);

  EXPECT_EQ(Block(Source(3), "a\nb\n") + Block(Source(4), "c\nd\n") +
                Block(Source(5, false), "e\n"),
            Run(After(2, "gone\n")));
  EXPECT_TRUE(report_.found.positionGone);
}

// An archive that ends short is being written while the rotation is fresh:
// none of it goes out and the history waits there; once settled it is
// damaged, written as far as it goes behind a header that says so, and
// passed. Either sink writes the same.
TEST_F(EngineTest, ArchiveThatEndsShortWaitsOrIsWrittenAsDamaged) {
  Add(3, PieceKind::kArchive, "three\n");
  Add(4, PieceKind::kArchive, "fo", true).kind = Status::kDamaged;
  Add(5, PieceKind::kActiveLog, "five\n");
  EXPECT_EQ(Block(Source(3), "three\n"), RunBoth({}));
  EXPECT_EQ(4, report_.found.waitingFor.value_or(0));
  EXPECT_EQ(PieceStatus::kWaiting, StatusOf(1));
  EXPECT_EQ(PieceStatus::kWaiting, StatusOf(2));
  EXPECT_EQ(3, end_->sequence);

  At(1).unsettled = false;
  source_.files[Source(4)].lost = 40;
  EXPECT_EQ(Block(Source(3), "three\n") + Block(Source(4), "fo", 0, true) +
                Block(Source(5, false), "five\n"),
            RunBoth({}));
  EXPECT_EQ(Reason::kDamaged, Told(4).code);
  EXPECT_EQ(40u, Told(4).bytesLost.value_or(0));
  EXPECT_TRUE(complete_);
  EXPECT_EQ(5, end_->sequence);

  // Damaged right at the position: nothing new, and no word of it again.
  history_.pieces.pop_back();
  EXPECT_EQ("", RunBoth(After(4, "fo")));
  EXPECT_EQ(PieceStatus::kSelectedOut, StatusOf(1));
}

// The budget keeps the newest end, the oldest piece kept starting at a line
// start, headers counted; a trailer that understates an archive (several
// members) is caught and the cut made again.
TEST_F(EngineTest, BudgetKeepsTheNewestEndFromALineStart) {
  Add(3, PieceKind::kArchive, "old line\n");
  Add(4, PieceKind::kArchive, "first line\nsecond line\nthird\n");
  Add(5, PieceKind::kActiveLog, "new\n");
  const std::string newest = Block(Source(5, false), "new\n");
  const std::string cut = Block(Source(4), "third\n", 23);
  nq_tolvane::Part part;
  part.maxBytes = newest.size() + cut.size() + 5;
  const std::string expected = cut + newest;
  EXPECT_EQ(expected, RunBoth(part));
  EXPECT_EQ(23u, Told(4).startByte);
  EXPECT_EQ(nq_tolvane::Rule::kBudget, dropped_[0]);
  ASSERT_EQ(1u, report_.budgetDropped.size());
  EXPECT_EQ(3, report_.budgetDropped[0].first);
  EXPECT_EQ(4, report_.budgetDropped[0].last);
  EXPECT_EQ(9u + 23u, report_.budgetDroppedBytes);

  source_.files[Source(4)].hint = 6;  // the last member's size only
  EXPECT_EQ(expected, Run(part));
  EXPECT_LE(Run(part).size(), *part.maxBytes);
}

// A piece gone before it is read ends the round, to look again from the
// end of what was written; an archive sudo refuses is left out.
TEST_F(EngineTest, PiecesThatCannotBeRead) {
  Add(3, PieceKind::kArchive, "three\n");
  Add(4, PieceKind::kArchive, "four\n").openFailure.kind = Status::kGone;
  Add(5, PieceKind::kActiveLog, "five\n");
  Streamed streamed;
  EXPECT_EQ(Block(Source(3), "three\n"), Run({}, true, &streamed));
  EXPECT_EQ(Streamed::kLookAgain, streamed);
  EXPECT_EQ(6u, end_->offset);

  Status refused;
  refused.kind = Status::kLeftOut;
  refused.reason = Reason::kSudoRefused;
  source_.files[Source(4)].openFailure = refused;
  EXPECT_EQ(Block(Source(3), "three\n") + Block(Source(5, false), "five\n"),
            Run({}, true, &streamed));
  EXPECT_EQ(Streamed::kDone, streamed);
  EXPECT_FALSE(complete_);
  ASSERT_EQ(1u, report_.leftOut.size());
  EXPECT_EQ("permission denied by sudo", report_.leftOut[0].why);
}

// The part of a history a selection keeps, by a model over strings: the
// pieces before the position dropped and the one at it started there, the
// window by end times in age order, a cursor request's active log in whole
// lines, and the budget from the newest end, the oldest piece kept cut at
// its first line start at or after the cut.
struct ModelPiece {
  std::string path, data;
  std::int64_t end = 0;
  bool active = false;
};

std::string ModelOutput(const std::vector<ModelPiece>& pieces,
                        const nq_tolvane::Part& part,
                        std::optional<std::size_t> at, int* cuts) {
  struct Kept {
    const ModelPiece* piece;
    std::uint64_t start;
  };
  std::vector<Kept> kept;
  std::size_t since = 0, until = pieces.size();
  for (std::size_t i = 0; part.since && i < pieces.size(); ++i)
    if (pieces[i].end >= *part.since) {
      since = i;
      break;
    } else if (i + 1 == pieces.size()) {
      since = pieces.size();
    }
  for (std::size_t i = 0; part.until && i < pieces.size(); ++i)
    if (pieces[i].end >= *part.until) {
      until = i + 1;
      break;
    }
  for (std::size_t i = std::max(since, at.value_or(0)); i < until; ++i)
    kept.push_back({&pieces[i], at && i == *at ? part.after->offset : 0});
  const auto header = [](const std::string& path, std::uint64_t start) {
    return "\n" + nq_tolvane::HeaderLine(path, start) + "\n\n";
  };
  if (part.maxBytes) {
    std::uint64_t left = *part.maxBytes;
    std::size_t first = kept.size();
    while (first > 0) {
      const Kept& k = kept[first - 1];
      const std::uint64_t size = k.piece->data.size();
      const std::uint64_t cost = header(k.piece->path, k.start).size() + size -
                                 std::min(size, k.start);
      if (cost > left) break;
      left -= cost;
      --first;
    }
    if (first > 0) {  // the oldest that did not fit, cut or dropped
      Kept& k = kept[first - 1];
      const std::uint64_t size = k.piece->data.size();
      const std::uint64_t block = header(k.piece->path, size).size();
      if (left > block && size - (left - block) > k.start) {
        const std::uint64_t cut = size - (left - block);
        const std::size_t feed = k.piece->data.find('\n', cut - 1);
        if (feed != std::string::npos && feed + 1 < size) {
          k.start = feed + 1;
          --first;
          ++*cuts;
        }
      }
    }
    kept.erase(kept.begin(), kept.begin() + first);
  }
  std::string out;
  for (const Kept& k : kept) {
    std::string data = k.piece->data;
    if (part.cursor && k.piece->active)
      data.resize(data.rfind('\n') == std::string::npos ? 0
                                                        : data.rfind('\n') + 1);
    const bool atPosition = at && k.piece == &pieces[*at];
    if (data.size() > k.start ||
        (k.start == 0 && !atPosition && k.piece->data.empty()))
      out += header(k.piece->path, k.start) + data.substr(k.start);
  }
  return out;
}

// Many histories of archives, rotated files and an active log, whole or
// empty, lines of many lengths, the plain files with or without their last
// line feed, under random selections: the engine writes what the model
// keeps, into either sink, each piece behind its header.
TEST_F(EngineTest, SelectionsAsTheModelKeepsThem) {
  std::mt19937 random(20261208);
  int cuts = 0;
  const auto pick = [&](int below) {
    return static_cast<int>(random() % static_cast<unsigned>(below));
  };
  for (int trial = 0; trial < 1000; ++trial) {
    history_ = History({"misc", "/var/log", "/var/log"});
    source_.files.clear();
    std::vector<ModelPiece> pieces;
    const int count = 1 + pick(5);
    for (int n = 1; n <= count; ++n) {
      std::string data;
      for (int line = pick(8); line > 0; --line)
        data += std::string(static_cast<std::size_t>(1 + pick(20)),
                            static_cast<char>('a' + pick(26))) +
                "\n";
      const bool active = n == count;
      // Only the active log's last line may lack its line feed; a rotated
      // file's comes whole all the same.
      const PieceKind kind = active         ? PieceKind::kActiveLog
                             : pick(3) == 0 ? PieceKind::kRotatedLog
                                            : PieceKind::kArchive;
      if (kind != PieceKind::kArchive && pick(2) == 0) data += "partial";
      Add(n, kind, data);
      pieces.push_back({history_.Path(n - 1), data, 1000 + n, active});
    }
    cursor_ = pick(2) == 0;
    nq_tolvane::Part part;
    std::optional<std::size_t> at;
    if (pick(3) == 0) {
      at = static_cast<std::size_t>(pick(count));
      const std::string& data = pieces[*at].data;
      // A position at a line start of the piece, as a run leaves it.
      std::vector<std::size_t> starts = {0};
      for (std::size_t i = 0; i < data.size(); ++i)
        if (data[i] == '\n') starts.push_back(i + 1);
      const std::size_t offset = starts[static_cast<std::size_t>(
          pick(static_cast<int>(starts.size())))];
      part = After(static_cast<int>(*at) + 1, data.substr(0, offset));
    }
    if (pick(3) == 0) part.since = 1000 + 1 + pick(count + 1);
    if (pick(4) == 0) part.until = 1000 + 1 + pick(count + 1);
    part.cursor = cursor_;
    // A budget about the size of the whole part cuts somewhere inside it.
    int unused = 0;
    const std::size_t whole = ModelOutput(pieces, part, at, &unused).size();
    if (pick(2) == 0) part.maxBytes = pick(static_cast<int>(whole) + 20);
    const std::string expected = ModelOutput(pieces, part, at, &cuts);
    const std::string what =
        "trial " + std::to_string(trial) + (cursor_ ? ", cursor" : "") +
        (at ? ", after " + std::to_string(part.after->offset) + " of " +
                  std::to_string(*at + 1)
            : "") +
        (part.since ? ", since " + std::to_string(*part.since) : "") +
        (part.until ? ", until " + std::to_string(*part.until) : "") +
        (part.maxBytes ? ", at most " + std::to_string(*part.maxBytes) : "");
    EXPECT_EQ(expected, Run(part, true)) << what;
    EXPECT_EQ(expected, Run(part, false)) << what;
    if (HasFailure()) break;
  }
  EXPECT_GT(cuts, 40) << "too few budgets cut a piece to tell";
}

// Every byte becomes valid JSON: escapes for quotes, backslashes and
// control characters, UTF-8 as it is, U+FFFD for each byte that is not.
TEST(JsonTest, AnyBytesGiveValidJson) {
  const std::string bad = "\xef\xbf\xbd";
  const struct {
    std::string bytes, json;
  } rows[] = {
      {"", "\"\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"\t\r\b\f\x01\x1f\x7f", "\"\\t\\r\\b\\f\\u0001\\u001f\\u007f\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xff", "\"" + bad + "\""},
      {"\xc3", "\"" + bad + "\""},                                // cut short
      {"\xc0\xaf", "\"" + bad + bad + "\""},                      // overlong
      {"\xed\xa0\x80", "\"" + bad + bad + bad + "\""},            // a surrogate
      {"\xf4\x90\x80\x80", "\"" + bad + bad + bad + bad + "\""},  // too high
      {"\x80"
       "abc",
       "\"" + bad + "abc\""},
  };
  for (const auto& row : rows) {
    std::string json;
    nq_tolvane::AppendJsonString(&json, row.bytes);
    EXPECT_EQ(row.json, json) << row.bytes;
  }
}

// JSON over a history across the wrap with an empty line, a damaged
// archive, bytes that are not UTF-8 and an active log whose last line has
// no line feed: one object a line, in order, a damaged piece's lines so
// marked, and each cursor a position from which a cursor request writes
// exactly the rest. A cursor request holds the partial line back.
TEST_F(EngineTest, JsonLinesAndTheirCursors) {
  Add(65535, PieceKind::kArchive, "a\n\nb\n");
  Add(0, PieceKind::kArchive, "c\nd").kind = Status::kDamaged;
  Add(1, PieceKind::kArchive, "x\x01\xff\n");
  Add(2, PieceKind::kActiveLog, "e\nf");
  const auto lines = [&](bool cursor) {
    cursor_ = cursor;
    nq_tolvane::Part part;
    part.format = nq_tolvane::OutputFormat::kJson;
    std::vector<std::string> out;
    std::istringstream text(Run(part));
    for (std::string line; std::getline(text, line);) out.push_back(line);
    return out;
  };
  const std::vector<std::string> objects = lines(false);
  const char* const messages[] = {"a", "",          "b", "c",
                                  "d", "x\x01\xff", "e", "f"};
  ASSERT_EQ(8u, objects.size());
  for (std::size_t i = 0; i < objects.size(); ++i) {
    std::string message;
    nq_tolvane::AppendJsonString(&message, messages[i]);
    EXPECT_EQ(0u, objects[i].find("{\"message\":" + message + ",\"log\":"))
        << objects[i];
    EXPECT_EQ(i == 3 || i == 4,
              objects[i].find(",\"damaged\":true}") != std::string::npos)
        << objects[i];
  }
  EXPECT_NE(std::string::npos,
            objects[1].find("\"generation\":65535,\"offset\":2,"));
  // From each cursor, a cursor request in cat writes what follows it.
  const std::string rest[] = {"\nb\n", "b\n", "", "d", "", "e\n", "", ""};
  const std::string after65535 = "c\ndx\x01\xff\ne\n";
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const std::size_t at = objects[i].find("\"cursor\":\"") + 10;
    nq_tolvane::Part part;
    ASSERT_TRUE(nq_tolvane::ParsePosition(
        objects[i].substr(at, objects[i].find('"', at) - at),
        &*(part.after = Position())));
    part.format = nq_tolvane::OutputFormat::kCat;
    cursor_ = true;
    const std::string expected = i < 3   ? rest[i] + after65535
                                 : i < 5 ? rest[i] + "x\x01\xff\ne\n"
                                         : rest[i];
    EXPECT_EQ(expected, Run(part)) << objects[i];
    EXPECT_FALSE(report_.found.positionMismatch) << objects[i];
  }
  // A cursor request: the partial line waits, and its last cursor is the
  // request's position.
  const std::vector<std::string> held = lines(true);
  ASSERT_EQ(7u, held.size());
  EXPECT_NE(std::string::npos,
            held.back().find("\"cursor\":\"" + nq_tolvane::PositionText(*end_) +
                             "\"}"));
}

// A round that goes on after a rotation fills what the budget has left
// from its start, ending at a line end.
TEST_F(EngineTest, BudgetFromTheStartEndsAtALineEnd) {
  Add(4, PieceKind::kArchive, "one\ntwo\n");
  Add(5, PieceKind::kActiveLog, "three\nfour\n");
  nq_tolvane::Part part = After(4, "one\n");
  part.budgetFromStart = true;
  const std::string first = Block(Source(4), "two\n", 4);
  const std::string header = Block(Source(5, false), "");
  part.maxBytes = first.size() + header.size() + 8;
  EXPECT_EQ(first + header + "three\n", RunBoth(part));
  EXPECT_EQ(6u, end_->offset);
}

// A history caught half way through a rotation, for both kinds of request.
// Generation 5 is the active log; "ab" of a row is its history, by tokens:
// "3" an archive of generation 3, "3~" one that ends short (damaged), "r3"
// a rotated file the caller cannot read yet, "-3" generation 3 missing,
// "?3" a number past the wrap that may not exist on this device.
// Every piece but the active log ("five\nhalf" or as the row says) holds
// "<n>\n"; everything of the row is fresh.
struct Caught {
  const char* name;
  const char* pieces;
  const char* active;
  // Outputs by tokens: "3" piece 3 whole, "3~" written as damaged, "5:5" the
  // active log's first 5 bytes; then the position, as "<n>:<offset>", or
  // "-" for none.
  const char* cursorOutput;
  const char* cursorPosition;
  const char* snapshotOutput;
  const char* snapshotPosition;
  const char* rotating;  // the snapshot's Report::rotating, as "3 4"
};
void PrintTo(const Caught& row, std::ostream* out) { *out << row.name; }

class BothKindsTest : public EngineTest,
                      public testing::WithParamInterface<Caught> {
 protected:
  void LayOutRow(bool settled) {
    history_ = History({"misc", "/var/log", "/var/log"});
    source_.files.clear();
    std::istringstream tokens(GetParam().pieces);
    for (std::string token; tokens >> token;) {
      const bool uncertain = token[0] == '?';
      const bool missing = token[0] == '-' || uncertain,
                 rotated = token[0] == 'r';
      const bool damaged = token.back() == '~';
      const int n = std::stoi(token.substr(missing || rotated ? 1 : 0));
      if (missing && !settled) {
        // The gap a cursor request waits at and a snapshot names.
        const auto gap = static_cast<std::uint16_t>(n);
        history_.found.waitingFor = gap;
        history_.waitFrom = history_.pieces.size();
        if (!uncertain) history_.found.rotating.push_back({gap, gap});
        continue;
      }
      FakeFile& file = Add(
          n, rotated && !settled ? PieceKind::kRotatedLog : PieceKind::kArchive,
          std::to_string(n) + "\n", !settled);
      if (damaged && !settled) {
        file.kind = Status::kDamaged;
        file.data.pop_back();
      }
      if (rotated && !settled) {
        file.openFailure.kind = Status::kLeftOut;
        file.openFailure.reason = Reason::kNotCopied;
      }
    }
    // Settled, the active log's last line is whole and another follows.
    const std::string active = GetParam().active;
    Add(5, PieceKind::kActiveLog, settled ? active + "\nmore\n" : active);
  }
  // The output that `tokens` describe, over the history laid out.
  std::string Expected(const std::string& tokens) {
    std::string out;
    std::istringstream in(tokens);
    for (std::string token; in >> token;) {
      const bool damaged = token.back() == '~';
      const std::size_t colon = token.find(':');
      const int n = std::stoi(token);
      const std::string path = PathOf(n);
      std::string data = source_.files[path].data;
      if (colon != std::string::npos)
        data.resize(std::stoul(token.substr(colon + 1)));
      out += Block(path, data, 0, damaged);
    }
    return out;
  }
  std::string PositionOf(const std::optional<Position>& position) {
    return position ? std::to_string(position->sequence) + ":" +
                          std::to_string(position->offset)
                    : "-";
  }
  std::string PathOf(int n) {
    for (std::size_t i = 0; i < history_.pieces.size(); ++i)
      if (history_.pieces[i].sequence == n) return history_.Path(i);
    ADD_FAILURE() << "no piece " << n;
    return "";
  }
  // What a cursor request from `position` writes once the rotation has
  // settled, by the model.
  std::string Rest(const std::optional<Position>& position) {
    std::vector<ModelPiece> pieces;
    nq_tolvane::Part part;
    part.cursor = true;
    part.after = position;
    std::optional<std::size_t> at;
    for (std::size_t i = 0; i < history_.pieces.size(); ++i) {
      const auto& piece = history_.pieces[i];
      if (position && piece.sequence == position->sequence) at = i;
      pieces.push_back({history_.Path(i), source_.files[history_.Path(i)].data,
                        piece.endTime(), piece.kind == PieceKind::kActiveLog});
    }
    int cuts = 0;
    return ModelOutput(pieces, part, at, &cuts);
  }
};

// A cursor request ends where the rotation is under way and takes whole
// lines; a snapshot writes everything the device holds and names what it
// could not read, with a position that a cursor request can go on from,
// once the rotation has settled, losing and cutting no line.
TEST_P(BothKindsTest, SnapshotWritesEverythingCursorWaits) {
  const Caught& row = GetParam();
  LayOutRow(false);
  cursor_ = true;
  EXPECT_EQ(Expected(row.cursorOutput), RunBoth({}));
  EXPECT_EQ(row.cursorPosition, PositionOf(end_));
  EXPECT_TRUE(report_.found.rotating.empty());

  cursor_ = false;
  EXPECT_EQ(Expected(row.snapshotOutput), RunBoth({}));
  EXPECT_EQ(row.snapshotPosition, PositionOf(end_));
  EXPECT_FALSE(report_.found.waitingFor);
  EXPECT_TRUE(complete_);
  std::string rotating;
  for (const auto& run : report_.found.rotating)
    rotating += (rotating.empty() ? "" : " ") + std::to_string(run.first);
  EXPECT_EQ(row.rotating, rotating);

  // The snapshot's position is no trap: from it, once settled, the rest.
  const std::optional<Position> position = end_;
  LayOutRow(true);
  cursor_ = true;
  nq_tolvane::Part part;
  if (position) {
    part.after = *position;
    // Its check is of the data before it, which the settled files hold.
    const std::string& data = source_.files[PathOf(position->sequence)].data;
    part.after->check = CheckOf(data.substr(0, position->offset));
  }
  EXPECT_EQ(Rest(position), Run(part));
  EXPECT_FALSE(report_.found.positionMismatch);
}

INSTANTIATE_TEST_SUITE_P(
    Rotations, BothKindsTest,
    testing::Values(Caught{"fresh_gap", "1 2 -3 4", "five\n", "1 2", "2:2",
                           "1 2 4 5", "2:2", "3"},
                    Caught{"last_line_without_feed", "1 2", "five\nhalf",
                           "1 2 5:5", "5:5", "1 2 5", "5:5", ""},
                    Caught{"only_a_line_being_written", "", "half", "", "-",
                           "5", "-", ""},
                    Caught{"fresh_damaged_archive", "1 2~ 3", "five\n", "1",
                           "1:2", "1 2~ 3 5", "1:2", ""},
                    Caught{"rotated_file_not_yet_readable", "1 r2 3", "five\n",
                           "1", "1:2", "1 3 5", "1:2", "2"},
                    Caught{"wrap_within_the_minute", "98 99 ?100 1", "five\n",
                           "98 99", "99:3", "98 99 1 5", "99:3", ""}),
    [](const testing::TestParamInfo<Caught>& info) { return info.param.name; });

}  // namespace
}  // namespace tolvane_test
