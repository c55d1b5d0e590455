// tolvane-getlog without a cursor file writes everything the device holds,
// also the minute after a rotation; with one it waits where the rotation is
// under way. Real runs of the tool over misc's files in the sandbox, to a
// file, to standard output and to a command.

#include <sys/wait.h>
#include <zlib.h>

#include <cstdlib>
#include <ctime>
#include <sstream>

#include "support.h"

namespace tolvane_test {
namespace {

// Runs `command` in sh with T the tool: its exit code; its standard error
// in *err.
int Sh(const std::string& command, std::string* err) {
  const int status =
      std::system(("T() { $TOLVANE_EMULATOR \"$TOLVANE_GETLOG\" \"$@\"; }; { " +
                   command + "; } 2>/var/tmp/err")
                      .c_str());
  *err = ReadFile("/var/tmp/err");
  return WEXITSTATUS(status);
}

// The content of generation `n`'s piece.
std::string Lines(int n) { return "line of " + std::to_string(n) + "\n"; }

struct Caught {
  const char* name;
  // Generations by number, oldest first: "7" an archive, "7~" an archive
  // cut short, "a7" the active log (which holds `active`); all written just
  // now, the checkpoint too, which holds the active log's number.
  const char* files;
  const char* active;
  const char* snapshot;  // the blocks written, in order, as in `files`
  const char* warning;   // the snapshot's standard error
  const char* cursor;    // the blocks a first run with a cursor file writes
  bool cursorWaits;      // and it says it ends before a rotation
};
void PrintTo(const Caught& row, std::ostream* out) { *out << row.name; }

class SnapshotTest : public DeviceTest,
                     public testing::WithParamInterface<Caught> {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::istringstream files(GetParam().files);
    for (std::string file; files >> file;) {
      if (file[0] == 'a') {
        const int n = std::stoi(file.substr(1));
        WriteFile(MiscPath(n, ".log"), GetParam().active);
        WriteFile("/var/log/misc.txt", std::to_string(n) + "\n");
        continue;
      }
      const int n = std::stoi(file);
      WriteGz(MiscPath(n, ".log.gz"), Lines(n) + Lines(n));
      if (file.back() == '~') {
        // Cut short where its first line is decompressed, as a gzip still
        // writing it leaves it.
        const std::string whole = ReadFile(MiscPath(n, ".log.gz"));
        WriteFile(MiscPath(n, ".log.gz"), whole.substr(0, whole.size() - 9));
      }
    }
  }
  // The blocks that `tokens` name: "7" archive 7 whole, "7~" as far as it
  // decompresses, "a7" the active log.
  std::string Expected(const std::string& tokens) {
    std::string out;
    std::istringstream in(tokens);
    for (std::string token; in >> token;) {
      if (token[0] == 'a') {
        out += Block(MiscPath(std::stoi(token.substr(1)), ".log"),
                     GetParam().active);
        continue;
      }
      const int n = std::stoi(token);
      if (token.back() != '~') {
        out += Block(MiscPath(n, ".log.gz"), Lines(n) + Lines(n));
        continue;
      }
      out += "\n" + MiscPath(n, ".log.gz") + " follows, damaged:\n\n" +
             Decompressed(MiscPath(n, ".log.gz"));
    }
    return out;
  }
  // What zlib gives of a gzip file cut short.
  static std::string Decompressed(const std::string& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    std::string data;
    char buffer[4096];
    int got = 0;
    while (file != nullptr && (got = gzread(file, buffer, sizeof buffer)) > 0)
      data.append(buffer, static_cast<std::size_t>(got));
    if (file != nullptr) gzclose(file);
    return data;
  }
};

// Items the operator most wants are the newest: a snapshot writes every
// piece on disk, names the generation it could not read, and exits 0, to a
// file, to standard output and to a command alike; a run with a cursor file
// ends where the rotation is under way and says so.
TEST_P(SnapshotTest, WritesEverythingTheDeviceHolds) {
  const Caught& row = GetParam();
  const std::string expected = Expected(row.snapshot);
  for (const char* command : {"T misc /var/log/out", "T misc - >/var/log/out",
                              "T --to-command 'cat >/var/log/out' misc"}) {
    std::string err;
    EXPECT_EQ(0, Sh(command, &err)) << command;
    EXPECT_EQ(row.warning, err) << command;
    // Compared apart from a print of what could be megabytes.
    EXPECT_TRUE(expected == ReadFile("/var/log/out"))
        << command << ": " << ReadFile("/var/log/out").substr(0, 300);
  }
  std::string err;
  EXPECT_EQ(0, Sh("T --cursor-file /var/log/cur misc /var/log/out", &err));
  EXPECT_TRUE(Expected(row.cursor) == ReadFile("/var/log/out"))
      << ReadFile("/var/log/out").substr(0, 300);
  EXPECT_EQ(row.cursorWaits, err.find("is being rotated") != std::string::npos)
      << err;
}

// 300 archives across the wrap without 00000, as "65336 ... 65535 1 ... 100".
std::string AcrossTheWrap() {
  std::string files;
  for (int n = 65336; n <= 65535; ++n) files += std::to_string(n) + " ";
  for (int n = 1; n <= 100; ++n) files += std::to_string(n) + " ";
  return files;
}
const std::string kWrap = AcrossTheWrap();
const std::string kWrapWithActive = kWrap + "a101";
const std::string kBeforeTheWrap = kWrap.substr(0, kWrap.find(" 1 "));

INSTANTIATE_TEST_SUITE_P(
    Device, SnapshotTest,
    testing::Values(
        // Generation 3 compressed under another name, or deleted.
        Caught{"gap_the_minute_after_a_rotation", "1 2 4 a5", "five\n",
               "1 2 4 a5",
               "tolvane-getlog: warning: misc generation 00003 is being "
               "rotated: it is not in this output.\n",
               "1 2", true},
        Caught{"wrap_at_99_within_the_minute", "98 99 1 a2", "two\n",
               "98 99 1 a2", "", "98 99", true},
        Caught{"300_archives_across_the_wrap_without_0",
               kWrapWithActive.c_str(), "a hundred and one\n",
               kWrapWithActive.c_str(), "", kBeforeTheWrap.c_str(), true},
        Caught{"last_line_without_a_line_feed", "a1", "no newline at end", "a1",
               "", "", false},
        Caught{"damaged_archive_written_just_now", "1 2~ a3", "three\n",
               "1 2~ a3",
               "tolvane-getlog: warning: /var/log/misc00002.log.gz is "
               "damaged: written as far as it decompresses; the rest of it "
               "is lost.\n",
               "1", true}),
    [](const testing::TestParamInfo<Caught>& info) { return info.param.name; });

}  // namespace
}  // namespace tolvane_test
