// The history a streaming request finds, over each state a rotation of the
// device's log can be caught in, in process over a file system in memory.

#include "core/Generations.h"

#include <sys/stat.h>
#include <utime.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "mem_env.h"
#include "support.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::History;
using nq_tolvane::PieceKind;

constexpr long kNow = 2000000000;

// "3 4 r5 a6": the pieces in output order, archives by their number, "r"
// for a rotated plain file, "a" for the active log; "|" where the pieces
// start to wait, then "wait N" where a cursor request waits, "lost A-B",
// "rotating A-B" for the gaps a snapshot names, "guessed" without a trusted
// checkpoint.
std::string Describe(const History& history) {
  std::ostringstream text;
  for (std::size_t i = 0; i < history.pieces.size(); ++i) {
    if (i == history.waitFrom) text << "| ";
    const auto& piece = history.pieces[i];
    text << (piece.kind == PieceKind::kActiveLog    ? "a"
             : piece.kind == PieceKind::kRotatedLog ? "r"
                                                    : "")
         << piece.sequence << " ";
  }
  if (history.found.waitingFor)
    text << "wait " << *history.found.waitingFor << " ";
  for (const auto& run : history.found.lost)
    text << "lost " << run.first
         << (run.first == run.last ? "" : "-" + std::to_string(run.last))
         << " ";
  for (const auto& run : history.found.rotating)
    text << "rotating " << run.first
         << (run.first == run.last ? "" : "-" + std::to_string(run.last))
         << " ";
  if (!history.found.checkpointFound) text << "guessed ";
  std::string out = text.str();
  if (!out.empty()) out.pop_back();
  return out;
}

struct State {
  const char* name;
  const char* checkpoint;  // its text, or null for none
  // Files: "a5" archive 5, "p5" plain file 5, "h5" half an archive 5;
  // "!" behind one written just now (else an hour ago), "c!" the checkpoint.
  const char* files;
  int after;  // the position's generation, or -1
  const char* expected;
};
void PrintTo(const State& state, std::ostream* out) { *out << state.name; }

constexpr char kDir[] = "/var/log";

class GenerationsTest : public testing::TestWithParam<State> {
 protected:
  std::string Path(int number, const char* tail) {
    char name[32];
    std::snprintf(name, sizeof name, "/misc%05d%s", number, tail);
    return kDir + std::string(name);
  }
  nq_tolvane::History Find(const nq_tolvane::Looking& looking) {
    return nq_tolvane::FindGenerations(env_, {"misc", kDir, kDir}, looking);
  }

  MemEnv env_;
};

TEST_P(GenerationsTest, OneGenerationOnePieceWhateverTheRotationIsCaughtIn) {
  const State& state = GetParam();
  bool checkpointFresh = false;
  std::istringstream files(state.files);
  for (std::string file; files >> file;) {
    if (file == "c!") {
      checkpointFresh = true;
      continue;
    }
    const int number = std::stoi(file.substr(1));
    const long when = file.back() == '!' ? kNow : kNow - 3600;
    const std::string text = "generation " + std::to_string(number) + "\n";
    env_.Put(Path(number, file[0] == 'p' ? ".log" : ".log.gz"), text, when);
  }
  if (state.checkpoint != nullptr)
    env_.Put(std::string(kDir) + "/misc.txt", state.checkpoint,
             checkpointFresh ? kNow : kNow - 3600);
  env_.now = kNow;
  nq_tolvane::Looking looking;
  looking.now = kNow;
  if (state.after >= 0) looking.after = static_cast<std::uint16_t>(state.after);
  EXPECT_EQ(state.expected, Describe(Find(looking))) << state.name;
}

