#pragma once
// The main window: target host box, service check boxes and lamps, result
// list, status line, monitoring labels and timers.
//
// Every control carries its name as its object name (CmbHosts, LstResult,
// ChkService0..5, LblLamp0..5, ...). The result-line, lamp and status rules
// are those of ResultReport; the entry rules those of targetlist.h.
#include <QPointer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diag/resultreport.h"
#include "diag/runrecord.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTimer;

class FrmVelkor : public QWidget, public ResultView {
  Q_OBJECT

 public:
  // The monitoring timer ticks once a minute; the minute counter counts the ticks.
  static constexpr int kMonitorTickMs = 60000;

  // Builds the controls and runs Form_Load.
  explicit FrmVelkor(QWidget* parent = nullptr);
  ~FrmVelkor() override;

  // Target host list.
  std::u16string GetHostAddr() const;
  bool SetHostIndex(const int16_t& index) const;
  std::u16string GetCurrentHostNumber() const;
  std::u16string GetCurrentHostNumberInfo() const;
  void PutCurrentTargetHostInfo(bool blnOutput = false);
  void PutCurrentTimeoutInfo();

  // Result reporting.
  void AddResultLine(const std::u16string& text, bool noTimestamp = false, bool noLog = false);
  void AddResultText(const std::u16string& text);
  void PutServiceHeader(const std::u16string& port, const std::u16string& serviceWord);
  void PutCheckResult(const std::u16string& target, int16_t index, bool verdict, bool& serviceFlag,
                      bool& overallVerdict, const std::u16string& message);
  void SetServiceLamp(int16_t index, bool verdict, bool serviceFlag);
  void ShowStatusMessage(const std::u16string& text);
  std::u16string GetResultText() const;
  void ClearResults();
  ResultReport& Report() { return m_report; }

  // Buttons and events.
  // Runs the run action (after the validation, during one); `how` is what
  // the run action finds in RunStartedBy.
  void CmdDiag_Click(RunStart how = RunStart::Diag);
  void CmdExit_Click();
  void CmdResultClear_Click();
  void CmdSet_Click();  // runs the settings action, then the activation
  void Form_Activate();
  void TimerInterval_Timer();  // runs the tick action

  // Actions installed by the parts that own them; each defaults to nothing.
  // The settings action shows the settings dialog modally and returns when it
  // is closed. The quit action ends the program (default: leave the event loop).
  void SetRunAction(std::function<void()> action) { m_runAction = std::move(action); }
  void SetSettingsAction(std::function<void()> action) { m_settingsAction = std::move(action); }
  void SetTickAction(std::function<void()> action) { m_tickAction = std::move(action); }
  void SetQuitAction(std::function<void()> action) { m_quitAction = std::move(action); }

  // State for the run and the monitoring tick.
  int ChkServiceValue(int index) const;  // 0 unticked, 1 ticked, 2 grey
  void SetChkServiceValue(int index, int value);
  bool SetTargetHost();
  std::u16string GetCurrentHostName() const;
  int16_t GetHostCount() const;
  int16_t GetCurrentHostIndex() const;
  bool RunFlag() const { return m_runFlag; }
  // The Diag button or Enter: what asked for the run the run action starts.
  RunStart RunStartedBy() const { return m_runStart; }
  void SetRunFlag(bool on) { m_runFlag = on; }
  bool IsClosing() const { return m_closing; }
  int16_t MinuteCounter() const { return m_minuteCounter; }
  void SetMinuteCounter(int16_t value) { m_minuteCounter = value; }
  const std::u16string& ErrorText() const { return m_errorText; }
  void SetErrorText(const std::u16string& text) { m_errorText = text; }
  // True while the target box's entry validation runs.
  bool IsValidating() const { return m_validating; }
  // Disables the window for a run, and enables it again with the keyboard
  // focus back on the control that had it.
  void SetWindowEnabled(bool enabled);
  // The hourglass for the whole program, and back to the pointer saved then.
  void ShowHourglass();
  void RestoreMousePointer();
  QTimer* TimerInterval() const { return m_timerInterval; }
  // Period of the monitoring tick while armed (one minute unless a test shortens it).
  void SetMonitorTickMs(int ms);
  QTimer* TimerSockRecv() const { return m_timerSockRecv; }

  // ResultView.
  void AppendResultItem(const std::u16string& item) override;
  void ClearResultItems() override;
  std::vector<std::u16string> ResultItems() const override;
  void SetLampColour(int index, const LampColour& colour) override;
  void SetStatusCaption(const std::u16string& caption) override;
  void RepaintNow() override;

  // The colour a lamp shows for the greyed-text system colour.
  QColor GreyedTextColour() const;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void SetTabOrder();
  void Form_Load();
  void Form_Unload();
  void LoadTargetList();
  void SetDefaultServices();
  void PutCurrentInfo();
  void ArmMonitoringTimer();
  void CmbHosts_Validate();
  void ApplyEntry();
  void CmbHosts_Edited();

  ResultReport m_report{*this};

  QLabel* m_lblTitle2 = nullptr;
  QLabel* m_lblTitle = nullptr;
  QLabel* m_label3 = nullptr;
  QLabel* m_label2 = nullptr;
  QLabel* m_lblTimerInfo = nullptr;
  QLabel* m_lblTimerCounts = nullptr;
  QLineEdit* m_txtTarget = nullptr;
  QComboBox* m_cmbHosts = nullptr;
  QFrame* m_picture1 = nullptr;
  QPushButton* m_cmdDiag = nullptr;
  std::array<QCheckBox*, kServiceCount> m_chkService{};
  std::array<QLabel*, kServiceCount> m_lblLamp{};
  QLabel* m_lblUser = nullptr;
  QLabel* m_label1 = nullptr;
  QPushButton* m_cmdResultClear = nullptr;
  QListWidget* m_lstResult = nullptr;
  QLabel* m_lblMessage = nullptr;
  QPushButton* m_cmdSet = nullptr;
  QPushButton* m_cmdExit = nullptr;
  QTimer* m_timerInterval = nullptr;
  QTimer* m_timerSockRecv = nullptr;

  bool m_runFlag = false;
  bool m_closing = false;
  int32_t m_savedPointer = -1;  // cursor shape saved by ShowHourglass; -1: none
  int16_t m_minuteCounter = 0;
  std::u16string m_errorText;

  bool m_validating = false;
  bool m_validateAgain = false;       // a validation was asked for during one
  bool m_runAfterValidation = false;  // a run was asked for during one
  bool m_closeAfterRun = false;       // a close was asked for during a run
  RunStart m_runStart = RunStart::Diag;
  QPointer<QWidget> m_focusBeforeRun;
  bool m_shownOnce = false;
  int m_hourglass = 0;  // override cursors pushed by ShowHourglass
  int m_monitorTickMs = kMonitorTickMs;

  std::function<void()> m_runAction;
  std::function<void()> m_settingsAction;
  std::function<void()> m_tickAction;
  std::function<void()> m_quitAction;
};

// Maps the window's Japanese font names to the installed IPA fonts (with
// fallbacks). Safe to call more than once.
void InstallJapaneseFontSubstitutes();
