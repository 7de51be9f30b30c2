// velkor-fixtures: all_peers
// Whole runs as an operator starts them (Enter, the Diag button, a due tick)
// against the real loopback peers: postfix, dovecot, vsftpd, nginx and smbd.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>

#include "app/appstate.h"
#include "diag/diagrun.h"
#include "net/smbshares.h"
#include "support/peerport.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/testcert.h"
#include "support/tlsverdicts.h"
#include "ui/diagwiring.h"
#include "ui/frmvelkor.h"
#include "ui/uihooks.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

using Texts = std::vector<std::u16string>;
const std::u16string kPassed = u"---- 127.0.0.1 -- 【正常】  \r";

class DiagRunWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: whole runs need root (raw ICMP and the real peers)";
    ASSERT_TRUE(peers.available) << "real TCP peers are not running: " << peers.why;
    ASSERT_NE(PeerPort("smb"), 0) << "the real smbd is not running (ctest fixture smb_peers)";
    InstallUiHooks();
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { prog.boxes.push_back(text); });
    TargetListFilePath = prog.dir().file16("VKRTARGET.INI");
    SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
    settings.UserName = u"velkortest";
    settings.Password = u"Pw-never-sent";
    SetSettingsLoader([this] { return SystemSettings = settings, true; });
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
  }
  template <typename T>
  T* Child(const std::string& name) { return w->findChild<T*>(QString::fromStdString(name)); }
  void TypeEntry(const std::u16string& entry) {
    QLineEdit* edit = Child<QComboBox>("CmbHosts")->lineEdit();
    edit->setFocus();
    QTest::keyClicks(edit, QString::fromStdU16String(entry));
  }
  void WaitForRunEnd() { QTRY_VERIFY_WITH_TIMEOUT(w->isEnabled() && !runner->Running() && Items().size() > 3, 20000); }
  Texts Items() const {  // without their time stamps
    Texts out;
    for (auto item : w->ResultItems()) out.push_back(item.size() > 22 && item[19] == u' ' && item[20] == u'*' ? item.substr(22) : item);
    return out;
  }
  bool Has(const std::u16string& what) const {
    Texts items = Items();
    return std::find(items.begin(), items.end(), what) != items.end();
  }
  QColor Lamp(int i) { return Child<QLabel>("LblLamp" + std::to_string(i))->palette().color(QPalette::Window); }

  TcpPeers peers = LoadTcpPeers();
  ProgramInTempDir prog{u"velkor"};
  SystemSettingsRecord settings;
  std::unique_ptr<FrmVelkor> w;
  DiagRunner* runner = nullptr;
};

TEST_F(DiagRunWindowTest, EnterRunsAllSixChecksAndEveryOnePasses) {
  TypeEntry(u"127.0.0.1:" + ToU16(peers.smtp) + u":" + ToU16(peers.pop) + u":" + ToU16(peers.ftp) + u":" + ToU16(peers.http));
  Child<QCheckBox>("ChkService0")->setChecked(true);
  Child<QCheckBox>("ChkService1")->setChecked(true);
  QTest::keyClick(Child<QComboBox>("CmbHosts")->lineEdit(), Qt::Key_Return);
  WaitForRunEnd();

  Texts items = Items();
  EXPECT_EQ(items[0], u"[TargetHost] 127.0.0.1");
  EXPECT_EQ(items[1], u"velkor :  - - -  Start  - - -");
  EXPECT_EQ(items.back(), u"velkor :  - - -   End   - - - \r");
  EXPECT_EQ(std::count(items.begin(), items.end(), kPassed), 6);
  for (const std::u16string& line :
       {std::u16string(u"## PING チャレンジ ##"), std::u16string(u"Target is alive.  40 bytes received.  (127.0.0.1)"),
        std::u16string(u"ADMIN$    [Remote Admin]\r"), u"## SMTP  チャレンジ ##  port：" + ToU16(peers.smtp),
        u"## POP   チャレンジ ##  port：" + ToU16(peers.pop), std::u16string(u"> USER velkortest\r"),
        std::u16string(u"331 Please specify the password.\r"), std::u16string(u"HTTP/1.1 200 OK\r")})
    EXPECT_TRUE(Has(line)) << ToUtf8(line);
  EXPECT_EQ(Lamp(0), QColor(80, 255, 128));
  EXPECT_EQ(Lamp(1), QColor(80, 255, 128));
  for (int i = 2; i < 6; ++i) EXPECT_EQ(Lamp(i), QColor(128, 255, 128)) << i;
  EXPECT_FALSE(std::filesystem::exists(prog.file("vkrLastErr.log")));
  std::u16string log = prog.readText("velkor1.log");
  EXPECT_NE(log.find(u" *** ---- 127.0.0.1 -- 【正常】  \r\n220 "), std::u16string::npos);
  EXPECT_EQ(log.find(u"Pw-never-sent"), std::u16string::npos);
}

