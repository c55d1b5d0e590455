// The cursor file while the device really rotates its misc log: a device
// process writes numbered lines and rotates at random moments, its steps in
// every order, while tolvane-getlog --cursor-file runs again and again. The
// lines of the successful runs together are the device's lines, each once,
// in order and whole, whatever half-way state a run caught.

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
#include <utility>
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

// The orders of a rotation's steps: C writes the checkpoint, L creates the
// new active log, z begins compressing the old one and Z finishes it. The
// checkpoint comes before or after the new log, and the compression before,
// between or after them, or it runs across one or both.
const std::vector<std::string> kOrders = {"zZCL", "zZLC", "CzZL", "LzZC",
                                          "CLzZ", "LCzZ", "zCZL", "zLZC",
                                          "zCLZ", "zLCZ", "CzLZ", "LzCZ"};
// gzip on the file in place; gzip -c into the archive beside it, then rm;
// the file renamed to a name the library cannot know, compressed into the
// archive, then removed. The last two write the archive in pieces.
const char* const kStyles[] = {"gzip in place", "beside", "renamed aside"};

// The device: appends lines to the active log of its own current generation
// and rotates every 150 to 200 lines, with random pauses between the steps.
// Runs in a child process.
class Device {
 public:
  Device(unsigned seed, int first) : random_(seed), current_(first) {}

  // Writes and rotates until `end`, then stops with whole lines and no
  // rotation under way. False, with `error_` set, when a step failed.
  bool Run(Clock::time_point end) {
    fd_ = open(MiscPath(current_, ".log").c_str(), O_WRONLY | O_APPEND);
    while (error_.empty() && Clock::now() < end) {
      for (int n = Roll(150, 200); n > 0 && error_.empty(); --n) WriteLine();
      if (error_.empty()) Rotate();
    }
    return error_.empty();
  }

  // "<lines> lines, <rotations> rotations, ..." with what each kind of step
  // was done.
  std::string Summary() const {
    std::ostringstream text;
    text << lines_ << " lines, " << rotations_ << " rotations, last "
         << current_;
    for (const auto& [what, count] : tally_)
      text << "; " << what << " " << count;
    return error_.empty() ? text.str() : "device failed: " + error_;
  }

 private:
  int Roll(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
  }
  void Pause() { usleep(Roll(0, 99) < 8 ? 20000 : Roll(0, 3000)); }
  void Check(bool done, const std::string& what) {
    if (!done && error_.empty()) error_ = what;
  }
  void Write(int fd, const std::string& text) {
    Check(write(fd, text.data(), text.size()) ==
              static_cast<ssize_t>(text.size()),
          "write");
  }

  // One line, in one write() or in two, so that a partial last line is
  // visible for a moment.
  void WriteLine() {
    const std::string line = Line(lines_++);
    const std::size_t cut = Roll(0, 3) == 0 ? Roll(1, line.size() - 1) : 0;
    if (cut > 0) {
      Write(fd_, line.substr(0, cut));
      usleep(Roll(0, 1500));
    }
    Write(fd_, line.substr(cut));
    usleep(Roll(0, 400));
  }

  // In place (truncated, then the digits, at times in two writes) or
  // through a temporary file renamed over it.
  void WriteCheckpoint(int n) {
    const std::string digits = std::to_string(n) + "\n";
    if (Roll(0, 1) == 0) {
      ++tally_["checkpoint renamed"];
      const std::string temporary = std::string(kCheckpoint) + ".new";
      WriteFile(temporary, digits);
      Check(rename(temporary.c_str(), kCheckpoint) == 0, "rename checkpoint");
      return;
    }
    ++tally_["checkpoint in place"];
    const int fd = open(kCheckpoint, O_WRONLY | O_TRUNC);
    Check(fd >= 0, "open checkpoint");
    Pause();
    const std::size_t cut =
        Roll(0, 1) == 0 ? Roll(1, digits.size() - 1) : digits.size();
    Write(fd, digits.substr(0, cut));
    if (cut < digits.size()) {
      Pause();
      Write(fd, digits.substr(cut));
    }
    close(fd);
  }

