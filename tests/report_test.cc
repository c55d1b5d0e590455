// What the library tells its callers as facts: the plan of a request, the
// report of one, lost generations, a stop the caller owns, and an output
// that survives a power cut.

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "support.h"
#include "tolvane_report.h"

namespace {
// fsync() and renameat() as the program made them, in order: "fsync
// <inode>" and "rename <new name>".
std::mutex durabilityMutex;
std::vector<std::string> durability;

std::string Inode(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 ? std::to_string(info.st_ino) : "?";
}
void Record(const std::string& event) {
  std::lock_guard<std::mutex> lock(durabilityMutex);
  durability.push_back(event);
}
}  // namespace

// Recording stand-ins in front of the C library's, which they call.
extern "C" int fsync(int fd) {
  Record("fsync " + Inode(fd));
  return reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"))(fd);
}
extern "C" int renameat(int oldDir, const char* old, int newDir,
                        const char* name) {
  Record(std::string("rename ") + name);
  return reinterpret_cast<int (*)(int, const char*, int, const char*)>(
      dlsym(RTLD_NEXT, "renameat"))(oldDir, old, newDir, name);
}

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::LOGTYPE_MISC;
using nq_tolvane::PieceStatus;
using nq_tolvane::Reason;

std::string Archive(int n) { return MiscPath(n, ".log.gz"); }

// 99 is corrupt; 01 has bytes after its compressed data, which GNU gunzip
// warns of (exit status 2) after decoding it whole: it is kept.
TEST_F(DeviceTest, PlanAgreesWithTheAssemblyPieceForPiece) {
  LayOut();
  WriteFile(Archive(99), "not gzip");
  std::ofstream(Archive(1), std::ios::app) << "trailing garbage";
  nq_tolvane::Plan plan;
  ASSERT_TRUE(nq_tolvane::PlanEntireLog(LOGTYPE_MISC, &plan));
  EXPECT_EQ(std::vector<std::string>{}, TakeBrev());  // a plan says nothing
  nq_tolvane::Report report;
  EXPECT_FALSE(
      nq_tolvane::AssembleEntireLog(LOGTYPE_MISC, "/var/log/out", &report));
  ASSERT_EQ(4u, plan.pieces.size());
  EXPECT_EQ(4u, plan.pieceCount);
  // Of the four pieces the report tells the two with something to tell,
  // and counts the others.
  EXPECT_EQ(4u, report.pieceCount);
  EXPECT_EQ(3u, report.written);
  ASSERT_EQ(2u, report.pieces.size());
  for (size_t i = 0; i < 2; ++i) {
    const nq_tolvane::PlannedPiece& planned = plan.pieces[i + 1];
    EXPECT_EQ(planned.sourcePath, report.pieces[i].sourcePath) << i;
    EXPECT_EQ(planned.kind, report.pieces[i].kind) << i;
    EXPECT_EQ(planned.sequence, report.pieces[i].sequence) << i;
  }
  EXPECT_EQ(PieceStatus::kLeftOut, report.pieces[0].status);
  EXPECT_EQ(PieceStatus::kWritten, report.pieces[1].status);
  EXPECT_EQ(Archive(99), report.pieces[0].sourcePath);
  EXPECT_EQ(Reason::kNotDecompressed, report.pieces[0].code);
  EXPECT_EQ("could not decompress", report.pieces[0].reason);
  EXPECT_EQ(Reason::kGunzipWarned, report.pieces[1].code);
  EXPECT_EQ("gunzip warned: data after the compressed data ignored",
            report.pieces[1].reason);
  ASSERT_EQ(1u, report.leftOut.size());
  EXPECT_EQ(Reason::kNotDecompressed, report.leftOut[0].code);
  EXPECT_EQ(nq_tolvane::PieceKind::kActiveLog, plan.pieces[3].kind);
  EXPECT_TRUE(report.outputWritten && report.found.checkpointFound);
  EXPECT_EQ(Log({"98", "01", "active"}), ReadFile("/var/log/out"));
  EXPECT_EQ(1u, With(TakeBrev(), "4 ExtractArchive: " + Archive(1)).size());
}

// The data reaches the disk before the new file takes the output's name,
// and the rename after it.
TEST_F(DeviceTest, OutputIsSyncedBeforeItsRenameAndTheDirectoryAfter) {
  LayOut();
  WriteFile("/var/log/out", "earlier");
  durability.clear();
  ASSERT_TRUE(nq_tolvane::GetEntireLog(LOGTYPE_MISC, "/var/log/out"));
  struct stat out, dir;
  stat("/var/log/out", &out);
  stat("/var/log", &dir);
  EXPECT_EQ((std::vector<std::string>{"fsync " + std::to_string(out.st_ino),
                                      "rename out",
                                      "fsync " + std::to_string(dir.st_ino)}),
            durability);
}

// Stopped by another thread while the copy of a FIFO blocks; the caller's
// ignored SIGTERM does not shield the commands, and a program it starts
// meanwhile holds none of the request's descriptors.
TEST_F(DeviceTest, StopEndsTheRequestLeavingNothing) {
  LayOut();
  fs::remove("/var/log/misc00002.log");
  mkfifo("/var/log/misc00002.log", 0600);
  WriteFile("/var/log/out", "earlier");
  EXPECT_EQ(0, RunAs("", [] {
              std::signal(SIGTERM, SIG_IGN);
              nq_tolvane::Stop stop;
              auto asked = std::chrono::steady_clock::now();
              std::thread asker([&] {
                while (ScratchLeft().empty()) usleep(10000);
                usleep(200000);
                std::system("ls -l /proc/self/fd/ >/var/log/fds 2>&1");
                asked = std::chrono::steady_clock::now();
                stop.Request(SIGTERM);
              });
              nq_tolvane::Report report;
              const bool result = nq_tolvane::AssembleEntireLog(
                  LOGTYPE_MISC, "/var/log/out", &report, &stop);
              asker.join();
              // Only the stop is told: no command it cut short failed.
              std::vector<std::string> failures;
              for (const std::string& told : TakeBrev())
                if (told.rfind("3 ", 0) == 0) failures.push_back(told);
              return result || report.stopSignal != SIGTERM ||
                     report.outputWritten ||
                     std::chrono::steady_clock::now() - asked >
                         std::chrono::seconds(2) ||
                     failures != std::vector<std::string>{
                                     "3 GetEntireLog: misc log stopped by "
                                     "signal 15; /var/log/out not written."};
            }));
  EXPECT_EQ("earlier", ReadFile("/var/log/out"));
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
  const std::string fds = ReadFile("/var/log/fds");
  EXPECT_EQ(std::string::npos, fds.find("tolvane.")) << fds;
  EXPECT_EQ(std::string::npos, fds.find("/var/log/#")) << fds;
}

}  // namespace
}  // namespace tolvane_test
