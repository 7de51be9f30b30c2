// The run, the monitoring tick and the error actions on a window stand-in
// with scripted checks. Whole runs against the real peers, the error script
// and the lamps are in the window tests.
#include "diag/diagrun.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <deque>
#include <filesystem>
#include <stdexcept>

#include "app/appstate.h"
#include "diag/headlesswindow.h"
#include "diag/targetlist.h"
#include "net/cmdsession.h"
#include "net/failreason.h"
#include "support/programdir.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

using Texts = std::vector<std::u16string>;
const std::u16string kStamp = u"2025/01/02 03:04:05 * ";
namespace fs = std::filesystem;

// The headless window, recording what a real one would show.
class FakeWindow : public HeadlessWindow {
 public:
  FakeWindow() : HeadlessWindow(u"", u"", {}) {}
  void AppendResultItem(const std::u16string& item) override { items.push_back(item); }
  void ClearResultItems() override { items.clear(); }
  Texts ResultItems() const override { return items; }
  void SetLampColour(int index, const LampColour& colour) override { lamps[index] = colour; }
  void SetStatusCaption(const std::u16string& caption) override { status = caption; }
  bool SetTargetHost() override { return !(target = EntryHostName(boxText)).empty(); }
  std::u16string GetHostAddr() const override { return target; }
  std::u16string GetCurrentHostName() const override { return EntryHostField(boxText); }
  void PutCurrentTargetHostInfo(bool out) override {
    Report().AddResultLine(TargetHostInfoLine(0, -1, boxText), false, !out);
  }
  void PutCurrentTimeoutInfo() override { labels.push_back(TimeoutInfoText(MinuteCounter(), SystemSettings.Interval)); }
  int ChkServiceValue(int index) const override { return ticks[index]; }
  void SetWindowEnabled(bool on) override {
    enabled = on;
    if (!on && failOnDisable) throw std::runtime_error("window gone");
  }
  void ShowHourglass() override { hourglass = true; }
  void RestoreMousePointer() override { hourglass = false; }
  bool IsClosing() const override { return closing; }
  bool IsBusy() const override { return busy; }
  void Post(std::function<void()> work) override { posted.push_back(std::move(work)); }

  Texts items, labels;
  std::u16string status, target, boxText = u"mailsv";
  std::array<int, 6> ticks{};
  std::array<LampColour, 6> lamps{};
  bool enabled = true, hourglass = false, busy = false, failOnDisable = false, closing = false;
  std::deque<std::function<void()>> posted;
};

// Each check notes what it was asked ("smtp:host:port (mode):user"); SMTP port 1 fails, the rest pass.
class DiagRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // No target, SMTP 25, no POP, FTP 21, no HTTP, user alice; no password, no monitoring, no script.
    SystemSettings = {u"", u"25", u"", u"21", u"", u"alice", u"", u"", u""};
    SetLocalNowHook([] {
      std::tm t{};
      t.tm_sec = 5, t.tm_min = 4, t.tm_hour = 3, t.tm_mday = 2, t.tm_year = 125;
      return t;
    });
    checks.shares = [this](auto& s, auto& m) { return Ask(u"shares:" + s, true, m); };
    checks.smtp = [this](auto& h, auto& p, TlsMode t, auto& m) { return Ask(u"smtp:" + At(h, p, t), p != u"1", m); };
    checks.ftp = [this](auto& h, auto& p, TlsMode t, auto& user, auto&, auto& m) {
      return Ask(u"ftp:" + At(h, p, t) + u":" + user, true, m);
    };
    checks.http = [this](auto& h, auto& p, TlsMode t, auto& m) { return Ask(u"http:" + At(h, p, t), true, m); };
    checks.localComputerName = [] { return std::u16string(u"THISPC"); };
    runner.SetChecks(checks);
  }
  void TearDown() override { SetLocalNowHook(nullptr); }
  // The mode a check was handed, apart from the port number it got.
  static std::u16string At(const std::u16string& h, const std::u16string& p, TlsMode t) {
    return h + u":" + p + (t == TlsMode::None ? u"" : t == TlsMode::Implicit ? u" (TLS)" : u" (upgrade)");
  }
  bool Ask(const std::u16string& what, bool verdict, std::u16string& message) {
    if (duringCheck) duringCheck();
    asked.push_back(what);
    message = verdict ? u"ok\r\n" : u"";
    return verdict;
  }

  ProgramInTempDir prog{u"velkor"};
  FakeWindow win;
  DiagChecks checks;
  DiagRunner runner{win, DiagChecks{}};
  Texts asked;
  std::function<void()> duringCheck;
};

