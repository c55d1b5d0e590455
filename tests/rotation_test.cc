// tolvane-getlog --cursor-file, run again and again while a device rotates
// its misc log in every order of the steps, brings each line once, in order
// and whole, whatever half-way state a run caught.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace tolvane_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr char kCheckpoint[] = "/var/log/misc.txt";

// Line `n` of the device, its length varying with its number.
std::string Line(long n) {
  char number[32];
  std::snprintf(number, sizeof number, "misc line %06ld ", n);
  return number + std::string(10 + n * 37 % 50, 'a' + n % 26) + "\n";
}

// The device, in a child process: appends lines to the active log of its
// current generation and rotates every 150 to 200 lines, with random pauses
// between the steps; a failed step ends it with exit code 1.
struct Device {
  Device(unsigned seed, int first) : random(seed), current(first) {}
  std::mt19937 random;
  int current, fd = -1;  // the generation and its active log
  long lines = 0, rotations = 0;
  int style = 0;  // of the compression: in place, beside or renamed aside
  FILE* gzip = nullptr;         // in place
  std::string source, archive;  // otherwise: the plain file and its gzip -c,
  std::size_t written = 0;      // written so far to the archive
  int gzFd = -1;
  std::vector<std::string> deck = {"zZCL", "zZLC", "CzZL", "LzZC",
                                   "CLzZ", "LCzZ", "zCZL", "zLZC",
                                   "zCLZ", "zLCZ", "CzLZ", "LzCZ"};

  // Writes and rotates until `end`, then stops with whole lines and no
  // rotation under way; "<lines> lines in <rotations> rotations".
  std::string Run(Clock::time_point end) {
    fd = open(MiscPath(current, ".log").c_str(), O_WRONLY | O_APPEND);
    while (Clock::now() < end) {
      for (int n = Roll(150, 200); n > 0; --n) WriteLine();
      Rotate();
    }
    return std::to_string(lines) + " lines in " + std::to_string(rotations) +
           " rotations";
  }

  int Roll(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  }
  void Pause() { usleep(Roll(0, 99) < 8 ? 20000 : Roll(0, 3000)); }
  static void Must(bool done, const char* what) {
    if (done) return;
    std::perror(what);
    _exit(1);
  }
  void Write(int to, const std::string& text) {
    Must(write(to, text.data(), text.size()) == ssize_t(text.size()), "write");
  }

  // One line, at times in two writes, so that a partial last line is
  // visible for a moment.
  void WriteLine() {
    const std::string line = Line(lines++);
    const std::size_t cut = Roll(0, 3) == 0 ? Roll(1, line.size() - 1) : 0;
    Write(fd, line.substr(0, cut));
    usleep(cut > 0 ? Roll(0, 1500) : 0);
    Write(fd, line.substr(cut));
    usleep(Roll(0, 400));
  }

  // Through a temporary file renamed over it, or in place: truncated, then
  // the digits, at times in two writes.
  void WriteCheckpoint(int n) {
    const std::string digits = std::to_string(n) + "\n";
    if (Roll(0, 1) == 0) {
      WriteFile("/var/log/misc.txt.new", digits);
      return Must(rename("/var/log/misc.txt.new", kCheckpoint) == 0, "rename");
    }
    const int checkpoint = open(kCheckpoint, O_WRONLY | O_TRUNC);
    Must(checkpoint >= 0, "open checkpoint");
    Pause();
    const std::size_t cut = Roll(0, 1) == 0 ? Roll(1, digits.size() - 1) : 0;
    Write(checkpoint, digits.substr(0, cut));
    if (cut > 0) Pause();
    Write(checkpoint, digits.substr(cut));
    close(checkpoint);
  }

  // Begins compressing the current generation: starts real gzip on the file
  // in place; or compresses it with gzip -c, beside or renamed to a name the
  // library cannot know, and writes the first piece of the archive.
  void StartZip() {
    source = MiscPath(current, style == 2 ? ".log.1" : ".log");
    const std::string plain = MiscPath(current, ".log");
    Must(style < 2 || rename(plain.c_str(), source.c_str()) == 0, "aside");
    if (style == 0) {
      gzip = popen(("gzip -n " + source).c_str(), "r");
      return Must(gzip != nullptr, "gzip");
    }
    const std::string command = "gzip -n -c " + source + " >/var/tmp/gz";
    Must(std::system(command.c_str()) == 0, "gzip -c");
    archive = ReadFile("/var/tmp/gz");
    gzFd = open(MiscPath(current, ".log.gz").c_str(),
                O_WRONLY | O_CREAT | O_EXCL, 0644);
    Must(gzFd >= 0, "create archive");
    written = Roll(0, archive.size() / 2);
    Write(gzFd, archive.substr(0, written));
  }

  // Finishes it: waits for gzip, or writes the rest of the archive in pieces
  // with pauses, then removes the plain file.
  void FinishZip() {
    if (style == 0) return Must(pclose(gzip) == 0, "gzip");
    for (std::size_t piece; written < archive.size(); written += piece) {
      piece = Roll(1, archive.size() - written);
      Write(gzFd, archive.substr(written, piece));
      Pause();
    }
    close(gzFd);
    Pause();
    Must(unlink(source.c_str()) == 0, "remove plain file");
  }

