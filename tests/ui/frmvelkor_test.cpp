// The main window driven through its real widgets.
#include <unistd.h>

#include "support/casefile.h"
#include "support/mainwindowfixture.h"
#include "ui/diagwiring.h"
#include "util/clock.h"
#include "util/errreport.h"
#include "util/xcommon.h"

namespace {

const std::u16string kStamp = u"2024/03/05 07:08:09 * ";
const std::u16string kAskTarget = kStamp + u"[TargetHost] TargetHostを入力してください。\r\n";

class FrmVelkorTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    SetSettingsLoader([this] {
      ++loads;
      SystemSettings = settings;
      if (duringLoad) duringLoad();
      return true;
    });
    SetLocalNowHook([] {
      std::tm t{};
      t.tm_sec = 9, t.tm_min = 8, t.tm_hour = 7, t.tm_mday = 5, t.tm_mon = 2, t.tm_year = 124;
      return t;
    });
  }
  // Opens the window on this target list (if any); with `real`, on the real run over checks that only note what
  // they are asked (PING and NetBIOS stay unticked), else on a run action that counts.
  void OpenOn(const char16_t* list, bool real = false) {
    if (list) WriteBytes(dir.file("VKRTARGET.INI"), ToAnsi(list));
    Open([&] { w->SetRunAction([this] { ++runs; }); });
    if (!real) return;
    auto note = [this](const std::u16string& what) { return asked.push_back(what), true; };
    DiagChecks c;
    c.smtp = [note](auto& h, auto& p, TlsMode t, auto&) { return note(u"smtp:" + h + u":" + p + PortSuffix(t)); };
    c.pop = [note](auto& h, auto& p, TlsMode t, auto&, auto&, auto&) { return note(u"pop:" + h + u":" + p + PortSuffix(t)); };
    c.ftp = [note](auto& h, auto& p, TlsMode t, auto&, auto&, auto&) { return note(u"ftp:" + h + u":" + p + PortSuffix(t)); };
    c.http = [note](auto& h, auto& p, TlsMode t, auto&) { return note(u"http:" + h + u":" + p + PortSuffix(t)); };
    InstallDiagRunner(*w, c);
  }
  QComboBox* Cmb() const { return Child<QComboBox>("CmbHosts"); }
  std::u16string Caption(const char* label) const { return Child<QLabel>(label)->text().toStdU16String(); }
  // A key as the window system delivers it: queued, handled when the event loop next runs.
  void PostKey(QWidget* to, int key, const QString& text = {}) {
    QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
  }
  void CloseNextBox() {
    QTimer::singleShot(0, [] { if (QWidget* box = QApplication::activeModalWidget()) box->close(); });
  }
  // What an entry leaves behind: target, ticks, ports, and the result list.
  std::u16string State() const {
    std::u16string s = Child<QLineEdit>("TxtTarget")->text().toStdU16String() + u" ";
    for (int i = 0; i < kServiceCount; ++i) s += char16_t(u'0' + w->ChkServiceValue(i));
    const SystemSettingsRecord& p = SystemSettings;
    return s + u" " + p.SmtpPort + u"/" + p.PopPort + u"/" + p.FtpPort + u"/" + p.HttpPort + u" " + w->GetResultText();
  }
  // One action of a "steps" case (tests/data/window-main.cases says what each does); false when the key names
  // none, and is then what the window should show.
  bool Act(const std::string& key, const std::u16string& text) {
    const QString value = QString::fromStdU16String(text);
    if (key == "list") {
      WriteBytes(dir.file("VKRTARGET.INI"), ToAnsi(text));
    } else if (key == "self-link") {
      EXPECT_EQ(symlink(dir.file("VKRTARGET.INI").c_str(), dir.file("VKRTARGET.INI").c_str()), 0);
    } else if (key == "open") {
      loads = runs = 0;
      OpenOn(nullptr, text == u"real");
    } else if (key == "type") {
      Cmb()->setFocus();
      QTest::keyClicks(Cmb(), value);
    } else if (key == "preedit" || key == "commit") {
      QInputMethodEvent event(key == "preedit" ? value : QString(), {});
      if (key == "commit") event.setCommitString(value);
      Cmb()->setFocus();
      QApplication::sendEvent(Cmb(), &event);
    } else if (key == "key") {
      QTest::keyClick(w->focusWidget(), value == "Down" ? Qt::Key_Down : Qt::Key_Return);
    } else if (key == "click") {
      QTest::mouseClick(Child(value.toStdString()), Qt::LeftButton);
    } else if (key == "focus") {
      Child(value.toStdString())->setFocus();
    } else if (key.starts_with("tick ")) {
      w->SetChkServiceValue(std::stoi(key.substr(5)), value.toInt());
    } else if (key == "interval") {
      SystemSettings.Interval = text;
    } else if (key == "activate") {
      w->Form_Activate();
    } else if (key == "timer") {
      w->TimerInterval_Timer();
    } else {
      return false;
    }
    return true;
  }
  // What an expectation of a "steps" case reads from the window, as text.
  std::u16string Probe(const std::string& what) const {
    const std::string arg = what.substr(what.find(' ') + 1);
    const QTimer* timer = w->TimerInterval();
    if (what == "state") return State();
    if (what == "result") return w->GetResultText();
    if (what == "loads") return ToU16(loads);
    if (what == "runs") return ToU16(runs);
    if (what == "logged") return ToU16(Runs());
    if (what == "entries") return ToU16(Cmb()->count());
    if (what == "focused") return w->focusWidget()->objectName().toStdU16String();
    if (what == "minute-timer") return timer->isActive() ? ToU16(timer->interval()) : u"off";
    if (what == "error" && Text("velkorERR1.log").find(w->ErrorText()) == std::u16string::npos) return u"(not logged)";
    if (what == "error") return w->ErrorText();
    if (what.starts_with("entry ")) return Cmb()->itemText(std::stoi(arg)).toStdU16String();
    if (what.starts_with("caption ")) return Caption(arg.c_str());
    const QColor lamp = what.starts_with("lamp ") ? Lamp(std::stoi(arg)) : QColor();
    if (lamp == w->GreyedTextColour()) return u"grey";
    if (lamp.isValid()) return QString("%1,%2,%3").arg(lamp.red()).arg(lamp.green()).arg(lamp.blue()).toStdU16String();
    ADD_FAILURE() << "no step is named " << what;
    return {};
  }
  int loads = 0, runs = 0;
  std::function<void()> duringLoad;
  std::vector<std::u16string> asked;
};