TEST_F(DiagRunWindowTest, FailingPortGivesMixedLampLastErrorLogAndErrorScript) {
  settings.RunBat = u"1";
  std::string script = prog.file("vkrRunErr.bat");
  WriteBytes(script, "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/script-arg.txt\"\n");
  chmod(script.c_str(), 0755);
  TypeEntry(u"127.0.0.1:1," + ToU16(peers.smtp) + u":-:-:-");  // port 1 refuses, the real one passes
  QTest::mouseClick(Child<QPushButton>("CmdDiag"), Qt::LeftButton);
  WaitForRunEnd();

  Texts items = Items();
  EXPECT_TRUE(Has(u"---- 127.0.0.1 -- ［応答なし］"));
  EXPECT_EQ(Lamp(2), QColor(255, 192, 128));
  EXPECT_EQ(items[items.size() - 3], u"##  vkrRunErr.bat　実行開始");
  EXPECT_EQ(items[items.size() - 2], u"##  vkrRunErr.bat　実行終了");
  EXPECT_EQ(ReadBytes(prog.file("script-arg.txt")), "127.0.0.1");
  std::u16string last = prog.readText("vkrLastErr.log");
  EXPECT_NE(last.find(u"---- 127.0.0.1 -- ［応答なし］\r\n"), std::u16string::npos);
  EXPECT_EQ(last.find(u"実行開始"), std::u16string::npos);
}

// Every TLS form in one entry, against the system's trust store (which does not know the fixture's authority): each
// passes with its warning, the expired certificate fails after its dialogue, the headers name the suffixes.
TEST_F(DiagRunWindowTest, TlsEntryPassesWithWarningsAndTheExpiredCertificateFails) {
  const TrustedCa system("");
  auto port = [](uint16_t p, const char16_t* suffix) { return ToU16(p) + suffix; };
  TypeEntry(u"127.0.0.1:" + port(peers.smtpTls, u"t,") + port(peers.smtps, u"s:") + port(peers.pop, u"t,") +
            port(peers.pop3s, u"s:") + port(peers.ftpTls, u"t,") + port(peers.ftps, u"s:") + port(peers.https, u"s,") +
            port(peers.httpsExpired, u"s"));
  QTest::mouseClick(Child<QPushButton>("CmdDiag"), Qt::LeftButton);
  WaitForRunEnd();

  const Texts items = Items();
  EXPECT_EQ(std::count(items.begin(), items.end(), kPassed), 7);
  EXPECT_EQ(std::count(items.begin(), items.end(), u"---- 127.0.0.1 -- 【異常】  \r"), 1);
  const std::u16string unverified = u"警告： 証明書を検証できません（unable to get local issuer certificate）\r";
  EXPECT_EQ(std::count(items.begin(), items.end(), unverified), 8);
  for (const std::u16string& line :
       {u"## SMTP  チャレンジ ##  port：" + port(peers.smtpTls, u"t"), u"## FTP   チャレンジ ##  port：" + port(peers.ftps, u"s"),
        std::u16string(u"220 2.0.0 Ready to start TLS\r"), std::u16string(u"TLS： TLSv1.3 TLS_AES_256_GCM_SHA384\r"),
        std::u16string(u"名前： velkor-peer.localdomain, localhost, 127.0.0.1, ::1\r"), std::u16string(u"> STLS\r"),
        std::u16string(u"234 Proceed with negotiation.\r"), std::u16string(u"Host: 127.0.0.1\r")})
    EXPECT_TRUE(Has(line)) << ToUtf8(line);
  for (int i = 2; i < 5; ++i) EXPECT_EQ(Lamp(i), QColor(128, 255, 128)) << i;
  const std::u16string last = prog.readText("vkrLastErr.log");
  EXPECT_NE(last.find(u"（期限切れ）\r"), std::u16string::npos);
  EXPECT_NE(prog.readText("velkor1.log").find(u" *** ## HTTP  チャレンジ ##  port：" + port(peers.https, u"s")),
            std::u16string::npos);
}

