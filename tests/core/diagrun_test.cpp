// The run, the monitoring tick and the error actions on a window stand-in
// with scripted checks. Whole runs against the real peers, the error script
// and the lamps are in the window tests.
#include "diag/diagrun.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "app/appstate.h"
#include "diag/headlesswindow.h"
#include "diag/targetlist.h"
#include "net/cmdsession.h"
#include "net/failreason.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

using Texts = std::vector<std::u16string>;
namespace fs = std::filesystem;

// A run's world: the program's directory, a headless window recording what a real one would show, and the runner
// over checks that note what they are asked ("smtp:host:port (mode):user"); SMTP port 1 fails, the rest pass.
struct World : HeadlessWindow {
  World() : HeadlessWindow(u"", u"", {}) {
    // No target, SMTP 25, no POP, FTP 21, no HTTP, user alice; no password, no monitoring, no script.
    SystemSettings = {u"", u"25", u"", u"21", u"", u"alice", u"", u"", u""};
    SetLocalNowHook([] { return std::tm{5, 4, 3, 2, 0, 125, 0, 0, 0, 0, nullptr}; });  // 2025/01/02 03:04:05
    checks.shares = [this](auto& s, auto& m) { return Ask(u"shares:" + s, true, m); };
    checks.smtp = [this](auto& h, auto& p, TlsMode t, auto& m) { return Ask(u"smtp:" + At(h, p, t), p != u"1", m); };
    checks.ftp = [this](auto& h, auto& p, TlsMode t, auto& user, auto&, auto& m) {
      return Ask(u"ftp:" + At(h, p, t) + u":" + user, true, m);
    };
    checks.http = [this](auto& h, auto& p, TlsMode t, auto& m) { return Ask(u"http:" + At(h, p, t), true, m); };
    checks.localComputerName = [] { return std::u16string(u"THISPC"); };
    runner.SetChecks(checks);
    runner.SetRunFinished([this](const RunOutcome& o) { outcome = o; });
  }
  ~World() { SetLocalNowHook(nullptr); }
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

  ProgramInTempDir prog{u"velkor"};
  DiagChecks checks;
  DiagRunner runner{*this, DiagChecks{}};
  Texts asked, labels;
  std::u16string status, target, boxText = u"mailsv";
  std::array<int, 6> ticks{};
  std::array<LampColour, 6> lamps{};
  bool enabled = true, hourglass = false, busy = false, failOnDisable = false, closing = false;
  std::deque<std::function<void()>> posted;
  std::function<void()> duringCheck;
  int64_t turnsAllowed = 0;
  RunOutcome outcome;
};

// One action of a case of tests/data/run-diag.cases (the file says what each does); false when the key names none,
// and is then what the run should have left.
bool Act(World& t, const std::string& key, const std::u16string& text) {
  const std::string value = ToUtf8(text), name = key.substr(key.find(' ') + 1);
  std::map<std::string, std::u16string*> texts = {
      {"smtp", &SystemSettings.SmtpPort}, {"pop", &SystemSettings.PopPort},   {"ftp", &SystemSettings.FtpPort},
      {"http", &SystemSettings.HttpPort}, {"interval", &SystemSettings.Interval}, {"runbat", &SystemSettings.RunBat},
      {"box", &t.boxText}};
  std::map<std::string, void (DiagRunner::*)()> calls = {{"timer", &DiagRunner::TimerInterval_Timer},
                                                         {"watchdog", &DiagRunner::TimerSockRecv_Timer},
                                                         {"deferred run", &DiagRunner::RunDeferred}};
  if (texts.count(key)) {
    *texts[key] = text;
  } else if (calls.count(key)) {  // as many times as the value says, once when it says none
    for (int i = value.empty() ? 1 : std::stoi(value); i > 0; --i) (t.runner.*calls[key])();
  } else if (key == "ticks") {
    for (int i = 0; i < 6; ++i) t.ticks[i] = value[2 * i] - '0';
  } else if (key == "lit lamps") {
    t.lamps.fill(LampColour::Rgb(255, 0, 0));
  } else if (key.starts_with("file ")) {
    fs::remove_all(t.prog.file(name));
    WriteBytes(t.prog.file(name), value);
    chmod(t.prog.file(name).c_str(), value.starts_with("#!") ? 0755 : 0644);
  } else if (key.starts_with("folder ")) {
    fs::remove(t.prog.file(name));
    fs::create_directory(t.prog.file(name));
  } else if (key == "no new files") {  // a directory that takes none, not even from root; the script has its own
    SetAppFiles({u"velkor", u"velkor", u"/proc/self/fdinfo", u"/proc/self", u"/proc/self", false});
    SettingsMsgBoxFlag = true;  // no error log there: the reports are boxes
  } else if (key == "checks give reasons") {
    t.checks.smtp = [&t](auto&, auto& p, TlsMode, auto&) {
      if (p == u"1") return NoteFailReason(FailReasonOf(FailKind::Refused)), false;
      TlsFindings found;
      found.hasExpiry = true, found.daysLeft = 12;
      t.runner.HeardTls(found);
      return true;
    };
    t.checks.pop = [](auto&, auto&, TlsMode, auto&, auto&, auto&) {
      FailReason r = FailReasonOf(FailKind::NoReply);
      r.command = "USER";
      r.seconds = 5;
      return NoteFailReason(r), false;
    };
    t.runner.SetChecks(t.checks);
  } else if (key == "click") {
    SleepMs(kDoEventsDueMs);  // the operator's pause before the click
    t.prog.doEvents = 0;
    t.status.clear();
    const int64_t start = MonotonicMs();
    t.runner.CmdDiag_Click(value.starts_with("by a tick"), value.ends_with("Enter") ? RunStart::Enter : RunStart::Diag);
    // Started from the message loop, the run lets it run for its status line alone (and once 10 ms have gone by).
    t.turnsAllowed = 2 + (MonotonicMs() - start) / kDoEventsDueMs;
    t.duringCheck = nullptr;
  } else if (key == "awaiting reply") {
    RecvWaiting = value == "yes";
    RecvTimedOut = false;
  } else if (key == "check throws") {
    t.duringCheck = [] { throw std::runtime_error("boom"); };
  } else if (key == "disabling throws") {
    t.failOnDisable = true;
  } else if (key == "ticks during a check") {
    t.duringCheck = [&t, n = std::stoi(value)] {
      for (int i = 0; i < n; ++i) t.runner.TimerInterval_Timer();
    };
  } else if (key == "posted work") {
    for (; !t.posted.empty(); t.posted.pop_front()) t.posted.front()();
  } else if (key == "closing" || key == "busy") {
    (key == "closing" ? t.closing : t.busy) = value == "yes";
  } else {
    return false;
  }
  return true;
}

