// Stopping a run by a close signal, sent for real to a child process that runs the window. Esc, the close box, a
// run under monitoring, Esc that belongs to a message box and the first Diag click after typing are step cases
// of the main window's tests (tests/data/window-main.cases).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QProcess>

#include <filesystem>
#include <map>

#include "diag/diagrun.h"
#include "support/casefile.h"
#include "support/scriptserver.h"
#include "support/tempdir.h"
#include "util/clock.h"
#include "util/codepage.h"

namespace {

// The program's close signals, sent for real to a child process that runs the window under monitoring against a
// silent port: during a run, the run stops and the program ends; while idle, it ends as by the close box.
TEST(StopWindowTest, SignalsCloseTheRunningProgram) {
  uint16_t silentPort = 0;
  const int silent = ListenOnLoopback(16, &silentPort);  // the kernel accepts; nobody ever answers
  ASSERT_GE(silent, 0);
  const std::map<std::string, int> signalOf = {{"TERM", SIGTERM}, {"INT", SIGINT}, {"HUP", SIGHUP}};
  for (const Case& c : CasesOf(LoadCases("window-stop.cases"), "signal ")) {
    CASE_TRACE(c);
    const bool duringRun = c.has("during a run");
    TempDir child;
    QProcess program;  // ended, if it is still running, when it goes out of scope
    program.setEnvironment({"QT_QPA_PLATFORM=offscreen"});
    const QString tick = duringRun ? "100" : "60000";
    program.start(VELKOR_STOP_CHILD, {QString::fromStdString(child.path()), QString::number(silentPort), tick});
    const std::string log = child.file("velkor1.log");
    // Up and running: the first run's start line, or (idle) the window shown.
    for (int i = 0; i < 500 && !std::filesystem::exists(duringRun ? log : child.file("shown")); ++i) SleepMs(10);
    for (int i = 0; duringRun && i < 500 && ReadBytes(log).find("Start") == std::string::npos; ++i) SleepMs(10);
    SleepMs(300);
    ASSERT_EQ(kill(program.processId(), signalOf.at(c.get("signal"))), 0);
    EXPECT_TRUE(program.waitForFinished(5000)) << "the program did not end";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    const std::u16string text = FromAnsi(ReadBytes(log));
    if (duringRun) {
      EXPECT_NE(text.find(kStoppedLine), std::u16string::npos);
      EXPECT_NE(text.find(u"-   End   -"), std::u16string::npos);
      EXPECT_EQ(text.find(u"-  Start  -"), text.rfind(u"-  Start  -")) << "one run: no tick starts another";
    }
    EXPECT_FALSE(std::filesystem::exists(child.file("vkrLastErr.log")));
  }
  close(silent);
}

}  // namespace