  // Begins compressing generation `n`: starts gzip, or writes the first
  // part of the archive.
  void StartZip(int n) {
    source_ = MiscPath(n, ".log");
    if (style_ == 0) {
      gzip_ = fork();
      if (gzip_ == 0) {
        execlp("gzip", "gzip", "-n", source_.c_str(), nullptr);
        _exit(127);
      }
      return;
    }
    if (style_ == 2) {
      const std::string aside = MiscPath(n, ".log.1");
      Check(rename(source_.c_str(), aside.c_str()) == 0, "rename aside");
      source_ = aside;
    }
    FILE* gzip = popen(("gzip -n -c < " + source_).c_str(), "r");
    Check(gzip != nullptr, "popen gzip");
    archive_.clear();
    char buffer[4096];
    for (std::size_t got;
         gzip && (got = fread(buffer, 1, sizeof buffer, gzip));)
      archive_.append(buffer, got);
    Check(gzip && pclose(gzip) == 0, "gzip -c");
    archiveFd_ =
        open(MiscPath(n, ".log.gz").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    Check(archiveFd_ >= 0, "create archive");
    written_ = Roll(0, archive_.size() / 2);
    Write(archiveFd_, archive_.substr(0, written_));
  }

  // Finishes the compression: waits for gzip, or writes the rest of the
  // archive in parts with pauses and then removes the plain file.
  void FinishZip() {
    if (style_ == 0) {
      Check(Wait(gzip_) == 0, "gzip in place");
      return;
    }
    while (written_ < archive_.size()) {
      const std::size_t part = Roll(1, archive_.size() - written_);
      Write(archiveFd_, archive_.substr(written_, part));
      written_ += part;
      Pause();
    }
    close(archiveFd_);
    Pause();
    Check(unlink(source_.c_str()) == 0, "remove plain file");
  }

  // Generation current_ to current_ + 1, its steps in the next order of a
  // shuffled deck, so that every order comes in each twelve rotations.
  void Rotate() {
    close(fd_);
    if (rotations_ % kOrders.size() == 0) {
      deck_ = kOrders;
      std::shuffle(deck_.begin(), deck_.end(), random_);
    }
    const std::string& order = deck_[rotations_++ % kOrders.size()];
    style_ = Roll(0, 2);
    ++tally_[order];
    ++tally_[kStyles[style_]];
    const int next = (current_ + 1) % 65536;
    for (const char step : order) {
      Pause();
      if (step == 'C') WriteCheckpoint(next);
      if (step == 'z') StartZip(current_);
      if (step == 'Z') FinishZip();
      if (step == 'L')
        fd_ = open(MiscPath(next, ".log").c_str(),
                   O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0644);
    }
    Check(fd_ >= 0, "create active log");
    current_ = next;
  }

  std::mt19937 random_;
  int current_;
  int fd_ = -1;
  long lines_ = 0;
  std::size_t rotations_ = 0;
  std::vector<std::string> deck_;
  int style_ = 0;
  std::string source_, archive_;  // of the compression
  std::size_t written_ = 0;       // of archive_
  int archiveFd_ = -1;
  pid_t gzip_ = -1;
  std::map<std::string, int> tally_;
  std::string error_;
};

// Follows the lines of the successful runs' outputs, in order, against the
// device's numbering, and tells each fault it meets.
class Lines {
 public:
  // Takes the output of run `run`, which exited 0 with `err` on stderr.
  void Take(int run, const std::string& out, const std::string& err) {
    const std::string start = "\n/var/log/misc";
    std::vector<std::pair<std::string, std::string>> blocks;  // header, data
    std::string headers;
    std::size_t at = 0;
    while (at < out.size()) {
      const std::size_t eol = out.find('\n', at + 1);
      if (out.compare(at, start.size(), start) != 0 || eol == out.npos ||
          out.compare(eol, 2, "\n\n") != 0)
        break;
      std::size_t end = out.find(start, eol + 2);
      if (end == out.npos) end = out.size();
      blocks.emplace_back(out.substr(at + 1, eol - at - 1),
                          out.substr(eol + 2, end - eol - 2));
      headers += (headers.empty() ? "" : " | ") + blocks.back().first;
      at = end;
    }
    run_ = run;
    context_ = "run " + std::to_string(run) + ": " + headers +
               (err.empty() ? "" : "\n    stderr: " + err);
    if (at < out.size()) Fault("bad layout", 1, out.substr(at, 80));
    for (const auto& [header, data] : blocks) {
      if (header.find(", damaged") != header.npos)
        Fault("damaged pieces", 1, header);
      std::istringstream lines(data);
      for (std::string line; std::getline(lines, line);)
        TakeLine(line + (lines.eof() ? "" : "\n"), header);
    }
    // A run that wrote nothing may still have moved the cursor.
    if (!out.empty() || before_.size() > 4) before_.clear();
    before_.push_back(context_);
  }