INSTANTIATE_TEST_SUITE_P(
    States, GenerationsTest,
    testing::Values(
        State{"steady", "6\n", "a3 a4 a5 p6!", -1, "3 4 5 a6"},
        // Compressed in place: the archive grows beside its plain file.
        State{"compressing after the checkpoint moved", "6\n",
              "a3 a4 h5! p5 p6! c!", -1, "3 4 r5 a6"},
        State{"compressed before the checkpoint moved", "5\n", "a3 a4 a5! p5!",
              -1, "3 4 a5"},
        // Compressed under a name the library cannot know.
        State{"invisible for a moment", "6\n", "a3 a4 p6! c!", -1,
              "3 4 | a6 wait 5 rotating 5"},
        State{"invisible before the next log is made", "6\n", "a3 a4 c!", -1,
              "3 4 wait 5 rotating 5"},
        State{"a device that wraps at 99", "3\n", "a98 a99 a1", -1,
              "98 99 1 lost 2"},
        State{"invisible for longer than the settling time", "6\n", "a3 a4 p6!",
              -1, "3 4 a6 lost 5"},
        State{"the next log made before the checkpoint", "5\n",
              "a3 a4 p5! p6! c!", -1, "3 4 a5 | r6 wait 6 guessed"},
        State{"checkpoint empty while rewritten", "", "a3 a4 p5!", -1,
              "3 4 a5 guessed"},
        State{"checkpoint half written", "1",
              "a1 a2 a3 a4 a5 a6 a7 a8 a9 a10 a11 p12!", -1,
              "1 2 3 4 5 6 7 8 9 10 11 a12 guessed"},
        State{"checkpoint out of range", "70000\n", "a65535 a0 p1!", -1,
              "65535 0 a1 guessed"},
        // The cycle before: numbers after the checkpoint, written before it.
        State{"a whole cycle of archives", "6\n", "a7 a8 a1 a2 a3 a4 a5 p6!",
              -1, "7 8 1 2 3 4 5 a6"},
        State{"invisible at the wrap", "0\n", "a65533 a65534 p0! c!", -1,
              "65533 65534 | a0 wait 65535"},
        State{"a leftover older than every archive", "10\n", "p2 a8 a9 p10!",
              -1, "8 9 a10"},
        State{"the position's generation being rotated", "6\n", "a3 a4 p6! c!",
              5, "3 4 | a6 wait 5 rotating 5"},
        State{"the position's generation removed long ago", "6\n", "a4 a5 p6!",
              2, "4 5 a6"},
        // A cursor waits only for what lies after its position.
        State{"a fresh gap older than the position", "6\n", "a3 a4 p6! c!", 6,
              "3 4 a6 rotating 5"},
        State{"a fresh gap among newer archives", "5\n", "a1 a2 a4! p5! c!", -1,
              "1 2 | 4 a5 wait 3 rotating 3"},
        State{"fresh gaps after a settled one", "7\n", "a1 a3 a5! p7! c!", -1,
              "1 3 | 5 a7 wait 4 lost 2 rotating 4 rotating 6"},
        State{"the wrap at 99 within the minute", "2\n", "a98 a99 a1! p2! c!",
              -1, "98 99 | 1 a2 wait 100"}),
    [](const testing::TestParamInfo<State>& info) {
      std::string name;
      for (const char* c = info.param.name; *c != '\0'; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c)))
          name += *c;
        else if (*c == ' ')
          name += '_';
      return name;
    });

// The active log that holds the position, listed and then rotated away
// before it is looked at: its generation is waited for, not gone.
TEST(GenerationsGoneSinceListed, ThePositionsGenerationIsWaitedFor) {
  MemEnv env;
  env.now = kNow;
  for (int n : {3, 4, 5})
    env.Put("/var/log/misc0000" + std::to_string(n) + ".log.gz", "", kNow - 9);
  env.Put("/var/log/misc00006.log", "six\n", kNow);
  env.Put("/var/log/misc.txt", "6\n", kNow - 5);
  env.gone.insert("/var/log/misc00006.log");
  nq_tolvane::Looking looking;
  looking.now = kNow;
  looking.after = 6;
  EXPECT_EQ("3 4 5 wait 6",
            Describe(nq_tolvane::FindGenerations(
                env, {"misc", "/var/log", "/var/log"}, looking)));
}

TEST(CheckpointNumber, WholeNumbersOnly) {
  using nq_tolvane::CheckpointNumber;
  for (const char* whole : {"7", "7\n", " 7 \n", "65535\n", "00012\n"})
    EXPECT_TRUE(CheckpointNumber(whole).has_value()) << whole;
  EXPECT_EQ(12, *CheckpointNumber("00012\n"));
  for (const char* broken :
       {"", "\n", "65536\n", "-1\n", "7x\n", "7 8\n", "123456\n", "+7\n"})
    EXPECT_FALSE(CheckpointNumber(broken).has_value()) << broken;
}

}  // namespace
}  // namespace tolvane_test
