#include "ui/diagwiring.h"

#include <QApplication>
#include <QObject>
#include <QTimer>

#include "diag/notices.h"
#include "ui/frmvelkor.h"
#include "ui/notifier.h"
#include "util/appfiles.h"

namespace {

// How often a deferred monitoring run looks whether its way is clear.
constexpr int kDeferredRetryMs = 200;

class FrmVelkorDiagWindow : public DiagWindow {
 public:
  explicit FrmVelkorDiagWindow(FrmVelkor& w) : m_w(w) {}
  ResultReport& Report() override { return m_w.Report(); }
  bool SetTargetHost() override { return m_w.SetTargetHost(); }
  std::u16string GetHostAddr() const override { return m_w.GetHostAddr(); }
  std::u16string GetCurrentHostName() const override { return m_w.GetCurrentHostName(); }
  void PutCurrentTargetHostInfo(bool output) override { m_w.PutCurrentTargetHostInfo(output); }
  void PutCurrentTimeoutInfo() override { m_w.PutCurrentTimeoutInfo(); }
  int ChkServiceValue(int index) const override { return m_w.ChkServiceValue(index); }
  void SetWindowEnabled(bool enabled) override { m_w.SetWindowEnabled(enabled); }
  void ShowHourglass() override { m_w.ShowHourglass(); }
  void RestoreMousePointer() override { m_w.RestoreMousePointer(); }
  void SetRunFlag(bool on) override { m_w.SetRunFlag(on); }
  bool IsClosing() const override { return m_w.IsClosing(); }
  int16_t MinuteCounter() const override { return m_w.MinuteCounter(); }
  void SetMinuteCounter(int16_t value) override { m_w.SetMinuteCounter(value); }
  void SetErrorText(const std::u16string& text) override { m_w.SetErrorText(text); }
  bool IsBusy() const override { return QApplication::activeModalWidget() != nullptr || m_w.IsValidating(); }
  void Post(std::function<void()> work) override {
    QTimer::singleShot(0, &m_w, [work = std::move(work)] { work(); });
  }

 private:
  FrmVelkor& m_w;
};

// Owns the adapter and the runner; a child of the window, so it goes with it.
class DiagHolder : public QObject {
 public:
  DiagHolder(FrmVelkor& w, DiagChecks checks) : QObject(&w), m_window(w), m_runner(m_window, std::move(checks)) {
    // A run deferred by a busy window starts once the way is clear.
    m_retry.setInterval(kDeferredRetryMs);
    QObject::connect(&m_retry, &QTimer::timeout, this, [this] {
      if (m_runner.DeferredRunPending()) m_runner.RunDeferred();
    });
    m_retry.start();
  }
  DiagRunner& runner() { return m_runner; }
  DesktopNotifier& notifier() { return m_notifier; }
  CheckStateStore& states() { return m_states; }

 private:
  FrmVelkorDiagWindow m_window;
  DiagRunner m_runner;
  QTimer m_retry;
  DesktopNotifier m_notifier;
  CheckStateStore m_states{StateFilePath(kNoticeStateFileName)};
};

}  // namespace

DiagRunner& InstallDiagRunner(FrmVelkor& window, DiagChecks checks) {
  auto* holder = new DiagHolder(window, std::move(checks));
  DiagRunner& runner = holder->runner();
  window.SetRunAction([&runner] { runner.CmdDiag_Click(); });
  window.SetTickAction([&runner] { runner.TimerInterval_Timer(); });
  // A check that failed or recovered since the last run of its target is
  // told on the desktop.
  runner.SetRunFinished([holder](const RunOutcome& run) {
    const std::vector<CheckChange> changes = holder->states().Apply(run);
    if (changes.empty()) return;
    const NoticeText text = ComposeNotice(run.target, changes);
    holder->notifier().Notify(QString::fromStdU16String(text.summary), QString::fromStdU16String(text.body));
  });
  // The reply watchdog (its interval stays 0, so it does not tick).
  QObject::connect(window.TimerSockRecv(), &QTimer::timeout, holder, [&runner] { runner.TimerSockRecv_Timer(); });
  return runner;
}
