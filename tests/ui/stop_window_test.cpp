// Stopping a run from the window: Esc, a close request (the close box, a
// signal to the running program), a run under monitoring; Esc that belongs
// to a message box; the first Diag click after typing. The checks are the
// real ones, against ports on 127.0.0.1 that accept and never speak, so an
// unstopped run would wait 30 s.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>

#include "diag/diagrun.h"
#include "support/casefile.h"
#include "support/scriptserver.h"
#include "support/mainwindowfixture.h"
#include "ui/diagwiring.h"
#include "util/clock.h"
#include "util/stop.h"
#include "util/xcommon.h"

namespace {

const std::u16string kEnd = u"velkor :  - - -   End   - - - \r";

class StopWindowTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    silent = ListenOnLoopback(16, &silentPort);  // the kernel accepts; nobody ever answers
    ASSERT_GE(silent, 0);
    // The error script leaves a mark: a stopped run must not start it.
    WriteBytes(dir.file("vkrRunErr.bat"), "#!/bin/sh\ntouch \"$(dirname \"$0\")/script-ran\"\n");
    chmod(dir.file("vkrRunErr.bat").c_str(), 0755);
    settings.RunBat = u"1";
  }
  void TearDown() override {
    MainWindowTest::TearDown();
    close(silent);
    ClearStop();
  }
  void OpenWired() {
    std::filesystem::remove(dir.file("velkor1.log"));
    Open([this] {
      w->SetQuitAction([this] { ++quits; });
      runner = &InstallDiagRunner(*w);
    });
  }
  bool Exists(const char* file) const { return std::filesystem::exists(dir.file(file)); }
  std::u16string Silent() const { return ToU16(silentPort); }

  int silent = -1;
  uint16_t silentPort = 0;
  DiagRunner* runner = nullptr;
  int quits = 0;
};

// Esc or the close box during a run of checks that would wait 30 s: the section in progress ends with the stop
// line, its lamp keeps what the port before showed, the end line is written, no error action runs. Esc leaves the
// window open and enabled; the close request closes it once the run has ended.
TEST_F(StopWindowTest, EscAndCloseRequestStopARunOfSilentChecks) {
  for (const Case& c : CasesOf(LoadCases("window-stop.cases"), "way ")) {
    CASE_TRACE(c);
    quits = 0;
    OpenWired();
    // SMTP on a port that answers at once, then on the silent one.
    ScriptServer ok({"220 hi\r\n", kLine, "250 ok\r\n", kLine, "221 bye\r\n"});
    Type(u"127.0.0.1:" + ToU16(ok.port()) + u"," + Silent() + u":" + Silent() + u":-:-");
    QTimer::singleShot(600, w.get(), [this, stop = c.get("stop")] {
      QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      if (stop == "Esc") QTest::keyClick(w.get(), Qt::Key_Escape);
      if (stop == "Esc to the result list") QApplication::sendEvent(Child("LstResult"), &esc);
      if (stop == "close box") w->close();
    });
    const int64_t start = MonotonicMs();
    QTest::keyClick(Edit(), Qt::Key_Return);  // the whole run
    EXPECT_LT(MonotonicMs() - start, 5000);
    const Texts items = Items();
    ASSERT_GE(items.size(), 3u);
    EXPECT_EQ(items[items.size() - 2], kStoppedLine);
    EXPECT_EQ(items.back(), kEnd);
    EXPECT_FALSE(Has(u"## POP   チャレンジ ##  port：" + Silent())) << "nothing after the stopped section";
    EXPECT_EQ(Lamp(2), QColor(128, 255, 128)) << "the first port passed; the stopped one judged nothing";
    EXPECT_FALSE(Exists("vkrLastErr.log") || Exists("script-ran"));
    EXPECT_FALSE(StopRequested()) << "the next run starts afresh";
    Events(5);
    EXPECT_EQ(quits, c.has("closes") ? 1 : 0);
    EXPECT_EQ(w->isVisible(), !c.has("closes"));
    EXPECT_TRUE(w->isEnabled());
    EXPECT_EQ(Runs(), 1);
  }
}

// Under monitoring: ticks fall due during a stopped run and are dropped; the next run comes at its time (the next
// tick), not right after the stop.
TEST_F(StopWindowTest, TicksDueDuringAStoppedRunAreDropped) {
  settings.Interval = u"1";
  OpenWired();
  Type(u"127.0.0.1:" + Silent() + u":-:-:-");
  w->SetMonitorTickMs(400);
  w->Form_Activate();  // ticks at 400, 800, 1200 ms
  bool fellDue = false;
  int runsSoonAfterStop = -1;
  QTimer::singleShot(900, w.get(), [&] {
    fellDue = runner->DeferredRunPending();
    QTest::keyClick(w.get(), Qt::Key_Escape);
    // A tick that had fallen due would start its run as soon as the stopped one has ended; the next tick comes
    // 300 ms on.
    QTimer::singleShot(120, w.get(), [&] {
      runsSoonAfterStop = Runs();
      w->TimerInterval()->stop();
      if (!w->isEnabled()) QTest::keyClick(w.get(), Qt::Key_Escape);
    });
  });
  const int64_t start = MonotonicMs();
  QTest::keyClick(Edit(), Qt::Key_Return);  // the run
  ASSERT_TRUE(WaitUntil([&] { return runsSoonAfterStop >= 0; }));
  EXPECT_LT(MonotonicMs() - start, 5000);
  EXPECT_TRUE(fellDue);
  EXPECT_EQ(runsSoonAfterStop, 1);
  EXPECT_TRUE(Has(kStoppedLine));
  EXPECT_TRUE(w->isEnabled());
  EXPECT_FALSE(Exists("vkrLastErr.log"));
}

