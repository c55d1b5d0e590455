// What the library tells its callers as facts: the plan of a request, the
// report of one, lost generations, a stop the caller owns, and an output
// that survives a power cut.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "support.h"
#include "tolvane_report.h"

namespace {
// What the test program saw of fsync() and renameat(): "fsync <dev:ino>",
// "rename <new name>", in order.
std::mutex durabilityMutex;
std::vector<std::string> durability;

std::string Inode(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) return "?";
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}
void Record(const std::string& event) {
  std::lock_guard<std::mutex> lock(durabilityMutex);
  durability.push_back(event);
}
}  // namespace

// Recording stand-ins in front of the C library's, which they call.
extern "C" int fsync(int fd) {
  static const auto next =
      reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
  Record("fsync " + Inode(fd));
  return next(fd);
}
extern "C" int renameat(int oldDir, const char* oldName, int newDir,
                        const char* newName) {
  static const auto next =
      reinterpret_cast<int (*)(int, const char*, int, const char*)>(
          dlsym(RTLD_NEXT, "renameat"));
  const int result = next(oldDir, oldName, newDir, newName);
  Record(std::string("rename ") + newName);
  return result;
}

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::LOGTYPE_MISC;

std::string Inode(const char* path) {
  struct stat info;
  if (stat(path, &info) != 0) return "?";
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::string Archive(int n) {
  char name[64];
  std::snprintf(name, sizeof name, "/var/log/misc%05d.log.gz", n);
  return name;
}

std::string Runs(const std::vector<nq_tolvane::GenerationRun>& runs) {
  std::string text;
  for (const auto& run : runs)
    text += std::to_string(run.first) + "-" + std::to_string(run.last) + " ";
  return text;
}

TEST_F(DeviceTest, PlanAgreesWithTheAssemblyPieceForPiece) {
  LayOut();
  WriteFile("/var/log/misc00099.log.gz", "not gzip");
  nq_tolvane::Plan plan;
  ASSERT_TRUE(nq_tolvane::PlanEntireLog(LOGTYPE_MISC, &plan));
  EXPECT_EQ(std::vector<std::string>{}, TakeBrev());  // a plan says nothing
  nq_tolvane::Report report;
  EXPECT_FALSE(
      nq_tolvane::AssembleEntireLog(LOGTYPE_MISC, "/var/log/out", &report));
  ASSERT_EQ(4u, plan.pieces.size());
  ASSERT_EQ(plan.pieces.size(), report.pieces.size());
  for (size_t i = 0; i < plan.pieces.size(); ++i) {
    EXPECT_EQ(plan.pieces[i].sourcePath, report.pieces[i].sourcePath) << i;
    EXPECT_EQ(plan.pieces[i].kind, report.pieces[i].kind) << i;
    EXPECT_EQ(plan.pieces[i].sequence, report.pieces[i].sequence) << i;
    EXPECT_EQ(i == 1 ? nq_tolvane::PieceStatus::kLeftOut
                     : nq_tolvane::PieceStatus::kWritten,
              report.pieces[i].status)
        << i;
  }
  EXPECT_EQ("/var/log/misc00099.log.gz", report.pieces[1].sourcePath);
  EXPECT_EQ("could not decompress", report.pieces[1].reason);
  ASSERT_EQ(1u, report.leftOut.size());
  EXPECT_EQ("could not decompress", report.leftOut[0].why);
  EXPECT_EQ(nq_tolvane::PieceKind::kActiveLog, plan.pieces[3].kind);
  EXPECT_TRUE(report.outputWritten && report.checkpointFound);
  EXPECT_EQ(Log({"98", "01", "active"}), ReadFile("/var/log/out"));
}

// Generations between the oldest archive and the active log that no
// archive holds. Where the numbers wrapped, the device's wrap point is not
// known, so the numbers past the newest earlier archive and 0 are not.
TEST_F(DeviceTest, LostGenerationsAreTheGapsBeforeTheActiveLog) {
  const struct {
    const char* name;
    int checkpoint;  // -1: no checkpoint file
    std::vector<int> archives;
    const char* lost;
  } rows[] = {
      {"middle", 103, {98, 99, 102}, "100-101 "},
      {"across the wrap", 4, {65533, 65535, 1, 3}, "65534-65534 2-2 "},
      {"after the newest", 10, {5, 6, 7}, "8-9 "},
      {"none, wrapped at 99", 2, {98, 99, 1}, ""},
      {"no checkpoint", -1, {5, 7}, ""},
  };
  for (const auto& row : rows) {
    for (const auto& entry : fs::directory_iterator("/var/log"))
      fs::remove(entry);
    if (row.checkpoint >= 0)
      WriteFile("/var/log/misc.txt", std::to_string(row.checkpoint) + "\n");
    for (int n : row.archives) WriteGz(Archive(n), "x\n");
    nq_tolvane::Plan plan;
    ASSERT_TRUE(nq_tolvane::PlanEntireLog(LOGTYPE_MISC, &plan));
    EXPECT_EQ(row.lost, Runs(plan.lost)) << row.name;
    EXPECT_EQ(row.checkpoint >= 0, plan.checkpointFound) << row.name;
  }
  // A request reports each run once and is still complete.
  for (const auto& entry : fs::directory_iterator("/var/log"))
    fs::remove(entry);
  WriteFile("/var/log/misc.txt", "104\n");
  for (int n : {98, 100, 101}) WriteGz(Archive(n), "x\n");
  TakeBrev();
  nq_tolvane::Report report;
  EXPECT_TRUE(
      nq_tolvane::AssembleEntireLog(LOGTYPE_MISC, "/var/log/out", &report));
  EXPECT_EQ("99-99 102-103 ", Runs(report.lost));
  EXPECT_EQ((std::vector<std::string>{
                "4 GetEntireLog: misc generation 00099 is missing.",
                "4 GetEntireLog: misc generations 00102-00103 are missing."}),
            With(TakeBrev(), " missing."));
}

// What the scratch copies need, from gzip trailers and the active log's
// size, against a /var/tmp too small for them; an archive the caller cannot
// read makes the figure a lower bound.
TEST_F(DeviceTest, PlanWeighsTheScratchCopiesAgainstFreeSpace) {
  LayOut();
  WriteGz(Archive(99), std::string(1 << 20, 'x'));
  ASSERT_EQ(0, mount("tmpfs", "/var/tmp", "tmpfs", 0, "size=256k,mode=1777"));
  nq_tolvane::Plan plan;
  ASSERT_TRUE(nq_tolvane::PlanEntireLog(LOGTYPE_MISC, &plan));
  const uint64_t expected = (1 << 20) +
                            2 * std::string("misc archive 98\n").size() +
                            std::string("misc active 2\nno line feed").size();
  EXPECT_EQ(expected, plan.scratchNeeded);
  EXPECT_FALSE(plan.scratchNeededIsLowerBound);
  EXPECT_LE(plan.scratchFree, 256u << 10);
  EXPECT_GT(plan.scratchFree, 0u);
  AddUser("outsider");
  chmod(Archive(98).c_str(), 0600);
  EXPECT_EQ(0, RunAs("outsider", [] {
              nq_tolvane::Plan plan;
              nq_tolvane::PlanEntireLog(LOGTYPE_MISC, &plan);
              const auto& first = plan.pieces.front();
              return !first.readable && !first.reachable &&
                             !first.scratchSizeKnown &&
                             plan.scratchNeededIsLowerBound &&
                             plan.pieces.back().reachable
                         ? 0
                         : 1;
            }));
  umount2("/var/tmp", MNT_DETACH);
}

// GNU gunzip exits 2 when it ignored bytes after the compressed data: the
// whole archive was decoded, so the piece is kept and the warning told.
TEST_F(DeviceTest, GunzipWarningKeepsThePiece) {
  LayOut();
  std::ofstream(Archive(99), std::ios::app) << "trailing garbage";
  nq_tolvane::Report report;
  EXPECT_TRUE(
      nq_tolvane::AssembleEntireLog(LOGTYPE_MISC, "/var/log/out", &report));
  EXPECT_EQ(Log(), ReadFile("/var/log/out"));
  EXPECT_EQ(nq_tolvane::PieceStatus::kWritten, report.pieces[1].status);
  EXPECT_NE("", report.pieces[1].reason);
  EXPECT_EQ(1u, With(TakeBrev(), "4 ExtractArchive: " + Archive(99)).size());
}

// The data reaches the disk before the new file takes the output's name,
// and the rename itself after it.
TEST_F(DeviceTest, OutputIsSyncedBeforeItsRenameAndTheDirectoryAfter) {
  LayOut();
  WriteFile("/var/log/out", "earlier");
  durability.clear();
  ASSERT_TRUE(nq_tolvane::GetEntireLog(LOGTYPE_MISC, "/var/log/out"));
  EXPECT_EQ(
      (std::vector<std::string>{"fsync " + Inode("/var/log/out"), "rename out",
                                "fsync " + Inode("/var/log")}),
      durability);
}

// A request stopped through a Stop: by another thread, by a signal handler,
// or before it starts. The copy of the active log, a FIFO without a writer,
// blocks until then.
TEST_F(DeviceTest, StopEndsTheRequestLeavingNothing) {
  LayOut();
  fs::remove("/var/log/misc00002.log");
  mkfifo("/var/log/misc00002.log", 0600);
  WriteFile("/var/log/out", "earlier");
  static nq_tolvane::Stop* stop = nullptr;
  const struct {
    const char* name;
    int signal;
    std::function<void(pid_t)> ask;  // with the pid of the requesting child
  } rows[] = {
      {"thread", SIGTERM, [](pid_t) {}},
      {"handler", SIGUSR1, [](pid_t child) { kill(child, SIGUSR1); }},
      {"before", SIGHUP, [](pid_t) {}},
  };
  for (const auto& row : rows) {
    const std::string name = row.name;
    const pid_t child = fork();
    if (child == 0) {
      nq_tolvane::Stop own;
      stop = &own;
      // Dispositions the caller has do not shield the commands.
      std::signal(SIGTERM, SIG_IGN);
      std::signal(SIGUSR1, [](int signal) { stop->Request(signal); });
      if (name == "before") own.Request(row.signal);
      auto asked = std::chrono::steady_clock::now();
      std::thread asker([&] {
        if (name != "thread") return;
        while (ScratchLeft().empty()) usleep(10000);
        usleep(200000);
        // Programs started meanwhile see nothing of the request.
        std::system("ls -l /proc/self/fd/ >/var/log/fds 2>&1");
        asked = std::chrono::steady_clock::now();
        own.Request(row.signal);
      });
      nq_tolvane::Report report;
      const bool result = nq_tolvane::AssembleEntireLog(
          LOGTYPE_MISC, "/var/log/out", &report, &own);
      const auto took = std::chrono::steady_clock::now() - asked;
      asker.join();
      _exit(!result && report.stopSignal == row.signal &&
                    !report.outputWritten && took < std::chrono::seconds(2)
                ? 0
                : 1);
    }
    if (name == "handler") {
      while (ScratchLeft().empty()) usleep(10000);
      usleep(200000);
    }
    const auto start = std::chrono::steady_clock::now();
    row.ask(child);
    EXPECT_EQ(0, Wait(child)) << name;
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(name == "thread" ? 4 : 2))
        << name;
    EXPECT_EQ("earlier", ReadFile("/var/log/out")) << name;
    EXPECT_EQ(std::vector<std::string>{}, ScratchLeft()) << name;
  }
  const std::string fds = ReadFile("/var/log/fds");
  EXPECT_EQ(std::string::npos, fds.find("tolvane.")) << fds;
  EXPECT_EQ(std::string::npos, fds.find("/var/log/#")) << fds;
}

}  // namespace
}  // namespace tolvane_test
