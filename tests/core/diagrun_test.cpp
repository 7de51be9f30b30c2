// The run, the monitoring tick and the error actions, on a window stand-in
// and scripted checks. Whole runs against real peers are in the window tests.
#include "diag/diagrun.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>
#include <stdexcept>

#include "app/appstate.h"
#include "diag/targetlist.h"
#include "net/cmdsession.h"
#include "support/tempdir.h"

#include <filesystem>
#include <map>
#include "support/programdir.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

const std::u16string kStamp = u"2025/01/02 03:04:05 * ";

class FakeWindow : public DiagWindow, public ResultView {
 public:
  // ResultView
  void AppendResultItem(const std::u16string& item) override { items.push_back(item); }
  void ClearResultItems() override { items.clear(); }
  std::vector<std::u16string> ResultItems() const override { return items; }
  void SetLampColour(int index, const LampColour& colour) override { lamps[index] = colour; }
  void SetStatusCaption(const std::u16string& caption) override { status = caption; }
  void RepaintNow() override {}

  // DiagWindow
  ResultReport& Report() override { return report; }
  bool SetTargetHost() override {
    target = EntryHostName(boxText);
    return !target.empty();
  }
  std::u16string GetHostAddr() const override { return target; }
  std::u16string GetCurrentHostName() const override { return EntryHostField(boxText); }
  void PutCurrentTargetHostInfo(bool output) override {
    report.AddResultLine(TargetHostInfoLine(0, -1, boxText), false, !output);
  }
  void PutCurrentTimeoutInfo() override { counterLabels.push_back(TimeoutInfoText(minutes, SystemSettings.Interval)); }
  int ChkServiceValue(int index) const override { return ticks[index]; }
  void SetWindowEnabled(bool on) override {
    enabled = on;
    if (failOnDisable && !on) throw std::runtime_error("window gone");
  }
  void ShowHourglass() override { hourglass = true; }
  void RestoreMousePointer() override { hourglass = false; }
  void SetRunFlag(bool on) override { runFlag = on; }
  bool IsClosing() const override { return closing; }
  int16_t MinuteCounter() const override { return minutes; }
  void SetMinuteCounter(int16_t value) override { minutes = value; }
  void SetErrorText(const std::u16string& text) override { errorText = text; }
  bool IsBusy() const override { return busy; }
  void Post(std::function<void()> work) override { posted.push_back(std::move(work)); }

  void RunPosted() {
    while (!posted.empty()) {
      auto w = std::move(posted.front());
      posted.pop_front();
      w();
    }
  }

  ResultReport report{*this};
  std::vector<std::u16string> items;
  std::map<int, LampColour> lamps;
  std::u16string status;
  std::u16string boxText = u"mailsv";
  std::u16string target;
  std::array<int, 6> ticks{0, 0, 0, 0, 0, 0};
  bool enabled = true, hourglass = false, runFlag = false, closing = false, busy = false, failOnDisable = false;
  int16_t minutes = 0;
  std::vector<std::u16string> counterLabels;
  std::u16string errorText;
  std::deque<std::function<void()>> posted;
};

// Checks that answer from a script and record what they were asked.
struct ScriptedChecks {
  std::map<std::u16string, bool> smtpByPort;
  bool pingAlive = false, sharesOk = true, popOk = true, ftpOk = true, httpOk = true;
  std::vector<std::u16string> asked;  // "smtp:25", "shares:NAME", ...
  std::function<void()> duringCheck;  // e.g. a tick in the middle of a check

