#include "util/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/appstate.h"
#include "support/programdir.h"
#include "util/codepage.h"
#include "util/errreport.h"

namespace fs = std::filesystem;

namespace {

void WriteScript(const std::string& path, const std::string& body, unsigned mode) {
  fs::create_directories(fs::path(path).parent_path());
  WriteBytes(path, body);
  chmod(path.c_str(), mode);
}

// Records its first argument and where its standard streams lead.
const char kRecorder[] =
    "printf '%s' \"$1\" > \"$(dirname \"$0\")/arg.txt\"\n"
    "in=$(readlink /proc/$$/fd/0); out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2)\n"
    "printf '%s %s %s' \"$in\" \"$out\" \"$err\" > \"$(dirname \"$0\")/fds.txt\"\n"
    "echo to-stdout; echo to-stderr >&2\n"
    "exit 0\n";

ShellWaitOptions Fast(int pauseMs, int pollSleepMs = 0) {
  ShellWaitOptions o;
  o.startPauseMs = pauseMs;
  o.pollSleepMs = pollSleepMs;
  return o;
}

// State letters of this process's children, from /proc.
std::vector<char> ChildStates() {
  std::vector<char> states;
  const std::string self = std::to_string(getpid());
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string stat = ReadBytes(entry.path().string() + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 > stat.size()) continue;
    char state = stat[close + 2];
    std::string rest = stat.substr(close + 4);
    if (rest.substr(0, rest.find(' ')) == self) states.push_back(state);
  }
  return states;
}

}  // namespace

TEST(ShellWait, ExitZeroWithinThePauseReturnsRightAfterIt) {
  ProgramInTempDir program;
  const auto t0 = std::chrono::steady_clock::now();
  ShellWait(u"/bin/true", {}, 5000, Fast(400, 1));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  // One turn of the message loop before the pause, one after the first poll.
  EXPECT_EQ(program.doEvents, 2);
  EXPECT_GE(ms.count(), 400);
  EXPECT_EQ(program.errorLog(), u"");
}

TEST(ShellWait, NonZeroExitIsWaitedForUntilThePollsRunOut) {
  ProgramInTempDir program;
  ShellWait(u"/bin/false", {}, 5000, Fast(100));
  // Start, then 5000 polls with two turns each, then the last poll.
  EXPECT_EQ(program.doEvents, 1 + 5000 * 2 + 1);
}

TEST(ShellWait, NoLimitWaitsUntilExitZero) {
  ProgramInTempDir program;
  WriteScript(program.file("late.sh"), "#!/bin/sh\nsleep 0.3\nexit 0\n", 0755);
  const auto t0 = std::chrono::steady_clock::now();
  ShellWait(FromUtf8(program.file("late.sh")), {}, 0, Fast(20, 1));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_GE(ms.count(), 300);
  EXPECT_GT(program.doEvents, 2);
  EXPECT_EQ(ChildStates(), std::vector<char>{});
}

TEST(ShellWait, ArgumentsReachTheScriptUnparsed) {
  ProgramInTempDir program;
  const std::string script = program.file("with blank/run err.sh");
  WriteScript(script, std::string("#!/bin/sh\n") + kRecorder, 0755);
  const std::string marker = "/tmp/velkor-injected-" + std::to_string(getpid());
  const std::string host = "x; touch " + marker + " $(touch " + marker + ") '\"`id`";
  ShellWait(FromUtf8(script), {FromUtf8(host)}, 5000, Fast(300, 1));
  EXPECT_EQ(ReadBytes(program.file("with blank/arg.txt")), host);
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(ReadBytes(program.file("with blank/fds.txt")), "/dev/null /dev/null /dev/null");
  EXPECT_EQ(program.errorLog(), u"");
}

TEST(ShellWait, ScriptsThatAreNotExecutableRunUnderSh) {
  ProgramInTempDir program;
  // Not executable at all.
  WriteScript(program.file("a/err.bat"), kRecorder, 0644);
  ShellWait(FromUtf8(program.file("a/err.bat")), {u"host-a"}, 5000, Fast(300, 1));
  EXPECT_EQ(ReadBytes(program.file("a/arg.txt")), "host-a");
  // Executable, but without a "#!" line: the kernel refuses it.
  WriteScript(program.file("b/err.bat"), kRecorder, 0755);
  ShellWait(FromUtf8(program.file("b/err.bat")), {u"ホスト b"}, 5000, Fast(300, 1));
  EXPECT_EQ(ReadBytes(program.file("b/arg.txt")), ToUtf8(u"ホスト b"));
  EXPECT_EQ(program.errorLog(), u"");
}

TEST(ShellWait, MissingScriptIsReportedAndTheWaitEndsAfterThePause) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  const auto t0 = std::chrono::steady_clock::now();
  ShellWait(FromUtf8(program.file("vkrRunErr.bat")), {u"host"}, 5000, Fast(200, 1));
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_GE(ms.count(), 200);
  EXPECT_EQ(program.doEvents, 1);
  ASSERT_EQ(program.boxes.size(), 1u);
  const std::u16string& report = program.boxes[0];
  const std::u16string head =
      u"SYSTEM-ERROR： ShellWaitERR： エラー番号 :53 -- vktest でエラーが発生しました。   \r\n";
  EXPECT_EQ(report.substr(0, head.size()), head) << ToUtf8(report);
  EXPECT_EQ(report.substr(report.size() - 3), u" ： ");
  EXPECT_NE(program.errorLog().find(report), std::u16string::npos);
}

TEST(ShellWait, DirectoryIsAStartFailure) {
  ProgramInTempDir program;
  ShellWait(program.dir().path16(), {}, 5000, Fast(10));
  EXPECT_NE(program.errorLog().find(u"ShellWaitERR： エラー番号 :7001 -- "), std::u16string::npos);
}

TEST(ShellWait, ChildOutlivingThePollsIsReapedWithoutTouchingOthers) {
  ProgramInTempDir program;
  // A child of the test's own, which it waits for itself.
  const pid_t own = fork();
  ASSERT_GE(own, 0);
  if (own == 0) {
    usleep(600 * 1000);
    _exit(3);
  }
  WriteScript(program.file("slow.sh"), "#!/bin/sh\nsleep 0.4\nexit 1\n", 0755);
  ShellWait(FromUtf8(program.file("slow.sh")), {}, 10, Fast(20, 1));
  EXPECT_EQ(ChildStates().size(), 2u);  // the script still runs

  // Once both have ended, only the test's own child may be left, for its own waitpid.
  std::vector<char> states;
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    states = ChildStates();
    if (states == std::vector<char>{'Z'}) break;
  }
  EXPECT_EQ(states, std::vector<char>{'Z'});
  int ws = 0;
  ASSERT_EQ(waitpid(own, &ws, 0), own);
  EXPECT_EQ(WEXITSTATUS(ws), 3);
  EXPECT_EQ(ChildStates(), std::vector<char>{});
}
