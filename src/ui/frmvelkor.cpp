#include "ui/frmvelkor.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QFocusEvent>
#include <QFont>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>

#include <algorithm>
#include <optional>

#include "app/appstate.h"
#include "diag/targetlist.h"
#include "util/errreport.h"
#include "util/log.h"
#include "util/stop.h"
#include "util/xcommon.h"

namespace {

// The layout is kept in twips; the window is drawn at 15 twips to a pixel.
constexpr int kTwipsPerPixel = 15;
QRect Twips(int left, int top, int width, int height) {
  return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

// Client area of the window, in twips.
constexpr int kClientWidthTwips = 10395;
constexpr int kClientHeightTwips = 6795;

// The window's own font names, as its layout names them.
const QString kGothic = QStringLiteral("ＭＳ ゴシック");
const QString kPGothic = QStringLiteral("ＭＳ Ｐゴシック");

// Colours of the layout (VB colour values are 00BBGGRR; these are RGB).
const QColor kTitleBlue(0x00, 0x00, 0x80);      // &H800000
const QColor kTitleShadow(0x80, 0x80, 0x80);    // &H808080
const QColor kPanelGrey(0xE0, 0xE0, 0xE0);      // &HE0E0E0
const QColor kStatusText(0x40, 0x40, 0x40);     // &H404040

// Indexes of the service check boxes and lamps: captions and lamp positions.
const char16_t* const kServiceCaptions[kServiceCount] = {u"PING", u"NetBIOS", u"SMTP", u"POP", u"FTP", u"HTTP"};
const int kLampLeftTwips[kServiceCount] = {5940, 6780, 720, 1560, 2400, 3240};
const int kLampTabIndex[kServiceCount] = {18, 19, 20, 21, 22, 26};
struct CheckPlace {
  int left, width, tabIndex;
};
const CheckPlace kCheckPlaces[kServiceCount] = {{5700, 735, 9},  {6540, 975, 7},  {480, 735, 10},
                                                {1320, 735, 11}, {2160, 735, 12}, {3000, 735, 17}};

QFont LayoutFont(const QString& family, qreal points, bool bold = false) {
  QFont f(family);
  f.setPointSizeF(points);
  f.setBold(bold);
  f.setStyleHint(QFont::SansSerif);
  return f;
}

QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }
std::u16string U(const QString& s) { return s.toStdU16String(); }

// A rectangle drawn behind the controls: an optional fill and a one-pixel border.
class ShapeBox : public QWidget {
 public:
  ShapeBox(QWidget* parent, const QString& name, const QRect& rect, std::optional<QColor> fill)
      : QWidget(parent), m_fill(fill) {
    setObjectName(name);
    setGeometry(rect);
    setAttribute(Qt::WA_TransparentForMouseEvents);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    if (m_fill) p.fillRect(rect(), *m_fill);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
  }

 private:
  std::optional<QColor> m_fill;
};

// The list lays its items out on a zero-length timer after they change. A
// paint before that timer has run lays them out itself, which moves the
// scroll bar and so paints the list a second time at the next pass.
class ResultList : public QListWidget {
 public:
  using QListWidget::QListWidget;
  void LayOutPendingItems() { executeDelayedItemsLayout(); }
};

void SetTextColour(QWidget* w, const QColor& c) {
  QPalette pal = w->palette();
  pal.setColor(QPalette::WindowText, c);
  w->setPalette(pal);
}

void SetBackColour(QWidget* w, const QColor& c) {
  QPalette pal = w->palette();
  pal.setColor(QPalette::Window, c);
  pal.setColor(QPalette::Button, c);
  w->setPalette(pal);
  w->setAutoFillBackground(true);
}

}  // namespace

void InstallJapaneseFontSubstitutes() {
  static bool done = false;
  if (done) return;
  done = true;
  QFont::insertSubstitutions(kGothic, {QStringLiteral("IPAGothic"), QStringLiteral("IPAゴシック"),
                                       QStringLiteral("Noto Sans Mono CJK JP"), QStringLiteral("VL Gothic"),
                                       QStringLiteral("TakaoGothic"), QStringLiteral("Noto Sans CJK JP")});
  QFont::insertSubstitutions(kPGothic, {QStringLiteral("IPAPGothic"), QStringLiteral("IPA Pゴシック"),
                                        QStringLiteral("Noto Sans CJK JP"), QStringLiteral("VL PGothic"),
                                        QStringLiteral("TakaoPGothic"), QStringLiteral("IPAGothic")});
}