  DiagChecks Make() {
    DiagChecks c;
    c.ping = [this](std::u16string& h, bool& alive, std::u16string& m) {
      asked.push_back(u"ping:" + h);
      alive = pingAlive;
      m = alive ? u"Target is alive." : u"Timeout !";
      return alive;
    };
    c.shares = [this](std::u16string& s, std::u16string& listing) {
      asked.push_back(u"shares:" + s);
      listing = u"data     \r\n";
      return sharesOk;
    };
    c.smtp = [this](std::u16string& h, std::u16string& p, std::u16string& m) {
      asked.push_back(u"smtp:" + h + u":" + p);
      if (duringCheck) duringCheck();
      auto it = smtpByPort.find(p);
      bool ok = it == smtpByPort.end() ? true : it->second;
      if (ok) m = u"220 ok\r\n";
      return ok;
    };
    c.pop = [this](std::u16string& h, std::u16string& p, std::u16string& u, std::u16string& pw, std::u16string& m) {
      asked.push_back(u"pop:" + h + u":" + p + u":" + u + u":" + pw);
      m = u"+OK\r\n";
      return popOk;
    };
    c.ftp = [this](std::u16string& h, std::u16string& p, std::u16string& u, std::u16string&, std::u16string& m) {
      asked.push_back(u"ftp:" + h + u":" + p + u":" + u);
      m = u"220 ftp\r\n";
      return ftpOk;
    };
    c.http = [this](std::u16string& h, std::u16string& p, std::u16string& m) {
      asked.push_back(u"http:" + h + u":" + p);
      m = u"HTTP/1.1 200 OK\r\n";
      return httpOk;
    };
    c.localComputerName = [] { return std::u16string(u"THISPC"); };
    return c;
  }
};

class DiagRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SystemSettings = {};
    SystemSettings.SmtpPort = u"25";
    SystemSettings.PopPort = u"110";
    SystemSettings.FtpPort = u"21";
    SystemSettings.HttpPort = u"80";
    SystemSettings.UserName = u"alice";
    SystemSettings.Password = u"secret";
    SetLocalNowHook([] {
      std::tm t{};
      t.tm_year = 125, t.tm_mon = 0, t.tm_mday = 2, t.tm_hour = 3, t.tm_min = 4, t.tm_sec = 5;
      return t;
    });
  }
  void TearDown() override {
    SetLocalNowHook(nullptr);
    SystemSettings = {};
  }
  std::u16string RunLog() { return prog.readText("velkor1.log"); }

  ProgramInTempDir prog{u"velkor"};
  FakeWindow win;
  ScriptedChecks checks;
  DiagRunner runner{win, checks.Make()};
};

TEST_F(DiagRunTest, AllUntickedRunWritesFrameOnlyAndPasses) {
  runner.CmdDiag_Click();
  std::vector<std::u16string> expected = {
      kStamp + u"[TargetHost] mailsv",
      kStamp + u"velkor :  - - -  Start  - - -",  // trailing blanks dropped in the list
      u"\r",
      kStamp + u"velkor :  - - -   End   - - - \r",
  };
  EXPECT_EQ(win.items, expected);
  EXPECT_TRUE(checks.asked.empty());
  EXPECT_FALSE(std::filesystem::exists(prog.file("vkrLastErr.log")));
  EXPECT_EQ(win.status, u"03:04  Diag Done.");
  EXPECT_TRUE(win.enabled);
  EXPECT_FALSE(win.hourglass);
  EXPECT_TRUE(win.runFlag);
  // Run log: target line, start line and the end line with its CR LF.
  EXPECT_EQ(RunLog(), u"2025/01/02 03:04:05 *** [TargetHost] mailsv\r\n"
                      u"2025/01/02 03:04:05 *** velkor :  - - -  Start  - - - \r\n"
                      u"2025/01/02 03:04:05 *** velkor :  - - -   End   - - - \r\n\r\n");
  // Every lamp was reset to the neutral colour.
  ASSERT_EQ(win.lamps.size(), 6u);
  for (auto& [i, c] : win.lamps) EXPECT_EQ(c, LampColour::GreyedText()) << i;
}

TEST_F(DiagRunTest, NoTargetOnlySaysSo) {
  win.boxText = u"  ";
  win.items = {u"old"};
  runner.CmdDiag_Click();
  EXPECT_EQ(win.items, std::vector<std::u16string>{u"old"});
  EXPECT_EQ(win.status, u"03:04  No target!! cannot start Diag");
  EXPECT_TRUE(win.enabled);
  EXPECT_FALSE(win.hourglass);
}

