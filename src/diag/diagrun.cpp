#include "diag/diagrun.h"

#include "app/appstate.h"
#include "diag/targetlist.h"
#include "net/cmdsession.h"
#include "net/failphrase.h"
#include "net/failreason.h"
#include "net/ping.h"
#include "net/probes.h"
#include "net/shares.h"
#include "util/appfiles.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/fileutil.h"
#include "util/hooks.h"
#include "util/log.h"
#include "util/process.h"
#include "util/stop.h"
#include "util/sysutil.h"
#include "util/xcommon.h"

namespace {

constexpr int kPing = 0, kNetBios = 1, kSmtp = 2, kPop = 3, kFtp = 4, kHttp = 5;

// Restores the window however CmdDiag_Click is left.
class RunScope {
 public:
  RunScope(DiagWindow& w, bool& running) : m_window(w), m_running(running) {
    m_running = true;
    m_window.ShowHourglass();
  }
  ~RunScope() {
    m_window.SetWindowEnabled(true);
    m_window.RestoreMousePointer();
    m_running = false;
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

 private:
  DiagWindow& m_window;
  bool& m_running;
};

}  // namespace

DiagChecks DiagChecks::Real(std::function<void(const TlsFindings&)> tlsFound) {
  DiagChecks c;
  c.ping = [](std::u16string& host, bool& alive, std::u16string& message) {
    std::u16string dump;
    PingCheck(host, alive, message, dump);
    return alive;
  };
  c.shares = [](std::u16string& server, std::u16string& listing) { return NetShareList(server, listing, true); };
  // Runs one probe and passes on what its TLS found.
  auto heard = [tlsFound](TlsMode tls, auto probe) {
    TlsFindings found;
    const bool verdict = probe(&found);
    if (tlsFound && tls != TlsMode::None) tlsFound(found);
    return verdict;
  };
  c.smtp = [heard](std::u16string& h, std::u16string& p, TlsMode tls, std::u16string& m) {
    return heard(tls, [&](TlsFindings* f) { return SmtpCheck(h, p, m, tls, f); });
  };
  c.pop = [heard](std::u16string& h, std::u16string& p, TlsMode tls, std::u16string& u, std::u16string& pw,
                  std::u16string& m) { return heard(tls, [&](TlsFindings* f) { return PopCheck(h, p, u, pw, m, tls, f); }); };
  c.ftp = [heard](std::u16string& h, std::u16string& p, TlsMode tls, std::u16string& u, std::u16string& pw,
                  std::u16string& m) {
    const int16_t spare = 0;
    return heard(tls, [&](TlsFindings* f) { return FtpCheck(h, p, u, pw, spare, m, tls, f); });
  };
  c.http = [heard](std::u16string& h, std::u16string& p, TlsMode tls, std::u16string& m) {
    return heard(tls, [&](TlsFindings* f) { return HttpCheck(h, p, m, tls, f); });
  };
  c.localComputerName = [] { return GetLocalComputerName(); };
  return c;
}

DiagRunner::DiagRunner(DiagWindow& window, DiagChecks checks) : m_window(window), m_checks(std::move(checks)) {}

void DiagRunner::CmdDiag_Click(bool byTick, RunStart how) {
  // One run at a time: a second start while one is going on is dropped (the
  // window is disabled then, so only a stray event could ask for it).
  if (m_running) return;
  // Started from the message loop: its first lines need no pass of their own.
  NoteMessageLoopRan();
  const LogRun logRun(byTick);
  // A stop asked for before this run (an Esc while idle) is not this run's.
  ClearStop();
  m_stopLineWritten = false;
  bool finished = false;
  m_outcome = RunOutcome{};
  m_outcome.byTick = byTick;
  m_outcome.start = byTick ? RunStart::Tick : how;
  m_outcome.startedUnix = UnixNow();
  const int64_t startMs = MonotonicMs();
  {
    RunScope scope(m_window, m_running);
    try {
      m_window.SetWindowEnabled(false);
      m_window.SetRunFlag(true);
      ResultReport& report = m_window.Report();
      if (!m_window.SetTargetHost()) {
        report.ShowStatusMessage(u"No target!! cannot start Diag");
      } else {
        report.ClearResults();
        m_window.PutCurrentTargetHostInfo(true);
        report.ShowStatusMessage(u"Start Diag");
        m_outcome.target = m_window.GetCurrentHostName();
        for (int i = 0; i < kServiceCount; ++i) report.SetServiceLamp(static_cast<int16_t>(i), false, false);
        report.AddResultLine(ProgramName() + u" :  - - -  Start  - - - ");
        // A stopped run has no verdict to act on.
        m_outcome.passed = RunDiagnosis();
        m_outcome.seconds = static_cast<double>(MonotonicMs() - startMs) / 1000;
        m_outcome.stopped = StopRequested();
        if (!m_outcome.passed && m_errorActions && !m_outcome.stopped) DoErrorActions();
        report.AddResultLine(ProgramName() + u" :  - - -   End   - - - \r\n");
        finished = true;
        report.ShowStatusMessage(u"Diag Done.");
      }
    } catch (...) {
      ReportError(BuildErrorReport(u"", CurrentFailure(), NumberForm::Signed, ReportLayout::B));
    }
  }
  if (finished && m_runFinished) {
    try {
      m_runFinished(m_outcome);
    } catch (...) {
      ReportError(BuildErrorReport(u"", CurrentFailure(), NumberForm::Signed, ReportLayout::A));
    }
  }
  // Ticks that fell due during a stopped run are dropped: the operator
  // stopped that run, not the monitoring, whose next tick comes at its time.
  if (StopRequested()) m_deferred = false;
  ClearStop();
  // A tick that fell due during the run starts its run now, from the event loop.
  if (m_deferred) m_window.Post([this] { RunDeferred(); });
}

bool DiagRunner::Stopped() {
  if (!StopRequested()) return false;
  if (!m_stopLineWritten) {
    m_stopLineWritten = true;
    m_window.Report().AddResultLine(kStoppedLine);
  }
  return true;
}

bool DiagRunner::RunDiagnosis() {
  try {
    ResultReport& report = m_window.Report();
    std::u16string target = m_window.GetHostAddr();
    std::u16string shareHost = LowerAscii(target) == u"localhost" ? m_checks.localComputerName() : target;
    bool overall = true;
    bool serviceFlag = true;

    if (m_window.ChkServiceValue(kPing) == 1) {
      report.AddResultText(u"\r\n");
      report.AddResultLine(u"## PING チャレンジ ##");
      std::u16string message;
      bool alive = false;
      const int64_t began = MonotonicMs();
      ClearFailReason();
      m_checks.ping(target, alive, message);
      if (Stopped()) return false;
      report.PutCheckResult(target, kPing, alive, serviceFlag, overall, message);
      Note(u"PING", u"", alive, began);
    }

    serviceFlag = true;
    if (Stopped()) return false;
    if (m_window.ChkServiceValue(kNetBios) == 1) {
      report.AddResultText(u"\r\n");
      report.AddResultLine(u"## NetBIOS チャレンジ ##  (Windows NetShare) ");
      std::u16string message;
      const int64_t began = MonotonicMs();
      ClearFailReason();
      bool verdict = m_checks.shares(shareHost, message);
      if (Stopped()) return false;
      report.PutCheckResult(target, kNetBios, verdict, serviceFlag, overall, message);
      Note(u"NetBIOS", u"", verdict, began);
    }

    if (!RunSection(kSmtp, SystemSettings.SmtpPort, u"SMTP", target, overall, serviceFlag) ||
        !RunSection(kPop, SystemSettings.PopPort, u"POP", target, overall, serviceFlag) ||
        !RunSection(kFtp, SystemSettings.FtpPort, u"FTP", target, overall, serviceFlag) ||
        !RunSection(kHttp, SystemSettings.HttpPort, u"HTTP", target, overall, serviceFlag))
      return false;

    report.AddResultText(u"\r\n");
    return overall;
  } catch (...) {
    ReportError(BuildErrorReport(u"", CurrentFailure(), NumberForm::Signed, ReportLayout::A));
    return false;
  }
}

bool DiagRunner::RunSection(int index, const std::u16string& portList, const std::u16string& word,
                            const std::u16string& targetIn, bool& overall, bool& serviceFlag) {
  serviceFlag = true;
  if (Stopped()) return false;
  if (m_window.ChkServiceValue(index) != 1) return true;
  ResultReport& report = m_window.Report();
  std::u16string target = targetIn;
  for (int16_t n = 1;; ++n) {
    const std::u16string item = xGetField(portList, n, u",");
    if (IsMissingField(item)) break;
    if (item.empty()) continue;
    // The header names the port as written ("465s"); the check gets the
    // number alone, so that nothing reads "465s" as port 465 in plain text.
    report.PutServiceHeader(item, word);
    SuffixedPort split = SplitPortSuffix(item);
    std::u16string& port = split.number;
    const TlsMode tls = split.tls;
    std::u16string message;
    bool verdict = false;
    const int64_t began = MonotonicMs();
    ClearFailReason();
    m_certDaysLeft.reset();
    switch (index) {
      case kSmtp: verdict = m_checks.smtp(target, port, tls, message); break;
      case kPop:
        verdict = m_checks.pop(target, port, tls, SystemSettings.UserName, SystemSettings.Password, message);
        break;
      case kFtp:
        verdict = m_checks.ftp(target, port, tls, SystemSettings.UserName, SystemSettings.Password, message);
        break;
      default: verdict = m_checks.http(target, port, tls, message); break;
    }
    // The section ends with the stop line; its lamp keeps what the ports
    // before showed (neutral when none had been judged).
    if (Stopped()) return false;
    report.PutCheckResult(target, static_cast<int16_t>(index), verdict, serviceFlag, overall, message);
    Note(word, item, verdict, began);
    if (n == INT16_MAX) break;  // the field number cannot overflow
  }
  return true;
}

void DiagRunner::Note(std::u16string service, std::u16string port, bool passed, int64_t startMs) {
  RunCheckOutcome c;
  c.service = std::move(service);
  c.port = std::move(port);
  c.passed = passed;
  c.seconds = static_cast<double>(MonotonicMs() - startMs) / 1000;
  // The core's record of the check that just ran, in the words velkor-check prints.
  if (!passed) c.reason = FromUtf8(FailurePhrase(LastFailReason()));
  c.certDaysLeft = m_certDaysLeft;
  m_certDaysLeft.reset();
  m_outcome.checks.push_back(std::move(c));
}

void DiagRunner::HeardTls(const TlsFindings& found) {
  if (found.hasExpiry) m_certDaysLeft = found.daysLeft;
}

std::u16string CheckLabel(const RunCheckOutcome& check) {
  return check.port.empty() ? check.service : check.service + u" " + check.port;
}

void DiagRunner::DoErrorActions() {
  ResultReport& report = m_window.Report();
  auto reportFailure = [this](const Failure& f) {
    std::u16string text = BuildErrorReport(u"", f, NumberForm::Signed, ReportLayout::A);
    m_window.SetErrorText(text);
    ReportError(text);
  };
  try {
    const std::u16string text = report.GetResultText();
    const std::u16string logPath = StateFilePath(kLastErrorLogName);
    try {
      KillFile(logPath);
    } catch (const VkError& e) {
      if (e.failure().number != ErrNo::FileNotFound) throw;
    }
    // A last-error log that cannot be written is reported, or the failed run
    // would leave the operator nothing to find; the script still runs.
    if (!WriteWholeFile(logPath, text))
      reportFailure(Failure{ErrNo::FileAccess, logPath, ErrorDescription(ErrNo::FileAccess)});

    if (!SystemSettings.RunBat.empty() && SystemSettings.RunBat != u"0") {
      const std::u16string line = std::u16string(u"##  ") + kErrorBatchName;
      report.AddResultLine(line + u"　実行開始");
      std::u16string host = m_window.GetCurrentHostName();
      ShellWait(ConfigFilePath(kErrorBatchName), {xTrimNul(host)}, kErrorBatchPollLimit);
      report.AddResultLine(line + u"　実行終了");
    }
  } catch (...) {
    reportFailure(CurrentFailure());
  }
}

void DiagRunner::TimerInterval_Timer() {
  if (m_window.IsClosing()) return;
  // Only a valid interval counts minutes: "0", blanks or garbage mean no
  // monitoring, and a counter that never resets would overflow.
  std::optional<int16_t> interval = MonitoringInterval(SystemSettings.Interval);
  if (!interval) return;
  // A run already waits for its turn: further due ticks collapse into it.
  if (m_deferred) return;
  int16_t counter = m_window.MinuteCounter();
  if (counter < INT16_MAX) ++counter;  // saturates, never overflows
  m_window.SetMinuteCounter(counter);
  if (*interval <= counter) {
    m_window.PutCurrentTimeoutInfo();
    if (m_running || m_window.IsBusy()) {
      m_deferred = true;  // starts when the run, dialog or validation is over
      return;
    }
    TimerRun();
  } else {
    m_window.PutCurrentTimeoutInfo();
  }
}

void DiagRunner::TimerRun() {
  CmdDiag_Click(true);
  m_window.SetMinuteCounter(0);
  m_window.PutCurrentTimeoutInfo();
}

void DiagRunner::RunDeferred() {
  if (!m_deferred || m_running || m_window.IsClosing()) return;
  if (m_window.IsBusy()) return;  // asked again when that ends
  m_deferred = false;
  std::optional<int16_t> interval = MonitoringInterval(SystemSettings.Interval);
  if (!interval) return;
  m_window.PutCurrentTimeoutInfo();
  TimerRun();
}

void DiagRunner::TimerSockRecv_Timer() {
  if (m_watchdogCounter < INT16_MAX) ++m_watchdogCounter;  // saturates, never overflows
  if (RecvWaiting && m_watchdogCounter > 6) {
    RecvTimedOut = true;
    m_watchdogCounter = 0;
  }
}