// A message box shown during a run (ReportError while the message-box flag is up) takes its Esc: the box closes,
// the run goes on to its end unstopped.
TEST_F(StopWindowTest, EscInAMessageBoxClosesOnlyTheBox) {
  OpenWired();
  DiagChecks checks;
  checks.smtp = [](std::u16string&, std::u16string&, TlsMode, std::u16string& message) {
    QTimer::singleShot(100, [] {
      if (QWidget* box = QApplication::activeModalWidget()) QTest::keyClick(box, Qt::Key_Escape);
    });
    ShowMessageBox(u"テスト");
    message = u"220 hi\r\n";
    return true;
  };
  runner->SetChecks(checks);
  Type(u"127.0.0.1:25:-:-:-");
  const int64_t start = MonotonicMs();
  QTest::keyClick(Edit(), Qt::Key_Return);
  EXPECT_LT(MonotonicMs() - start, 5000);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_FALSE(Has(kStoppedLine));
  EXPECT_TRUE(Has(u"---- 127.0.0.1 -- 【正常】  \r"));
  EXPECT_EQ(Items().back(), kEnd);
}

// The Diag click that takes the focus from the box starts the run once the entry is applied, also when the
// button's release is spent while the validation lets events run (the button then never sees a click).
TEST_F(StopWindowTest, FirstDiagClickAfterTypingStartsTheRun) {
  for (const bool releaseSpent : {false, true}) {
    SCOPED_TRACE(releaseSpent ? "release spent in the validation" : "plain click");
    OpenWired();
    std::vector<std::u16string> asked;
    DiagChecks checks;
    checks.smtp = [&](std::u16string& h, std::u16string& p, TlsMode, std::u16string&) {
      return asked.push_back(h + u":" + p), true;
    };
    runner->SetChecks(checks);
    Type(u"127.0.0.1:2525:-:-:-");
    QPushButton* diag = Child<QPushButton>("CmdDiag");
    bool spent = false;
    SetSettingsLoader([&] {
      SystemSettings = settings;
      if (releaseSpent && !spent && QApplication::mouseButtons() != Qt::NoButton) {
        spent = true;
        QTest::mouseRelease(diag, Qt::LeftButton);
      }
      return true;
    });
    QTest::mousePress(diag, Qt::LeftButton);
    if (!releaseSpent) QTest::mouseRelease(diag, Qt::LeftButton);
    Events();
    EXPECT_EQ(spent, releaseSpent);
    EXPECT_EQ(asked, std::vector<std::u16string>{u"127.0.0.1:2525"});
    EXPECT_EQ(Runs(), 1);
    QTest::mouseRelease(diag, Qt::LeftButton);  // a late release starts nothing more
    Events();
    EXPECT_EQ(Runs(), 1);
    SetSettingsLoader([this] { return SystemSettings = settings, true; });
  }
}

// The program's close signals, sent for real to a child process that runs the window under monitoring against a
// silent port: during a run, the run stops and the program ends; while idle, it ends as by the close box.
TEST_F(StopWindowTest, SignalsCloseTheRunningProgram) {
  const std::map<std::string, int> signalOf = {{"TERM", SIGTERM}, {"INT", SIGINT}, {"HUP", SIGHUP}};
  for (const Case& c : CasesOf(LoadCases("window-stop.cases"), "signal ")) {
    CASE_TRACE(c);
    const bool duringRun = c.has("during a run");
    TempDir child;
    const std::string port = std::to_string(silentPort);
    const std::string tick = duringRun ? "100" : "60000";
    const char* argv[] = {VELKOR_STOP_CHILD, child.path().c_str(), port.c_str(), tick.c_str(), nullptr};
    char* envp[] = {const_cast<char*>("QT_QPA_PLATFORM=offscreen"), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, VELKOR_STOP_CHILD, nullptr, nullptr, const_cast<char**>(argv), envp), 0);
    const std::string log = child.file("velkor1.log");
    // Up and running: the first run's start line, or (idle) the window shown.
    for (int i = 0; i < 500 && !std::filesystem::exists(duringRun ? log : child.file("shown")); ++i) SleepMs(10);
    for (int i = 0; duringRun && i < 500 && ReadBytes(log).find("Start") == std::string::npos; ++i) SleepMs(10);
    SleepMs(300);
    const int64_t sent = MonotonicMs();
    ASSERT_EQ(kill(pid, signalOf.at(c.get("signal"))), 0);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 500 && (done = waitpid(pid, &status, WNOHANG)) == 0; ++i) SleepMs(10);
    if (done == 0) kill(pid, SIGKILL), waitpid(pid, &status, 0);
    ASSERT_NE(done, 0) << "the program did not end";
    EXPECT_LT(MonotonicMs() - sent, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::u16string text = FromAnsi(ReadBytes(log));
    if (duringRun) {
      EXPECT_NE(text.find(kStoppedLine), std::u16string::npos);
      EXPECT_NE(text.find(u"-   End   -"), std::u16string::npos);
      EXPECT_EQ(text.find(u"-  Start  -"), text.rfind(u"-  Start  -")) << "one run: no tick starts another";
    }
    EXPECT_FALSE(std::filesystem::exists(child.file("vkrLastErr.log")));
  }
}

}  // namespace
