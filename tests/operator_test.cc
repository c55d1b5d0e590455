// tolvane-getlog: exit codes and what it tells, its listing, selections, the
// cursor file, callers through sudo, and stops by signal and at a terminal.

#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "support.h"
#include "tolvane_report.h"

namespace tolvane_test {
namespace {

namespace fs = std::filesystem;
using nq_tolvane::LOGTYPE_BREV;
using OperatorTest = DeviceTest;

// Runs `command` in sh as `user`, with T the tool: its exit code; its
// standard output and error in *out and *err.
int Sh(const std::string& command, std::string* out, std::string* err,
       const std::string& user = "") {
  for (const char* file : {"/var/log/stdout", "/var/log/err"}) fs::remove(file);
  const int code = RunAs(user, [&] {
    return WEXITSTATUS(std::system(
        ("T() { $TOLVANE_EMULATOR \"$TOLVANE_GETLOG\" \"$@\"; }; { " + command +
         "; } >/var/log/stdout 2>/var/log/err")
            .c_str()));
  });
  *out = ReadFile("/var/log/stdout");
  *err = ReadFile("/var/log/err");
  return code;
}

TEST_F(OperatorTest, ExitCodesAndStandardError) {
  LayOut();
  fs::remove("/var/log/misc00002.log");
  WriteFile("/var/log/misc.txt", "3\n");  // 2 is lost, an hour ago
  SetEnd("/var/log/misc.txt", time(nullptr) - 3600);
  const std::string lost =
      "tolvane-getlog: warning: misc generation 00002 is missing.\n";
  const auto usage = [](const std::string& problem) {
    return "tolvane-getlog: " + problem +
           "\nTry 'tolvane-getlog --help' for more information.\n";
  };
  const struct {
    const char* command;
    int code;
    std::string err;  // all of standard error, or "~" and a part of it
  } rows[] = {
      {"T misc /var/log/out", 0, lost},
      {"T 4 - | cat >/var/log/out", 0, lost},
      {"T --debug misc /var/log/out", 0, "~:SetLogNum: set logNum 3\n"},
      {"T --debug misc /var/log/out", 0,
       "~\n4 TolvaneUtils: AssembleLog: misc generation 00002 is missing.\n"
       "6 TolvaneUtils: AssembleLog: misc log written to /var/log/out.\n"},
      {"T snmpd /var/log/none", 1,
       "tolvane-getlog: no file of log snmpd was found.\n"
       "tolvane-getlog: log snmpd could not be assembled completely into "
       "/var/log/none\n"},
      {"T --to-command cat misc /var/log/none", 2,
       usage("--to-command takes the place of OUTPUT")},
      {"T --sinse -1h misc o", 2, usage("unknown option --sinse")},
      {"T misc out --since -1h", 2, usage("options come before TYPE: --since")},
      {"T foo OUT", 2, usage("unknown log type \"foo\"")},
      {"T 7 /var/log/none", 2, usage("unknown log type \"7\"")},
      {"T 0 /var/log/none", 2, usage("unknown log type \"0\"")},
      {"T -1 /var/log/none", 2, usage("unknown log type \"-1\"")},
      {"T 99999999999 /var/log/none", 2,
       usage("unknown log type \"99999999999\"")},
      {"T", 2, usage("TYPE is missing")},
      {"T misc", 2, usage("OUTPUT is missing")},
      {"T misc ''", 2, usage("OUTPUT is empty")},
      {"T misc /var/log/out x", 2, usage("unexpected argument \"x\"")},
      {"T --debug --list misc", 2,
       usage("--debug and --list exclude each other")},
      {"T --debug --debug", 2, usage("--debug given twice")},
      {"T --list --list misc", 2, usage("--list given twice")},
  };
  for (const auto& row : rows) {
    fs::remove("/var/log/out");
    std::string out, err;
    EXPECT_EQ(row.code, Sh(row.command, &out, &err)) << row.command;
    if (row.err[0] == '~')
      EXPECT_NE(std::string::npos, err.find(row.err.substr(1))) << err;
    else
      EXPECT_EQ(row.err, err) << row.command;
    EXPECT_EQ(row.code == 0 ? Log({"98", "99", "01"}) : "<missing>",
              ReadFile("/var/log/out"))
        << row.command;
  }
  // What the shell writes into the same file after the history follows it.
  std::string out, err;
  EXPECT_EQ(
      0, Sh("{ echo first; T misc -; echo last; } >/var/log/out", &out, &err));
  EXPECT_EQ("first\n" + Log({"98", "99", "01"}) + "last\n",
            ReadFile("/var/log/out"));
}

// A cursor file, then its generation gone: each run writes what is new,
// warns first, and moves the cursor (mode 0600).
TEST_F(OperatorTest, CursorFileFollowsTheLogAcrossRuns) {
  LayOut();
  const std::string active = "/var/log/misc00002.log";
  const std::string warn = "tolvane-getlog: warning: ";
  const struct {
    std::function<void()> change;
    std::string options, out, err;
    std::string cursor;  // the cursor file after the run, but its check
  } rows[] = {
      {[] {}, "", Log(), "", "tolvane1:misc:00002:14:"},
      {[&] {  // 2 to 4 went an hour ago
         fs::rename(active, "/var/log/misc00005.log");
         WriteFile("/var/log/misc.txt", "5\n");
         for (const auto& entry : fs::directory_iterator("/var/log"))
           SetEnd(entry.path(), time(nullptr) - 3600);
       },
       "--since @1 ", Block("/var/log/misc00005.log", "misc active 2\n"),
       warn +
           "the generation of the position in /var/log/cur is gone; what "
           "lay between it and the oldest piece is lost.\n" +
           warn +
           "--since @1 reaches back past the oldest generation; the history "
           "may not cover its start.\n" +
           warn + "misc generations 00002-00004 are missing.\n",
       "tolvane1:misc:00005:14:"},
  };
  for (const auto& row : rows) {
    row.change();
    std::string out, err;
    EXPECT_EQ(0, Sh("T " + row.options + "--cursor-file /var/log/cur misc " +
                        "/var/log/out",
                    &out, &err));
    EXPECT_EQ(row.out, ReadFile("/var/log/out"));
    EXPECT_EQ(row.err, err);
    const std::string cur = ReadFile("/var/log/cur");
    EXPECT_TRUE(cur.size() == row.cursor.size() + 17 &&
                cur.compare(0, row.cursor.size(), row.cursor) == 0 &&
                cur.find_first_not_of("0123456789abcdef", row.cursor.size()) ==
                    cur.size() - 1 &&
                cur.back() == '\n')
        << cur;
  }
  struct stat info;
  EXPECT_TRUE(stat("/var/log/cur", &info) == 0 &&
              (info.st_mode & 07777) == 0600);
}

// A cursor file that holds no position of the type, that another user
// planted in /var/tmp or whose directory is missing stops a request and a
// listing before anything is written, as does a cursor file that standard
// output appends to. A position that cannot be stored leaves the output
// written.
TEST_F(OperatorTest, CursorFileThatCannotBeUsed) {
  LayOut();
  AddUser("mallory");
  const struct {
    std::string file, content, err;
  } rows[] = {
      {"/var/log/c\tur", "not a position\n",
       "/var/log/c\\tur: it does not hold a position of log misc"},
      {"/var/log/cur", "tolvane1:audit:00002:0:cbf29ce484222325\n",
       "/var/log/cur: it does not hold a position of log misc"},
      {"/var/tmp/cur", "tolvane1:misc:00002:0:cbf29ce484222325\n",
       "/var/tmp/cur: a file of another user in a sticky directory"},
      {"/var/log/no/cur", "<missing>",  // cannot be written: stays missing
       "the directory /var/log/no of the cursor file /var/log/no/cur does "
       "not exist"},
  };
  for (const auto& row : rows) {
    RunAs(row.file.rfind("/var/tmp", 0) == 0 ? "mallory" : "",
          [&] { return WriteFile(row.file, row.content), 0; });
    for (const char* args : {" misc /var/log/out", " --list misc"}) {
      WriteFile("/var/log/out", "earlier");
      std::string out, err;
      EXPECT_EQ(2, Sh("T --cursor-file '" + row.file + "'" + args, &out, &err));
      EXPECT_EQ("tolvane-getlog: " + row.err + "\n", out + err);
      EXPECT_EQ("earlier", ReadFile("/var/log/out"));
      EXPECT_EQ(row.content, ReadFile(row.file));
    }
  }
  const std::string position = "tolvane1:misc:00002:0:cbf29ce484222325\n";
  WriteFile("/var/log/cur", position);
  std::string out, err;
  EXPECT_EQ(
      2, Sh("T --cursor-file /var/log/cur misc - >>/var/log/cur", &out, &err));
  EXPECT_EQ(
      "tolvane-getlog: the cursor file /var/log/cur is also the "
      "output\nTry 'tolvane-getlog --help' for more information.\n",
      err);
  EXPECT_EQ(position, ReadFile("/var/log/cur"));
  fs::create_directory("/var/log/ro");
  ASSERT_EQ(0, mount("tmpfs", "/var/log/ro", "tmpfs", MS_RDONLY, nullptr));
  EXPECT_EQ(1,
            Sh("T --cursor-file /var/log/ro/c misc /var/log/out", &out, &err));
  EXPECT_EQ(
      "tolvane-getlog: cannot store the position in /var/log/ro/c: "
      "Read-only file system\n",
      err);
  EXPECT_EQ(Log(), ReadFile("/var/log/out"));
}

// misc at checkpoint 3 without a wrap: archive 1 holds a MiB of lines,
// more than a pipe holds, archive 2 and the active log 3 a line each.
void LayOutMiB() {
  WriteFile("/var/log/misc.txt", "3\n");
  std::string lines;
  while (lines.size() < 1 << 20) lines += "misc archive 1, a line of text\n";
  WriteGz(MiscPath(1, ".log.gz"), lines);
  WriteGz(MiscPath(2, ".log.gz"), "misc archive 2\n");
  WriteFile(MiscPath(3, ".log"), "misc active 3\n");
}

// --to-command: COMMAND reads exactly what a file gets. The cursor moves
// only when the request is complete and COMMAND exits 0; else the next run
// delivers the same part again. A COMMAND that stops reading before the
// end of a MiB leaves the request incomplete, whatever its status, and is
// told by its own text, never by the pipe's path.
TEST_F(OperatorTest, ToCommandMovesTheCursorOnlyAfterDelivery) {
  LayOutMiB();
  std::string out, err;
  ASSERT_EQ(0, Sh("T misc /var/log/file", &out, &err)) << err;
  const std::string file = ReadFile("/var/log/file");
  const auto stopped = [](const std::string& command, const std::string& how) {
    return "tolvane-getlog: " + command + " stopped reading its input; it " +
           how + ".\ntolvane-getlog: log misc could not be assembled " +
           "completely into the input of " + command + "\n";
  };
  const struct {
    std::string command, got, err;  // got: what COMMAND read
    bool moved;
  } rows[] = {
      {"cat >/var/log/got; exit 3", file,
       "tolvane-getlog: cat >/var/log/got; exit 3 exited with status 3; the "
       "cursor file is left as it was.\n",
       false},
      {"false", "<missing>", stopped("false", "exited with status 1"), false},
      {"head -c 10 >/var/log/got", file.substr(0, 10),
       stopped("head -c 10 >/var/log/got", "exited with status 0"), false},
      {"head -c 10 >/var/log/got; kill -9 $$", file.substr(0, 10),
       stopped("head -c 10 >/var/log/got; kill -9 $$", "was ended by signal 9"),
       false},
      {"cat >/var/log/got", file, "", true},
      {"cat >/var/log/got", "", "", true},  // nothing new
  };
  for (const auto& row : rows) {
    fs::remove("/var/log/got");
    const int code = Sh(
        "T --cursor-file /var/log/cur --to-command '" + row.command + "' misc",
        &out, &err);
    EXPECT_EQ(row.err.empty() ? 0 : 1, code) << row.command;
    EXPECT_TRUE(row.got == ReadFile("/var/log/got")) << row.command;
    EXPECT_EQ(row.err, err) << row.command;
    EXPECT_EQ(row.moved, ReadFile("/var/log/cur") != "<missing>");
  }
  // A reader of standard output that stops is told as what the operator
  // gave, too.
  Sh("{ T misc -; echo $? >/var/log/code; } | head -c 10 >/var/log/got", &out,
     &err);
  EXPECT_EQ("1\n", ReadFile("/var/log/code"));
  EXPECT_EQ(
      "tolvane-getlog: cannot write standard output: Broken pipe.\n"
      "tolvane-getlog: log misc could not be assembled completely into -\n",
      err);
}

// brev keeps archives in both directories. They are root's alone; the
// active log is readable by all, as on the device.
class SudoTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    if (IsSkipped() || HasFailure()) return;
    LayOut(LOGTYPE_BREV);
    for (const char* archive : {"/etc/sysconfig/vorn/tolvane/brev00098.log.gz",
                                "/var/log/brev00099.log.gz",
                                "/etc/sysconfig/vorn/tolvane/brev00001.log.gz"})
      chmod(archive, 0600);
    AllowTheGroupThroughSudo();
    AddUser("member", true);
    AddUser("outsider");
  }
};

