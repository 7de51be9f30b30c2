// velkor-fixtures: all_peers
// Whole runs as an operator starts them (Enter, the Diag button, a due tick)
// against the real loopback peers: postfix, dovecot, vsftpd, nginx and smbd.
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "net/smbshares.h"
#include "support/mainwindowfixture.h"
#include "support/peerport.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"

namespace {

using DiagRunWindowTest = MainWindowTest;

// Whole runs of every check against the real peers, plain and TLS, on IPv4 and IPv6, and a share listing stopped
// while it hangs: each case of tests/data/window-run.cases drives a window step by step; the file says how.
TEST_F(DiagRunWindowTest, WholeRunsAgainstThePeers) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: whole runs need root (raw ICMP and the real peers)";
  const TcpPeers peers = LoadTcpPeers();
  ASSERT_TRUE(peers.available) << "real TCP peers are not running: " << peers.why;
  ASSERT_NE(PeerPort("smb"), 0) << "the real smbd is not running (ctest fixture smb_peers)";
  SetMessageBoxHook([](const std::u16string&, const std::u16string&) {});
  settings.UserName = u"velkortest";
  settings.Password = u"Pw-never-sent";
  // The error script writes its argument beside itself.
  WriteBytes(dir.file("vkrRunErr.bat"), "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/script-arg.txt\"\n");
  chmod(dir.file("vkrRunErr.bat").c_str(), 0755);
  uint16_t hangingPort = 0;
  const int hanging = ListenOnLoopback(8, &hangingPort);  // accepts, never answers
  const CaseVars ports = {{"SMTP", std::to_string(peers.smtp)},       {"SMTPTLS", std::to_string(peers.smtpTls)},
                          {"SMTPS", std::to_string(peers.smtps)},     {"POP", std::to_string(peers.pop)},
                          {"POP3S", std::to_string(peers.pop3s)},     {"FTP", std::to_string(peers.ftp)},
                          {"FTPTLS", std::to_string(peers.ftpTls)},   {"FTPS", std::to_string(peers.ftps)},
                          {"HTTP", std::to_string(peers.http)},       {"HTTPS", std::to_string(peers.https)},
                          {"EXPIRED", std::to_string(peers.httpsExpired)}};
  std::optional<TrustedCa> system;
  std::map<std::string, Action> actions = {
      {"ipv6", [&peers](auto&) { ASSERT_TRUE(peers.ipv6) << "the fixture starts the ::1 peers"; }},
      {"system trust", [&system](auto&) { system.emplace(""); }},  // which does not know the fixture's authority
      {"open", [this](auto& v) {
         settings.RunBat = v == "script" ? u"1" : u"";
         Open([this] { runner = &InstallDiagRunner(*w); });
       }},
      {"wait for the end", [this](auto&) {
         ASSERT_TRUE(WaitUntil([this] { return w->isEnabled() && !runner->Running() && Items().size() > 3; }, 20000));
       }},
      // The library's own time-out follows the bound: a worker left behind ends within seconds.
      {"shares from", [hangingPort](auto& v) {
         SetSmbPort(v == "smbd" ? static_cast<uint16_t>(PeerPort("smb")) : hangingPort);
         SetSmbListBoundMs(v == "smbd" ? kSmbListBoundMs : v.section(' ', 1).toInt());
       }},
  };
  actions.merge(WindowActions());
  for (const Case& c : LoadCases("window-run.cases", ports)) {
    CASE_TRACE(c);
    for (const char* file : {"velkor1.log", "vkrLastErr.log", "script-arg.txt"}) {
      std::filesystem::remove(dir.file(file));
    }
    system.reset();
    Steps(c, actions);
  }
  close(hanging);
  SetSmbPort(kSmbDefaultPort);
}

}  // namespace
