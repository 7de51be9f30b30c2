#include "util/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <filesystem>
#include <iostream>

#include "app/appstate.h"
#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"

// A script beside the program that writes its first argument to its own path + ".arg".
static std::u16string Script(const ProgramInTempDir& program, const std::string& name, const char* head, int mode) {
  WriteBytes(program.file(name), head + std::string("printf '%s' \"$1\" > \"$0.arg\"\n"));
  chmod(program.file(name).c_str(), mode);
  return FromUtf8(program.file(name));
}

TEST(ShellWait, PollsUntilExitZeroOrTheLimit) {
  ProgramInTempDir program;
  ShellWait(u"/bin/true", {}, 5000, {100, 1});
  EXPECT_EQ(program.doEvents, 5);  // one turn before the pause, three between its 25 ms slices, one after the poll
  ShellWait(u"/bin/false", {}, 5000, {100, 0});
  EXPECT_EQ(program.doEvents, 5 + 4 + 5000 * 2 + 1);  // start and pause, two turns per poll, the last poll
}

TEST(ShellWait, MissingScriptIsReportedAndTheWaitEndsAfterThePause) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  const auto t0 = std::chrono::steady_clock::now();
  ShellWait(FromUtf8(program.file("vkrRunErr.bat")), {u"host"}, 5000, {300, 1});
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
  EXPECT_EQ(program.doEvents, 1 + 11);  // before the pause and between its slices
  ASSERT_EQ(program.boxes.size(), 1u);
  const std::u16string& box = program.boxes[0];
  const std::u16string head = u"SYSTEM-ERROR： ShellWaitERR： エラー番号 :53 -- vktest でエラーが発生しました。   \r\n";
  EXPECT_EQ(box.substr(0, head.size()) + box.substr(box.size() - 3), head + u" ： ");
}

TEST(ShellWait, ArgumentsReachTheScriptUnparsedAndScriptsWithoutExecuteBitRunUnderSh) {
  ProgramInTempDir program;
  const std::string marker = program.file("injected");
  const std::string host = "x; touch " + marker + " $(touch " + marker + ") '\"`id` ホスト";
  // A name with blanks; a file that is not executable; an executable one without "#!" (the kernel refuses it).
  const struct { std::string name; const char* head; int mode; } scripts[] = {
      {"run err.sh", "#!/bin/sh\n", 0755}, {"err.bat", "", 0644}, {"err2.bat", "", 0755}};
  for (const auto& s : scripts) {
    ShellWait(Script(program, s.name, s.head, s.mode), {FromUtf8(host)}, 5000, {300, 1});
    EXPECT_EQ(ReadBytes(program.file(s.name + ".arg")), host) << s.name;
  }
  EXPECT_FALSE(std::filesystem::exists(marker));
}

// As sshd's strict modes judge a file: a script another user could have changed, or swapped by renaming anything on
// its way, is reported with its path and the reason, and not started. Every directory up to / counts (along the path
// and the real path), and only a sticky one of root's may be writable by others; a setgid team folder is refused.
TEST(ShellWait, ScriptAnotherUserCouldHaveChangedIsRefused) {
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
  for (const auto& row : rows) {
    if ((row.owner || row.dirOwner) && geteuid() != 0) {
      std::cerr << "SKIPPED LOUDLY: a script of another owner needs root\n";
      continue;
    }
    const auto makeDir = [](const std::string& d, int mode) { return mkdir(d.c_str(), 0) | chmod(d.c_str(), mode); };
    const std::string dir = program.file(row.dir);
    if (row.parentMode) {
      ASSERT_EQ(makeDir(program.file("open"), row.parentMode), 0);
    }
    ASSERT_EQ(makeDir(dir, row.dirMode), 0);
    std::u16string script = Script(program, std::string(row.dir) + "/vkrRunErr.bat", "#!/bin/sh\n", row.fileMode);
    if (row.owner) {
      ASSERT_EQ(chown(ToUtf8(script).c_str(), row.owner, row.owner), 0);
    }
    if (row.dirOwner) {
      ASSERT_EQ(chown(dir.c_str(), row.dirOwner, row.dirOwner), 0);
    }
    if (row.link) {
      ASSERT_EQ(makeDir(program.file(row.link), 0755), 0);
      ASSERT_EQ(symlink(ToUtf8(script).c_str(), program.file(std::string(row.link) + "/run.bat").c_str()), 0);
      script = FromUtf8(program.file(std::string(row.link) + "/run.bat"));
    }
    program.boxes.clear();
    ShellWait(script, {u"h"}, 5000, {0, 1});
    EXPECT_EQ(std::filesystem::exists(dir + "/vkrRunErr.bat.arg"), !row.reason) << row.dir;
    if (!row.reason) continue;
    ASSERT_EQ(program.boxes.size(), 1u) << row.dir;
    const std::u16string& box = program.boxes[0];
    EXPECT_EQ(box.find(u"SYSTEM-ERROR： ShellWaitERR： エラー番号 :7003 -- vktest でエラーが発生しました。"), 0u) << row.dir;
    EXPECT_NE(box.find(script + u" ("), std::u16string::npos) << ToUtf8(box);
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
      for (const int64_t end = MonotonicMs() + 20000; !std::filesystem::exists(team + "/stop") && MonotonicMs() < end;)
      {
        n += syscall(SYS_renameat2, AT_FDCWD, ours.c_str(), AT_FDCWD, theirs.c_str(), RENAME_EXCHANGE) == 0;
        // Each state held about as long as a start takes, varied, so that checks and starts fall on both.
        for (const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50 + n % 7 * 50);
             std::chrono::steady_clock::now() < until;) {
        }
      }
      return std::to_string(n);
    });
  });
  while (!std::filesystem::exists(theirs)) SleepMs(1);
  SleepMs(300);  // the loop under way
  for (int i = 0; i < 100; ++i) {
    ShellWait(FromUtf8(ours), {}, 200, {0, 1});
    SleepMs(i % 3);  // starts that fall on every phase of the loop
  }
  WriteBytes(team + "/stop", "");
  attacker.join();
  EXPECT_GT(std::atol(swaps.c_str()), 0) << swaps;  // the swaps did happen
  EXPECT_FALSE(std::filesystem::exists(ran));
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
  const auto threads = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
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