TEST_F(SudoTest, MemberOfTheGroupGetsTheCompleteHistory) {
  std::string out, err;
  EXPECT_EQ(0, Sh("T brev /var/log/out", &out, &err, "member")) << err;
  EXPECT_EQ(Log({"98", "99", "01", "active"}, LOGTYPE_BREV),
            ReadFile("/var/log/out"));
  // Each piece is reachable, for a member only; an archive the caller
  // cannot read has no known size of its data.
  EXPECT_EQ(0, Sh("T --list brev", &out, &err, "member")) << out;
  EXPECT_EQ(1, Sh("T --list brev", &out, &err, "outsider")) << out;
  EXPECT_NE(std::string::npos,
            out.find("/var/log/brev00099.log.gz\tarchive\t00099\t"));
  EXPECT_NE(std::string::npos, out.find("\tno\t?\tno\n")) << out;
}

// The drop-in allows a member exactly "/bin/gunzip -c ARCHIVE" for the
// archives of the four types in the library's directories of each.
TEST_F(SudoTest, RuleAllowsNothingElse) {
  std::vector<std::string> allowed;  // each type's archives in its places
  for (int type = 1; type <= 4; ++type) {
    const Dirs& dirs = DirsOf(static_cast<nq_tolvane::LogType>(type));
    for (const std::string& dir : {dirs.active, dirs.backup})
      allowed.push_back("/bin/gunzip -c " + dir + "/" + dirs.prefix +
                        "00001.log.gz");
  }
  const std::string refused[] = {
      "/bin/gunzip -c /var/log/misc00001.log.gz /etc/shadow",
      "/bin/gunzip -c /var/log/ -f /etc/shadow /var/log/misc00001.log.gz",
      "/bin/gunzip -c -f /var/log/misc00001.log.gz",
      "/bin/gunzip -c /var/log/misc/../../etc/shadow.log.gz",
      "/bin/gunzip -c /tmp/misc00001.log.gz",
      "/bin/gunzip -c /var/log/audit00001.log.gz",
      "/bin/gunzip -c /var/log/misc00001.log",
      "/bin/gunzip /var/log/misc00001.log.gz",
      "/bin/cat /var/log/misc00001.log.gz"};
  auto may = [](const std::string& command) {
    return RunAs("member", [&] {
             const std::string probe =
                 "sudo -n -l " + command + " >/dev/null 2>&1";
             return std::system(probe.c_str()) == 0 ? 0 : 1;
           }) == 0;
  };
  for (const std::string& command : allowed)
    EXPECT_TRUE(may(command)) << command;
  for (const std::string& command : refused)
    EXPECT_FALSE(may(command)) << command;
}