  // To the next generation, the steps in the next order of a deck of all
  // twelve, shuffled each time round: C writes the checkpoint, L creates
  // the new active log, z begins compressing the old one and Z finishes it.
  void Rotate() {
    close(fd);
    if (rotations % deck.size() == 0)
      std::shuffle(deck.begin(), deck.end(), random);
    const std::string order = deck[rotations++ % deck.size()];
    style = Roll(0, 2);
    const int next = (current + 1) % 65536;
    for (const char step : order) {
      Pause();
      if (step == 'C') WriteCheckpoint(next);
      if (step == 'z') StartZip();
      if (step == 'Z') FinishZip();
      if (step == 'L')
        fd = open(MiscPath(next, ".log").c_str(),
                  O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0644);
    }
    Must(fd >= 0, "create active log");
    current = next;
  }
};

// The first fault in the stderr `err` of run `run` and, if it exited 0, in
// its output `out`: parsed into its blocks, each line must be the device's
// line due next, `next`, which moves past it. "" if none.
std::string Fault(int run, const std::string& out, const std::string& err,
                  long& next) {
  const auto fault = [&](const std::string& what) {
    return "run " + std::to_string(run) + ": " + what + "\n  stderr: " + err;
  };
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);)
    if (line.find("warning:") != line.npos &&
        (line.find("missing") != line.npos || line.find("gone") != line.npos ||
         line.find("lost") != line.npos))
      return fault("a warning of loss");
  const std::string start = "\n/var/log/misc";
  for (std::size_t at = 0; at < out.size();) {
    const std::size_t eol = out.find('\n', at + 1);
    if (out.compare(at, start.size(), start) != 0 || eol == out.npos ||
        out.compare(eol, 2, "\n\n") != 0)
      return fault("no block at \"" + out.substr(at, 80) + "\"");
    const std::string header = out.substr(at + 1, eol - at - 1);
    if (header.find(", damaged") != header.npos) return fault(header);
    at = std::min(out.find(start, eol + 2), out.size());
    for (std::size_t line = eol + 2, end; line < at; line = end, ++next) {
      end = std::min(out.find('\n', line), at - 1) + 1;
      if (out.compare(line, end - line, Line(next)) != 0)
        return fault(header + " line " + std::to_string(next) + " due, \"" +
                     out.substr(line, end - line) + "\" came");
    }
  }
  return "";
}

using RotationTest = DeviceTest;

// The collector runs the tool every 2 to 20 ms while the device runs, and
// once after it stopped; only a run that exits 0 moves the cursor.
TEST_F(RotationTest, EveryLineOnceWhileTheDeviceRotates) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  const int first = 65529 + seed % 4;  // crosses the wrap
  WriteFile(kCheckpoint, std::to_string(first) + "\n");
  WriteFile(MiscPath(first, ".log"), "");
  // The device runs 6 s, or TOLVANE_SOAK_SECONDS less 15 s for the runs
  // under way when it stops and the last one (ctest's timeout is 120 s).
  const char* soak = std::getenv("TOLVANE_SOAK_SECONDS");
  const int seconds = soak != nullptr ? std::max(1, std::atoi(soak) - 15) : 6;
  const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
  const pid_t device = fork();
  if (device == 0) {
    WriteFile("/var/tmp/device", Device(seed, first).Run(end));
    _exit(0);
  }

  std::mt19937 random(seed + 1);
  std::map<int, int> codes;
  int runs = 0, status = 0, code = -1;
  long next = 0, beforeLast = 0;  // the line due next; before the last run
  std::string fault;
  for (bool stopped = false; !stopped; ++runs) {
    beforeLast = next;
    stopped = waitpid(device, &status, WNOHANG) == device;
    if (!stopped) usleep(std::uniform_int_distribution(2000, 20000)(random));
    std::remove("/var/tmp/out");
    const pid_t tool = fork();
    if (tool == 0) {
      dup2(open("/dev/null", O_RDWR), 0);
      dup2(open("/var/tmp/err", O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      ExecTool(
          {"--cursor-file", "/var/tmp/misc.position", "misc", "/var/tmp/out"});
    }
    ++codes[code = Wait(tool)];
    if (fault.empty())
      fault = Fault(runs, code == 0 ? ReadFile("/var/tmp/out") : "",
                    ReadFile("/var/tmp/err"), next);
  }
  const std::string summary = ReadFile("/var/tmp/device");
  const long written = std::atol(summary.c_str());
  std::printf("device: %s; runs %d, exit codes", summary.c_str(), runs);
  for (const auto& [value, count] : codes) std::printf(" %d:%d", value, count);
  std::printf("; lines %ld taken, %ld before the last run\n", next, beforeLast);

  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the device";
  ASSERT_TRUE(fault.empty()) << fault;
  EXPECT_EQ(0, code) << "the run after the device stopped";
  EXPECT_EQ(written, next) << "lines taken at the end";
  // Not vacuous: most runs succeed and bring most lines while the device runs.
  EXPECT_GT(2 * codes[0], runs) << "runs that exited 0";
  EXPECT_GE(2 * beforeLast, written) << "lines before the last run";
}

}  // namespace
}  // namespace tolvane_test
