// velkor-fixtures: all_peers
// Whole runs as an operator starts them (Enter, the Diag button, a due tick)
// against the real loopback peers: postfix, dovecot, vsftpd, nginx and smbd.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "diag/diagrun.h"
#include "net/smbshares.h"
#include "support/casefile.h"
#include "support/peerport.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/testcert.h"
#include "support/mainwindowfixture.h"
#include "ui/diagwiring.h"
#include "util/xcommon.h"

namespace {

const std::u16string kPassed = u"---- 127.0.0.1 -- 【正常】  \r";

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
  // What an expectation of a run case reads after the run, as text.
  std::u16string Probe(const std::string& key, const std::u16string& want) const {
    const std::string name = key.substr(key.find(' ') + 1);
    const Texts items = Items();
    const size_t blank = want.find(u' ');
    if (key == "line") return Has(want) ? want : u"(missing)";
    if (key == "count") return ToU16(Count(want.substr(blank + 1))) + want.substr(blank);
    const int index = key.starts_with("item ") ? std::stoi(name) : 0;
    if (key.starts_with("item ")) return items.at(index < 0 ? items.size() + index : index);
    if (key == "script arg") return FromUtf8(ReadBytes(dir.file("script-arg.txt")));
    if (key.starts_with("has ")) return Text(name).find(want) != std::u16string::npos ? want : Text(name);
    if (key.starts_with("lacks ")) return Text(name).find(want) == std::u16string::npos ? want : u"(found)";
    const QColor lamp = key.starts_with("lamp ") ? Lamp(std::stoi(name)) : QColor();
    if (lamp == w->GreyedTextColour()) return u"grey";
    if (lamp.isValid()) return QString("%1,%2,%3").arg(lamp.red()).arg(lamp.green()).arg(lamp.blue()).toStdU16String();
    ADD_FAILURE() << "no expectation is named " << key;
    return {};
  }

  TcpPeers peers = LoadTcpPeers();
  DiagRunner* runner = nullptr;
};

// Whole runs of every check against the real peers, plain and TLS, on IPv4 and IPv6: each case of
// tests/data/window-run.cases is typed into a new window and run; the file says what is expected.
TEST_F(DiagRunWindowTest, WholeRunsAgainstThePeers) {
  const CaseVars ports = {{"SMTP", std::to_string(peers.smtp)},       {"SMTPTLS", std::to_string(peers.smtpTls)},
                          {"SMTPS", std::to_string(peers.smtps)},     {"POP", std::to_string(peers.pop)},
                          {"POP3S", std::to_string(peers.pop3s)},     {"FTP", std::to_string(peers.ftp)},
                          {"FTPTLS", std::to_string(peers.ftpTls)},   {"FTPS", std::to_string(peers.ftps)},
                          {"HTTP", std::to_string(peers.http)},       {"HTTPS", std::to_string(peers.https)},
                          {"EXPIRED", std::to_string(peers.httpsExpired)}};
  for (const Case& c : LoadCases("window-run.cases", ports)) {
    CASE_TRACE(c);
    if (c.has("ipv6")) {
      ASSERT_TRUE(peers.ipv6) << "the fixture starts the ::1 peers";
    }
    for (const char* file : {"velkor1.log", "vkrLastErr.log", "script-arg.txt"}) {
      std::filesystem::remove(dir.file(file));
    }
    std::optional<TrustedCa> system;
    if (c.has("system trust")) system.emplace("");  // which does not know the fixture's authority
    settings.RunBat = c.has("script") ? u"1" : u"";
    Open([this] { runner = &InstallDiagRunner(*w); });
    Run(FromUtf8(c.get("entry")), c.has("all"));
    for (const auto& [key, value] : c.fields) {
      if (key == "entry" || key == "all" || key == "ipv6" || key == "script" || key == "system trust") continue;
      const std::u16string want = FromUtf8(Unescape(value));
      EXPECT_EQ(ToUtf8(Probe(key, want)), ToUtf8(want)) << key;
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

}  // namespace