TEST_F(DiagRunTest, UntickedRunWritesTheFrameOnlyResetsTheLampsAndLeavesTheLastErrorLog) {
  win.lamps.fill(LampColour::Rgb(255, 0, 0));  // the previous run's
  WriteBytes(prog.file("vkrLastErr.log"), "previous failure");
  SleepMs(kDoEventsDueMs);  // the operator's pause before the click
  const int64_t start = MonotonicMs();
  runner.CmdDiag_Click();
  // Started from the message loop, the run lets it run for its status line alone (and once 10 ms have gone by).
  EXPECT_LE(prog.doEvents, 2 + (MonotonicMs() - start) / kDoEventsDueMs);
  const Texts expected = {kStamp + u"[TargetHost] mailsv", kStamp + u"velkor :  - - -  Start  - - -", u"\r",
                          kStamp + u"velkor :  - - -   End   - - - \r"};
  EXPECT_EQ(win.items, expected);
  EXPECT_TRUE(asked.empty());
  EXPECT_EQ(win.status, u"03:04  Diag Done.");
  EXPECT_EQ(prog.readText("velkor1.log"), u"2025/01/02 03:04:05 *** [TargetHost] mailsv\r\n"
                                          u"2025/01/02 03:04:05 *** velkor :  - - -  Start  - - - \r\n"
                                          u"2025/01/02 03:04:05 *** velkor :  - - -   End   - - - \r\n\r\n");
  EXPECT_EQ(win.lamps, decltype(win.lamps){});
  EXPECT_EQ(ReadBytes(prog.file("vkrLastErr.log")), "previous failure");
  EXPECT_FALSE(fs::exists(prog.file("vkrLastErr.log.bak")));
  // No target: nothing runs, and the window is given back.
  win.boxText = u"  ";
  runner.CmdDiag_Click();
  EXPECT_EQ(win.items, expected);
  EXPECT_EQ(win.status, u"03:04  No target!! cannot start Diag");
  EXPECT_TRUE(win.enabled);
  EXPECT_FALSE(win.hourglass);
}

TEST_F(DiagRunTest, SectionsRunInOrderOverPortListsAndLocalHostListsThisComputer) {
  win.boxText = u"LocalHost";
  win.ticks = {2, 1, 1, 1, 1, 1};  // a grey box does not count
  SystemSettings.SmtpPort = u"25,, 587t ,465s";  // a check gets the number and the mode apart
  SystemSettings.HttpPort = u"8080,443s";
  runner.CmdDiag_Click();
  EXPECT_EQ(asked, (Texts{u"shares:THISPC", u"smtp:LocalHost:25", u"smtp:LocalHost:587 (upgrade)",
                          u"smtp:LocalHost:465 (TLS)", u"ftp:LocalHost:21:alice", u"http:LocalHost:8080",
                          u"http:LocalHost:443 (TLS)"}));
  Texts headers, want;
  for (auto& item : win.items)
    if (item.find(u"チャレンジ") != std::u16string::npos || item.find(u"---- ") == 0) headers.push_back(item);
  for (const char16_t* h : {u"NetBIOS チャレンジ ##  (Windows NetShare)", u"SMTP  チャレンジ ##  port：  25",
                            u"SMTP  チャレンジ ##  port：587t", u"SMTP  チャレンジ ##  port：465s",
                            u"FTP   チャレンジ ##  port：  21", u"HTTP  チャレンジ ##  port：8080",
                            u"HTTP  チャレンジ ##  port：443s"})
    want.insert(want.end(), {kStamp + u"## " + h, u"---- LocalHost -- 【正常】  \r"});
  EXPECT_EQ(headers, want);
  EXPECT_NE(prog.readText("velkor1.log").find(u"*** ## SMTP  チャレンジ ##  port：465s\r\n"), std::u16string::npos);
}