// A corrupt archive whose name holds control bytes, written long ago, is
// damaged: written as far as it decompresses (here nothing) and told; an
// outsider gets each archive left out, and why.
TEST_F(SudoTest, ToolTellsWhatIsDamagedOrLeftOutAndWhy) {
  const std::string bad =
      std::string(kConfigDir) + "/brev00097\n\t\x01\\.log.gz";
  WriteFile(bad, "bad");
  chmod(bad.c_str(), 0600);
  SetEnd(bad, time(nullptr) - 3600);
  const std::string shown =
      "/etc/sysconfig/vorn/tolvane/brev00097\\n\\t\\x01\\\\.log.gz";
  std::string out, err;
  EXPECT_EQ(0, Sh("T brev /var/log/out", &out, &err));
  EXPECT_EQ("tolvane-getlog: warning: " + shown +
                " is damaged: written as far as it decompresses; the rest of "
                "it is lost.\n",
            err);
  EXPECT_EQ("\n" + bad + " follows, damaged:\n\n" +
                Log({"98", "99", "01", "active"}, LOGTYPE_BREV),
            ReadFile("/var/log/out"));
  // Written just now under a name the drop-in allows, the same for a
  // member through sudo: no newer piece is hidden behind it.
  const std::string named = std::string(kConfigDir) + "/brev00097.log.gz";
  fs::rename(bad, named);
  SetEnd(named, time(nullptr));
  fs::remove("/var/log/out");
  EXPECT_EQ(0, Sh("T brev /var/log/out", &out, &err, "member")) << err;
  EXPECT_EQ("\n" + named + " follows, damaged:\n\n" +
                Log({"98", "99", "01", "active"}, LOGTYPE_BREV),
            ReadFile("/var/log/out"));
  fs::rename(named, bad);
  fs::remove("/var/log/out");
  const std::string refused = " left out: permission denied by sudo.\n";
  EXPECT_EQ(1, Sh("T brev /var/log/out", &out, &err, "outsider"));
  EXPECT_EQ("tolvane-getlog: " + shown + refused +
                "tolvane-getlog: /etc/sysconfig/vorn/tolvane/brev00098.log.gz" +
                refused + "tolvane-getlog: /var/log/brev00099.log.gz" +
                refused +
                "tolvane-getlog: /etc/sysconfig/vorn/tolvane/brev00001.log.gz" +
                refused +
                "tolvane-getlog: log brev could not be assembled completely "
                "into /var/log/out\n",
            err);
  EXPECT_EQ(Log({"active"}, LOGTYPE_BREV), ReadFile("/var/log/out"));
}