  long next() const { return next_; }  // the number of the line due next
  // Per kind of fault, the lines and the runs it touched.
  const std::map<std::string, std::pair<long, long>>& faults() const {
    return faults_;
  }
  const std::string& described() const { return described_; }

 private:
  void TakeLine(const std::string& line, const std::string& header) {
    const std::string due = Line(next_);
    const std::string head = std::exchange(head_, "");
    if (line == due || head + line == due) {  // whole, or a split one's rest
      ++next_;
      return;
    }
    const long m = line.compare(0, 10, "misc line ") == 0
                       ? std::strtol(line.c_str() + 10, nullptr, 10)
                       : -1;
    const std::string in = header + " ";
    if (line.back() != '\n' && due.compare(0, line.size(), line) == 0) {
      head_ = line;
      Fault("split lines", 1, in + "\"" + line + "\"");
    } else if (m < 0 || line != Line(m)) {
      Fault("broken lines", 1, in + "\"" + line + "\"");
    } else if (m < next_) {
      Fault("lines twice", 1,
            in + "line " + std::to_string(m) + ", " + std::to_string(next_) +
                " due");
    } else {
      Fault(
          "lines skipped", m - next_,
          in + "lines " + std::to_string(next_) + "-" + std::to_string(m - 1));
      next_ = m + 1;
    }
  }

  // Counts a fault and the runs it touched; describes the first of each
  // kind, with the runs before it that stored the position.
  void Fault(const std::string& kind, long lines, const std::string& what) {
    auto& [count, runs] = faults_[kind];
    count += lines;
    const auto last = lastRun_.find(kind);
    if (last == lastRun_.end()) {
      described_ += kind + ", " + what + "\n  in " + context_ + "\n";
      for (const std::string& before : before_)
        described_ += "  after " + before + "\n";
    }
    if (last == lastRun_.end() || last->second != run_) ++runs;
    lastRun_[kind] = run_;
  }

  long next_ = 0;
  std::string head_;  // the first part of a split line
  int run_ = 0;
  std::string context_;              // this run's pieces and stderr
  std::vector<std::string> before_;  // the runs since the last that wrote
  std::map<std::string, std::pair<long, long>> faults_;
  std::map<std::string, int> lastRun_;
  std::string described_;
};

// The kind of a warning line of tolvane-getlog.
std::string WarningKind(const std::string& line) {
  for (const char* kind : {"missing", "gone", "lost", "did not match"})
    if (line.find(kind) != line.npos) return kind;
  return "other";
}

// How long the device runs: 6 s, or TOLVANE_SOAK_SECONDS less 15 s for the
// runs that are under way when it stops and the last one, so that the case
// stays within ctest's timeout of 120 s.
int DeviceSeconds() {
  const char* soak = std::getenv("TOLVANE_SOAK_SECONDS");
  return soak != nullptr ? std::max(1, std::atoi(soak) - 15) : 6;
}

using RotationTest = DeviceTest;

// The collector runs the tool every 2 to 20 ms while the device runs, and
// once after it stopped; only a run that exits 0 keeps its output and
// moves the cursor.
TEST_F(RotationTest, EveryLineOnceWhileTheDeviceRotates) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  const int first = 65529 + seed % 4;  // crosses the wrap
  WriteFile(kCheckpoint, std::to_string(first) + "\n");
  WriteFile(MiscPath(first, ".log"), "");
  int summary[2];
  ASSERT_EQ(0, pipe(summary));
  const Clock::time_point end =
      Clock::now() + std::chrono::seconds(DeviceSeconds());
  const pid_t device = fork();
  if (device == 0) {
    close(summary[0]);
    Device simulated(seed, first);
    const bool ran = simulated.Run(end);
    const std::string text = simulated.Summary();
    _exit(write(summary[1], text.data(), text.size()) > 0 && ran ? 0 : 1);
  }
  close(summary[1]);