// Servers of old or careless configurations, their authority trusted: a chain that verifies only at security level 0
// warns, so does a protocol below TLS 1.2; a certificate outside its validity period fails the check, its validity
// line saying which end it is outside of.
TEST_F(DiagRunWindowTest, WeakTlsWarnsAndACertificateOutsideItsPeriodFails) {
  const TlsVerdictPeers servers = MakeTlsVerdictPeers(EpochNow());
  WriteBytes(prog.file("ca.pem"), servers.caPem);
  const TrustedCa trusted(prog.file("ca.pem"));
  const std::u16string failed = u"---- 127.0.0.1 -- 【異常】  \r";
  const struct {
    const char* peer;
    bool passes;
    std::u16string part;  // found in one of the items; "" for no warning at all
  } rows[] = {
      {"valid", true, u""},
      {"md5", true, u"警告： 証明書を検証できません（CA signature digest algorithm too weak）\r"},
      {"rsa1024", true, u"警告： 証明書を検証できません（EE certificate key too weak）\r"},
      {"tls1.0", true, u"警告： 古いプロトコルです（TLSv1）\r"},
      {"tls1.1", true, u"警告： 古いプロトコルです（TLSv1.1）\r"},
      {"not yet valid", false, u"（有効期間前）\r"},
      {"expired", false, u"（期限切れ）\r"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.peer);
    ScriptServer server(HttpsScript(), servers.Of(row.peer));
    w->ClearResultItems();
    Child<QComboBox>("CmbHosts")->lineEdit()->clear();
    TypeEntry(u"127.0.0.1:-:-:-:" + ToU16(server.port()) + u"s");
    QTest::mouseClick(Child<QPushButton>("CmdDiag"), Qt::LeftButton);
    WaitForRunEnd();
    server.Received();
    const Texts items = Items();
    EXPECT_EQ(Has(kPassed), row.passes);
    EXPECT_EQ(Has(failed), !row.passes);
    EXPECT_TRUE(Has(u"HTTP/1.1 200 OK\r"));  // the dialogue ran in either case
    const auto warnings = std::count_if(items.begin(), items.end(), [](const std::u16string& item) {
      return item.rfind(u"警告： ", 0) == 0;
    });
    if (row.part.empty()) {
      EXPECT_EQ(warnings, 0);
    } else {
      EXPECT_TRUE(std::any_of(items.begin(), items.end(), [&](const std::u16string& item) {
        return item.find(row.part) != std::u16string::npos;
      })) << ToUtf8(row.part);
    }
  }
}

