// velkor-fixtures: all_peers
// Whole runs as an operator starts them (Diag, Enter, a due tick) against the
// real loopback peers: postfix, dovecot, vsftpd, nginx and smbd.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <memory>

#include "app/appstate.h"
#include "net/smbshares.h"
#include "support/peerport.h"
#include "support/programdir.h"
#include "support/tcppeers.h"
#include "ui/diagwiring.h"
#include "ui/frmvelkor.h"
#include "ui/uihooks.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

using Items = std::vector<std::u16string>;

std::u16string Port(const std::string& name) {
  static const TcpPeers peers = LoadTcpPeers();
  if (name == "smtp") return ToU16(peers.smtp);
  if (name == "pop") return ToU16(peers.pop);
  if (name == "ftp") return ToU16(peers.ftp);
  if (name == "http") return ToU16(peers.http);
  return ToU16(PeerPort(name));
}

class DiagRunWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: whole runs need root (raw ICMP and the real peers)";
    const TcpPeers peers = LoadTcpPeers();
    if (!peers.available) FAIL() << "real TCP peers are not running: " << peers.why;
    if (PeerPort("smb") == 0) FAIL() << "the real smbd is not running (ctest fixture smb_peers)";
    InstallUiHooks();
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { prog.boxes.push_back(text); });
    TargetListFilePath = prog.dir().file16("VKRTARGET.INI");
    SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
    settings.UserName = u"velkortest";
    settings.Password = u"Pw-never-sent";
    settings.Interval = u"0";
    SetSettingsLoader([this] {
      SystemSettings = settings;
      return true;
    });
    SystemSettings = settings;
    w = std::make_unique<FrmVelkor>();
    runner = &InstallDiagRunner(*w);
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
  }
  void TearDown() override {
    w.reset();
    SetSettingsLoader(nullptr);
    SetSmbPort(kSmbDefaultPort);
    SystemSettings = {};
  }

  template <typename T>
  T* Child(const char* name) {
    T* c = w->findChild<T*>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
  }
  // Types an entry into the target box the way an operator does.
  void TypeEntry(const std::u16string& entry) {
    QComboBox* box = Child<QComboBox>("CmbHosts");
    box->setFocus();
    box->lineEdit()->clear();
    QTest::keyClicks(box->lineEdit(), QString::fromStdU16String(entry));
  }
  std::u16string AllPortsEntry(const std::u16string& smtp) {
    return u"127.0.0.1:" + smtp + u":" + Port("pop") + u":" + Port("ftp") + u":" + Port("http");
  }
  Items ItemsWithoutStamps() const {
    Items out;
    for (auto item : w->ResultItems()) {
      if (item.size() > 22 && item[4] == u'/' && item.substr(19, 3) == u" * ") item = item.substr(22);
      out.push_back(item);
    }
    return out;
  }
  static bool Has(const Items& items, const std::u16string& what) {
    return std::find(items.begin(), items.end(), what) != items.end();
  }
  QColor Lamp(int i) { return Child<QLabel>(("LblLamp" + std::to_string(i)).c_str())->palette().color(QPalette::Window); }

  ProgramInTempDir prog{u"velkor"};
  SystemSettingsRecord settings;
  std::unique_ptr<FrmVelkor> w;
  DiagRunner* runner = nullptr;
};