FrmVelkor::FrmVelkor(QWidget* parent) : QWidget(parent) {
  InstallJapaneseFontSubstitutes();
  BuildControls();
  SetTabOrder();
  qApp->installEventFilter(this);
  Form_Load();
}

FrmVelkor::~FrmVelkor() {
  qApp->removeEventFilter(this);
  if (m_hourglass) QGuiApplication::restoreOverrideCursor();
}

// ---- layout ----------------------------------------------------------------

void FrmVelkor::BuildControls() {
  setObjectName(QStringLiteral("FrmVelkor"));
  setFixedSize(kClientWidthTwips / kTwipsPerPixel, kClientHeightTwips / kTwipsPerPixel);
  setFont(LayoutFont(kGothic, 9));

  auto label = [this](const char* name, const QString& caption, const QRect& rect, int tabIndex) {
    auto* l = new QLabel(caption, this);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(rect);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setProperty("TabIndex", tabIndex);
    return l;
  };

  // Shapes lie under every control.
  new ShapeBox(this, QStringLiteral("Shape2"), Twips(-480, 0, 11415, 495), std::nullopt);
  new ShapeBox(this, QStringLiteral("Shape1"), Twips(240, 840, 7455, 1035), std::nullopt);
  new ShapeBox(this, QStringLiteral("Shape3"), Twips(5580, 1320, 1995, 495), kPanelGrey);

  // The grey title first, so that the blue one is drawn over it as its shadow.
  m_lblTitle = label("LblTitle", QStringLiteral("Velkor"), Twips(165, 60, 3255, 360), 4);
  m_lblTitle->setFont(LayoutFont(kPGothic, 18, true));
  m_lblTitle->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  SetTextColour(m_lblTitle, kTitleShadow);
  m_lblTitle2 = label("LblTiTle2", QStringLiteral("Velkor"), Twips(135, 60, 3375, 360), 13);
  m_lblTitle2->setFont(LayoutFont(kPGothic, 18, true));
  m_lblTitle2->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  SetTextColour(m_lblTitle2, kTitleBlue);

  m_label3 = label("Label3", QStringLiteral("サーバサービス機能の診断ツール"), Twips(3660, 180, 3255, 255), 8);
  m_label3->setFont(LayoutFont(kGothic, 9.75));

  // Headings: light text on the grey of an inactive title bar.
  auto heading = [&](QLabel* l) {
    l->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    QPalette pal = l->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Dark));
    pal.setColor(QPalette::WindowText, pal.color(QPalette::Light));
    l->setPalette(pal);
    l->setAutoFillBackground(true);
  };
  m_label2 = label("Label2", QStringLiteral("Target Host："), Twips(240, 600, 1335, 195), 6);
  heading(m_label2);

  m_lblTimerInfo = label("LblTimerInfo", QString(), Twips(3780, 660, 1815, 195), 27);
  m_lblTimerInfo->setAlignment(Qt::AlignRight | Qt::AlignTop);
  m_lblTimerInfo->setFont(LayoutFont(kPGothic, 8.25));
  m_lblTimerCounts = label("LblTimerCounts", QString(), Twips(5760, 660, 1815, 195), 28);
  m_lblTimerCounts->setFont(LayoutFont(kPGothic, 8.25));

  m_txtTarget = new QLineEdit(QStringLiteral("localhost"), this);
  m_txtTarget->setObjectName(QStringLiteral("TxtTarget"));
  m_txtTarget->setGeometry(Twips(9180, 540, 1035, 195));
  m_txtTarget->setFocusPolicy(Qt::NoFocus);
  m_txtTarget->setProperty("TabIndex", 0);
  m_txtTarget->hide();

  m_cmbHosts = new QComboBox(this);
  m_cmbHosts->setObjectName(QStringLiteral("CmbHosts"));
  m_cmbHosts->setGeometry(Twips(360, 960, 5115, 300));
  m_cmbHosts->setEditable(true);
  m_cmbHosts->setInsertPolicy(QComboBox::NoInsert);
  m_cmbHosts->setCompleter(nullptr);
  m_cmbHosts->setProperty("TabIndex", 24);
  // Leaving the text part must not select an item whose text matches: a typed
  // host stays typed, with nothing selected.
  QObject::disconnect(m_cmbHosts->lineEdit(), &QLineEdit::editingFinished, m_cmbHosts, nullptr);
  connect(m_cmbHosts, &QComboBox::activated, this, [this](int) { CmbHosts_Validate(); });
  connect(m_cmbHosts->lineEdit(), &QLineEdit::textEdited, this, [this](const QString&) { CmbHosts_Edited(); });

  m_picture1 = new QFrame(this);
  m_picture1->setObjectName(QStringLiteral("Picture1"));
  m_picture1->setGeometry(Twips(8040, 960, 1875, 675));
  m_picture1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  m_picture1->setLineWidth(2);
  m_picture1->setProperty("TabIndex", 14);
  m_cmdDiag = new QPushButton(QStringLiteral("Diag"), m_picture1);
  m_cmdDiag->setObjectName(QStringLiteral("CmdDiag"));
  m_cmdDiag->setGeometry(Twips(240, 120, 1335, 375).translated(m_picture1->contentsRect().topLeft()));
  m_cmdDiag->setFont(LayoutFont(kPGothic, 9.75, true));
  m_cmdDiag->setProperty("TabIndex", 15);
  connect(m_cmdDiag, &QPushButton::clicked, this, [this] { CmdDiag_Click(); });

  for (int i = 0; i < kServiceCount; ++i) {
    auto* c = new QCheckBox(Q(kServiceCaptions[i]), this);
    c->setObjectName(QStringLiteral("ChkService%1").arg(i));
    c->setGeometry(Twips(kCheckPlaces[i].left, 1380, kCheckPlaces[i].width, 255));
    c->setProperty("TabIndex", kCheckPlaces[i].tabIndex);
    c->setProperty("Index", i);
    m_chkService[i] = c;
  }
  m_chkService[0]->setToolTip(QStringLiteral("Ping(ICMP)"));
  m_chkService[1]->setToolTip(QStringLiteral("Windows NetShareInfo"));
  SetBackColour(m_chkService[0], kPanelGrey);
  SetBackColour(m_chkService[1], kPanelGrey);

  m_lblUser = label("LblUser", QStringLiteral("User"), Twips(3840, 1500, 1635, 195), 16);

  for (int i = 0; i < kServiceCount; ++i) {
    auto* l = label("", QStringLiteral(" "), Twips(kLampLeftTwips[i], 1620, 315, 135), kLampTabIndex[i]);
    l->setObjectName(QStringLiteral("LblLamp%1").arg(i));
    l->setProperty("Index", i);
    l->setFrameStyle(QFrame::Box | QFrame::Plain);
    l->setLineWidth(1);
    l->setAutoFillBackground(true);
    m_lblLamp[i] = l;
    SetLampColour(i, LampColour::GreyedText());
  }

  m_label1 = label("Label1", QStringLiteral("実行結果："), Twips(240, 2040, 1095, 195), 3);
  heading(m_label1);

  m_cmdResultClear = new QPushButton(QStringLiteral("Clear"), this);
  m_cmdResultClear->setObjectName(QStringLiteral("CmdResultClear"));
  m_cmdResultClear->setGeometry(Twips(1440, 2040, 855, 255));
  m_cmdResultClear->setProperty("TabIndex", 2);
  m_cmdResultClear->hide();
  connect(m_cmdResultClear, &QPushButton::clicked, this, [this] { CmdResultClear_Click(); });

  m_lstResult = new ResultList(this);
  m_lstResult->setObjectName(QStringLiteral("LstResult"));
  m_lstResult->setGeometry(Twips(180, 2280, 9975, 3840));
  m_lstResult->setUniformItemSizes(true);
  m_lstResult->setProperty("TabIndex", 1);

  m_lblMessage = label("LblMessage", QString(), Twips(120, 6420, 7335, 255), 23);
  SetTextColour(m_lblMessage, kStatusText);

  m_cmdSet = new QPushButton(QStringLiteral("設定"), this);
  m_cmdSet->setObjectName(QStringLiteral("CmdSet"));
  m_cmdSet->setGeometry(Twips(7500, 6300, 735, 315));
  m_cmdSet->setProperty("TabIndex", 25);
  connect(m_cmdSet, &QPushButton::clicked, this, [this] { CmdSet_Click(); });

  m_cmdExit = new QPushButton(QStringLiteral("終 了"), this);
  m_cmdExit->setObjectName(QStringLiteral("CmdExit"));
  m_cmdExit->setGeometry(Twips(8880, 6300, 975, 315));
  m_cmdExit->setProperty("TabIndex", 5);
  connect(m_cmdExit, &QPushButton::clicked, this, [this] { CmdExit_Click(); });

  // Buttons do not turn into default buttons on Enter: Enter belongs to the host box.
  for (QPushButton* b : {m_cmdDiag, m_cmdSet, m_cmdExit, m_cmdResultClear}) b->setAutoDefault(false);

  m_timerInterval = new QTimer(this);
  m_timerInterval->setObjectName(QStringLiteral("TimerInterval"));
  m_timerInterval->setInterval(kMonitorTickMs);
  connect(m_timerInterval, &QTimer::timeout, this, [this] { TimerInterval_Timer(); });

  // An interval of 0 means "never ticks" here, so this timer is never started.
  m_timerSockRecv = new QTimer(this);
  m_timerSockRecv->setObjectName(QStringLiteral("TimerSockRecv"));
}