// The controls' places and captions are a table in tests/data/window-main.cases.
TEST_F(FrmVelkorTest, LayoutInPixelsOfFifteenTwips) {
  OpenOn(nullptr);
  EXPECT_EQ(w->size(), QSize(693, 453));
  EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "fixed size";
  for (const Case& c : CasesOf(LoadCases("window-main.cases"), "layout ")) {
    CASE_TRACE(c);
    const std::string name = c.name.substr(7);
    const std::vector<std::string> at = c.words("at");
    EXPECT_EQ(Child(name)->geometry(),
              QRect(std::stoi(at[0]) / 15, std::stoi(at[1]) / 15, std::stoi(at[2]) / 15, std::stoi(at[3]) / 15));
    const std::string text = c.get("text") == "''" ? "" : c.get("text");
    EXPECT_EQ(Child(name)->property("text").toString(), QString::fromStdString(text));
  }
  QWidget* diag = Child("CmdDiag");  // inside Picture1
  EXPECT_EQ(diag->geometry(), QRect(16, 8, 89, 25).translated(Child("Picture1")->contentsRect().topLeft()));
  EXPECT_EQ(diag->parentWidget()->objectName() + diag->property("text").toString(), QStringLiteral("Picture1Diag"));
  EXPECT_FALSE(Child("TxtTarget")->isVisible() || Child("CmdResultClear")->isVisible());
  EXPECT_EQ(Child("ChkService0")->toolTip() + Child("ChkService1")->toolTip(), "Ping(ICMP)Windows NetShareInfo");
  EXPECT_EQ(Child("LblTiTle2")->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_EQ(Child("LblTitle")->palette().color(QPalette::WindowText), QColor(128, 128, 128)) << "the shadow";
  EXPECT_EQ(QColor(w->grab().toImage().pixel(374, 119)), QColor(0xE0, 0xE0, 0xE0)) << "panel behind PING and NetBIOS";
}

// Loading, typing, selecting, the interval and the focus after a run: windows driven step by step by the "steps"
// cases of tests/data/window-main.cases.
TEST_F(FrmVelkorTest, StepsDriveTheWindow) {
  for (const Case& c : CasesOf(LoadCases("window-main.cases"), "steps ")) {
    CASE_TRACE(c);
    std::remove(dir.file("VKRTARGET.INI").c_str());
    for (const auto& [key, value] : c.fields) {
      const std::u16string text = FromUtf8(value == "''" ? "" : Unescape(value));
      if (!Act(key, text)) {
        EXPECT_EQ(ToUtf8(Probe(key)), ToUtf8(text)) << key;
      }
    }
  }
}

// The first showing and the closing of the settings dialog activate the window; coming back from another
// application does not, nor a closed message box, nor anything while a run keeps the window disabled. The
// interval arms the minute timer from 1 to 32767 minutes only.
TEST_F(FrmVelkorTest, ActivationAndMonitoringInterval) {
  OpenOn(nullptr);
  w->SetSettingsAction([&] {
    QDialog dialog(w.get());
    QTimer::singleShot(0, &dialog, &QDialog::accept);
    dialog.exec();
    SystemSettings.UserName = u"hanako";
    SystemSettings.Interval = u"5";
  });
  QEvent deactivate(QEvent::WindowDeactivate), activate(QEvent::WindowActivate);
  QApplication::sendEvent(w.get(), &deactivate);
  QApplication::sendEvent(w.get(), &activate);
  w->setEnabled(false);  // a run
  CloseNextBox();
  ShowMessageBox(u"テスト");
  Events(5);
  w->setEnabled(true);
  QTest::mouseClick(Child<QPushButton>("CmdSet"), Qt::LeftButton);
  Events(5);
  EXPECT_EQ(w->GetResultText(), kAskTarget + kAskTarget) << "one for the dialog; none for the switch or during the run";
  EXPECT_EQ(Caption("LblUser") + u"|" + Caption("LblTimerInfo") + Caption("LblTimerCounts"),
            u"User：hanako|定期監視中：0 / 5 回");
  EXPECT_EQ(w->TimerInterval()->isActive() ? w->TimerInterval()->interval() : 0, 60000);
  CloseNextBox();
  ShowMessageBox(u"テスト");
  Events(5);
  EXPECT_EQ(w->ResultItems().size(), 2u) << "a closed message box does not activate";
}

// A slow settings file lets keys and clicks through in the middle of a validation (its status line runs the
// event loop). A run asked for then starts once the validation is over, with the typed entry applied, once
// however often it was asked; it is the operator's run, so the minute counter and the interval play no part.
// Keys typed faster than a validation takes (a scanner, a macro tool) arrive in the middle of one: the box's
// text when the last validation ends is the one applied, and it leaves one line in the result list.
TEST_F(FrmVelkorTest, KeysAndRunsAskedDuringAValidationComeAfterIt) {
  const struct { int enters, clicks; } rows[] = {{1, 0}, {0, 1}, {2, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.enters << " enters, " << row.clicks << " clicks");
    OpenOn(nullptr, true);
    asked.clear();
    const int before = Runs();
    w->SetMinuteCounter(3);
    Cmb()->setFocus();
    QTest::keyClicks(Cmb(), QStringLiteral("127.0.0.1:"));
    duringLoad = [&] {
      duringLoad = nullptr;
      for (int i = 0; i < row.enters; ++i) PostKey(Cmb(), Qt::Key_Return);
      for (int i = 0; i < row.clicks; ++i) QTimer::singleShot(0, Child<QPushButton>("CmdDiag"), &QPushButton::click);
    };
    QTest::keyClick(Cmb(), Qt::Key_1);
    Events();
    const std::vector<std::u16string> want = {u"smtp:127.0.0.1:1", u"pop:127.0.0.1:110", u"ftp:127.0.0.1:21",
                                              u"http:127.0.0.1:80"};
    EXPECT_EQ(asked, want);
    EXPECT_EQ(Runs() - before, 1);
    EXPECT_EQ(w->MinuteCounter(), 3);
  }
  OpenOn(u"mailsv\r\n", true);
  asked.clear();
  const int before = Runs();
  Cmb()->setFocus();
  for (QChar c : QStringLiteral("127.0.0.1:-:-:-:-")) PostKey(Cmb(), c.unicode(), QString(c));
  QCoreApplication::processEvents();
  EXPECT_EQ(Cmb()->currentText(), QStringLiteral("127.0.0.1:-:-:-:-"));
  EXPECT_EQ(State(), u"127.0.0.1 000000 25/110/21/80 " + kStamp + u"[TargetHost：0/1] 127.0.0.1\r\n");
  QTest::keyClick(Cmb(), Qt::Key_Return);
  EXPECT_EQ(Runs() - before, 1);
  EXPECT_EQ(asked, std::vector<std::u16string>{}) << "every service unticked";
}

// A tick that falls due under a message box waits for it; once the box is closed, the run starts by itself (the
// timer stopped, so no later tick starts it) and the minute counter starts again.
TEST_F(FrmVelkorTest, TickDueUnderAMessageBoxRunsOnceItIsClosed) {
  settings.Interval = u"1";
  OpenOn(nullptr, true);
  Type(u"h");
  w->SetMonitorTickMs(50);
  w->Form_Activate();
  QTimer::singleShot(300, [this] {
    w->TimerInterval()->stop();
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
  });
  ShowMessageBox(u"テスト");
  EXPECT_EQ(Runs(), 0);
  EXPECT_EQ(Caption("LblTimerCounts"), u"1 / 1 回") << "due";
  EXPECT_TRUE(WaitUntil([this] { return Runs() == 1; }));
  EXPECT_EQ(asked.size(), 4u);
  EXPECT_EQ(Caption("LblTimerCounts"), u"0 / 1 回") << "the counter starts again";
}

TEST_F(FrmVelkorTest, ResultLinesAndRunLog) {
  OpenOn(nullptr);
  // A log line is on disk by the time its items reach the list: lines in the log as each item arrives.
  std::vector<size_t> logged;
  QObject::connect(Child<QListWidget>("LstResult")->model(), &QAbstractItemModel::rowsInserted, w.get(), [&] {
    const std::u16string log = Text("velkor1.log");
    size_t n = 0;
    for (size_t at = 0; (at = log.find(u" *** ", at)) != std::u16string::npos; ++at) ++n;
    logged.push_back(n);
  });
  w->AddResultLine(u"Start  \r\n\tok");
  w->PutServiceHeader(u"25", u"SMTP");
  bool service = true, overall = true;
  w->PutCheckResult(u"h", 2, false, service, overall, u"-ERR\r\n");
  w->PutCheckResult(u"h", 2, true, service, overall, u"");
  EXPECT_FALSE(service || overall) << "a passing port never raises the flags again";
  EXPECT_EQ(w->GetResultText(), kAskTarget + kStamp + u"Start  \r\r\n    ok\r\n\r\r\n" + kStamp +
                                    u"## SMTP  チャレンジ ##  port：  25\r\n---- h -- 【異常】  \r\r\n-ERR\r\r\n" +
                                    u"---- h -- 【正常】  \r\r\n");
  const std::u16string e = u"2024/03/05 07:08:09 *** ";
  EXPECT_EQ(Text("velkor1.log"), e + u"Start  \r\n\tok\r\n" + e + u"## SMTP  チャレンジ ##  port：  25\r\n" + e +
                                     u"---- h -- 【異常】  \r\n-ERR\r\n\r\n" + e + u"---- h -- 【正常】  \r\n\r\n");
  EXPECT_EQ(logged, (std::vector<size_t>{1, 1, 1, 2, 3, 3, 4}));
  EXPECT_EQ(Child<QListWidget>("LstResult")->item(1)->text().toStdU16String(), kStamp + u"Start  ") << "CR not shown";
  EXPECT_EQ(Lamp(2), QColor(255, 192, 128));
}

// Every Japanese text the window shows must have its glyphs in the IPA font that draws it; the screenshot is for a person to look at.
TEST_F(FrmVelkorTest, JapaneseGlyphsAndScreenshot) {
  settings.Interval = u"5";
  OpenOn(u"mailsv:25:110:21:80\r\n");
  std::vector<std::pair<QString, QFont>> texts;
  for (QWidget* c : w->findChildren<QWidget*>())
    if (QString t = c->property("text").toString(); !t.isEmpty()) texts.emplace_back(t, c->font());
  texts.emplace_back(QStringLiteral("TargetHostを入力してください。【正常】【異常】［応答なし］チャレンジ port：定期監視なし"),
                     Child("LstResult")->font());
  for (const auto& [text, font] : texts) {
    const QRawFont raw = QRawFont::fromFont(font);
    EXPECT_TRUE(QFontInfo(font).family().startsWith(QStringLiteral("IPA"))) << text.toStdString();
    for (char32_t ch : text.toUcs4())
      EXPECT_TRUE(ch == U' ' || raw.supportsCharacter(ch)) << text.toStdString() << " U+" << std::hex << unsigned(ch);
  }
  EXPECT_TRUE(w->grab().save(QCoreApplication::applicationDirPath() + QStringLiteral("/frmvelkor.png")));
}

}  // namespace