TEST_F(DiagRunWindowTest, EnterRunsAllSixChecksAndEveryOnePasses) {
  TypeEntry(AllPortsEntry(Port("smtp")));
  Child<QCheckBox>("ChkService0")->setChecked(true);
  Child<QCheckBox>("ChkService1")->setChecked(true);
  QTest::keyClick(Child<QComboBox>("CmbHosts")->lineEdit(), Qt::Key_Return);
  QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !runner->Running(), 20000);

  Items items = ItemsWithoutStamps();
  ASSERT_GE(items.size(), 4u);
  EXPECT_EQ(items[0], u"[TargetHost] 127.0.0.1");
  EXPECT_EQ(items[1], u"velkor :  - - -  Start  - - -");
  EXPECT_EQ(items.back(), u"velkor :  - - -   End   - - - \r");
  for (const std::u16string& header :
       {std::u16string(u"## PING チャレンジ ##"), std::u16string(u"## NetBIOS チャレンジ ##  (Windows NetShare)"),
        u"## SMTP  チャレンジ ##  port：" + Port("smtp"), u"## POP   チャレンジ ##  port：" + Port("pop"),
        u"## FTP   チャレンジ ##  port：" + Port("ftp"), u"## HTTP  チャレンジ ##  port：" + Port("http")})
    EXPECT_TRUE(Has(items, header)) << ToUtf8(header);
  int passed = 0;
  for (auto& item : items) passed += item == u"---- 127.0.0.1 -- 【正常】  \r";
  EXPECT_EQ(passed, 6);
  EXPECT_TRUE(Has(items, u"Target is alive.  40 bytes received.  (127.0.0.1)\r") ||
              Has(items, u"Target is alive.  40 bytes received.  (127.0.0.1)"));
  EXPECT_TRUE(Has(items, u"ADMIN$    [Remote Admin]\r"));
  EXPECT_TRUE(Has(items, u"> QUIT\r"));
  EXPECT_EQ(Lamp(0), QColor(80, 255, 128));
  EXPECT_EQ(Lamp(1), QColor(80, 255, 128));
  for (int i = 2; i < 6; ++i) EXPECT_EQ(Lamp(i), QColor(128, 255, 128)) << i;
  EXPECT_NE(Child<QLabel>("LblMessage")->text().indexOf("Diag Done."), -1);
  EXPECT_FALSE(std::filesystem::exists(prog.file("vkrLastErr.log")));
  // The run log holds the frame and every block; the password never appears.
  std::u16string log = prog.readText("velkor1.log");
  EXPECT_NE(log.find(u" *** velkor :  - - -  Start  - - - \r\n"), std::u16string::npos);
  EXPECT_NE(log.find(u" *** ---- 127.0.0.1 -- 【正常】  \r\n220 "), std::u16string::npos);
  EXPECT_EQ(log.find(u"Pw-never-sent"), std::u16string::npos);
}

TEST_F(DiagRunWindowTest, FailingPortGivesMixedLampLastErrorLogAndErrorScript) {
  settings.RunBat = u"1";
  std::string script = prog.file("vkrRunErr.bat");
  WriteBytes(script, "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/script-arg.txt\"\n");
  chmod(script.c_str(), 0755);
  // Port 1 on loopback refuses; the real SMTP port after it passes.
  TypeEntry(u"127.0.0.1:1," + Port("smtp") + u":-:-:-");
  QTest::mouseClick(Child<QPushButton>("CmdDiag"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !runner->Running(), 20000);

  Items items = ItemsWithoutStamps();
  EXPECT_TRUE(Has(items, u"---- 127.0.0.1 -- ［応答なし］"));
  EXPECT_TRUE(Has(items, u"---- 127.0.0.1 -- 【正常】  \r"));
  EXPECT_EQ(Lamp(2), QColor(255, 192, 128));
  ASSERT_GE(items.size(), 3u);
  EXPECT_EQ(items[items.size() - 3], u"##  vkrRunErr.bat　実行開始");
  EXPECT_EQ(items[items.size() - 2], u"##  vkrRunErr.bat　実行終了");
  EXPECT_EQ(ReadBytes(prog.file("script-arg.txt")), "127.0.0.1");
  std::u16string last = prog.readText("vkrLastErr.log");
  EXPECT_NE(last.find(u"---- 127.0.0.1 -- ［応答なし］\r\n"), std::u16string::npos);
  EXPECT_EQ(last.find(u"実行開始"), std::u16string::npos);
  EXPECT_EQ(last.find(u"End"), std::u16string::npos);
}

TEST_F(DiagRunWindowTest, DueTickRunsByItselfAndResetsTheCounter) {
  settings.Interval = u"2";
  SystemSettings = settings;
  w->SetMonitorTickMs(40);
  w->Form_Activate();  // arms the timer with the interval
  TypeEntry(u"127.0.0.1:-:-:-:" + Port("http"));
  QLabel* counts = Child<QLabel>("LblTimerCounts");
  QTRY_VERIFY_WITH_TIMEOUT(ItemsWithoutStamps().size() > 3 && w->isEnabled() && !runner->Running(), 10000);
  Items items = ItemsWithoutStamps();
  EXPECT_TRUE(Has(items, u"## HTTP  チャレンジ ##  port：" + Port("http")));
  EXPECT_TRUE(Has(items, u"---- 127.0.0.1 -- 【正常】  \r"));
  QTRY_COMPARE_WITH_TIMEOUT(counts->text(), QString::fromUtf8("1 / 2 回"), 5000);
}

}  // namespace
