// A shared device: another local user who plants things in /var/tmp, an
// output file that must not be torn, and requests that are interrupted.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "support.h"
#include "tolvane_report.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::GetEntireLog;
using nq_tolvane::LOGTYPE_MISC;

// ---- The output file -----------------------------------------------------

// What another user, mallory, leaves in /var/tmp for a root request that
// writes there: refused, with nothing written anywhere.
TEST_F(DeviceTest, PlantedOutputIsRefused) {
  LayOut();
  WriteFile("/etc/victim", "root only");
  AddUser("mallory");
  const struct {
    const char* name;
    std::function<void()> plant;  // run as mallory
    const char* output;           // what the root request names
  } rows[] = {
      {"link", [] { fs::create_symlink("/etc/victim", "/var/tmp/out"); },
       "/var/tmp/out"},
      {"fifo", [] { mkfifo("/var/tmp/out", 0666); }, "/var/tmp/out"},
      {"file", [] { WriteFile("/var/tmp/out", "mallory's"); }, "/var/tmp/out"},
      {"link on the way", [] { fs::create_symlink("/etc", "/var/tmp/dir"); },
       "/var/tmp/dir/victim"},
      {"nothing", [] {}, "/var/tmp/out"}};
  for (const auto& row : rows) {
    for (const char* name : {"/var/tmp/out", "/var/tmp/dir"}) fs::remove(name);
    ASSERT_EQ(0, RunAs("mallory", [&] { return row.plant(), 0; }));
    const std::vector<std::string> planted = ScratchLeft();
    const bool refused = std::string(row.name) != "nothing";
    EXPECT_EQ(!refused, GetEntireLog(LOGTYPE_MISC, row.output)) << row.name;
    EXPECT_EQ("root only", ReadFile("/etc/victim")) << row.name;
    EXPECT_EQ(refused ? planted : std::vector<std::string>{"out"},
              ScratchLeft())
        << row.name;
    EXPECT_EQ(refused ? 1u : 0u,
              With(TakeBrev(), "3 GetEntireLog: refusing to write " +
                                   std::string(row.output) + ": ")
                  .size())
        << row.name;
  }
  EXPECT_EQ(Log(), ReadFile("/var/tmp/out"));
}

TEST_F(DeviceTest, NewOutputIsPrivateAndAnOwnOneKeepsItsMode) {
  LayOut();
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/new"));
  auto mode = [](const char* path) {
    struct stat info;
    return stat(path, &info) == 0 ? info.st_mode & 07777 : 0;
  };
  EXPECT_EQ(0600u, mode("/var/log/new"));
  WriteFile("/var/log/own", "earlier");
  chmod("/var/log/own", 0644);
  ASSERT_TRUE(GetEntireLog(LOGTYPE_MISC, "/var/log/own"));
  EXPECT_EQ(0644u, mode("/var/log/own"));
  EXPECT_EQ(Log(), ReadFile("/var/log/own"));
}

// A full file system or a missing directory: the request fails and the
// earlier output is whole.
TEST_F(DeviceTest, FailedWriteLeavesTheEarlierOutputWhole) {
  LayOut();
  fs::create_directories("/var/log/small");
  ASSERT_EQ(0, mount("tmpfs", "/var/log/small", "tmpfs", 0, "size=64k"));
  WriteFile("/var/log/small/out", "earlier");
  WriteGz("/var/log/misc00099.log.gz", std::string(1 << 20, 'x'));
  EXPECT_FALSE(GetEntireLog(LOGTYPE_MISC, "/var/log/small/out"));
  // 99 fills the file system; nothing after it fits either.
  EXPECT_EQ((std::vector<std::string>{
                "3 CreateSingleLogFile: /var/log/misc00099.log.gz left out: "
                "could not be written.",
                "3 CreateSingleLogFile: /var/log/misc00001.log.gz left out: "
                "could not be written.",
                "3 CreateSingleLogFile: /var/log/misc00002.log left out: "
                "could not be written."}),
            With(TakeBrev(), " left out: "));
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator("/var/log/small"))
    left.push_back(entry.path().filename());
  EXPECT_EQ(std::vector<std::string>{"out"}, left);
  EXPECT_EQ("earlier", ReadFile("/var/log/small/out"));

  umount2("/var/log/small", MNT_DETACH);

  EXPECT_FALSE(GetEntireLog(LOGTYPE_MISC, "/var/log/none/out"));
  EXPECT_FALSE(fs::exists("/var/log/none"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

// ---- Scratch space -------------------------------------------------------

// What a request killed outright left is removed by the next request of
// the same user, of any log type; what others have, live requests' and
// look-alikes planted by another user are not.
TEST_F(DeviceTest, NextRequestRemovesWhatDeadRequestsLeft) {
  LayOut(nq_tolvane::LOGTYPE_SNMPD);
  AddUser("mallory");
  auto make = [](const std::string& name) {
    fs::create_directory("/var/tmp/" + name);
    WriteFile("/var/tmp/" + name + "/misc00098.log.gz-1.txt", "x");
    return 0;
  };
  make("tolvane.1.deaDd1");  // a dead request of root's
  make("tolvane.2.livEe1");  // a live one, which holds its lock
  make("tolvane.3.other");   // not a scratch directory's name
  ASSERT_EQ(0, RunAs("mallory", [&] { return make("tolvane.4.malLo1"); }));
  const int live = open("/var/tmp/tolvane.2.livEe1", O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(0, flock(live, LOCK_EX));

  ASSERT_TRUE(GetEntireLog(nq_tolvane::LOGTYPE_SNMPD, "/var/log/out"));
  EXPECT_EQ((std::vector<std::string>{"tolvane.2.livEe1", "tolvane.3.other",
                                      "tolvane.4.malLo1"}),
            ScratchLeft());
  close(live);
}

// ---- Interruption --------------------------------------------------------

// A caller that blocks SIGTERM and has one pending is being told to end:
// the request runs no command and tells that SIGTERM stopped it.
TEST_F(DeviceTest, PendingTerminationStopsTheRequestBeforeItsFirstCommand) {
  LayOut();
  EXPECT_EQ(0, RunAs("", [] {
              sigset_t term;
              sigemptyset(&term);
              sigaddset(&term, SIGTERM);
              pthread_sigmask(SIG_BLOCK, &term, nullptr);
              raise(SIGTERM);
              nq_tolvane::Report report;
              const bool result = nq_tolvane::AssembleEntireLog(
                  LOGTYPE_MISC, "/var/log/out", &report);
              const std::vector<std::string> told = TakeBrev();
              return !result && report.stopSignal == SIGTERM &&
                             report.leftOut.empty() &&
                             With(told, "ExtractArchive").empty() &&
                             Has(told,
                                 "3 GetEntireLog: misc log stopped by signal "
                                 "15; /var/log/out not written.")
                         ? 0
                         : 1;
            }));
  EXPECT_FALSE(fs::exists("/var/log/out"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

}  // namespace
}  // namespace tolvane_test