// Esc stops a share listing that hangs; its worker is left running, and the next run's listing waits for it and
// then lists the real server's shares, rather than report a NetBIOS failure.
TEST_F(DiagRunWindowTest, StoppedShareListingDoesNotSpoilTheNextRun) {
  uint16_t hangingPort = 0;
  const int hanging = ListenOnLoopback(8, &hangingPort);  // accepts, never answers
  SetSmbPort(hangingPort);
  SetSmbListBoundMs(3000);  // the library's own time-out follows it: the worker left behind ends within seconds
  TypeEntry(u"127.0.0.1:-:-:-:-");
  Child<QCheckBox>("ChkService1")->setChecked(true);
  QTimer::singleShot(400, w.get(), [this] { QTest::keyClick(w.get(), Qt::Key_Escape); });
  QTest::keyClick(Child<QComboBox>("CmbHosts")->lineEdit(), Qt::Key_Return);
  EXPECT_TRUE(Has(kStoppedLine));
  EXPECT_TRUE(SmbListingStuck());

  SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
  SetSmbListBoundMs(kSmbListBoundMs);
  QTest::keyClick(Child<QComboBox>("CmbHosts")->lineEdit(), Qt::Key_Return);
  WaitForRunEnd();
  EXPECT_FALSE(Has(kStoppedLine));
  EXPECT_TRUE(Has(u"ADMIN$    [Remote Admin]\r"));
  EXPECT_TRUE(Has(kPassed));
  EXPECT_FALSE(std::filesystem::exists(prog.file("vkrLastErr.log")));
  close(hanging);
}

// A bracketed IPv6 entry: one plain and one TLS peer per protocol on ::1 pass, a refused port fails; the host
// is the address without its brackets in the target line, the blocks, the last-error log and the script's argument.
TEST_F(DiagRunWindowTest, BracketedIpv6EntryReachesThePeersOnIpv6) {
  ASSERT_TRUE(peers.ipv6) << "the fixture starts the ::1 peers";
  settings.RunBat = u"1";
  std::string script = prog.file("vkrRunErr.bat");
  WriteBytes(script, "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/script-arg.txt\"\n");
  chmod(script.c_str(), 0755);
  auto pair = [](uint16_t plain, uint16_t tls) { return ToU16(plain) + u"," + ToU16(tls) + u"s"; };
  TypeEntry(u"[::1]:1," + pair(peers.smtp, peers.smtps) + u":" + pair(peers.pop, peers.pop3s) + u":" +
            pair(peers.ftp, peers.ftps) + u":" + pair(peers.http, peers.https));
  QTest::mouseClick(Child<QPushButton>("CmdDiag"), Qt::LeftButton);
  WaitForRunEnd();

  const Texts items = Items();
  EXPECT_EQ(items[0], u"[TargetHost] ::1");
  EXPECT_EQ(std::count(items.begin(), items.end(), u"---- ::1 -- 【正常】  \r"), 8);
  EXPECT_TRUE(Has(u"---- ::1 -- ［応答なし］"));
  for (const std::u16string& line :
       {std::u16string(u"Host: [::1]\r"), std::u16string(u"名前： velkor-peer.localdomain, localhost, 127.0.0.1, ::1\r"),
        std::u16string(u"+OK Dovecot (Debian) ready.\r"), std::u16string(u"220 (vsFTPd 3.0.3)\r")})
    EXPECT_TRUE(Has(line)) << ToUtf8(line);
  EXPECT_EQ(ReadBytes(prog.file("script-arg.txt")), "::1");
  EXPECT_NE(prog.readText("vkrLastErr.log").find(u"---- ::1 -- ［応答なし］\r\n"), std::u16string::npos);
}

TEST_F(DiagRunWindowTest, DueTickRunsByItselfAndResetsTheCounter) {
  settings.Interval = u"2";
  SystemSettings = settings;
  w->SetMonitorTickMs(40);
  w->Form_Activate();  // arms the timer
  TypeEntry(u"127.0.0.1:-:-:-:" + ToU16(peers.http));
  WaitForRunEnd();
  EXPECT_TRUE(Has(u"## HTTP  チャレンジ ##  port：" + ToU16(peers.http)));
  EXPECT_TRUE(Has(kPassed));
  QTRY_COMPARE_WITH_TIMEOUT(Child<QLabel>("LblTimerCounts")->text(), QString::fromUtf8("1 / 2 回"), 5000);
}

}  // namespace