TEST_F(DiagRunTest, PortListsSkipEmptyFieldsAndSectionsRunInOrder) {
  win.ticks = {1, 1, 1, 1, 1, 1};
  checks.pingAlive = true;
  SystemSettings.SmtpPort = u"25,, 587 ,";
  SystemSettings.PopPort = u"";
  SystemSettings.HttpPort = u"8080";
  runner.CmdDiag_Click();
  std::vector<std::u16string> expected = {u"ping:mailsv",   u"shares:mailsv",        u"smtp:mailsv:25",
                                          u"smtp:mailsv:587", u"ftp:mailsv:21:alice", u"http:mailsv:8080"};
  EXPECT_EQ(checks.asked, expected);
  std::vector<std::u16string> headers;
  for (auto& item : win.items)
    if (item.find(u"チャレンジ") != std::u16string::npos) headers.push_back(item.substr(kStamp.size()));
  std::vector<std::u16string> expectedHeaders = {u"## PING チャレンジ ##",
                                                 u"## NetBIOS チャレンジ ##  (Windows NetShare)",
                                                 u"## SMTP  チャレンジ ##  port：  25",
                                                 u"## SMTP  チャレンジ ##  port： 587",
                                                 u"## FTP   チャレンジ ##  port：  21",
                                                 u"## HTTP  チャレンジ ##  port：8080"};
  EXPECT_EQ(headers, expectedHeaders);
  EXPECT_FALSE(std::filesystem::exists(prog.file("vkrLastErr.log")));
}

TEST_F(DiagRunTest, GreyCheckBoxDoesNotCount) {
  win.ticks = {2, 2, 2, 0, 0, 0};
  runner.CmdDiag_Click();
  EXPECT_TRUE(checks.asked.empty());
}

TEST_F(DiagRunTest, LocalHostListsSharesOfThisComputerButShowsTarget) {
  win.boxText = u"LocalHost:25";
  win.ticks = {0, 1, 0, 0, 0, 0};
  runner.CmdDiag_Click();
  EXPECT_EQ(checks.asked, std::vector<std::u16string>{u"shares:THISPC"});
  bool shown = false;
  for (auto& item : win.items) shown |= item == u"---- LocalHost -- 【正常】  \r";
  EXPECT_TRUE(shown);
}

TEST_F(DiagRunTest, MixedPortsFailRunWithMixedLampAndSaveLastErrorLog) {
  win.ticks = {0, 0, 1, 0, 0, 0};
  SystemSettings.SmtpPort = u"25,587";
  checks.smtpByPort = {{u"25", false}, {u"587", true}};
  runner.CmdDiag_Click();
  EXPECT_EQ(win.lamps[2], LampColour::Rgb(255, 192, 128));
  // The last-error log holds the result list up to (not including) the end
  // line; items that end in CR are followed by CR LF.
  std::string bytes = ReadBytes(prog.file("vkrLastErr.log"));
  std::u16string text = FromAnsi(bytes);
  EXPECT_NE(text.find(u"---- mailsv -- ［応答なし］\r\n"), std::u16string::npos);
  EXPECT_NE(text.find(u"---- mailsv -- 【正常】  \r\r\n220 ok\r\r\n"), std::u16string::npos);
  EXPECT_EQ(text.find(u"End"), std::u16string::npos);
  EXPECT_EQ(text.substr(0, kStamp.size() + 19), kStamp + u"[TargetHost] mailsv");
  // No script asked for: no script lines.
  EXPECT_EQ(win.items.back(), kStamp + u"velkor :  - - -   End   - - - \r");
  EXPECT_NE(win.items[win.items.size() - 2].find(u"\r"), std::u16string::npos);
}

TEST_F(DiagRunTest, PassingRunLeavesOldLastErrorLogAlone) {
  WriteBytes(prog.file("vkrLastErr.log"), "old failure\r\n");
  win.ticks = {0, 0, 1, 0, 0, 0};
  runner.CmdDiag_Click();
  EXPECT_EQ(ReadBytes(prog.file("vkrLastErr.log")), "old failure\r\n");
}

TEST_F(DiagRunTest, FailedRunStartsErrorScriptWithHostAsOneArgument) {
  win.boxText = u"mail01; touch injected:25";
  win.ticks = {1, 0, 0, 0, 0, 0};
  SystemSettings.RunBat = u"1";
  std::string script = prog.file("vkrRunErr.bat");
  WriteBytes(script, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > \"$(dirname \"$0\")/arg.txt\"\n");
  chmod(script.c_str(), 0755);
  runner.CmdDiag_Click();
  EXPECT_EQ(ReadBytes(prog.file("arg.txt")), "1|mail01; touch injected");
  EXPECT_FALSE(std::filesystem::exists(prog.file("injected")));
  size_t n = win.items.size();
  ASSERT_GE(n, 3u);
  EXPECT_EQ(win.items[n - 3], kStamp + u"##  vkrRunErr.bat　実行開始");
  EXPECT_EQ(win.items[n - 2], kStamp + u"##  vkrRunErr.bat　実行終了");
  // The script lines are not part of the last-error log.
  EXPECT_EQ(prog.readText("vkrLastErr.log").find(u"実行開始"), std::u16string::npos);
}

