#include "util/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/appstate.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/stop.h"

namespace fs = std::filesystem;

// A script beside the program that writes its first argument to its own path + ".arg".
static std::u16string Script(const ProgramInTempDir& program, const std::string& name, const char* head, int mode) {
  WriteBytes(program.file(name), head + std::string("printf '%s' \"$1\" > \"$0.arg\"\n"));
  chmod(program.file(name).c_str(), mode);
  return FromUtf8(program.file(name));
}

// The cases of tests/data/process-shellwait.cases whose names start with prefix.
static std::vector<Case> CasesFor(const char* prefix, const ProgramInTempDir& program) {
  return CasesOf(LoadCases("process-shellwait.cases", {{"MISSING", program.file("vkrRunErr.bat")}}), prefix);
}

// The pause, the polls and the limit, as the "wait" cases of tests/data/process-shellwait.cases count them.
TEST(ShellWait, PausesInSlicesAndPollsUntilExitZeroOrTheLimit) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  for (const Case& c : CasesFor("wait ", program)) {
    CASE_TRACE(c);
    program.doEvents = 0;
    program.boxes.clear();
    SetDoEventsHook([&] {
      if (++program.doEvents == c.number("stop at") || program.doEvents == 20000) RequestStop();  // no wait hangs
    });
    const auto t0 = std::chrono::steady_clock::now();
    ShellWait(FromUtf8(c.get("program")), {u"host"}, c.number("limit"), {int(c.number("pause")), 0});
    ClearStop();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(c.number("pause")));
    EXPECT_EQ(program.doEvents, c.number("turns"));
    ASSERT_EQ(program.boxes.size(), c.has("box") ? 1u : 0u);
    if (!c.has("box")) continue;
    const std::u16string &box = program.boxes[0], head = FromUtf8(c.get("box"));
    EXPECT_EQ(box.substr(0, head.size()) + box.substr(box.size() - 3), head + u" ： ");
  }
}

TEST(ShellWait, ArgumentsReachTheScriptUnparsedAndScriptsWithoutExecuteBitRunUnderSh) {
  ProgramInTempDir program;
  const std::string marker = program.file("injected");
  const std::string host = "x; touch " + marker + " $(touch " + marker + ") '\"`id` ホスト";
  for (const Case& c : CasesFor("script ", program)) {
    CASE_TRACE(c);
    const std::string name = c.get("file"), head = c.get("head") == "''" ? "" : c.get("head");
    const std::u16string script = Script(program, name, head.c_str(), std::stoi(c.get("mode"), nullptr, 8));
    ShellWait(script, {FromUtf8(host)}, 5000, {300, 1});
    EXPECT_EQ(ReadBytes(program.file(name + ".arg")), host);
  }
  EXPECT_FALSE(fs::exists(marker));
}

// As sshd's strict modes judge a file: a script another user could have changed, or swapped by renaming anything on
// its way, is reported with its path and the reason, and not started. Every directory up to / counts (along the path
// and the real path), and only a sticky one of root's may be writable by others; a setgid team folder is refused.
TEST(ShellWait, ScriptAnotherUserCouldHaveChangedIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: scripts and folders of another owner need root";
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  const auto makeDir = [](const std::string& d, int mode) { return mkdir(d.c_str(), 0) | chmod(d.c_str(), mode); };
  for (const Case& c : CasesFor("modes ", program)) {
    CASE_TRACE(c);
    const auto mode = [&c](const char* key) { return c.has(key) ? std::stoi(c.get(key), nullptr, 8) : 0; };
    const std::string dir = program.file(c.get("dir")), script = dir + "/vkrRunErr.bat", link = c.get("link");
    ASSERT_EQ(c.has("parent") ? makeDir(program.file("open"), mode("parent")) : 0, 0);
    ASSERT_EQ(makeDir(dir, mode("dir mode")), 0);
    Script(program, c.get("dir") + "/vkrRunErr.bat", "#!/bin/sh\n", mode("file mode"));
    const uid_t owner = c.number("owner"), dirOwner = c.number("dir owner");
    ASSERT_EQ(chown(script.c_str(), owner, owner) | chown(dir.c_str(), dirOwner, dirOwner), 0);
    const std::string started = link.empty() ? script : program.file(link + "/run.bat");
    ASSERT_EQ(link.empty() ? 0 : makeDir(program.file(link), 0755) | symlink(script.c_str(), started.c_str()), 0);
    program.boxes.clear();
    ShellWait(FromUtf8(started), {u"h"}, 5000, {0, 1});
    EXPECT_EQ(fs::exists(script + ".arg"), !c.has("reason"));
    ASSERT_EQ(program.boxes.size(), c.has("reason") ? 1u : 0u);
    if (!c.has("reason")) continue;
    const std::u16string& box = program.boxes[0];
    EXPECT_EQ(box.find(u"SYSTEM-ERROR： ShellWaitERR： エラー番号 :7003 -- vktest でエラーが発生しました。"), 0u);
    EXPECT_NE(box.find(FromUtf8(started) + u" ("), std::u16string::npos) << ToUtf8(box);
    EXPECT_NE(box.find(FromUtf8(c.get("reason"))), std::u16string::npos) << ToUtf8(box);
  }
}