  std::mt19937 random(seed + 1);
  Lines lines;
  std::map<int, int> codes;
  std::map<std::string, int> warnings;
  std::map<int, std::string> firstErr;  // per exit code but 0
  int runs = 0, deviceStatus = -1, lastCode = -1;
  long beforeLast = 0;
  for (bool stopped = false; !stopped; ++runs) {
    int status = 0;
    stopped = waitpid(device, &status, WNOHANG) == device;
    if (stopped) {
      deviceStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      beforeLast = lines.next();
    } else {
      usleep(std::uniform_int_distribution<int>(2000, 20000)(random));
    }
    std::remove("/var/tmp/out");
    const pid_t tool = fork();
    if (tool == 0) {
      dup2(open("/dev/null", O_RDWR), 0);
      dup2(open("/var/tmp/err", O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      ExecTool(
          {"--cursor-file", "/var/tmp/misc.position", "misc", "/var/tmp/out"});
    }
    const int code = lastCode = Wait(tool);
    const std::string err = ReadFile("/var/tmp/err");
    ++codes[code];
    std::istringstream errLines(err);
    for (std::string line; std::getline(errLines, line);)
      if (line.find("warning:") != line.npos) ++warnings[WarningKind(line)];
    if (code == 0)
      lines.Take(runs, ReadFile("/var/tmp/out"), err);
    else if (firstErr.count(code) == 0)
      firstErr[code] = "run " + std::to_string(runs) + ": " + err;
  }
  std::string deviceSummary(4096, '\0');
  deviceSummary.resize(std::max<ssize_t>(
      0, read(summary[0], &deviceSummary[0], deviceSummary.size())));
  close(summary[0]);
  const long written = std::atol(deviceSummary.c_str());

  std::ostringstream report;
  report << "device: " << deviceSummary << "\nruns " << runs << ", exit codes";
  for (const auto& [code, count] : codes) report << " " << code << ":" << count;
  report << "; warnings" << (warnings.empty() ? " none" : "");
  for (const auto& [kind, count] : warnings)
    report << " " << kind << ":" << count;
  report << "\nlines: up to " << lines.next() << " of " << written << " taken, "
         << beforeLast << " before the last run";
  for (const auto& [kind, count] : lines.faults())
    report << "\n"
           << kind << ": " << count.first << " in " << count.second << " runs";
  for (const auto& [code, err] : firstErr)
    report << "\nfirst exit " << code << ", " << err;
  std::printf("%s\n", report.str().c_str());  // the figures, once

  ASSERT_EQ(0, deviceStatus) << deviceSummary;
  EXPECT_TRUE(lines.described().empty()) << lines.described();
  EXPECT_EQ(0, lastCode) << "the run after the device stopped";
  EXPECT_EQ(written, lines.next()) << "lines taken at the end";
  for (const char* kind : {"missing", "gone", "lost"})
    EXPECT_EQ(0, warnings[kind]) << "warnings: " << kind;
  // Not vacuous: most runs succeed, and they deliver most lines while the
  // device runs.
  EXPECT_GT(2 * codes[0], runs) << "runs that exited 0";
  EXPECT_GE(2 * beforeLast, written) << "lines before the last run";
}

}  // namespace
}  // namespace tolvane_test
