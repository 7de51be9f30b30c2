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
#include <sstream>
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

// Each case of tests/data/process-shellwait.cases: the folders, script and link it lays out beside the program, one
// ShellWait with the message loop's turns counted, then the pause, the turns, the boxes and what the script wrote.
TEST(ShellWait, EachCase) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  for (const Case& c : LoadCases("process-shellwait.cases", {{"DIR", program.dir().path()}})) {
    CASE_TRACE(c);
    if (c.has("as root") && geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: files of another owner need root";
    // The layout in the order written; folders and the script get their modes as written (whatever the umask).
    for (const auto& [key, value] : c.fields) {
      if (key != "folder" && key != "script" && key != "link") continue;
      std::istringstream words(value);
      std::string name, second, owner = "-1";  // second: the mode, or a link's target; -1: the owner left as it is
      words >> name >> second >> owner;
      const std::string path = program.file(Unescape(name));
      const uid_t uid = std::stoi(owner);
      ASSERT_EQ(key == "folder" ? mkdir(path.c_str(), 0) : 0, 0);
      if (key == "script") WriteBytes(path, c.get("head") + "printf '%s' \"$1\" > \"$0.arg\"\n");
      if (key == "link") {
        ASSERT_EQ(symlink(program.file(second).c_str(), path.c_str()), 0);
        continue;
      }
      ASSERT_EQ(chmod(path.c_str(), std::stoi(second, nullptr, 8)) | chown(path.c_str(), uid, uid), 0);
    }
    program.doEvents = 0;
    program.boxes.clear();
    SetDoEventsHook([&] {
      if (++program.doEvents == c.number("stop at") || program.doEvents == 20000) RequestStop();  // no wait hangs
    });
    const ShellWaitOptions options{int(c.number("pause")), int(c.number("poll"))};
    const std::string started = c.get("program");
    const auto t0 = std::chrono::steady_clock::now();
    ShellWait(FromUtf8(started), {FromUtf8(c.get("arg", "host"))}, c.number("limit"), options);
    ClearStop();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(options.startPauseMs));
    EXPECT_EQ(program.doEvents, c.number("turns", program.doEvents));
    std::vector<std::string> boxes;
    for (const std::u16string& box : program.boxes) boxes.push_back(ToUtf8(box));
    EXPECT_EQ(boxes, c.all("box"));
    EXPECT_EQ(fs::exists(started + ".arg") ? ReadBytes(started + ".arg") : "(nothing)", c.get("wrote", "(nothing)"));
  }
  EXPECT_FALSE(fs::exists(program.file("injected")));  // no shell parsed an argument
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
  WriteBytes(program.file("slow.sh"), "#!/bin/sh\nsleep 1\nexit 1\n");
  ASSERT_EQ(chmod(program.file("slow.sh").c_str(), 0755), 0);
  for (int i = 0; i < 3; ++i) ShellWait(FromUtf8(program.file("slow.sh")), {}, 10, {20, 1});
  EXPECT_LE(threads() - before, 1);
  ASSERT_EQ(waitpid(own, nullptr, 0), own);
  siginfo_t info{};
  int rc = 0;
  for (int i = 0; i < 100 && (rc = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT)) == 0; ++i) usleep(50000);
  EXPECT_EQ(rc == 0 ? 0 : errno, ECHILD);  // no child left, not even a zombie
}
