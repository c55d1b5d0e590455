// The history of a log found in process, without root or the sandbox: its
// order across the wrap, the generations it lacks, the active directory's
// copy of an archive, and directories that cannot be listed.

#include <sys/stat.h>

#include <filesystem>

#include "commands/ArchiveMap.h"
#include "support.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::FindHistory;
using nq_tolvane::History;

// "98 99 1 a2": the pieces' numbers in output order, "a" for the active log.
std::string Order(const History& history) {
  std::string text;
  for (const auto& piece : history.pieces)
    text += std::string(text.empty() ? "" : " ") +
            (piece.kind == nq_tolvane::PieceKind::kActiveLog ? "a" : "") +
            std::to_string(piece.sequence);
  return text;
}

std::string Runs(const std::vector<nq_tolvane::GenerationRun>& runs) {
  std::string text;
  for (const auto& run : runs)
    text += std::string(text.empty() ? "" : " ") + std::to_string(run.first) +
            (run.first == run.last ? "" : "-" + std::to_string(run.last));
  return text;
}

// The misc log in two directories of the build tree of its own.
class HistoryTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string name;
    // compare_file_age reads the selected type's prefix and number.
    CaptureStderr([&] { nti::Initialize(nq_tolvane::LOGTYPE_MISC, name); });
    root_ = ::testing::TempDir() + "tolvane-history.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(root_.data()));
    for (const char* dir : {"/active", "/backup"})
      fs::create_directory(root_ + dir);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Path(const char* dir, int number, const char* tail) {
    char name[32];
    std::snprintf(name, sizeof name, "/misc%05d%s", number, tail);
    return root_ + dir + name;
  }
  History Find() {
    return FindHistory({"misc", root_ + "/active", root_ + "/backup"});
  }

  std::string root_;
};

TEST_F(HistoryTest, OrderAcrossTheWrapAndTheGapsBeforeTheActiveLog) {
  // Checkpoint -1: none, and the pivot stays where the state has it (7).
  const struct {
    int checkpoint;
    std::vector<int> archives;
    bool active;  // the checkpoint's active log is there
    const char *order, *lost;
  } rows[] = {
      {103, {98, 99, 102}, true, "98 99 102 a103", "100-101"},
      {4, {65533, 65535, 1, 3}, true, "65533 65535 1 3 a4", "65534 2"},
      {10, {5, 6, 7}, false, "5 6 7", "8-9"},    // after the newest
      {2, {98, 99, 1}, true, "98 99 1 a2", ""},  // the device wrapped at 99
      {0, {2, 0, 1}, false, "1 2 0", ""},        // all others are older
      {65535, {7, 65535, 0}, true, "0 7 65535 a65535", "1-6 8-65534"},
      {-1, {5, 7, 9}, false, "9 5 7", ""},
  };
  for (const auto& row : rows) {
    for (const char* dir : {"/active", "/backup"})
      for (const auto& entry : fs::directory_iterator(root_ + dir))
        fs::remove(entry);
    nti::SetLogNum(7);
    if (row.checkpoint >= 0)
      WriteFile(root_ + "/backup/misc.txt",
                std::to_string(row.checkpoint) + "\n");
    if (row.active) WriteFile(Path("/active", row.checkpoint, ".log"), "");
    for (int n : row.archives) WriteFile(Path("/backup", n, ".log.gz"), "");
    const History history = Find();
    EXPECT_EQ(row.order, Order(history)) << row.order;
    EXPECT_EQ(row.lost, Runs(history.found.lost)) << row.order;
    EXPECT_EQ(row.checkpoint >= 0, history.found.checkpointFound) << row.order;
    EXPECT_EQ(row.checkpoint >= 0 ? row.checkpoint : 7, history.found.current)
        << row.order;
  }
}

// An archive in both directories is the active directory's; a directory
// that is there but cannot be listed is told, one that is not there is not.
TEST_F(HistoryTest, ActiveDirectoryCopyWinsAndUnlistableDirectoriesAreTold) {
  WriteFile(root_ + "/backup/misc.txt", "2\n");
  for (const char* dir : {"/active", "/backup"})
    WriteFile(Path(dir, 1, ".log.gz"), dir);
  History history = Find();
  ASSERT_EQ("1", Order(history));
  EXPECT_EQ(Path("/active", 1, ".log.gz"), history.Path(0));
  EXPECT_EQ(7u, history.pieces[0].size);
  EXPECT_EQ(std::vector<std::string>{}, history.found.unlisted);

  fs::remove_all(root_ + "/active");
  WriteFile(root_ + "/active", "a file where a directory should be");
  history = Find();
  EXPECT_EQ(std::vector<std::string>{root_ + "/active"},
            history.found.unlisted);
  EXPECT_EQ("1", Order(history));
}

}  // namespace
}  // namespace tolvane_test