// The outcome the history and the notices get: how the run started, the
// core's reason for each failed check alone (never the previous check's), and
// the certificate's days left for the TLS check that heard them.
TEST_F(DiagRunTest, OutcomeCarriesHowItStartedTheCoresReasonAndCertificateDays) {
  win.ticks = {0, 0, 1, 1, 0, 0};
  SystemSettings.SmtpPort = u"1,465s";
  SystemSettings.PopPort = u"110";
  checks.smtp = [this](auto&, auto& p, TlsMode, auto&) {
    if (p == u"1") return NoteFailReason(FailReasonOf(FailKind::Refused)), false;
    TlsFindings found;
    found.hasExpiry = true, found.daysLeft = 12;
    runner.HeardTls(found);
    return true;
  };
  checks.pop = [](auto&, auto&, TlsMode, auto&, auto&, auto&) {
    FailReason r = FailReasonOf(FailKind::NoReply);
    r.command = "USER";
    r.seconds = 5;
    return NoteFailReason(r), false;
  };
  runner.SetChecks(checks);
  RunOutcome seen;
  runner.SetRunFinished([&](const RunOutcome& o) { seen = o; });
  // (started by the tick, as the caller says, seen as)
  const std::tuple<bool, RunStart, RunStart> rows[] = {{false, RunStart::Diag, RunStart::Diag},
                                                       {false, RunStart::Enter, RunStart::Enter},
                                                       {true, RunStart::Enter, RunStart::Tick}};
  for (const auto& [byTick, how, expected] : rows) {
    runner.CmdDiag_Click(byTick, how);
    EXPECT_EQ(seen.start, expected);
    Texts got;  // each check's reason / days left
    for (const auto& c : seen.checks) got.push_back(c.reason + u"/" + (c.certDaysLeft ? ToU16(*c.certDaysLeft) : u"-"));
    EXPECT_EQ(got, (Texts{u"connection refused/-", u"/12", u"no reply to USER within 5 s/-"}));
  }
}

// The last-error log is deleted, then written: no backup of the previous one. The script starts for any RunBat
// but empty and "0", also when the log cannot be written.
TEST_F(DiagRunTest, FailedRunReplacesLastErrorLogAndStartsTheScriptUnlessRunBatIsOff) {
  win.ticks = {0, 0, 1, 0, 0, 0};
  SystemSettings.SmtpPort = u"1,25";
  const std::string marker = prog.file("vkrRunErr.bat.ran");
  WriteBytes(prog.file("vkrRunErr.bat"), "#!/bin/sh\ntouch \"$0.ran\"\n");
  chmod(prog.file("vkrRunErr.bat").c_str(), 0755);
  for (const std::u16string runBat : {u"", u"0", u"1"}) {
    SystemSettings.RunBat = runBat;
    WriteBytes(prog.file("vkrLastErr.log"), "previous failure");
    fs::remove(marker);
    runner.CmdDiag_Click();
    const std::u16string log = prog.readText("vkrLastErr.log");
    EXPECT_NE(log.find(u"\r\n---- mailsv -- ［応答なし］\r\n"), std::u16string::npos);
    EXPECT_NE(log.find(u"---- mailsv -- 【正常】  \r\r\nok\r\r\n"), std::u16string::npos);
    EXPECT_EQ(log.find(u"End"), std::u16string::npos);
    EXPECT_FALSE(fs::exists(prog.file("vkrLastErr.log.bak")));
    EXPECT_EQ(fs::exists(marker), runBat == u"1") << ToUtf8(runBat);
    EXPECT_EQ(win.items[win.items.size() - 2], runBat == u"1" ? kStamp + u"##  vkrRunErr.bat　実行終了" : u"\r");
  }
  // A last-error log that cannot be written is reported, and the script still starts. This directory takes no new
  // files, not even from root; the error script is looked for in a directory of its own.
  SetAppFiles({u"velkor", u"velkor", u"/proc/self/fdinfo", u"/proc/self", u"/proc/self", false});
  SettingsMsgBoxFlag = true;  // no error log there: read the reports as boxes
  prog.boxes.clear();
  runner.CmdDiag_Click();
  Texts reports;
  for (auto& b : prog.boxes)
    if (b.find(u"velkor1.log") == std::u16string::npos) reports.push_back(b);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], u"エラー番号 : 75 -- /proc/self/vkrLastErr.log でエラーが発生しました。 ファイルを書き込めません。");
  EXPECT_EQ(reports[1].find(u"SYSTEM-ERROR： ShellWaitERR： エラー番号 :53"), 0u);
  EXPECT_NE(reports[1].find(u"/proc/self/fdinfo/vkrRunErr.bat"), std::u16string::npos) << ToUtf8(reports[1]);
  EXPECT_EQ(win.items[win.items.size() - 3].substr(kStamp.size()), u"##  vkrRunErr.bat　実行開始");
}

