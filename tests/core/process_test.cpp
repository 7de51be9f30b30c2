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

// The message-loop turns of a wait count its steps: one after the start, one between each two 25 ms slices of the
// pause, two a poll that goes on and one for the last poll. A limit of 0 or less is no limit: one turn a poll until
// the exit or a stop (here raised in a given turn). A start that fails is reported and the wait ends after the pause.
TEST(ShellWait, PausesInSlicesAndPollsUntilExitZeroOrTheLimit) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  const std::u16string missing = FromUtf8(program.file("vkrRunErr.bat"));
  const struct { std::u16string program; int32_t limit; int pause, stopAt, turns; bool box; } rows[] = {
      {u"/bin/true", 5000, 100, 0, 1 + 3 + 1, false},
      {u"/bin/false", 5000, 0, 0, 1 + 5000 * 2 + 1, false},
      {u"/bin/false", 2, 0, 0, 1 + 2 * 2 + 1, false},
      {u"/bin/false", 1, 25, 0, 1 + 0 + 1 * 2 + 1, false},
      {u"/bin/false", 1, 26, 0, 1 + 1 + 1 * 2 + 1, false},
      {u"/bin/false", 0, 0, 50, 50, false},
      {u"/bin/false", -1, 0, 50, 50, false},
      {missing, 5000, 100, 0, 1 + 3, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ToUtf8(row.program) + " " + std::to_string(row.limit) + " " + std::to_string(row.pause));
    program.doEvents = 0;
    program.boxes.clear();
    SetDoEventsHook([&] {
      if (++program.doEvents == row.stopAt || program.doEvents == 20000) RequestStop();  // no wait hangs the test
    });
    const auto t0 = std::chrono::steady_clock::now();
    ShellWait(row.program, {u"host"}, row.limit, {row.pause, 0});
    ClearStop();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(row.pause));
    EXPECT_EQ(program.doEvents, row.turns);
    ASSERT_EQ(program.boxes.size(), row.box ? 1u : 0u);
    if (!row.box) continue;
    const std::u16string& box = program.boxes[0];
    const std::u16string head = u"SYSTEM-ERROR： ShellWaitERR： エラー番号 :53 -- vktest でエラーが発生しました。   \r\n";
    EXPECT_EQ(box.substr(0, head.size()) + box.substr(box.size() - 3), head + u" ： ");
  }
}

TEST(ShellWait, ArgumentsReachTheScriptUnparsedAndScriptsWithoutExecuteBitRunUnderSh) {
  ProgramInTempDir program;
  const std::string marker = program.file("injected");
  const std::string host = "x; touch " + marker + " $(touch " + marker + ") '\"`id` ホスト";
  // A name with blanks; a file that is not executable; an executable one without "#!" (the kernel refuses it).
  const std::tuple<std::string, const char*, int> scripts[] = {
      {"run err.sh", "#!/bin/sh\n", 0755}, {"err.bat", "", 0644}, {"err2.bat", "", 0755}};
  for (const auto& [name, head, mode] : scripts) {
    ShellWait(Script(program, name, head, mode), {FromUtf8(host)}, 5000, {300, 1});
    EXPECT_EQ(ReadBytes(program.file(name + ".arg")), host) << name;
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
  const struct { const char* dir; int parentMode, dirMode, fileMode; uid_t owner, dirOwner; const char* link; const char* reason; } rows[] = {
      {"group", 0, 0755, 0775, 0, 0, nullptr, "モード 0775 でグループか他のユーザが書き込めます"},
      {"other", 0, 0755, 0757, 0, 0, nullptr, "モード 0757 でグループか他のユーザが書き込めます"},
      {"owner", 0, 0755, 0755, 65534, 0, nullptr, "所有者 uid 65534 は実行ユーザでも root でもありません"},
      {"opendir", 0, 0777, 0755, 0, 0, nullptr, "opendir はモード 0777 で他のユーザが書き込め、スティッキービットがありません"},
      {"sticky", 0, 01777, 0755, 0, 0, nullptr, nullptr},
      {"open/own", 0777, 0755, 0644, 0, 0, nullptr, "open はモード 0777 で他のユーザが書き込め、スティッキービットがありません"},
      {"team", 0, 02775, 0755, 0, 0, nullptr, "team はモード 2775 でグループが書き込めます"},
      {"groupdir", 0, 0770, 0755, 0, 0, nullptr, "groupdir はモード 0770 でグループが書き込めます"},
      {"theirs", 0, 0755, 0755, 0, 65534, nullptr, "theirs の所有者 uid 65534 は実行ユーザでも root でもありません"},
      // A link from a sound directory to a script in one others may write: the real path counts too.
      {"linked", 0, 0775, 0755, 0, 0, "via", "linked はモード 0775 でグループが書き込めます"},
  };
  const auto makeDir = [](const std::string& d, int mode) { return mkdir(d.c_str(), 0) | chmod(d.c_str(), mode); };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.dir);
    const std::string dir = program.file(row.dir), script = dir + "/vkrRunErr.bat";
    ASSERT_EQ(row.parentMode ? makeDir(program.file("open"), row.parentMode) : 0, 0);
    ASSERT_EQ(makeDir(dir, row.dirMode), 0);
    Script(program, std::string(row.dir) + "/vkrRunErr.bat", "#!/bin/sh\n", row.fileMode);
    ASSERT_EQ(chown(script.c_str(), row.owner, row.owner) | chown(dir.c_str(), row.dirOwner, row.dirOwner), 0);
    const std::string started = row.link ? program.file(std::string(row.link) + "/run.bat") : script;
    ASSERT_EQ(row.link ? makeDir(program.file(row.link), 0755) | symlink(script.c_str(), started.c_str()) : 0, 0);
    program.boxes.clear();
    ShellWait(FromUtf8(started), {u"h"}, 5000, {0, 1});
    EXPECT_EQ(fs::exists(script + ".arg"), !row.reason);
    ASSERT_EQ(program.boxes.size(), row.reason ? 1u : 0u);
    if (!row.reason) continue;
    const std::u16string& box = program.boxes[0];
    EXPECT_EQ(box.find(u"SYSTEM-ERROR： ShellWaitERR： エラー番号 :7003 -- vktest でエラーが発生しました。"), 0u);
    EXPECT_NE(box.find(FromUtf8(started) + u" ("), std::u16string::npos) << ToUtf8(box);
    EXPECT_NE(box.find(FromUtf8(row.reason)), std::u16string::npos) << ToUtf8(box);
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