void FrmVelkor::SetTabOrder() {
  // Labels, shapes, the hidden controls and the picture frame take no focus;
  // the others follow each other by their tab index.
  for (QLabel* l : findChildren<QLabel*>()) l->setFocusPolicy(Qt::NoFocus);
  m_picture1->setFocusPolicy(Qt::NoFocus);
  m_cmdResultClear->setFocusPolicy(Qt::NoFocus);
  std::vector<QWidget*> order;
  for (QWidget* w : findChildren<QWidget*>())
    if (w->property("TabIndex").isValid() && w->focusPolicy() != Qt::NoFocus) order.push_back(w);
  std::stable_sort(order.begin(), order.end(), [](const QWidget* a, const QWidget* b) {
    return a->property("TabIndex").toInt() < b->property("TabIndex").toInt();
  });
  for (size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
  m_lstResult->setFocus();
}

// ---- view ------------------------------------------------------------------

void FrmVelkor::AppendResultItem(const std::u16string& item) {
  // The list shows the item without its CR; the item itself keeps it.
  QString shown = Q(item);
  shown.remove(QChar(u'\r'));
  auto* it = new QListWidgetItem(shown);
  it->setData(Qt::UserRole, Q(item));
  m_lstResult->addItem(it);
}

void FrmVelkor::ClearResultItems() { m_lstResult->clear(); }

std::vector<std::u16string> FrmVelkor::ResultItems() const {
  std::vector<std::u16string> items;
  items.reserve(static_cast<size_t>(m_lstResult->count()));
  for (int i = 0; i < m_lstResult->count(); ++i) items.push_back(U(m_lstResult->item(i)->data(Qt::UserRole).toString()));
  return items;
}

QColor FrmVelkor::GreyedTextColour() const { return palette().color(QPalette::Disabled, QPalette::Text); }

void FrmVelkor::SetLampColour(int index, const LampColour& colour) {
  if (index < 0 || index >= kServiceCount) return;
  QColor c = colour.greyedText ? GreyedTextColour() : QColor(colour.red, colour.green, colour.blue);
  QPalette pal = m_lblLamp[index]->palette();
  pal.setColor(QPalette::Window, c);
  m_lblLamp[index]->setPalette(pal);
}

void FrmVelkor::SetStatusCaption(const std::u16string& caption) { m_lblMessage->setText(Q(caption)); }

void FrmVelkor::RepaintNow() {
  // Painting the status line at once paints everything else in the window
  // that has changed too; what has not changed needs no painting.
  if (!isVisible()) return;
  static_cast<ResultList*>(m_lstResult)->LayOutPendingItems();
  m_lblMessage->repaint();
}

// ---- result reporting --------------------------------------------------------

void FrmVelkor::AddResultLine(const std::u16string& text, bool noTimestamp, bool noLog) {
  m_report.AddResultLine(text, noTimestamp, noLog);
}
void FrmVelkor::AddResultText(const std::u16string& text) { m_report.AddResultText(text); }
void FrmVelkor::PutServiceHeader(const std::u16string& port, const std::u16string& serviceWord) {
  m_report.PutServiceHeader(port, serviceWord);
}
void FrmVelkor::PutCheckResult(const std::u16string& target, int16_t index, bool verdict, bool& serviceFlag,
                               bool& overallVerdict, const std::u16string& message) {
  m_report.PutCheckResult(target, index, verdict, serviceFlag, overallVerdict, message);
}
void FrmVelkor::SetServiceLamp(int16_t index, bool verdict, bool serviceFlag) {
  m_report.SetServiceLamp(index, verdict, serviceFlag);
}
void FrmVelkor::ShowStatusMessage(const std::u16string& text) { m_report.ShowStatusMessage(text); }
std::u16string FrmVelkor::GetResultText() const { return m_report.GetResultText(); }
void FrmVelkor::ClearResults() { m_report.ClearResults(); }

// ---- target host list: public ------------------------------------------------

std::u16string FrmVelkor::GetHostAddr() const { return xNullTrim(U(m_txtTarget->text())); }

bool FrmVelkor::SetHostIndex(const int16_t& index) const { return index < GetHostCount(); }

std::u16string FrmVelkor::GetCurrentHostNumber() const { return ToU16(GetCurrentHostIndex() + 1); }

std::u16string FrmVelkor::GetCurrentHostNumberInfo() const {
  return ToU16(GetCurrentHostIndex() + 1) + u"/" + ToU16(GetHostCount());
}

void FrmVelkor::PutCurrentTargetHostInfo(bool blnOutput) {
  AddResultLine(TargetHostInfoLine(GetHostCount(), GetCurrentHostIndex(), U(m_cmbHosts->currentText())), false,
                !blnOutput);
}

void FrmVelkor::PutCurrentTimeoutInfo() {
  m_lblTimerCounts->setText(Q(TimeoutInfoText(m_minuteCounter, SystemSettings.Interval)));
}

// ---- buttons and events --------------------------------------------------------

void FrmVelkor::CmdDiag_Click(RunStart how) {
  m_runStart = how;
  // Asked for in the middle of a validation (a key or click let through by
  // its status line), the run waits for the entry to be applied: it starts
  // when the validation is over, once however often it was asked.
  if (m_validating) {
    m_runAfterValidation = true;
    return;
  }
  m_runAfterValidation = false;
  if (m_runAction) m_runAction();
}

void FrmVelkor::SetWindowEnabled(bool enabled) {
  // Disabling the window takes the keyboard focus from its control; the
  // control gets it back when the window is enabled again.
  if (!enabled) {
    m_focusBeforeRun = focusWidget();
    setEnabled(false);
    return;
  }
  setEnabled(true);
  // A close asked for during the run: the run has ended, the window closes.
  if (m_closeAfterRun) QTimer::singleShot(0, this, [this] { close(); });
  QPointer<QWidget> focus = m_focusBeforeRun;
  m_focusBeforeRun.clear();
  if (focus && focus->isVisible() && focus->isEnabled()) focus->setFocus(Qt::OtherFocusReason);
}

void FrmVelkor::CmdExit_Click() {
  m_closing = true;
  close();
}

void FrmVelkor::CmdResultClear_Click() { ClearResults(); }

void FrmVelkor::CmdSet_Click() {
  // Only the first showing and the settings dialog's closing activate the
  // window; a message box's closing does not.
  if (m_settingsAction) m_settingsAction();
  Form_Activate();
}

void FrmVelkor::TimerInterval_Timer() {
  if (m_closing) return;
  if (m_tickAction) m_tickAction();
}

void FrmVelkor::SetMonitorTickMs(int ms) {
  m_monitorTickMs = ms;
  if (m_timerInterval->isActive()) m_timerInterval->start(ms);
}

void FrmVelkor::Form_Activate() {
  if (m_closing) return;
  m_lblUser->setText(Q(u"User：" + SystemSettings.UserName));
  ArmMonitoringTimer();
  PutCurrentInfo();
}

void FrmVelkor::ArmMonitoringTimer() {
  if (MonitoringInterval(SystemSettings.Interval)) {
    m_timerInterval->start(m_monitorTickMs);
    m_lblTimerInfo->setText(QStringLiteral("定期監視中："));
  } else {
    m_timerInterval->stop();
    m_lblTimerInfo->setText(QStringLiteral("定期監視なし："));
  }
}

void FrmVelkor::Form_Load() {
  try {
    m_timerSockRecv->stop();
    m_timerSockRecv->setInterval(0);
    m_minuteCounter = 0;
    m_closing = false;
    setWindowTitle(Q(GetAppTitle()));
    LoadTargetList();
    SetDefaultServices();
    ShowStatusMessage(ProgramName());
  } catch (...) {
    m_errorText = BuildErrorReport(u"", CurrentFailure(), NumberForm::Signed, ReportLayout::B);
    ReportError(m_errorText);
  }
}

void FrmVelkor::LoadTargetList() {
  std::vector<std::u16string> entries = ReadTargetList(TargetListFilePath);
  QSignalBlocker block(m_cmbHosts);
  for (const std::u16string& e : entries) m_cmbHosts->addItem(Q(e));
  // Nothing is selected after the load.
  m_cmbHosts->setCurrentIndex(-1);
  m_cmbHosts->setEditText(QString());
}

void FrmVelkor::Form_Unload() {
  m_closing = true;
  m_timerInterval->stop();
  m_timerSockRecv->stop();
  if (m_quitAction)
    m_quitAction();
  else
    QCoreApplication::quit();
}

void FrmVelkor::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (m_shownOnce) return;
  m_shownOnce = true;
  // The first showing activates the window once it is on screen.
  QMetaObject::invokeMethod(this, [this] { Form_Activate(); }, Qt::QueuedConnection);
}

