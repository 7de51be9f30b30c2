#include "ui/diagwiring.h"

#include <QApplication>
#include <QKeySequence>
#include <QObject>
#include <QPointer>
#include <QShortcut>
#include <QTimer>

#include <memory>

#include "diag/history.h"
#include "diag/notices.h"
#include "ui/frmvelkor.h"
#include "ui/historywindow.h"
#include "ui/notifier.h"
#include "util/appfiles.h"
#include "util/codepage.h"
#include "util/log.h"

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
    // The worker's lines reach the error log from the window's thread.
    m_history = std::make_unique<HistoryRecorder>(HistoryPath(), HistoryLimits{}, [this](const std::u16string& line) {
      QMetaObject::invokeMethod(this, [line] { WriteErrorLog(line); }, Qt::QueuedConnection);
    });
  }
  ~DiagHolder() override {
    delete m_historyWindow;
    m_history.reset();  // writes what is queued before the window goes
  }
  static std::string HistoryPath() { return ToUtf8(StateFilePath(kHistoryFileName)); }
  DiagRunner& runner() { return m_runner; }
  DesktopNotifier& notifier() { return m_notifier; }
  CheckStateStore& states() { return m_states; }
  HistoryRecorder& history() { return *m_history; }
  // A window of its own, not a child of the main window: a run disables the
  // main window and everything in it, and the history stays usable then.
  HistoryWindow* historyWindow() { return m_historyWindow; }
  void ShowHistory() {
    if (!m_historyWindow) m_historyWindow = new HistoryWindow(HistoryPath());
    else m_historyWindow->Reload();
    m_historyWindow->show();
    m_historyWindow->raise();
    m_historyWindow->activateWindow();
  }

 private:
  FrmVelkorDiagWindow m_window;
  DiagRunner m_runner;
  QTimer m_retry;
  DesktopNotifier m_notifier;
  CheckStateStore m_states{StateFilePath(kNoticeStateFileName)};
  std::unique_ptr<HistoryRecorder> m_history;
  QPointer<HistoryWindow> m_historyWindow;
};

}  // namespace

DiagRunner& InstallDiagRunner(FrmVelkor& window, std::optional<DiagChecks> checks) {
  auto* holder = new DiagHolder(window, checks ? std::move(*checks) : DiagChecks{});
  holder->setObjectName(QStringLiteral("DiagHolder"));
  DiagRunner& runner = holder->runner();
  if (!checks) runner.SetChecks(DiagChecks::Real([&runner](const TlsFindings& found) { runner.HeardTls(found); }));
  window.SetRunAction([&runner, &window] { runner.CmdDiag_Click(false, window.RunStartedBy()); });
  window.SetTickAction([&runner] { runner.TimerInterval_Timer(); });
  // A check that failed or recovered since the last run of its target is
  // told on the desktop.
  runner.SetRunFinished([holder](const RunOutcome& run) {
    holder->history().Record(run);  // queued: written on the history's own thread
    const std::vector<CheckChange> changes = holder->states().Apply(run);
    if (changes.empty()) return;
    const NoticeText text = ComposeNotice(run.target, changes);
    holder->notifier().Notify(QString::fromStdU16String(text.summary), QString::fromStdU16String(text.body));
  });
  // The reply watchdog (its interval stays 0, so it does not tick).
  QObject::connect(window.TimerSockRecv(), &QTimer::timeout, holder, [&runner] { runner.TimerSockRecv_Timer(); });
  // Ctrl+H, the browsers' history key: the main window keeps no room for a button.
  auto* key = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), &window);
  QObject::connect(key, &QShortcut::activated, holder, [holder] { holder->ShowHistory(); });
  return runner;
}

HistoryWindow* OpenHistoryWindow(FrmVelkor& window) {
  // Named when it was made; DiagHolder has no meta-object of its own to cast by.
  QObject* found = window.findChild<QObject*>(QStringLiteral("DiagHolder"), Qt::FindDirectChildrenOnly);
  return found ? static_cast<DiagHolder*>(found)->historyWindow() : nullptr;
}
