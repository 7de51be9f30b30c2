// The main window driven through its real widgets.
#include <unistd.h>

#include "support/mainwindowfixture.h"
#include "ui/diagwiring.h"
#include "util/clock.h"
#include "util/errreport.h"

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
  int loads = 0, runs = 0;
  std::function<void()> duringLoad;
  std::vector<std::u16string> asked;
};

TEST_F(FrmVelkorTest, LayoutInPixelsOfFifteenTwips) {
  OpenOn(nullptr);
  EXPECT_EQ(w->size(), QSize(693, 453));
  EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "fixed size";
  // Object name, left, top, width, height in twips, caption.
  const struct { const char* name; int l, t, wd, h; const char* text; } places[] = {
      {"LblTiTle2", 135, 60, 3375, 360, "Velkor"},       {"LblTitle", 165, 60, 3255, 360, "Velkor"},
      {"Label3", 3660, 180, 3255, 255, "サーバサービス機能の診断ツール"}, {"Shape2", -480, 0, 11415, 495, ""},
      {"Label2", 240, 600, 1335, 195, "Target Host："},  {"LblTimerInfo", 3780, 660, 1815, 195, "定期監視なし："},
      {"LblTimerCounts", 5760, 660, 1815, 195, ""},       {"TxtTarget", 9180, 540, 1035, 195, "localhost"},
      {"Shape1", 240, 840, 7455, 1035, ""},               {"CmbHosts", 360, 960, 5115, 300, ""},
      {"Picture1", 8040, 960, 1875, 675, ""},             {"ChkService2", 480, 1380, 735, 255, "SMTP"},
      {"ChkService3", 1320, 1380, 735, 255, "POP"},       {"ChkService4", 2160, 1380, 735, 255, "FTP"},
      {"ChkService5", 3000, 1380, 735, 255, "HTTP"},      {"LblUser", 3840, 1500, 1635, 195, "User：taro"},
      {"Shape3", 5580, 1320, 1995, 495, ""},              {"ChkService0", 5700, 1380, 735, 255, "PING"},
      {"ChkService1", 6540, 1380, 975, 255, "NetBIOS"},   {"LblLamp0", 5940, 1620, 315, 135, " "},
      {"LblLamp1", 6780, 1620, 315, 135, " "},            {"LblLamp2", 720, 1620, 315, 135, " "},
      {"LblLamp3", 1560, 1620, 315, 135, " "},            {"LblLamp4", 2400, 1620, 315, 135, " "},
      {"LblLamp5", 3240, 1620, 315, 135, " "},            {"Label1", 240, 2040, 1095, 195, "実行結果："},
      {"CmdResultClear", 1440, 2040, 855, 255, "Clear"},  {"LstResult", 180, 2280, 9975, 3840, ""},
      {"LblMessage", 120, 6420, 7335, 255, "07:08  velkor"}, {"CmdSet", 7500, 6300, 735, 315, "設定"},
      {"CmdExit", 8880, 6300, 975, 315, "終 了"},
  };
  for (const auto& p : places) {
    EXPECT_EQ(Child(p.name)->geometry(), QRect(p.l / 15, p.t / 15, p.wd / 15, p.h / 15)) << p.name;
    EXPECT_EQ(Child(p.name)->property("text").toString(), QString::fromUtf8(p.text)) << p.name;
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

// A missing or empty list is no failure; a list that cannot be read is reported, and the load stops there.
TEST_F(FrmVelkorTest, LoadAndFirstActivation) {
  OpenOn(nullptr);
  EXPECT_EQ(State(), u"localhost 001111 25/110/21/80 " + kAskTarget);
  for (int i = 0; i < kServiceCount; ++i) EXPECT_EQ(Lamp(i), w->GreyedTextColour()) << i;
  EXPECT_EQ(loads, 0) << "no validation";
  OpenOn(u"");
  EXPECT_EQ(State(), u"localhost 001111 25/110/21/80 " + kAskTarget);
  OpenOn(u"a b:25\r\n#x\r\n\r\nc#d\r\n本社:-\r\n");
  EXPECT_EQ(Cmb()->itemText(2), QStringLiteral("本社:-"));
  EXPECT_EQ(w->GetResultText(), kStamp + u"[TargetHost：0/3]\r\n") << "nothing selected; trailing blanks dropped";

  std::remove(dir.file("VKRTARGET.INI").c_str());
  ASSERT_EQ(symlink(dir.file("VKRTARGET.INI").c_str(), dir.file("VKRTARGET.INI").c_str()), 0);  // a link to itself
  OpenOn(nullptr);
  const std::u16string want = u"エラー番号 : 75 -- velkor でエラーが発生しました。 \r\n" + ErrorDescription(ErrNo::FileAccess);
  EXPECT_EQ(w->ErrorText(), want);
  EXPECT_NE(Text("velkorERR1.log").find(want), std::u16string::npos);
  EXPECT_EQ(State(), u"localhost 000000 25/110/21/80 " + kAskTarget) << "later load steps skipped, activation runs";
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
  const struct { const char16_t* interval; const char16_t* captions; } rows[] = {
      {u"1", u"定期監視中：|0 / 1 回"}, {u"32767", u"定期監視中：|0 / 32767 回"}, {u"0", u"定期監視なし：|"},
      {u"", u"定期監視なし：|"},        {u"abc", u"定期監視なし：|"},              {u"32768", u"定期監視なし：|"},
      {u"40000", u"定期監視なし：|"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ToUtf8(row.interval));
    SystemSettings.Interval = row.interval;
    w->Form_Activate();
    EXPECT_EQ(w->TimerInterval()->isActive(), row.captions[4] == u'中');
    EXPECT_EQ(Caption("LblTimerInfo") + u"|" + Caption("LblTimerCounts"), row.captions);
  }
}

TEST_F(FrmVelkorTest, TypingAndSelectingEntries) {
  OpenOn(u"mailsv\r\nh:465s,587t:-:21t\r\n:25\r\n");
  w->SetChkServiceValue(0, 1);
  Cmb()->setFocus();
  QTest::keyClicks(Cmb(), QStringLiteral("web01:8080"));
  EXPECT_EQ(loads, 10) << "one validation per keystroke";
  EXPECT_EQ(State(), u"web01 001111 8080/110/21/80 " + kStamp + u"[TargetHost：0/3] web01\r\n") << "PING unticked";
  QTest::keyClick(Cmb(), Qt::Key_Return);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(Cmb()->count(), 3) << "typed text is never inserted";
  QTest::keyClick(Cmb(), Qt::Key_Down);
  EXPECT_EQ(State(), u"mailsv 001111 25/110/21/80 " + kStamp + u"[TargetHost：1/3] mailsv\r\n") << "ports reloaded";
  QTest::keyClick(Cmb(), Qt::Key_Down);
  EXPECT_EQ(State(), u"h 001011 465s,587t/110/21t/80 " + kStamp + u"[TargetHost：2/3] h\r\n") << "TLS suffixes";
  QTest::keyClicks(Cmb(), QStringLiteral(":-"));  // an edited selection is typed text
  EXPECT_EQ(State(), u"h 001010 465s,587t/110/21t/80 " + kStamp + u"[TargetHost：0/3] h\r\n");
  Child("ChkService5")->setFocus();
  EXPECT_EQ(loads, 15) << "leaving the box validates";
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

// A run disables the window, which takes the keyboard focus away; enabled again, the window gives it back to
// the control that had it, so the next Enter, typing or arrow key works without a click.
TEST_F(FrmVelkorTest, FocusComesBackAfterEveryRun) {
  OpenOn(nullptr, true);
  Cmb()->setFocus();
  QTest::keyClicks(Cmb(), QStringLiteral("h:-:-:-"));
  QTest::keyClick(Cmb(), Qt::Key_Return);
  ASSERT_EQ(Runs(), 1);
  EXPECT_EQ(w->focusWidget(), Cmb());
  QTest::keyClick(w->focusWidget(), Qt::Key_Return);
  EXPECT_EQ(Runs(), 2) << "Enter again";
  QTest::mouseClick(Child("CmdDiag"), Qt::LeftButton);
  EXPECT_EQ(Runs(), 3);
  EXPECT_EQ(w->focusWidget(), Child("CmdDiag"));
  Child("LstResult")->setFocus();
  SystemSettings.Interval = u"1";
  w->TimerInterval_Timer();  // a monitoring run
  EXPECT_EQ(Runs(), 4);
  EXPECT_EQ(w->focusWidget(), Child("LstResult"));
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

// Japanese goes in through the input method (Qt's key clicks are Latin-1 only); every Japanese text the
// window shows must have its glyphs in the IPA font that draws it; the screenshot is for a person to look at.
TEST_F(FrmVelkorTest, JapaneseInputGlyphsAndScreenshot) {
  settings.Interval = u"5";
  OpenOn(u"mailsv:25:110:21:80\r\n");
  Cmb()->setFocus();
  QInputMethodEvent preedit(QStringLiteral("本社サーバ:25:-"), {}), commit;
  QApplication::sendEvent(Cmb(), &preedit);
  EXPECT_EQ(loads, 0) << "the preedit alone is no edit";
  commit.setCommitString(preedit.preeditString());
  QApplication::sendEvent(Cmb(), &commit);
  EXPECT_EQ(State(), u"本社サーバ 001011 25/110/21/80 " + kStamp + u"[TargetHost：0/1] 本社サーバ\r\n");
  EXPECT_EQ(Caption("LblMessage"), u"07:08  [Target] 本社サーバ:25:-");

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
