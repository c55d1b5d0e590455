// The archives decompressed in process give what GNU gunzip gives: the
// same bytes, and complete, warned or damaged where it exits 0, 2 or 1.

#include "stream/Readers.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdio>
#include <filesystem>

#include "support.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::Status;

std::string Gzipped(const std::string& text) {
  std::string out(compressBound(text.size()) + 32, '\0');
  z_stream stream = {};
  deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

struct Archive {
  const char* name;
  std::string bytes;
};
void PrintTo(const Archive& archive, std::ostream* out) {
  *out << archive.name;
}

class ReadersTest : public testing::TestWithParam<Archive> {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "tolvane-readers.XXXXXX";
    const int fd = mkstemp(path_.data());
    ASSERT_GE(fd, 0);
    close(fd);
  }
  void TearDown() override { fs::remove(path_); }
  std::string path_;
};

// GNU gunzip's output and exit status for the file at `path`.
int Gunzip(const std::string& path, std::string* out) {
  std::FILE* pipe =
      popen(("/bin/gunzip -c '" + path + "' 2>/dev/null").c_str(), "r");
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    out->append(buffer, got);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_P(ReadersTest, AsGnuGunzipTakesIt) {
  WriteFile(path_, GetParam().bytes);
  std::string expected;
  const int status = Gunzip(path_, &expected);
  ASSERT_TRUE(status == 0 || status == 1 || status == 2) << status;

  auto reader = nq_tolvane::GzipReader(
      open(path_.c_str(), O_RDONLY | O_CLOEXEC), [] { return false; });
  std::string got;
  char buffer[7];  // small reads cross every boundary
  while (const std::size_t n = reader->Read(buffer, sizeof buffer))
    got.append(buffer, n);
  const Status::Kind kind = reader->ending().kind;
  EXPECT_EQ(status == 0   ? Status::kComplete
            : status == 2 ? Status::kWarned
                          : Status::kDamaged,
            kind);
  // Damaged: as far as it decompresses, which gunzip may stop short of.
  if (status == 1)
    EXPECT_EQ(got.substr(0, expected.size()), expected);
  else
    EXPECT_EQ(expected, got);
}

const std::string kText = "first line\nsecond line\n";
const std::string kOne = Gzipped(kText);

INSTANTIATE_TEST_SUITE_P(
    Archives, ReadersTest,
    testing::Values(Archive{"one_member", kOne},
                    Archive{"two_members", kOne + Gzipped("more\n")},
                    Archive{"empty_member", Gzipped("")},
                    Archive{"long", Gzipped(std::string(300000, 'x') + "\n")},
                    Archive{"trailing_garbage", kOne + "garbage"},
                    Archive{"trailing_zeros", kOne + std::string(10, '\0')},
                    Archive{"zeros_then_garbage",
                            kOne + std::string(3, '\0') + "x"},
                    Archive{"zeros_then_a_member",
                            kOne + std::string(3, '\0') + Gzipped("x\n")},
                    Archive{"a_lone_byte_after", kOne + "x"},
                    Archive{"a_lone_zero_after", kOne + std::string(1, '\0')},
                    Archive{"magic_then_garbage", kOne + "\x1fx"},
                    Archive{"another_format_after", kOne + "\x1f\x9d"},
                    Archive{"damaged_second_header", kOne + "\x1f\x8b\x09junk"},
                    Archive{"second_header_cut", kOne + "\x1f\x8b\x08"},
                    Archive{"truncated", kOne.substr(0, 20)},
                    Archive{"crc_wrong", kOne.substr(0, kOne.size() - 8) +
                                             "\x01\x02\x03\x04" +
                                             kOne.substr(kOne.size() - 4)},
                    Archive{"not_gzip", "plain text\n"}, Archive{"empty", ""}),
    [](const testing::TestParamInfo<Archive>& info) {
      return info.param.name;
    });

}  // namespace
}  // namespace tolvane_test
