// The main window driven through its real widgets.
#include "ui/frmvelkor.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontInfo>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRawFont>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <memory>

#include "app/appstate.h"
#include "support/tempdir.h"
#include "ui/uihooks.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

using Items = std::vector<std::u16string>;
const std::u16string kStamp = u"2024/03/05 07:08:09 * ";

class FrmVelkorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramLocation(dir.path16(), u"velkor");
    TargetListFilePath = dir.file16("VKRTARGET.INI");
    base.SmtpPort = u"25";
    base.PopPort = u"110";
    base.FtpPort = u"21";
    base.HttpPort = u"80";
    base.UserName = u"taro";
    base.Interval = u"0";
    SystemSettings = base;
    SetSettingsLoader([this] {
      ++loads;
      SystemSettings = base;
      return true;
    });
    SetLocalNowHook([] {
      std::tm t{};
      t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 7, t.tm_min = 8, t.tm_sec = 9;
      return t;
    });
    InstallUiHooks();
  }

  void TearDown() override {
    w.reset();
    SetSettingsLoader(nullptr);
    SetLocalNowHook(nullptr);
  }

  void WriteList(const std::u16string& text) { WriteBytes(dir.file("VKRTARGET.INI"), ToAnsi(text)); }

  // Creates the window (its load runs) and shows it (its first activation runs).
  void Open(bool show = true) {
    w = std::make_unique<FrmVelkor>();
    w->SetRunAction([this] { ++runs; });
    w->SetQuitAction([this] { ++quits; });
    if (!show) return;
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    QCoreApplication::processEvents();
  }

  template <typename T>
  T* Child(const char* name) const {
    T* c = w->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
  }
  QComboBox* Cmb() const { return Child<QComboBox>("CmbHosts"); }
  QString Caption(const char* label) const { return Child<QLabel>(label)->text(); }
  std::u16string Target() const { return Child<QLineEdit>("TxtTarget")->text().toStdU16String(); }
  std::vector<int> Ticks() const {
    std::vector<int> v;
    for (int i = 0; i < kServiceCount; ++i) v.push_back(w->ChkServiceValue(i));
    return v;
  }
  QColor Lamp(int i) const {
    return Child<QLabel>(QStringLiteral("LblLamp%1").arg(i).toLatin1().constData())->palette().color(QPalette::Window);
  }
  std::u16string Log() const { return FromAnsi(ReadBytes(dir.file("velkor1.log"))); }

  // Types Latin text into the box the way a keyboard does.
  void Type(const char* text) {
    Cmb()->setFocus();
    QTest::keyClicks(Cmb(), QString::fromLatin1(text));
  }
  // Commits text through the input method, as a Japanese keyboard does.
  void Compose(const QString& text) {
    Cmb()->setFocus();
    QInputMethodEvent preedit(text, {});
    QApplication::sendEvent(Cmb(), &preedit);
    QInputMethodEvent commit;
    commit.setCommitString(text);
    QApplication::sendEvent(Cmb(), &commit);
  }

  TempDir dir;
  SystemSettingsRecord base;
  std::unique_ptr<FrmVelkor> w;
  int loads = 0;
  int runs = 0;
  int quits = 0;
};