TEST_F(DiagRunTest, UnexpectedErrorsAreReportedAndTheWindowIsRestored) {
  win.ticks = {0, 0, 1, 0, 0, 0};
  duringCheck = [] { throw std::runtime_error("boom"); };
  runner.CmdDiag_Click();  // inside the checks: layout A, then the error actions
  EXPECT_NE(prog.errorLog().find(u"エラー番号 : 7099 -- velkor でエラーが発生しました。 boom"), std::u16string::npos);
  EXPECT_TRUE(fs::exists(prog.file("vkrLastErr.log")));
  // A last-error log that cannot be deleted (it is a directory) ends the error actions: no script.
  fs::remove(prog.file("vkrLastErr.log"));
  fs::create_directory(prog.file("vkrLastErr.log"));
  SystemSettings.RunBat = u"1";
  duringCheck = nullptr;
  SystemSettings.SmtpPort = u"1";
  runner.CmdDiag_Click();
  EXPECT_NE(prog.errorLog().find(u"エラー番号 : 75 -- velkor でエラーが発生しました。 ファイルを書き込めません。"),
            std::u16string::npos);
  EXPECT_EQ(win.items[win.items.size() - 2], u"\r") << "no script lines";
  win.failOnDisable = true;
  runner.CmdDiag_Click();  // in the run's own steps: layout B, and still restored
  EXPECT_NE(prog.errorLog().find(u"でエラーが発生しました。 \r\nwindow gone"), std::u16string::npos);
  EXPECT_TRUE(win.enabled);
  EXPECT_FALSE(win.hourglass);
  EXPECT_FALSE(runner.Running());
}

// The monitoring tick counts only under a valid interval and not while the window closes, runs when due and
// starts again; a run log it cannot write shows no box (the ticks would wait behind it until someone clicked),
// the operator's own run one. The receive watchdog raises the time-out only while a reply is awaited. Ticks due
// during a run or under a dialog collapse into one deferred run.
TEST_F(DiagRunTest, TimersCountOnlyValidIntervalsRunWhenDueAndDeferTicksThatFallDueDuringARun) {
  for (std::u16string v : {u"", u"0", u"abc", u"40000", u" 5"}) {
    SystemSettings.Interval = v;
    runner.TimerInterval_Timer();
    EXPECT_EQ(win.MinuteCounter(), 0) << "no monitoring, no counting: " << ToUtf8(v);
  }
  win.closing = true;
  SystemSettings.Interval = u"1";
  runner.TimerInterval_Timer();
  EXPECT_EQ(win.MinuteCounter() + win.labels.size() + win.items.size(), 0u) << "the window is closing: nothing";
  win.closing = false;
  SystemSettings.Interval = u"3";
  for (int i = 0; i < 3; ++i) runner.TimerInterval_Timer();
  EXPECT_EQ(win.labels, (Texts{u"1 / 3 回", u"2 / 3 回", u"3 / 3 回", u"0 / 3 回"}));
  EXPECT_EQ(win.status, u"03:04  Diag Done.");
  EXPECT_EQ(prog.boxes.size(), 0u);

  fs::remove(prog.file("velkor1.log"));
  fs::create_directory(prog.file("velkor1.log"));
  SystemSettings.Interval = u"1";
  win.status.clear();
  runner.TimerInterval_Timer();
  EXPECT_EQ(win.status, u"03:04  Diag Done.");
  EXPECT_EQ(prog.boxes.size(), 0u);
  runner.CmdDiag_Click();
  EXPECT_EQ(prog.boxes.size(), 1u);

  for (int i = 0; i < 10; ++i) runner.TimerSockRecv_Timer();
  EXPECT_FALSE(RecvTimedOut);
  RecvWaiting = true;
  runner.TimerSockRecv_Timer();
  EXPECT_TRUE(RecvTimedOut);
  RecvWaiting = RecvTimedOut = false;

  // Ticks that fall due during a run, or under a dialog, collapse into one deferred run.
  fs::remove(prog.file("velkor1.log"));
  SystemSettings.Interval = u"1";
  win.ticks = {0, 0, 1, 0, 0, 0};
  asked.clear();
  size_t nested = 0;
  duringCheck = [&] {
    const size_t before = win.items.size();
    for (int i = 0; i < 3; ++i) runner.TimerInterval_Timer();
    nested += win.items.size() != before;
  };
  runner.CmdDiag_Click();
  EXPECT_EQ(nested, 0u);
  EXPECT_TRUE(runner.DeferredRunPending());
  duringCheck = nullptr;
  ASSERT_EQ(win.posted.size(), 1u);
  win.posted.front()();
  EXPECT_EQ(asked.size(), 2u);  // the deferred run, once
  EXPECT_EQ(win.MinuteCounter(), 0);
  win.busy = true;  // a dialog is open
  runner.TimerInterval_Timer();
  runner.RunDeferred();
  EXPECT_EQ(asked.size(), 2u);
  win.busy = false;
  SystemSettings.Interval = u"0";  // and it switched monitoring off: no run
  runner.RunDeferred();
  EXPECT_FALSE(runner.DeferredRunPending());
  EXPECT_EQ(asked.size(), 2u);
}

}  // namespace
