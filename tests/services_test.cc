// The stand-ins of the device services.

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <list>

#include "services/vorn_fileutils.h"
#include "support.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;

// readdir calls that succeed before one fails with EOVERFLOW; -1 for never.
std::atomic<long> failReaddirAfter{-1};

}  // namespace
}  // namespace tolvane_test

// Takes the place of the C library's readdir (readdir64 with 64-bit file
// offsets) for the stand-in too, so that a read can fail mid-directory.
extern "C" dirent* readdir(DIR* stream) {
  static const auto next =
      reinterpret_cast<dirent* (*)(DIR*)>(dlsym(RTLD_NEXT, "readdir64"));
  if (tolvane_test::failReaddirAfter.fetch_sub(1) == 0) {
    errno = EOVERFLOW;
    return nullptr;
  }
  return next(stream);
}

namespace tolvane_test {
namespace {

// Matching regular files in name order, or -1 and nothing on a failed read.
TEST(GetDirFileList, AppendsMatchingRegularFilesInNameOrder) {
  // In the build tree: on ext4, entry offsets are hashes beyond 32 bits,
  // which 32-bit builds read only with 64-bit file offsets.
  std::string dir = ::testing::TempDir() + "tolvane-lister.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir.data()));
  for (const char* name : {"misc00003.log.gz", "misc00001.log.gz",
                           "misc00002.log", "other.log.gz"})
    WriteFile(dir + "/" + name, "x");
  fs::create_directory(dir + "/misc00009.log.gz");
  fs::create_symlink(dir + "/misc00001.log.gz", dir + "/misc00002.log.gz");
  fs::create_symlink(dir + "/missing", dir + "/misc00004.log.gz");

  std::list<std::string> bare = {"kept"};
  EXPECT_EQ(3,
            vorn_fileutils::GetDirFileList(dir.c_str(), "misc*.log.gz", nullptr,
                                           bare, false, false, true));
  EXPECT_EQ((std::list<std::string>{"kept", "misc00001.log.gz",
                                    "misc00002.log.gz", "misc00003.log.gz"}),
            bare);

  std::list<std::string> full;
  vorn_fileutils::GetDirFileList(dir.c_str(), "MISC*.log.gz", "*3*", full, true,
                                 true, true);
  EXPECT_EQ((std::list<std::string>{dir + "/misc00001.log.gz",
                                    dir + "/misc00002.log.gz"}),
            full);

  std::list<std::string> none;
  EXPECT_EQ(-1,
            vorn_fileutils::GetDirFileList((dir + "/absent").c_str(), "*",
                                           nullptr, none, true, false, true));
  EXPECT_TRUE(none.empty());

  // Nine entries with "." and "..", then the end: fail each read in turn.
  for (long reads = 0; reads <= 9; ++reads) {
    std::list<std::string> list = {"kept"};
    failReaddirAfter = reads;
    EXPECT_EQ(-1, vorn_fileutils::GetDirFileList(dir.c_str(), "misc*", nullptr,
                                                 list, false, false, true))
        << "read " << reads << " fails";
    failReaddirAfter = -1;
    EXPECT_EQ(std::list<std::string>{"kept"}, list) << "read " << reads;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tolvane_test