void FrmVelkor::closeEvent(QCloseEvent* event) {
  // A close request during a run (the window is disabled for its length)
  // stops the run and closes the window once the run has ended; no tick
  // starts another run meanwhile.
  if (!isEnabled()) {
    m_closing = true;
    m_closeAfterRun = true;
    RequestStop();
    event->ignore();
    return;
  }
  Form_Unload();
  event->accept();
}

bool FrmVelkor::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  // Esc stops a run. The window is disabled then and its widgets take no
  // keys, so the key is caught here, before any widget sees it; an Esc aimed
  // at a message box or dialog stays theirs.
  if (type == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && !isEnabled() &&
      watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == this &&
      QApplication::activeModalWidget() == nullptr) {
    RequestStop();
    return true;
  }
  // The box keeps the focus for its text part, so its own events are the ones to watch.
  if (watched == m_cmbHosts) {
    if (type == QEvent::KeyPress) {
      auto* key = static_cast<QKeyEvent*>(event);
      if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
        // The key then goes on to the box as usual.
        CmdDiag_Click(RunStart::Enter);
      }
    } else if (type == QEvent::FocusOut) {
      auto* focus = static_cast<QFocusEvent*>(event);
      const Qt::FocusReason reason = focus->reason();
      QWidget* next = QApplication::focusWidget();
      const bool leavesBox = next != m_cmbHosts && next != m_cmbHosts->lineEdit();
      if (leavesBox && reason != Qt::PopupFocusReason &&
          reason != Qt::ActiveWindowFocusReason && isEnabled()) {
        // A click on Diag that takes the focus from the box starts the run
        // once the entry is applied, as Enter does: the validation lets
        // events run, and the button's release can be spent in it, before
        // the button has seen its press, so that its click never comes.
        if (next == m_cmdDiag && reason == Qt::MouseFocusReason) m_runAfterValidation = true;
        CmbHosts_Validate();
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

// ---- target host list: private -----------------------------------------------

void FrmVelkor::SetDefaultServices() {
  for (int i = 0; i < kServiceCount; ++i) {
    SetChkServiceValue(i, 1);
    SetServiceLamp(static_cast<int16_t>(i), false, false);
  }
  SetChkServiceValue(0, 0);
  SetChkServiceValue(1, 0);
}

bool FrmVelkor::SetTargetHost() {
  m_txtTarget->setText(Q(EntryHostName(U(m_cmbHosts->currentText()))));
  return !xNullTrim(U(m_txtTarget->text())).empty();
}

std::u16string FrmVelkor::GetCurrentHostName() const { return EntryHostField(U(m_cmbHosts->currentText())); }

int16_t FrmVelkor::GetHostCount() const { return static_cast<int16_t>(m_cmbHosts->count()); }

int16_t FrmVelkor::GetCurrentHostIndex() const { return static_cast<int16_t>(m_cmbHosts->currentIndex()); }

void FrmVelkor::PutCurrentInfo() {
  if (GetCurrentHostIndex() < 0) SetHostIndex(0);
  PutCurrentTargetHostInfo(false);
  PutCurrentTimeoutInfo();
}

void FrmVelkor::CmbHosts_Edited() {
  // A typed text is no selection, even when it started as one.
  if (m_cmbHosts->currentIndex() >= 0) {
    QLineEdit* edit = m_cmbHosts->lineEdit();
    const QString text = edit->text();
    const int cursor = edit->cursorPosition();
    QSignalBlocker blockBox(m_cmbHosts);
    QSignalBlocker blockEdit(edit);
    m_cmbHosts->setCurrentIndex(-1);
    edit->setText(text);
    edit->setCursorPosition(cursor);
  }
  CmbHosts_Validate();
}

void FrmVelkor::CmbHosts_Validate() {
  // The validation lets events run (status line, result line), so another
  // validation can be asked for in the middle of it (a fast typist, a
  // scanner): that one runs after this one, once, on the box's text as it
  // then stands, so the last text typed is the one applied.
  if (m_validating) {
    m_validateAgain = true;
    return;
  }
  m_validating = true;
  struct Done {
    FrmVelkor& w;
    ~Done() { w.m_validating = w.m_validateAgain = false; }
  } done{*this};
  do {
    m_validateAgain = false;
    ApplyEntry();
  } while (m_validateAgain && !m_closing);
  if (m_runAfterValidation)
    QTimer::singleShot(0, this, [this] {
      if (m_runAfterValidation && !m_closing) CmdDiag_Click(m_runStart);
    });
}

void FrmVelkor::ApplyEntry() {
  CallSettingsLoader();
  m_txtTarget->setText(Q(kDefaultTargetText));
  SetDefaultServices();
  ClearResults();
  std::optional<std::u16string> selected;
  if (m_cmbHosts->currentIndex() >= 0) selected = U(m_cmbHosts->itemText(m_cmbHosts->currentIndex()));
  const std::u16string entry = ChooseEntryText(selected, U(m_cmbHosts->lineEdit()->text()));
  ShowStatusMessage(u"[Target] " + entry);
  const TargetEntry applied = ApplyTargetEntry(entry, SystemSettings);
  m_txtTarget->setText(Q(applied.target));
  for (int i = 2; i < kServiceCount; ++i) SetChkServiceValue(i, applied.ticked[i] ? 1 : 0);
  PutCurrentInfo();
}

// ---- state for the run -----------------------------------------------------------

int FrmVelkor::ChkServiceValue(int index) const {
  if (index < 0 || index >= kServiceCount) return 0;
  switch (m_chkService[index]->checkState()) {
    case Qt::Checked: return 1;
    case Qt::PartiallyChecked: return 2;
    default: return 0;
  }
}

void FrmVelkor::SetChkServiceValue(int index, int value) {
  if (index < 0 || index >= kServiceCount) return;
  QCheckBox* c = m_chkService[index];
  if (value == 2) {
    c->setCheckState(Qt::PartiallyChecked);
  } else {
    // The operator only ticks and unticks; grey is set from code alone.
    c->setTristate(false);
    c->setCheckState(value == 1 ? Qt::Checked : Qt::Unchecked);
  }
}

void FrmVelkor::ShowHourglass() {
  const QCursor* current = QGuiApplication::overrideCursor();
  m_savedPointer = current ? static_cast<int32_t>(current->shape()) : -1;
  QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
  ++m_hourglass;
}

void FrmVelkor::RestoreMousePointer() {
  if (m_hourglass == 0) return;
  --m_hourglass;
  QGuiApplication::restoreOverrideCursor();
}