// A member of the folder's group swaps the script for their own in a loop (an atomic exchange of two names) while
// root starts it 100 times: their script never runs, since a folder the group may write is refused outright.
TEST(ShellWait, ScriptSwappedInALoopByAGroupMemberNeverRunsTheirs) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the attacker is another user (needs root)";
  ProgramInTempDir program;
  ASSERT_EQ(chmod(program.dir().path().c_str(), 0711), 0);
  const std::string team = program.file("team");
  ASSERT_EQ(mkdir(team.c_str(), 0) | chown(team.c_str(), 0, 65534) | chmod(team.c_str(), 02775), 0);
  const std::string ours = team + "/vkrRunErr.bat", theirs = team + "/theirs.bat", ran = team + "/theirs-ran";
  WriteBytes(ours, "#!/bin/sh\nexit 0\n");
  ASSERT_EQ(chmod(ours.c_str(), 0755), 0);
  std::string swaps;
  std::thread attacker([&] {
    swaps = AsNobody([&] {  // in the folder's group (65534) as nobody
      WriteBytes(theirs, "#!/bin/sh\ntouch " + ran + "\n");
      chmod(theirs.c_str(), 0755);
      long n = 0;
      for (const int64_t end = MonotonicMs() + 20000; !fs::exists(team + "/stop") && MonotonicMs() < end;) {
        n += syscall(SYS_renameat2, AT_FDCWD, ours.c_str(), AT_FDCWD, theirs.c_str(), RENAME_EXCHANGE) == 0;
        // Each state held about as long as a start takes, varied, so that checks and starts fall on both.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50 + n % 7 * 50);
        while (std::chrono::steady_clock::now() < until) {
        }
      }
      return std::to_string(n);
    });
  });
  while (!fs::exists(theirs)) SleepMs(1);
  SleepMs(300);  // the loop under way
  for (int i = 0; i < 100; ++i) {
    ShellWait(FromUtf8(ours), {}, 200, {0, 1});
    SleepMs(i % 3);  // starts that fall on every phase of the loop
  }
  WriteBytes(team + "/stop", "");
  attacker.join();
  EXPECT_GT(std::atol(swaps.c_str()), 0) << swaps;  // the swaps did happen
  EXPECT_FALSE(fs::exists(ran));
  EXPECT_EQ(program.boxes.size(), 0u);  // the refusals went to the error log
  EXPECT_NE(program.errorLog().find(u"7003"), std::u16string::npos);
}

// A hung script with a one-minute interval is left running every minute: one thread reaps them all.
TEST(ShellWait, ChildrenOutlivingThePollsAreReapedByOneThreadWithoutTouchingOthers) {
  ProgramInTempDir program;
  const pid_t own = fork();  // a child of the test's own, which it waits for itself
  if (own == 0) {
    usleep(600 * 1000);
    _exit(0);
  }
  const auto threads = [] { return std::distance(fs::directory_iterator("/proc/self/task"), {}); };
  const auto before = threads();
  const std::u16string slow = Script(program, "slow.sh", "#!/bin/sh\nsleep 1\nexit 1\n", 0755);
  for (int i = 0; i < 3; ++i) ShellWait(slow, {}, 10, {20, 1});
  EXPECT_LE(threads() - before, 1);
  ASSERT_EQ(waitpid(own, nullptr, 0), own);
  siginfo_t info{};
  int rc = 0;
  for (int i = 0; i < 100 && (rc = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT)) == 0; ++i) usleep(50000);
  EXPECT_EQ(rc == 0 ? 0 : errno, ECHILD);  // no child left, not even a zombie
}
