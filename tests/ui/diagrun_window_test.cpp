// velkor-fixtures: all_peers
// Whole runs as an operator starts them (Enter, the Diag button, a due tick)
// against the real loopback peers: postfix, dovecot, vsftpd, nginx and smbd.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "diag/diagrun.h"
#include "net/smbshares.h"
#include "support/peerport.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/testcert.h"
#include "support/mainwindowfixture.h"
#include "ui/diagwiring.h"
#include "util/xcommon.h"

namespace {

const std::u16string kPassed = u"---- 127.0.0.1 -- 【正常】  \r";
const std::u16string kFailed = u"---- 127.0.0.1 -- 【異常】  \r";

class DiagRunWindowTest : public MainWindowTest {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: whole runs need root (raw ICMP and the real peers)";
    ASSERT_TRUE(peers.available) << "real TCP peers are not running: " << peers.why;
    ASSERT_NE(PeerPort("smb"), 0) << "the real smbd is not running (ctest fixture smb_peers)";
    MainWindowTest::SetUp();
    SetMessageBoxHook([](const std::u16string&, const std::u16string&) {});
    SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
    settings.UserName = u"velkortest";
    settings.Password = u"Pw-never-sent";
    // The error script writes its argument beside itself.
    WriteBytes(dir.file("vkrRunErr.bat"), "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/script-arg.txt\"\n");
    chmod(dir.file("vkrRunErr.bat").c_str(), 0755);
    Open([this] { runner = &InstallDiagRunner(*w); });
  }
  void TearDown() override {
    MainWindowTest::TearDown();
    SetSmbPort(kSmbDefaultPort);
  }
  // Types the entry (PING and NetBIOS ticked on `all`) and starts the run with Enter or the Diag button; waits
  // for its end.
  void Run(const std::u16string& entry, bool all = false) {
    Type(entry);
    Child<QCheckBox>("ChkService0")->setChecked(all);
    Child<QCheckBox>("ChkService1")->setChecked(all);
    if (all) QTest::keyClick(Edit(), Qt::Key_Return);
    else QTest::mouseClick(Child<QPushButton>("CmdDiag"), Qt::LeftButton);
    WaitForRunEnd();
  }
  void WaitForRunEnd() {
    ASSERT_TRUE(WaitUntil([this] { return w->isEnabled() && !runner->Running() && Items().size() > 3; }, 20000));
  }
  void ExpectLines(const Texts& lines) const {
    for (const std::u16string& line : lines) EXPECT_TRUE(Has(line)) << ToUtf8(line);
  }
  static std::u16string P(uint16_t port, const char16_t* suffix = u"") { return ToU16(port) + suffix; }

  TcpPeers peers = LoadTcpPeers();
  DiagRunner* runner = nullptr;
};

// All six checks from Enter against every real peer in plain and TLS forms, against the system's trust store (which
// does not know the fixture's authority): each TLS form passes with its warning, the headers name the suffixes, a
// refused port, STARTTLS asked of a server that does not offer it and the expired certificate fail; the SMTP lamp is
// mixed, HTTP's grey (its last port failed), the others pass; the error script gets the host and the last-error log
// the failures.
TEST_F(DiagRunWindowTest, EnterRunsEveryCheckOnPlainAndTlsPeers) {
  const TrustedCa system("");
  settings.RunBat = u"1";
  Run(u"127.0.0.1:1," + P(peers.smtp, u",") + P(peers.smtp, u"t,") + P(peers.smtpTls, u"t,") + P(peers.smtps, u"s:") +
          P(peers.pop, u",") + P(peers.pop, u"t,") + P(peers.pop3s, u"s:") + P(peers.ftp, u",") +
          P(peers.ftpTls, u"t,") + P(peers.ftps, u"s:") + P(peers.http, u",") + P(peers.https, u"s,") +
          P(peers.httpsExpired, u"s"),
      true);
  const Texts items = Items();
  EXPECT_EQ(items[0], u"[TargetHost] 127.0.0.1");
  EXPECT_EQ(items[1], u"velkor :  - - -  Start  - - -");
  EXPECT_EQ(Count(kPassed), 13);
  EXPECT_EQ(Count(kFailed), 2) << "STARTTLS not offered; the expired certificate";
  EXPECT_EQ(Count(u"警告： 証明書を検証できません（unable to get local issuer certificate）\r"), 8);
  ExpectLines({u"## PING チャレンジ ##", u"Target is alive.  40 bytes received.  (127.0.0.1)",
               u"ADMIN$    [Remote Admin]\r", u"## SMTP  チャレンジ ##  port：" + P(peers.smtp),
               u"## SMTP  チャレンジ ##  port：" + P(peers.smtpTls, u"t"),
               u"## POP   チャレンジ ##  port：" + P(peers.pop), u"## FTP   チャレンジ ##  port：" + P(peers.ftps, u"s"),
               u"> USER velkortest\r",
               u"331 Please specify the password.\r", u"HTTP/1.1 200 OK\r", u"---- 127.0.0.1 -- ［応答なし］",
               u"220 2.0.0 Ready to start TLS\r", u"TLS： TLSv1.3 TLS_AES_256_GCM_SHA384\r",
               u"名前： velkor-peer.localdomain, localhost, 127.0.0.1, ::1\r", u"> STLS\r",
               u"234 Proceed with negotiation.\r", u"Host: 127.0.0.1\r",
               u"TLS エラー： STARTTLS が提供されていません\r"});
  EXPECT_EQ(Lamp(0), QColor(80, 255, 128));
  EXPECT_EQ(Lamp(1), QColor(80, 255, 128));
  EXPECT_EQ(Lamp(2), QColor(255, 192, 128));
  EXPECT_EQ(Lamp(3), QColor(128, 255, 128));
  EXPECT_EQ(Lamp(4), QColor(128, 255, 128));
  EXPECT_EQ(Lamp(5), w->GreyedTextColour()) << "the last port failed";
  EXPECT_EQ(items[items.size() - 3], u"##  vkrRunErr.bat　実行開始");
  EXPECT_EQ(items[items.size() - 2], u"##  vkrRunErr.bat　実行終了");
  EXPECT_EQ(items.back(), u"velkor :  - - -   End   - - - \r");
  EXPECT_EQ(ReadBytes(dir.file("script-arg.txt")), "127.0.0.1");
  const std::u16string last = Text("vkrLastErr.log");
  EXPECT_NE(last.find(u"---- 127.0.0.1 -- ［応答なし］\r\n"), std::u16string::npos);
  EXPECT_NE(last.find(u"（期限切れ）\r"), std::u16string::npos);
  EXPECT_EQ(last.find(u"実行開始"), std::u16string::npos);
  const std::u16string log = Text("velkor1.log");
  EXPECT_NE(log.find(u" *** ---- 127.0.0.1 -- 【正常】  \r\n220 "), std::u16string::npos);
  EXPECT_NE(log.find(u" *** ## HTTP  チャレンジ ##  port：" + P(peers.https, u"s")), std::u16string::npos);
  EXPECT_EQ(log.find(u"Pw-never-sent"), std::u16string::npos);
}

