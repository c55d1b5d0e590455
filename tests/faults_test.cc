// GetEntireLog under faults: true only for a complete history; what survives
// is written in order, each piece left out named with its reason.

#include <sys/mount.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "commands/Shell.h"
#include "support.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;

// GetEntireLog returns true exactly when no piece is left out.
struct Fault {
  const char* name;
  std::function<void()> make;     // after LayOut()
  std::vector<std::string> kept;  // the pieces in the output, as for Log()
  std::string leftOut;            // the "left out" message, if any
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

class FaultTest : public DeviceTest,
                  public testing::WithParamInterface<Fault> {};

TEST_P(FaultTest, ResultAndOutputTellWhatIsMissing) {
  LayOut();
  GetParam().make();
  const bool result =
      nq_tolvane::GetEntireLog(nq_tolvane::LOGTYPE_MISC, "/var/log/out");
  umount2("/var/tmp", MNT_DETACH);  // where a row mounted a small one
  EXPECT_EQ(GetParam().leftOut.empty(), result);
  EXPECT_EQ(Log(GetParam().kept), ReadFile("/var/log/out"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
  std::vector<std::string> want;
  if (!GetParam().leftOut.empty())
    want = {"3 " + GetParam().leftOut,
            "3 GetEntireLog: misc log NOT completely copied to /var/log/out."};
  const std::vector<std::string> brev = TakeBrev();
  std::vector<std::string> told = With(brev, " left out: ");
  for (const std::string& message : With(brev, " NOT "))
    told.push_back(message);
  EXPECT_EQ(want, told);
}

const char kGz99[] = "/var/log/misc00099.log.gz";

// Makes `piece` 1 MiB and /var/tmp too small for it.
void FillVarTmpWith(const std::string& piece) {
  const std::string big(1 << 20, 'x');
  piece.back() == 'z' ? WriteGz(piece, big) : WriteFile(piece, big);
  ASSERT_EQ(0, mount("tmpfs", "/var/tmp", "tmpfs", 0, "size=256k,mode=1777"));
}

INSTANTIATE_TEST_SUITE_P(
    , FaultTest,
    testing::Values(
        Fault{"CorruptArchive",
              [] { WriteFile(kGz99, "not gzip\n"); },
              {"98", "01", "active"},
              "CopyArchives: /var/log/misc00099.log.gz left out: could not "
              "decompress."},
        Fault{"FullScratchDirectory",
              [] { FillVarTmpWith(kGz99); },
              {"98", "01", "active"},
              "CopyArchives: /var/log/misc00099.log.gz left out: no room in "
              "/var/tmp."},
        // Either reading gives a complete history: what the checkpoint
        // names is not there, so nothing is missing.
        Fault{"ActiveLogMissing",
              [] { fs::remove("/var/log/misc00002.log"); },
              {"98", "99", "01"},
              ""},
        // The newest archive, 99, is then the pivot of the order.
        Fault{"CheckpointMissing",
              [] { fs::remove("/var/log/misc.txt"); },
              {"01", "98", "99"},
              ""}));

// An archive rotated away between listing and extraction is not missing.
TEST_F(DeviceTest, ArchiveRotatedAwayMeanwhileIsNotMissing) {
  LayOut();
  // 01 is extracted first and takes a while; 98 goes while it runs.
  const std::string newest(16 << 20, '\n');
  WriteGz("/var/log/misc00001.log.gz", newest);
  std::thread rotate([] {
    const std::string scratch = "/misc00001.log.gz-" + Pid() + ".txt";
    while (ScratchLeft().empty() ||
           !fs::exists("/var/tmp/" + ScratchLeft().front() + scratch))
      std::this_thread::yield();
    fs::remove("/var/log/misc00098.log.gz");
  });
  EXPECT_TRUE(
      nq_tolvane::GetEntireLog(nq_tolvane::LOGTYPE_MISC, "/var/log/out"));
  rotate.join();
  EXPECT_EQ(Log({"99"}) + Block("/var/log/misc00001.log.gz", newest) +
                Log({"active"}),
            ReadFile("/var/log/out"));
  EXPECT_TRUE(
      Has(TakeBrev(),
          "5 ExtractArchive: /var/log/misc00098.log.gz file not found"));
}

// Every byte value, alone and between others, and shell syntax: each word of
// ShellWord comes back exactly through one run of the real sh, and each of
// EchoWord through one run of /bin/echo -e.
TEST(Quoting, EveryByteComesBackExactly) {
  std::vector<std::string> texts = {"",   "misc00001.log.gz", "'",   "''\\",
                                    "$0", "$(touch pwned)",   "\\c", "-n"};
  for (int byte = 1; byte <= 255; ++byte) {
    texts.push_back(std::string(1, static_cast<char>(byte)));
    texts.push_back("a" + texts.back() + "\\n" + texts.back() + "z");
  }
  std::string shell = "printf '%s\\0'", echo = "/bin/echo -e", sent, echoed;
  for (const std::string& text : texts) {
    shell += " " + nq_tolvane::ShellWord(text);
    echo += " " + nq_tolvane::EchoWord(text);
    sent += text + '\0';
    echoed += text + " ";
  }
  echoed.back() = '\n';
  for (const auto& [command, expected] :
       {std::pair(shell, sent), {echo, echoed}}) {
    FILE* run = popen(command.c_str(), "r");
    std::string got;
    for (int c; (c = std::fgetc(run)) != EOF;) got += static_cast<char>(c);
    EXPECT_EQ(0, pclose(run));
    EXPECT_EQ(expected, got) << command;
  }
}

// One name of each kind of shell syntax, end to end, and the longest name a
// directory entry holds (no room for "-<pid>.txt" in its scratch name).
TEST_F(DeviceTest, HostileNamesAreAssembledAndRunNothing) {
  WriteFile("/var/log/misc.txt", "999\n");
  const std::string tails[] = {"'",      "$(touch pwned)",
                               "\\c",    "\n-n",
                               " -rf *", std::string(255 - 16, 'n')};
  std::string expected;
  for (int i = 0; i < 6; ++i) {
    const std::string path =
        "/var/log/misc0000" + std::to_string(i) + tails[i] + ".log.gz";
    WriteGz(path, "piece " + std::to_string(i) + "\n");
    expected += Block(path, "piece " + std::to_string(i) + "\n");
  }
  fs::current_path("/var/log");
  const std::string output = "/var/log/-out $(touch pwned) 'q'";
  EXPECT_TRUE(nq_tolvane::GetEntireLog(nq_tolvane::LOGTYPE_MISC, output));
  EXPECT_EQ(expected, ReadFile(output));
  EXPECT_FALSE(fs::exists("/var/log/pwned"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

// With SIGCHLD ignored no command's status can be had: the library fails,
// says why, and leaves the output as it was; tolvane-getlog resets it and
// works.
TEST_F(DeviceTest, IgnoredSigchld) {
  LayOut();
  WriteFile("/var/log/out", "earlier");
  EXPECT_EQ(0, RunAs("", [] {
              std::signal(SIGCHLD, SIG_IGN);
              const bool result = nq_tolvane::GetEntireLog(
                  nq_tolvane::LOGTYPE_MISC, "/var/log/out");
              return !result && Has(TakeBrev(),
                                    "3 CopyActiveLog: /var/log/misc00002.log "
                                    "left out: No child processes (the "
                                    "caller ignores SIGCHLD or reaps the "
                                    "commands).")
                         ? 0
                         : 1;
            }));
  EXPECT_EQ("earlier", ReadFile("/var/log/out"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
  EXPECT_EQ(0, RunAs("", []() -> int {
              std::signal(SIGCHLD, SIG_IGN);  // kept across exec
              ExecTool({"misc", "/var/log/out"}, "");
            }));
  EXPECT_EQ(Log(), ReadFile("/var/log/out"));
}

}  // namespace
}  // namespace tolvane_test