// A process whose command line holds `words`, as /proc shows them.
bool Running(const std::string& words) {
  for (const auto& entry : fs::directory_iterator("/proc")) {
    std::string line = ReadFile(entry.path() / "cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (line.find(words) != std::string::npos) return true;
  }
  return false;
}

// A stop while COMMAND hangs before it reads (and the request waits for it)
// ends the tool and COMMAND's process group at once, and leaves the cursor
// file as it was.
TEST_F(OperatorTest, StopEndsTheCommandToo) {
  LayOutMiB();
  // A nap of 30 s that no other process on the machine takes.
  const std::string nap = "sleep 30." + Pid();
  const pid_t tool = fork();
  if (tool == 0) {
    std::signal(SIGTERM, SIG_DFL);
    ExecTool({"--cursor-file", "/var/log/cur", "--to-command",
              nap + "; cat >/dev/null", "misc"});
  }
  while (!Running(nap + " ")) usleep(2000);  // COMMAND's sleep alone
  const auto start = std::chrono::steady_clock::now();
  kill(tool, SIGTERM);
  EXPECT_EQ(128 + SIGTERM, Wait(tool));
  while (Running(nap + " ") &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(2))
    usleep(2000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ("<missing>", ReadFile("/var/log/cur"));
}

// After a corrupt archive fails, sudo is asked whether the member may
// decompress it at all; a stop while that probe runs cuts it short, which
// says nothing of sudo's rule: nothing is left out for it. A stand-in first
// in PATH holds the probe until the stop and tells when it has started;
// everything else goes to the real sudo.
TEST_F(SudoTest, StopDuringTheSudoProbeLeavesNoFalseReason) {
  for (int n = 10; n < 20; ++n)
    WriteFile(
        std::string(kConfigDir) + "/brev000" + std::to_string(n) + ".log.gz",
        "corrupt");
  const std::string bin = "/var/log/bin." + Pid(), probing = bin + ".probing";
  ASSERT_TRUE(fs::create_directory(bin));
  WriteFile(bin + "/sudo",
            "#!/bin/sh\n"
            "if [ \"$1 $2\" = \"-n -l\" ]; then : >" +
                probing + "; exec sleep 600; fi\nexec /usr/bin/sudo \"$@\"\n");
  ASSERT_EQ(0, chmod(bin.c_str(), 0755));
  ASSERT_EQ(0, chmod((bin + "/sudo").c_str(), 0755));
  for (int trial = 0; trial < 10; ++trial) {
    fs::remove(probing);
    const int result = RunAs("member", [&] {
      const char* path = std::getenv("PATH");
      setenv("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
      nq_tolvane::Stop stop;
      std::atomic<bool> ended{false};
      std::thread watcher([&] {
        while (!ended && access(probing.c_str(), F_OK) != 0) usleep(1000);
        stop.Request(SIGTERM);
      });
      nq_tolvane::Report report;
      nq_tolvane::AssembleEntireLog(LOGTYPE_BREV, "/var/log/out", &report,
                                    &stop);
      ended = true;
      watcher.join();
      if (access(probing.c_str(), F_OK) != 0) return 4;  // no probe
      if (report.stopSignal != SIGTERM) return 3;
      for (const nq_tolvane::LeftOut& left : report.leftOut)
        if (left.code == nq_tolvane::Reason::kSudoRefused) return 2;
      return report.leftOut.empty() ? 0 : 1;
    });
    EXPECT_EQ(0, result) << "trial " << trial;
  }
  EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
}

// brev with 40 more archives of 10 MB of text each, root's alone, rotated an
// hour ago: a member reads them through sudo.
class OperatorStopTest : public SudoTest {
 protected:
  void SetUp() override {
    SudoTest::SetUp();
    if (IsSkipped() || HasFailure()) return;
    for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
      std::signal(signal, SIG_DFL);
    std::string text;
    while (text.size() < 10 << 20) text += "brev archive, line of text\n";
    WriteGz("/var/log/stage.gz", text);
    for (int n = 10; n < 50; ++n) {
      const std::string archive =
          std::string(kConfigDir) + "/brev000" + std::to_string(n) + ".log.gz";
      fs::copy_file("/var/log/stage.gz", archive);
      chmod(archive.c_str(), 0600);
      SetEnd(archive, time(nullptr) - 3600);
    }
    WriteFile(std::string(kConfigDir) + "/brev.txt", "50\n");
    SetEnd(std::string(kConfigDir) + "/brev.txt", time(nullptr) - 3600);
  }

  // Waits until `started`, then `ms` milliseconds, and stops the request
  // `tool` with `stop`. Expects it to end with 128+`signal` within 2 s,
  // leaving the earlier output and nothing in /var/tmp.
  void ExpectStop(pid_t tool, int signal, const std::function<bool()>& started,
                  int ms, const std::function<void()>& stop,
                  const std::string& trial) {
    while (!started()) usleep(1000);
    usleep(ms * 1000);
    SCOPED_TRACE(trial + ", after " + std::to_string(ms) + " ms");
    const auto start = std::chrono::steady_clock::now();
    stop();
    int status = 0;
    waitpid(tool, &status, 0);
    EXPECT_EQ(128 + signal, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(2));
    EXPECT_TRUE(ReadFile("/var/log/out") == "earlier") << "the output";
    EXPECT_EQ(std::vector<std::string>{}, ScratchLeft());
  }

  // True once `tool` writes its unnamed output file in /var/log, or has
  // ended.
  static bool Writing(pid_t tool) {
    const std::string proc = "/proc/" + std::to_string(tool);
    std::error_code error;
    for (const auto& fd : fs::directory_iterator(proc + "/fd", error))
      if (fs::read_symlink(fd.path(), error).string().rfind("/var/log/#", 0) ==
          0)
        return true;
    const std::string stat = ReadFile(proc + "/stat");
    return stat.find(") Z ") != std::string::npos;
  }

  // A moment at random within the first 60% of `ms`.
  int Within(int ms) {
    return std::uniform_int_distribution<int>(0, ms * 6 / 10)(random_);
  }

  std::mt19937 random_{std::random_device{}()};
};

// Ctrl-C typed at the terminal whose foreground process is the tool: with
// and without sudo's use_pty, as root and as a member of the group tolvane.
// The cursor file is left as it was.
TEST_F(OperatorStopTest, CtrlCAtATerminalStopsEveryTime) {
  // A run after a position; without a line feed, any store would show.
  const std::string cursor = "tolvane1:brev:00010:0:cbf29ce484222325";
  const auto run = [&](const std::string& user, int* terminal) {
    WriteFile("/var/log/out", "earlier");
    WriteFile("/var/log/cur", cursor);
    EXPECT_EQ(0, std::system(
                     ("chown " + user + " /var/log/out /var/log/cur").c_str()));
    const pid_t tool = forkpty(terminal, nullptr, nullptr, nullptr);
    if (tool == 0)
      ExecTool({"--cursor-file", "/var/log/cur", "brev", "/var/log/out"}, user);
    return tool;
  };
  // How long a whole request takes, for each user: stops land within it.
  std::map<std::string, int> whole;
  for (const std::string user : {"root", "member"}) {
    int terminal = -1;
    const auto start = std::chrono::steady_clock::now();
    const pid_t tool = run(user, &terminal);
    char buffer[256];
    while (read(terminal, buffer, sizeof buffer) > 0) {
    }
    ASSERT_EQ(0, Wait(tool)) << user;
    close(terminal);
    whole[user] =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count());
  }
  const char* trials = std::getenv("TOLVANE_CTRL_C_TRIALS");
  for (int trial = 0; trial < (trials ? std::atoi(trials) : 4); ++trial) {
    const bool usePty = trial % 2 == 0;
    const std::string user = trial % 4 < 2 ? "root" : "member";
    WriteFile("/etc/sudoers.d/pty",
              usePty ? "Defaults use_pty\n" : "Defaults !use_pty\n");
    int terminal = -1;
    const pid_t tool = run(user, &terminal);
    const std::string what = (usePty ? "use_pty, " : "!use_pty, ") + user +
                             ", of " + std::to_string(whole[user]) + " ms";
    ExpectStop(
        tool, SIGINT, [&] { return Writing(tool); }, Within(whole[user]),
        [&] { ASSERT_EQ(1, write(terminal, "\x03", 1)); }, what);
    EXPECT_EQ(cursor, ReadFile("/var/log/cur")) << what;
    close(terminal);
  }
}

// `tolvane-getlog misc - | reader`, with this test the reader: it reads
// nothing until the tool, sent a signal alone, has stopped; then it sees the
// end of the output. A signal sent to the tool's process group ends it.
TEST_F(OperatorStopTest, SignalsToTheToolAloneLeaveItsReaderAlone) {
  LayOut();
  WriteFile("/var/log/misc00002.log", std::string(1 << 20, 'x'));
  WriteFile("/var/log/out", "earlier");
  for (int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
    int data[2];
    ASSERT_EQ(0, pipe(data));
    const pid_t tool = fork();
    if (tool == 0) {
      dup2(data[1], 1);
      ExecTool({"misc", "-"}, "");
    }
    close(data[1]);
    // Under way once its output, which nothing reads, fills the pipe.
    ExpectStop(
        tool, signal,
        [&] {
          int queued = 0;
          return ioctl(data[0], FIONREAD, &queued) == 0 && queued >= 4096;
        },
        Within(700), [&] { kill(tool, signal); }, strsignal(signal));
    alarm(4);  // the output ends when no command of the request is left
    char buffer[1 << 16];
    while (read(data[0], buffer, sizeof buffer) > 0) {
    }
    alarm(0);
    close(data[0]);
  }
}

}  // namespace
}  // namespace tolvane_test