// Esc stops a share listing that hangs; its worker is left running, and the next run's listing waits for it and
// then lists the real server's shares, rather than report a NetBIOS failure.
TEST_F(DiagRunWindowTest, StoppedShareListingDoesNotSpoilTheNextRun) {
  uint16_t hangingPort = 0;
  const int hanging = ListenOnLoopback(8, &hangingPort);  // accepts, never answers
  SetSmbPort(hangingPort);
  SetSmbListBoundMs(3000);  // the library's own time-out follows it: the worker left behind ends within seconds
  Type(u"127.0.0.1:-:-:-:-");
  Child<QCheckBox>("ChkService1")->setChecked(true);
  QTimer::singleShot(400, w.get(), [this] { QTest::keyClick(w.get(), Qt::Key_Escape); });
  QTest::keyClick(Edit(), Qt::Key_Return);
  EXPECT_TRUE(Has(kStoppedLine));
  EXPECT_TRUE(SmbListingStuck());

  SetSmbPort(static_cast<uint16_t>(PeerPort("smb")));
  SetSmbListBoundMs(kSmbListBoundMs);
  QTest::keyClick(Edit(), Qt::Key_Return);
  WaitForRunEnd();
  EXPECT_FALSE(Has(kStoppedLine));
  EXPECT_TRUE(Has(u"ADMIN$    [Remote Admin]\r"));
  EXPECT_TRUE(Has(kPassed));
  EXPECT_FALSE(std::filesystem::exists(dir.file("vkrLastErr.log")));
  close(hanging);
}

// A bracketed IPv6 entry: one plain and one TLS peer per protocol on ::1 pass, a refused port fails; the host
// is the address without its brackets in the target line, the blocks, the last-error log and the script's argument.
TEST_F(DiagRunWindowTest, BracketedIpv6EntryReachesThePeersOnIpv6) {
  ASSERT_TRUE(peers.ipv6) << "the fixture starts the ::1 peers";
  settings.RunBat = u"1";
  auto pair = [](uint16_t plain, uint16_t tls) { return ToU16(plain) + u"," + ToU16(tls) + u"s"; };
  Run(u"[::1]:1," + pair(peers.smtp, peers.smtps) + u":" + pair(peers.pop, peers.pop3s) + u":" +
      pair(peers.ftp, peers.ftps) + u":" + pair(peers.http, peers.https));
  EXPECT_EQ(Items()[0], u"[TargetHost] ::1");
  EXPECT_EQ(Count(u"---- ::1 -- 【正常】  \r"), 8);
  ExpectLines({u"---- ::1 -- ［応答なし］", u"Host: [::1]\r", u"名前： velkor-peer.localdomain, localhost, 127.0.0.1, ::1\r",
               u"+OK Dovecot (Debian) ready.\r", u"220 (vsFTPd 3.0.3)\r"});
  EXPECT_EQ(ReadBytes(dir.file("script-arg.txt")), "::1");
  EXPECT_NE(Text("vkrLastErr.log").find(u"---- ::1 -- ［応答なし］\r\n"), std::u16string::npos);
}

}  // namespace