TEST_F(FrmVelkorTest, LayoutInPixelsOfFifteenTwips) {
  Open();
  EXPECT_EQ(w->size(), QSize(693, 453));
  EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "fixed size";
  EXPECT_EQ(w->windowTitle().toStdU16String(), GetAppTitle());

  struct Place {
    const char* name;
    int l, t, wd, h;
  };
  const Place places[] = {
      {"LblTiTle2", 135, 60, 3375, 360},      {"LblTitle", 165, 60, 3255, 360},
      {"Label3", 3660, 180, 3255, 255},       {"Shape2", -480, 0, 11415, 495},
      {"Label2", 240, 600, 1335, 195},        {"LblTimerInfo", 3780, 660, 1815, 195},
      {"LblTimerCounts", 5760, 660, 1815, 195}, {"TxtTarget", 9180, 540, 1035, 195},
      {"Shape1", 240, 840, 7455, 1035},       {"CmbHosts", 360, 960, 5115, 300},
      {"Picture1", 8040, 960, 1875, 675},     {"ChkService2", 480, 1380, 735, 255},
      {"ChkService3", 1320, 1380, 735, 255},  {"ChkService4", 2160, 1380, 735, 255},
      {"ChkService5", 3000, 1380, 735, 255},  {"LblUser", 3840, 1500, 1635, 195},
      {"Shape3", 5580, 1320, 1995, 495},      {"ChkService0", 5700, 1380, 735, 255},
      {"ChkService1", 6540, 1380, 975, 255},  {"LblLamp0", 5940, 1620, 315, 135},
      {"LblLamp1", 6780, 1620, 315, 135},     {"LblLamp2", 720, 1620, 315, 135},
      {"LblLamp3", 1560, 1620, 315, 135},     {"LblLamp4", 2400, 1620, 315, 135},
      {"LblLamp5", 3240, 1620, 315, 135},     {"Label1", 240, 2040, 1095, 195},
      {"CmdResultClear", 1440, 2040, 855, 255}, {"LstResult", 180, 2280, 9975, 3840},
      {"LblMessage", 120, 6420, 7335, 255},   {"CmdSet", 7500, 6300, 735, 315},
      {"CmdExit", 8880, 6300, 975, 315},
  };
  for (const Place& p : places)
    EXPECT_EQ(Child<QWidget>(p.name)->geometry(), QRect(p.l / 15, p.t / 15, p.wd / 15, p.h / 15)) << p.name;
  auto* picture = Child<QFrame>("Picture1");
  auto* diag = Child<QPushButton>("CmdDiag");
  EXPECT_EQ(diag->parentWidget(), picture);
  EXPECT_EQ(diag->geometry(), QRect(16, 8, 89, 25).translated(picture->contentsRect().topLeft()));

  EXPECT_FALSE(Child<QWidget>("TxtTarget")->isVisible());
  EXPECT_FALSE(Child<QWidget>("CmdResultClear")->isVisible());
  EXPECT_EQ(Child<QLineEdit>("TxtTarget")->text(), QStringLiteral("localhost"));
  EXPECT_EQ(Child<QCheckBox>("ChkService0")->toolTip(), QStringLiteral("Ping(ICMP)"));
  EXPECT_EQ(Child<QCheckBox>("ChkService1")->toolTip(), QStringLiteral("Windows NetShareInfo"));
  const char* captions[][2] = {{"LblTiTle2", "Velkor"},          {"LblTitle", "Velkor"},
                               {"Label3", "サーバサービス機能の診断ツール"}, {"Label2", "Target Host："},
                               {"Label1", "実行結果："},         {"CmdDiag", "Diag"},
                               {"CmdSet", "設定"},               {"CmdExit", "終 了"},
                               {"CmdResultClear", "Clear"},      {"ChkService0", "PING"},
                               {"ChkService1", "NetBIOS"},       {"ChkService2", "SMTP"},
                               {"ChkService3", "POP"},           {"ChkService4", "FTP"},
                               {"ChkService5", "HTTP"}};
  for (auto& c : captions) {
    QWidget* widget = Child<QWidget>(c[0]);
    QString text = widget->property("text").toString();
    EXPECT_EQ(text, QString::fromUtf8(c[1])) << c[0];
  }

  // Colours of the title, its shadow, the status line and the grey panel.
  EXPECT_EQ(Child<QLabel>("LblTiTle2")->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_EQ(Child<QLabel>("LblTitle")->palette().color(QPalette::WindowText), QColor(128, 128, 128));
  EXPECT_EQ(Child<QLabel>("LblMessage")->palette().color(QPalette::WindowText), QColor(64, 64, 64));
  const QImage shot = w->grab().toImage();
  EXPECT_EQ(QColor(shot.pixel(374, 119)), QColor(0xE0, 0xE0, 0xE0)) << "panel behind PING and NetBIOS";
  EXPECT_EQ(Child<QLabel>("LblLamp0")->frameShape(), QFrame::Box);
  EXPECT_EQ(Child<QLabel>("LblLamp0")->lineWidth(), 1);

  EXPECT_EQ(Child<QTimer>("TimerSockRecv")->interval(), 0);
  EXPECT_FALSE(Child<QTimer>("TimerSockRecv")->isActive());
}

TEST_F(FrmVelkorTest, FontsAreTheIpaGothics) {
  Open(false);
  auto family = [&](const char* name) { return QFontInfo(Child<QWidget>(name)->font()).family(); };
  EXPECT_EQ(family("LstResult"), QStringLiteral("IPAGothic"));
  EXPECT_EQ(family("CmdSet"), QStringLiteral("IPAGothic"));
  EXPECT_EQ(family("LblTiTle2"), QStringLiteral("IPAPGothic"));
  EXPECT_EQ(family("LblTimerInfo"), QStringLiteral("IPAPGothic"));
  EXPECT_EQ(family("CmdDiag"), QStringLiteral("IPAPGothic"));
  EXPECT_DOUBLE_EQ(Child<QWidget>("LstResult")->font().pointSizeF(), 9.0);
  EXPECT_DOUBLE_EQ(Child<QWidget>("Label3")->font().pointSizeF(), 9.75);
  EXPECT_DOUBLE_EQ(Child<QWidget>("LblTimerCounts")->font().pointSizeF(), 8.25);
  EXPECT_DOUBLE_EQ(Child<QWidget>("LblTiTle2")->font().pointSizeF(), 18.0);
  EXPECT_TRUE(Child<QWidget>("LblTiTle2")->font().bold());
  EXPECT_TRUE(Child<QWidget>("CmdDiag")->font().bold());
}

TEST_F(FrmVelkorTest, TabOrder) {
  Open();
  std::vector<QString> chain;
  QWidget* start = Child<QWidget>("LstResult");
  QWidget* cur = start;
  do {
    const bool insideBox = qobject_cast<QComboBox*>(cur->parentWidget()) != nullptr;  // its text part
    if (cur->focusPolicy() & Qt::TabFocus && cur->isVisibleTo(w.get()) && cur->isEnabled() && !insideBox)
      chain.push_back(cur->objectName());
    cur = cur->nextInFocusChain();
  } while (cur != start && chain.size() < 40);
  const std::vector<QString> want = {"LstResult",   "CmdExit",     "ChkService1", "ChkService0",
                                     "ChkService2", "ChkService3", "ChkService4", "CmdDiag",
                                     "ChkService5", "CmbHosts",    "CmdSet"};
  EXPECT_EQ(chain, want);
}

TEST_F(FrmVelkorTest, LoadWithoutTargetList) {
  Open();
  EXPECT_EQ(Cmb()->count(), 0);
  EXPECT_EQ(Cmb()->currentIndex(), -1);
  EXPECT_EQ(w->ErrorText(), u"");
  EXPECT_EQ(Caption("LblMessage"), QStringLiteral("07:08  velkor"));
  EXPECT_EQ(Ticks(), (std::vector<int>{0, 0, 1, 1, 1, 1}));
  for (int i = 0; i < kServiceCount; ++i) EXPECT_EQ(Lamp(i), w->GreyedTextColour()) << i;
  // The first activation.
  EXPECT_EQ(w->ResultItems(), Items{kStamp + u"[TargetHost] TargetHostを入力してください。"});
  EXPECT_EQ(Caption("LblUser"), QStringLiteral("User：taro"));
  EXPECT_EQ(Caption("LblTimerInfo"), QStringLiteral("定期監視なし："));
  EXPECT_EQ(Caption("LblTimerCounts"), QString());
  EXPECT_FALSE(w->TimerInterval()->isActive());
  EXPECT_EQ(Log(), u"") << "the target line of an activation is not logged";
  EXPECT_EQ(loads, 0);
}

TEST_F(FrmVelkorTest, LoadFillsTheListWithNothingSelected) {
  WriteList(u"a b:25\r\n#x\r\n\r\nc#d\r\n本社:-\r\n");
  Open();
  ASSERT_EQ(Cmb()->count(), 3);
  EXPECT_EQ(Cmb()->itemText(0), QStringLiteral("ab:25"));
  EXPECT_EQ(Cmb()->itemText(1), QStringLiteral("c"));
  EXPECT_EQ(Cmb()->itemText(2), QStringLiteral("本社:-"));
  EXPECT_EQ(Cmb()->currentIndex(), -1);
  EXPECT_EQ(Cmb()->currentText(), QString());
  EXPECT_EQ(w->ResultItems(), Items{kStamp + u"[TargetHost：0/3]"}) << "the list drops trailing blanks";
  EXPECT_EQ(w->GetCurrentHostNumberInfo(), u"0/3");
  EXPECT_EQ(w->GetCurrentHostNumber(), u"0");
  int16_t index = 3;
  EXPECT_FALSE(w->SetHostIndex(index));
  index = 0;
  EXPECT_TRUE(w->SetHostIndex(index));
  EXPECT_EQ(Cmb()->currentIndex(), -1) << "SetHostIndex selects nothing";
}

TEST_F(FrmVelkorTest, LoadFailureIsReportedAndEndsTheLoad) {
  // A target list that cannot even be looked at (a link to itself).
  ASSERT_EQ(symlink(dir.file("VKRTARGET.INI").c_str(), dir.file("VKRTARGET.INI").c_str()), 0);
  Open();
  const std::u16string want = u"エラー番号 : 75 -- velkor でエラーが発生しました。 \r\n" + ErrorDescription(ErrNo::FileAccess);
  EXPECT_EQ(w->ErrorText(), want);
  EXPECT_NE(FromAnsi(ReadBytes(dir.file("velkorERR1.log"))).find(want), std::u16string::npos);
  EXPECT_EQ(Caption("LblMessage"), QString()) << "the steps after the failure are skipped";
  EXPECT_EQ(Ticks(), (std::vector<int>{0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(w->ResultItems(), Items{kStamp + u"[TargetHost] TargetHostを入力してください。"}) << "activation still runs";
}

TEST_F(FrmVelkorTest, ActivationArmsMonitoringOnlyForAnInterval) {
  base.Interval = u"5";
  SystemSettings = base;
  Open();
  EXPECT_TRUE(w->TimerInterval()->isActive());
  EXPECT_EQ(w->TimerInterval()->interval(), 60000);
  EXPECT_EQ(Caption("LblTimerInfo"), QStringLiteral("定期監視中："));
  EXPECT_EQ(Caption("LblTimerCounts"), QStringLiteral("0 / 5 回"));

  for (const char16_t* none : {u"0", u"", u"abc", u"40000", u"-3"}) {
    SystemSettings.Interval = none;
    w->Form_Activate();
    EXPECT_FALSE(w->TimerInterval()->isActive()) << Narrow(none);
    EXPECT_EQ(Caption("LblTimerInfo"), QStringLiteral("定期監視なし：")) << Narrow(none);
    EXPECT_EQ(Caption("LblTimerCounts"), QString()) << Narrow(none);
  }
  SystemSettings.Interval = u"10";
  w->SetMinuteCounter(4);
  w->PutCurrentTimeoutInfo();
  EXPECT_EQ(Caption("LblTimerCounts"), QStringLiteral("4 / 10 回"));
  w->Form_Activate();
  EXPECT_EQ(w->MinuteCounter(), 4) << "activation keeps the minute counter";
  EXPECT_TRUE(w->TimerInterval()->isActive());
}

TEST_F(FrmVelkorTest, MonitoringTickRunsTheTickAction) {
  base.Interval = u"1";
  SystemSettings = base;
  Open();
  int ticks = 0;
  w->SetTickAction([&] { ++ticks; });
  w->SetMonitorTickMs(5);
  QTRY_VERIFY(ticks >= 2);
  w->setEnabled(false);  // a run disables the window; ticks still come
  const int before = ticks;
  QTRY_VERIFY(ticks > before);
  w->setEnabled(true);
}

TEST_F(FrmVelkorTest, SelectingAnEntryValidatesIt) {
  WriteList(u"mailsv\r\nhost:-:110\r\nh:1,025:2:3:4:5\r\n:25\r\n");
  Open();
  w->SetChkServiceValue(0, 1);
  w->SetChkServiceValue(1, 1);
  Cmb()->setFocus();
  QTest::keyClick(Cmb(), Qt::Key_Down);
  EXPECT_EQ(loads, 1);
  EXPECT_EQ(Cmb()->currentIndex(), 0);
  EXPECT_EQ(Target(), u"mailsv");
  EXPECT_EQ(Ticks(), (std::vector<int>{0, 0, 1, 1, 1, 1})) << "PING and NetBIOS are unticked again";
  EXPECT_EQ(w->ResultItems(), Items{kStamp + u"[TargetHost：1/4] mailsv"});
  EXPECT_EQ(Caption("LblMessage"), QStringLiteral("07:08  [Target] mailsv"));

  QTest::keyClick(Cmb(), Qt::Key_Down);
  EXPECT_EQ(Target(), u"host");
  EXPECT_EQ(Ticks(), (std::vector<int>{0, 0, 0, 1, 1, 1}));
  EXPECT_EQ(SystemSettings.SmtpPort, u"25");
  EXPECT_EQ(SystemSettings.PopPort, u"110");

  QTest::keyClick(Cmb(), Qt::Key_Down);
  EXPECT_EQ(Target(), u"h");
  EXPECT_EQ(SystemSettings.SmtpPort, u"1,025");
  EXPECT_EQ(SystemSettings.PopPort, u"2");
  EXPECT_EQ(SystemSettings.FtpPort, u"3");
  EXPECT_EQ(SystemSettings.HttpPort, u"4");
  EXPECT_EQ(w->ResultItems(), Items{kStamp + u"[TargetHost：3/4] h"});

  QTest::keyClick(Cmb(), Qt::Key_Down);
  EXPECT_EQ(Target(), u"localhost:25:110:21:80") << "an empty host keeps the default target";
  EXPECT_EQ(SystemSettings.SmtpPort, u"25");
  EXPECT_EQ(SystemSettings.HttpPort, u"80") << "the reload put the configured ports back";
  EXPECT_EQ(w->GetHostAddr(), u"localhost:25:110:21:80");
  EXPECT_FALSE(w->SetTargetHost()) << "no host part";
  EXPECT_EQ(w->GetHostAddr(), u"");
  EXPECT_EQ(Log(), u"");
}

TEST_F(FrmVelkorTest, TypingValidatesOnEveryKeystroke) {
  WriteList(u"mailsv\r\nwebsv\r\n");
  Open();
  Type("web01:8080");
  EXPECT_EQ(loads, 10);
  EXPECT_EQ(Cmb()->count(), 2) << "typed text is never inserted";
  EXPECT_EQ(Cmb()->currentIndex(), -1);
  EXPECT_EQ(Target(), u"web01");
  EXPECT_EQ(SystemSettings.SmtpPort, u"8080");
  EXPECT_EQ(w->ResultItems(), Items{kStamp + u"[TargetHost：0/2] web01"});
  EXPECT_EQ(w->GetCurrentHostName(), u"web01");
  EXPECT_TRUE(w->SetTargetHost());
  EXPECT_EQ(w->GetHostAddr(), u"web01");

  // Editing a selected entry turns it into typed text.
  QTest::keyClick(Cmb(), Qt::Key_Down);
  EXPECT_EQ(Cmb()->currentIndex(), 0);
  QTest::keyClick(Cmb(), Qt::Key_End);
  QTest::keyClicks(Cmb(), QStringLiteral(":-"));
  EXPECT_EQ(Cmb()->currentIndex(), -1);
  EXPECT_EQ(Cmb()->currentText(), QStringLiteral("mailsv:-"));
  EXPECT_EQ(Ticks(), (std::vector<int>{0, 0, 0, 1, 1, 1}));
  EXPECT_EQ(w->ResultItems(), Items{kStamp + u"[TargetHost：0/2] mailsv"});
}

TEST_F(FrmVelkorTest, JapaneseTextThroughTheInputMethod) {
  Open();
  Compose(QStringLiteral("本社サーバ:25:-"));
  EXPECT_EQ(loads, 1) << "the preedit alone is no edit";
  EXPECT_EQ(Cmb()->currentText(), QStringLiteral("本社サーバ:25:-"));
  EXPECT_EQ(Target(), u"本社サーバ");
  EXPECT_EQ(Ticks(), (std::vector<int>{0, 0, 1, 0, 1, 1}));
  EXPECT_EQ(w->ResultItems(), Items{kStamp + u"[TargetHost] 本社サーバ"});
  EXPECT_EQ(Caption("LblMessage"), QStringLiteral("07:08  [Target] 本社サーバ:25:-"));
}

TEST_F(FrmVelkorTest, LeavingTheBoxValidatesButDisablingDoesNot) {
  Open();
  Type("x");
  ASSERT_EQ(loads, 1);
  Child<QWidget>("ChkService5")->setFocus();
  EXPECT_EQ(loads, 2);
  Cmb()->setFocus();
  w->setEnabled(false);
  w->setEnabled(true);
  EXPECT_EQ(loads, 2) << "a run disabling the window is not leaving the box";
}

TEST_F(FrmVelkorTest, EnterRunsTheRunAction) {
  WriteList(u"mailsv\r\n");
  Open();
  Type("newhost");
  QTest::keyClick(Cmb(), Qt::Key_Return);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(Cmb()->count(), 1);
  EXPECT_EQ(Cmb()->currentText(), QStringLiteral("newhost"));
  QTest::mouseClick(Child<QPushButton>("CmdDiag"), Qt::LeftButton);
  EXPECT_EQ(runs, 2);
}

TEST_F(FrmVelkorTest, SettingsButtonActivatesOnce) {
  Open();
  int shown = 0;
  w->SetSettingsAction([&] {
    ++shown;
    QDialog dialog(w.get());
    QTimer::singleShot(0, &dialog, &QDialog::accept);
    dialog.exec();
    SystemSettings.UserName = u"hanako";
    SystemSettings.Interval = u"5";
  });
  QTest::mouseClick(Child<QPushButton>("CmdSet"), Qt::LeftButton);
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(Caption("LblUser"), QStringLiteral("User：hanako"));
  EXPECT_TRUE(w->TimerInterval()->isActive());
  EXPECT_EQ(w->ResultItems(), (Items{kStamp + u"[TargetHost] TargetHostを入力してください。",
                                     kStamp + u"[TargetHost] TargetHostを入力してください。"}));
}

TEST_F(FrmVelkorTest, ClosingAMessageBoxActivates) {
  Open();
  QTimer::singleShot(0, [] {
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
  });
  ShowMessageBox(u"テスト");
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(w->ResultItems().size(), 2u);

  // Coming back from another application is no activation.
  QEvent deactivate(QEvent::WindowDeactivate), activate(QEvent::WindowActivate);
  QApplication::sendEvent(w.get(), &deactivate);
  QApplication::sendEvent(w.get(), &activate);
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(w->ResultItems().size(), 2u);

  // Not while a run keeps the window disabled.
  w->setEnabled(false);
  QTimer::singleShot(0, [] {
    if (QWidget* box = QApplication::activeModalWidget()) box->close();
  });
  ShowMessageBox(u"テスト");
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  w->setEnabled(true);
  EXPECT_EQ(w->ResultItems().size(), 2u);
}

TEST_F(FrmVelkorTest, ResultLinesLampsAndStatus) {
  Open();
  w->ClearResults();
  w->AddResultLine(u"velkor :  - - -  Start  - - - ");
  w->PutServiceHeader(u"25", u"SMTP");
  bool service = true, overall = true;
  w->PutCheckResult(u"mailsv", 2, true, service, overall, u"220 ready\r\n\tok\r\n");
  w->PutCheckResult(u"mailsv", 3, false, service, overall, u"");
  EXPECT_FALSE(overall);
  const Items want = {kStamp + u"velkor :  - - -  Start  - - -", u"\r", kStamp + u"## SMTP  チャレンジ ##  port：  25",
                      u"---- mailsv -- 【正常】  \r", u"220 ready\r", u"    ok\r", u"---- mailsv -- ［応答なし］"};
  EXPECT_EQ(w->ResultItems(), want);
  auto* list = Child<QListWidget>("LstResult");
  EXPECT_EQ(list->item(1)->text(), QString()) << "the CR is kept but not shown";
  EXPECT_EQ(list->item(5)->text(), QStringLiteral("    ok"));
  EXPECT_EQ(w->GetResultText(), kStamp + u"velkor :  - - -  Start  - - -\r\n\r\r\n" + kStamp +
                                    u"## SMTP  チャレンジ ##  port：  25\r\n---- mailsv -- 【正常】  \r\r\n220 ready\r\r\n"
                                    u"    ok\r\r\n---- mailsv -- ［応答なし］\r\n");
  const std::u16string e = u"2024/03/05 07:08:09 *** ";
  EXPECT_EQ(Log(), e + u"velkor :  - - -  Start  - - - \r\n" + e + u"## SMTP  チャレンジ ##  port：  25\r\n" + e +
                       u"---- mailsv -- 【正常】  \r\n220 ready\r\n\tok\r\n\r\n" + e + u"---- mailsv -- ［応答なし］  \r\n");

  EXPECT_EQ(Lamp(2), QColor(128, 255, 128));
  EXPECT_EQ(Lamp(3), w->GreyedTextColour());
  w->SetServiceLamp(0, true, true);
  EXPECT_EQ(Lamp(0), QColor(80, 255, 128));
  w->SetServiceLamp(5, true, false);
  EXPECT_EQ(Lamp(5), QColor(255, 192, 128));
  w->SetServiceLamp(7, true, true);  // no such lamp: nothing happens

  w->ShowStatusMessage(u"Diag Done.");
  EXPECT_EQ(Caption("LblMessage"), QStringLiteral("07:08  Diag Done."));

  w->CmdResultClear_Click();
  EXPECT_EQ(w->ResultItems(), Items{});
  EXPECT_EQ(w->GetResultText(), u"");
}

TEST_F(FrmVelkorTest, CheckBoxValuesAndHourglass) {
  Open();
  w->SetChkServiceValue(4, 2);
  EXPECT_EQ(w->ChkServiceValue(4), 2);
  EXPECT_EQ(Child<QCheckBox>("ChkService4")->checkState(), Qt::PartiallyChecked);
  w->SetChkServiceValue(4, 0);
  EXPECT_EQ(w->ChkServiceValue(4), 0);
  QTest::mouseClick(Child<QCheckBox>("ChkService4"), Qt::LeftButton);
  EXPECT_EQ(w->ChkServiceValue(4), 1);

  w->ShowHourglass();
  ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
  w->RestoreMousePointer();
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(FrmVelkorTest, ExitClosesAndQuits) {
  Open();
  // The window manager's close button does nothing while a run disables the window.
  w->setEnabled(false);
  w->close();
  EXPECT_FALSE(w->IsClosing());
  EXPECT_EQ(quits, 0);
  w->setEnabled(true);

  const size_t lines = w->ResultItems().size();
  QTest::mouseClick(Child<QPushButton>("CmdExit"), Qt::LeftButton);
  EXPECT_TRUE(w->IsClosing());
  EXPECT_EQ(quits, 1);
  EXPECT_FALSE(w->isVisible());
  w->Form_Activate();
  EXPECT_EQ(w->ResultItems().size(), lines) << "no activation while closing";
}

// Every Japanese text the window shows must have its glyphs in the font that draws it.
TEST_F(FrmVelkorTest, JapaneseCaptionsHaveGlyphs) {
  Open();
  std::vector<std::pair<QString, QFont>> texts;
  for (QWidget* c : w->findChildren<QWidget*>()) {
    QString t = c->property("text").toString();
    if (!t.isEmpty()) texts.emplace_back(t, c->font());
  }
  const QFont listFont = Child<QWidget>("LstResult")->font();
  for (const char16_t* s : {u"[TargetHost] TargetHostを入力してください。", u"【正常】【異常】［応答なし］チャレンジ port：",
                            u"定期監視中：定期監視なし： / 5 回"})
    texts.emplace_back(QString::fromStdU16String(s), listFont);
  texts.emplace_back(QStringLiteral("定期監視中：定期監視なし："), Child<QWidget>("LblTimerInfo")->font());

  int japanese = 0;
  for (const auto& [text, font] : texts) {
    const QFontMetrics metrics(font);
    const QRawFont raw = QRawFont::fromFont(font);
    EXPECT_TRUE(QFontInfo(font).family().startsWith(QStringLiteral("IPA"))) << text.toStdString();
    for (char32_t ch : text.toUcs4()) {
      if (ch == U' ') continue;
      if (ch > 0x2000) ++japanese;
      EXPECT_TRUE(metrics.inFontUcs4(ch)) << text.toStdString() << " U+" << std::hex << unsigned(ch);
      EXPECT_TRUE(raw.supportsCharacter(ch)) << text.toStdString() << " U+" << std::hex << unsigned(ch);
    }
  }
  EXPECT_GT(japanese, 50);
}

TEST_F(FrmVelkorTest, Screenshot) {
  WriteList(u"mailsv:25:110:21:80\r\n本社サーバ:-\r\n");
  base.Interval = u"5";
  SystemSettings = base;
  Open();
  Compose(QStringLiteral("本社サーバ:25"));
  bool service = true, overall = true;
  w->SetServiceLamp(0, true, true);
  w->PutServiceHeader(u"25", u"SMTP");
  w->PutCheckResult(u"本社サーバ", 2, true, service, overall, u"220 mail ESMTP\r\n");
  w->SetServiceLamp(3, true, false);
  const QPixmap shot = w->grab();
  ASSERT_FALSE(shot.isNull());
  const QString path = QCoreApplication::applicationDirPath() + QStringLiteral("/frmvelkor.png");
  EXPECT_TRUE(shot.save(path)) << path.toStdString();
}

}  // namespace