TEST_F(DiagRunTest, RunBatZeroStartsNoScript) {
  win.ticks = {1, 0, 0, 0, 0, 0};
  SystemSettings.RunBat = u"0";
  runner.CmdDiag_Click();
  EXPECT_TRUE(std::filesystem::exists(prog.file("vkrLastErr.log")));
  for (auto& item : win.items) EXPECT_EQ(item.find(u"vkrRunErr"), std::u16string::npos);
}

TEST_F(DiagRunTest, MissingScriptIsReportedAndTheRunEnds) {
  win.ticks = {1, 0, 0, 0, 0, 0};
  SystemSettings.RunBat = u"1";
  runner.CmdDiag_Click();
  EXPECT_NE(prog.errorLog().find(u"ShellWaitERR"), std::u16string::npos);
  EXPECT_EQ(win.items.back(), kStamp + u"velkor :  - - -   End   - - - \r");
  EXPECT_EQ(win.items[win.items.size() - 2], kStamp + u"##  vkrRunErr.bat　実行終了");
}

TEST_F(DiagRunTest, UnwritableLastErrorLogIsReportedAndScriptStillStarts) {
  // A directory in the way: the delete fails, which ends the error actions
  // with a report; the scripted case of a failed write alone follows below.
  win.ticks = {1, 0, 0, 0, 0, 0};
  std::filesystem::create_directory(prog.file("vkrLastErr.log"));
  WriteBytes(prog.file("vkrLastErr.log/keep"), "x");
  runner.CmdDiag_Click();
  EXPECT_NE(prog.errorLog().find(u"エラー番号 :"), std::u16string::npos);
  EXPECT_FALSE(win.errorText.empty());
}

TEST(DiagRunWriteFailure, FailedWriteIsReportedWithPathAndScriptStillRuns) {
  // /proc/self takes no new files, even for root: the delete finds nothing,
  // the write fails.
  ProgramInTempDir prog{u"velkor"};
  SetProgramLocation(u"/proc/self", u"velkor");
  SettingsMsgBoxFlag = true;  // reports reach the box hook, since no log can be written there
  SystemSettings = {};
  SystemSettings.RunBat = u"1";
  FakeWindow win;
  win.ticks = {1, 0, 0, 0, 0, 0};
  ScriptedChecks checks;
  DiagRunner runner{win, checks.Make()};
  runner.CmdDiag_Click();
  // The run log cannot be written there either; keep the other reports.
  std::vector<std::u16string> reports;
  for (auto& b : prog.boxes)
    if (b.find(u"velkor1.log") == std::u16string::npos) reports.push_back(b);
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[0], u"エラー番号 : 75 -- /proc/self/vkrLastErr.log でエラーが発生しました。 " +
                               std::u16string(u"ファイルを書き込めません。"));
  EXPECT_NE(reports[1].find(u"SYSTEM-ERROR： ShellWaitERR： "), std::u16string::npos);  // the script start was tried
  EXPECT_EQ(win.items[win.items.size() - 3].substr(kStamp.size()), u"##  vkrRunErr.bat　実行開始");
  SystemSettings = {};
}

TEST_F(DiagRunTest, UnexpectedErrorInsideChecksEndsRunAndRunsErrorActions) {
  win.ticks = {0, 0, 1, 0, 0, 0};
  checks.duringCheck = [] { throw std::runtime_error("boom"); };
  runner.CmdDiag_Click();
  EXPECT_NE(prog.errorLog().find(u"エラー番号 : 7099 -- velkor でエラーが発生しました。 boom"), std::u16string::npos);
  EXPECT_TRUE(std::filesystem::exists(prog.file("vkrLastErr.log")));
  EXPECT_EQ(win.items.back(), kStamp + u"velkor :  - - -   End   - - - \r");
}

