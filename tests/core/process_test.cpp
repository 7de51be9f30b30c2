#include "util/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>

#include "app/appstate.h"
#include "support/programdir.h"
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

// As sshd's strict modes judge a file: a script another user could have changed is reported with its path and
// the reason, and not started. Only the directory that holds it counts, and a sticky one is safe.
TEST(ShellWait, ScriptAnotherUserCouldHaveChangedIsRefused) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  const struct { const char* dir; int parentMode, dirMode, fileMode; uid_t owner; const char* reason; } rows[] = {
      {"group", 0, 0755, 0775, 0, "モード 0775 でグループか他のユーザが書き込めます"},
      {"other", 0, 0755, 0757, 0, "モード 0757 でグループか他のユーザが書き込めます"},
      {"owner", 0, 0755, 0755, 65534, "所有者 uid 65534 は実行ユーザでも root でもありません"},
      {"opendir", 0, 0777, 0755, 0, "opendir はモード 0777 で他のユーザが書き込め、スティッキービットがありません"},
      {"sticky", 0, 01777, 0755, 0, nullptr},
      {"open/own", 0777, 0755, 0644, 0, nullptr},
  };
  for (const auto& row : rows) {
    if (row.owner && geteuid() != 0) {
      std::cerr << "SKIPPED LOUDLY: a script of another owner needs root\n";
      continue;
    }
    const auto makeDir = [](const std::string& d, int mode) { return mkdir(d.c_str(), 0) | chmod(d.c_str(), mode); };
    const std::string dir = program.file(row.dir);
    if (row.parentMode) {
      ASSERT_EQ(makeDir(program.file("open"), row.parentMode), 0);
    }
    ASSERT_EQ(makeDir(dir, row.dirMode), 0);
    const std::u16string script = Script(program, std::string(row.dir) + "/vkrRunErr.bat", "#!/bin/sh\n", row.fileMode);
    if (row.owner) {
      ASSERT_EQ(chown(ToUtf8(script).c_str(), row.owner, row.owner), 0);
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