// The texts joined by " | ", those that hold one of marks alone where marks are given.
std::u16string Join(const Texts& texts, const Texts& marks = {}) {
  std::u16string out;
  for (const std::u16string& text : texts) {
    const bool marked = std::any_of(marks.begin(), marks.end(), [&](auto& m) { return text.find(m) != text.npos; });
    if (marks.empty() || marked) out += (out.empty() ? u"" : u" | ") + text;
  }
  return out;
}

// What an expectation reads, as text.
std::u16string Probe(World& t, const std::string& key, const std::u16string& want) {
  const std::string name = key.substr(key.find(' ') + 1);
  const Texts items = t.ResultItems();
  const auto yes = [](bool b) { return std::u16string(b ? u"yes" : u"no"); };
  const auto holds = [&](const std::u16string& text) { return text.find(want) != std::u16string::npos ? want : text; };
  const std::map<std::string, std::u16string> read{
      {"asked", Join(t.asked)}, {"items", Join(items)}, {"headers", Join(items, {u"チャレンジ", u"---- "})},
      {"status", t.status}, {"labels", Join(t.labels)}, {"minute", ToU16(t.MinuteCounter())},
      {"boxes", ToU16(t.prog.boxes.size())}, {"posted", ToU16(t.posted.size())}, {"timed out", yes(RecvTimedOut)},
      {"lamps unlit", yes(t.lamps == decltype(t.lamps){})}, {"deferred", yes(t.runner.DeferredRunPending())},
      {"window given back", yes(t.enabled && !t.hourglass && !t.runner.Running())},
      {"box has", holds(Join(t.prog.boxes))}, {"error log has", holds(t.prog.errorLog())},
      // the boxes apart from those about the run log
      {"reports", ToU16(std::count_if(t.prog.boxes.begin(), t.prog.boxes.end(),
                                      [](auto& box) { return box.find(u"velkor1.log") == box.npos; }))}};
  if (read.contains(key)) return read.at(key);
  if (key.starts_with("item ")) return items.at(std::stoi(name) < 0 ? items.size() + std::stoi(name) : std::stoi(name));
  if (key == "outcome") {  // how the run started, then each check's reason / days left
    std::u16string out = std::map<RunStart, std::u16string>{
        {RunStart::Diag, u"Diag"}, {RunStart::Enter, u"Enter"}, {RunStart::Tick, u"Tick"}}.at(t.outcome.start);
    for (const auto& c : t.outcome.checks)
      out += u" | " + c.reason + u"/" + (c.certDaysLeft ? ToU16(*c.certDaysLeft) : u"-");
    return out;
  }
  if (key.starts_with("text ")) return t.prog.readText(name);
  if (key.starts_with("has ")) return holds(t.prog.readText(name));
  if (key.starts_with("lacks ")) return t.prog.readText(name).find(want) == std::u16string::npos ? want : u"(found)";
  if (key.starts_with("exists ")) return yes(fs::exists(t.prog.file(name)));
  if (key == "turns") return t.prog.doEvents <= t.turnsAllowed ? u"few" : ToU16(t.prog.doEvents);
  ADD_FAILURE() << "no step is named " << key;
  return {};
}

// Runs, ticks and error actions, step by step: each case of tests/data/run-diag.cases in a world of its own.
TEST(DiagRun, StepsOfEachCase) {
  for (const Case& c : LoadCases("run-diag.cases")) {
    CASE_TRACE(c);
    World t;
    for (const auto& [key, value] : c.fields) {
      const std::u16string text = FromUtf8(value == "''" ? "" : Unescape(value));
      if (!Act(t, key, text)) {
        EXPECT_EQ(ToUtf8(Probe(t, key, text)), ToUtf8(text)) << key;
      }
    }
    RecvWaiting = RecvTimedOut = false;
  }
}

}  // namespace