TEST_F(DiagRunTest, WindowIsRestoredAfterAnUnexpectedErrorOfTheRunItself) {
  win.failOnDisable = true;
  runner.CmdDiag_Click();
  EXPECT_TRUE(win.enabled);
  EXPECT_FALSE(win.hourglass);
  EXPECT_FALSE(runner.Running());
  EXPECT_NE(prog.errorLog().find(u"でエラーが発生しました。 \r\nwindow gone"), std::u16string::npos);
}

TEST_F(DiagRunTest, TickCountsToIntervalRunsAndResets) {
  SystemSettings.Interval = u"3";
  runner.TimerInterval_Timer();
  runner.TimerInterval_Timer();
  EXPECT_EQ(win.items.size(), 0u);
  runner.TimerInterval_Timer();
  EXPECT_EQ(win.minutes, 0);
  std::vector<std::u16string> labels = {u"1 / 3 回", u"2 / 3 回", u"3 / 3 回", u"0 / 3 回"};
  EXPECT_EQ(win.counterLabels, labels);
  EXPECT_EQ(win.status, u"03:04  Diag Done.");
}

TEST_F(DiagRunTest, TickWithoutValidIntervalNeitherCountsNorRuns) {
  for (std::u16string v : {u"", u"0", u"abc", u"40000", u" 5"}) {
    SystemSettings.Interval = v;
    win.minutes = 7;
    for (int i = 0; i < 3; ++i) runner.TimerInterval_Timer();
    EXPECT_EQ(win.minutes, 7) << ToUtf8(v);
    EXPECT_TRUE(win.items.empty()) << ToUtf8(v);
  }
  win.closing = true;
  SystemSettings.Interval = u"1";
  runner.TimerInterval_Timer();
  EXPECT_TRUE(win.items.empty());
}

TEST_F(DiagRunTest, DueTickDuringRunIsDeferredAndCollapsed) {
  SystemSettings.Interval = u"1";
  win.ticks = {0, 0, 1, 0, 0, 0};
  int nestedRuns = 0;
  checks.duringCheck = [&] {
    // Three ticks fall due while the check waits: none may start a run here.
    size_t before = win.items.size();
    runner.TimerInterval_Timer();
    runner.TimerInterval_Timer();
    runner.TimerInterval_Timer();
    if (win.items.size() != before) ++nestedRuns;
  };
  runner.CmdDiag_Click();
  EXPECT_EQ(nestedRuns, 0);
  EXPECT_TRUE(runner.DeferredRunPending());
  EXPECT_EQ(win.minutes, 1);
  EXPECT_EQ(checks.asked.size(), 1u);
  checks.duringCheck = nullptr;
  win.RunPosted();  // the deferred run, once
  EXPECT_EQ(checks.asked.size(), 2u);
  EXPECT_FALSE(runner.DeferredRunPending());
  EXPECT_EQ(win.minutes, 0);
  EXPECT_EQ(win.counterLabels.back(), u"0 / 1 回");
}

TEST_F(DiagRunTest, DueTickUnderDialogWaitsAndRechecksInterval) {
  SystemSettings.Interval = u"1";
  win.busy = true;
  runner.TimerInterval_Timer();
  EXPECT_TRUE(runner.DeferredRunPending());
  EXPECT_TRUE(win.items.empty());
  runner.RunDeferred();  // still busy: nothing
  EXPECT_TRUE(win.items.empty());
  win.busy = false;
  SystemSettings.Interval = u"0";  // the dialog switched monitoring off
  runner.RunDeferred();
  EXPECT_FALSE(runner.DeferredRunPending());
  EXPECT_TRUE(win.items.empty());

  SystemSettings.Interval = u"2";
  win.minutes = 0;
  win.busy = true;
  runner.TimerInterval_Timer();
  runner.TimerInterval_Timer();
  win.busy = false;
  runner.RunDeferred();
  EXPECT_FALSE(win.items.empty());
  EXPECT_EQ(win.minutes, 0);
}

TEST_F(DiagRunTest, WatchdogRaisesTimeoutOnlyWhileWaiting) {
  for (int i = 0; i < 10; ++i) runner.TimerSockRecv_Timer();
  EXPECT_FALSE(RecvTimedOut);
  RecvWaiting = true;
  runner.TimerSockRecv_Timer();
  EXPECT_TRUE(RecvTimedOut);
  EXPECT_EQ(runner.WatchdogCounter(), 0);
  RecvWaiting = false;
  RecvTimedOut = false;
}

}  // namespace
