#pragma once
// One diagnosis run of the chosen target, the monitoring tick that repeats
// it, and the error actions after a failed run.
//
// The runner lives in the core and reaches the main window through
// DiagWindow; the window installs the runner's CmdDiag_Click as its run
// action and TimerInterval_Timer as its tick action.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "diag/resultreport.h"
#include "diag/runrecord.h"
#include "net/tlsport.h"
#include "net/probes.h"

// What a run needs of the main window.
class DiagWindow {
 public:
  virtual ~DiagWindow() = default;
  virtual ResultReport& Report() = 0;
  // Host part of the target box's text into the hidden target; true when not blank.
  virtual bool SetTargetHost() = 0;
  virtual std::u16string GetHostAddr() const = 0;           // the hidden target, trimmed
  virtual std::u16string GetCurrentHostName() const = 0;    // field 1 of the box's text
  virtual void PutCurrentTargetHostInfo(bool output) = 0;
  virtual void PutCurrentTimeoutInfo() = 0;
  virtual int ChkServiceValue(int index) const = 0;         // 0 unticked, 1 ticked, 2 grey
  virtual void SetWindowEnabled(bool enabled) = 0;
  virtual void ShowHourglass() = 0;
  virtual void RestoreMousePointer() = 0;
  virtual void SetRunFlag(bool on) = 0;
  virtual bool IsClosing() const = 0;
  virtual int16_t MinuteCounter() const = 0;
  virtual void SetMinuteCounter(int16_t value) = 0;
  virtual void SetErrorText(const std::u16string& text) = 0;
  // True while the program's own modal window is open or the target box is
  // being validated: a run must not start inside either.
  virtual bool IsBusy() const = 0;
  // Runs `work` from the event loop, after the current event has been handled.
  virtual void Post(std::function<void()> work) = 0;
};

// The checks a run calls; each defaults to the real probe. Tests replace one
// to watch what it is asked. A service check gets the port's number and its
// TLS mode, split from the port's suffix by the run.
struct DiagChecks {
  std::function<bool(std::u16string& host, bool& alive, std::u16string& message)> ping;
  std::function<bool(std::u16string& server, std::u16string& listing)> shares;
  std::function<bool(std::u16string& host, std::u16string& port, TlsMode tls, std::u16string& message)> smtp;
  std::function<bool(std::u16string& host, std::u16string& port, TlsMode tls, std::u16string& user,
                     std::u16string& password, std::u16string& message)>
      pop;
  std::function<bool(std::u16string& host, std::u16string& port, TlsMode tls, std::u16string& user,
                     std::u16string& password, std::u16string& message)>
      ftp;
  std::function<bool(std::u16string& host, std::u16string& port, TlsMode tls, std::u16string& message)> http;
  std::function<std::u16string()> localComputerName;

  // tlsFound, when given, hears what the TLS of each TLS check found, right
  // after that check.
  static DiagChecks Real(std::function<void(const TlsFindings&)> tlsFound = nullptr);
};

inline constexpr char16_t kLastErrorLogName[] = u"vkrLastErr.log";
// Ends the section in progress when the operator stops a run (util/stop.h).
inline constexpr char16_t kStoppedLine[] = u"##  チェックを中止しました。";
inline constexpr char16_t kErrorBatchName[] = u"vkrRunErr.bat";
// Polls ShellWait allows the error script before the run goes on without it.
inline constexpr int32_t kErrorBatchPollLimit = 5000;

class DiagRunner {
 public:
  explicit DiagRunner(DiagWindow& window, DiagChecks checks = DiagChecks::Real());

  // A whole run: the Diag button, Enter in the target box and a due tick
  // (`byTick`: nobody may be there to close a message box); `how` names the
  // first two for the run's outcome.
  void CmdDiag_Click(bool byTick = false, RunStart how = RunStart::Diag);
  // The checks of one run; the overall verdict.
  bool RunDiagnosis();
  // After a failed run: the last-error log and the error script.
  void DoErrorActions();
  // The one-minute monitoring tick.
  void TimerInterval_Timer();
  // The reply watchdog's tick (its timer stays at interval 0); the runner
  // keeps the watchdog counter, 0 when the window has loaded.
  void TimerSockRecv_Timer();

  // Starts the run that a tick deferred, once nothing is in its way; the
  // window calls it when a modal window has closed or a validation ended.
  void RunDeferred();

  bool Running() const { return m_running; }
  bool DeferredRunPending() const { return m_deferred; }
  void SetChecks(DiagChecks checks) { m_checks = std::move(checks); }
  // Off: a failed run leaves out the last-error log and the error script
  // (velkor-check, whose scheduler has handlers of its own).
  void SetErrorActions(bool on) { m_errorActions = on; }
  int16_t WatchdogCounter() const { return m_watchdogCounter; }
  // Hears every finished run, check by check, once its end line is written.
  void SetRunFinished(std::function<void(const RunOutcome&)> heard) { m_runFinished = std::move(heard); }
  // What the TLS of the check now running found (DiagChecks::Real's
  // tlsFound): the certificate's days left go into that check's outcome.
  void HeardTls(const TlsFindings& found);

 private:
  // False when the run was stopped in it.
  bool RunSection(int index, const std::u16string& portList, const std::u16string& word, const std::u16string& target,
                  bool& overall, bool& serviceFlag);
  // True once the operator has asked to stop; writes the stop line once.
  bool Stopped();
  void TimerRun();
  // Notes one check's verdict for the run's outcome.
  void Note(std::u16string service, std::u16string port, bool passed, int64_t startMs);

  DiagWindow& m_window;
  DiagChecks m_checks;
  bool m_running = false;
  bool m_deferred = false;
  bool m_errorActions = true;
  bool m_stopLineWritten = false;
  int16_t m_watchdogCounter = 0;
  std::function<void(const RunOutcome&)> m_runFinished;
  RunOutcome m_outcome;
  std::optional<int64_t> m_certDaysLeft;  // heard for the check now running
};
