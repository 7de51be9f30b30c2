// The probes against the real servers an operator meets: postfix, dovecot,
// vsftpd and nginx on 127.0.0.1 (the tcp_peers fixture).
// velkor-fixtures: tcp_peers
#include <gtest/gtest.h>

#include "app/appstate.h"
#include "net/probes.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/tcppeers.h"
#include "util/clock.h"
#include "util/codepage.h"

// Each probe, three rounds over (each cleans up after itself), with the transcript the real server gives and the
// reports it causes.
TEST(RealTcpPeers, EveryProbePassesWithWhatTheServersReallySay) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  ProgramInTempDir prog;
  SettingsMsgBoxFlag = true;
  const CaseVars ports = {{"SMTP", std::to_string(peers.smtp)}, {"SMTP_NO_EHLO", std::to_string(peers.smtpNoEhlo)},
                          {"POP", std::to_string(peers.pop)},   {"FTP", std::to_string(peers.ftp)},
                          {"FTP_BANNER", std::to_string(peers.ftpBanner)}};
  const std::vector<Case> cases = LoadCases("peers-probes.cases", ports);
  for (int round = 0; round < 3; ++round) {
    for (const Case& c : cases) {
      CASE_TRACE(c);
      prog.boxes.clear();
      std::u16string transcript, want;
      for (const std::string& line : c.all("line")) want += FromUtf8(line) + u"\r\n";
      std::vector<std::u16string> boxes;
      for (const std::string& box : c.all("box")) boxes.push_back(FromUtf8(box));
      const std::vector<std::string> probe = c.words("probe");
      const ProbeKind kind = probe[0] == "Smtp" ? ProbeKind::Smtp : probe[0] == "Pop" ? ProbeKind::Pop : ProbeKind::Ftp;
      const int64_t start = MonotonicMs();
      EXPECT_TRUE(RunProbe(kind, u"127.0.0.1", std::stoi(probe[1]), u"velkorprobe", u"never-sent-9f3b", transcript));
      EXPECT_LT(MonotonicMs() - start, 2000);
      EXPECT_EQ(transcript, want);
      EXPECT_EQ(prog.boxes, boxes);
    }
    // nginx answers a 1.0 request with a 1.1 status line and closes; only the headers are kept.
    std::u16string http;
    EXPECT_TRUE(RunProbe(ProbeKind::Http, u"127.0.0.1", peers.http, u"", u"", http));
    const std::u16string head = u"> GET / HTTP/1.0\r\n\r\nHTTP/1.1 200 OK\r\nServer: nginx/";
    EXPECT_EQ(http.substr(0, head.size()), head);
    EXPECT_NE(http.find(u"\r\nConnection: close\r\n"), std::u16string::npos) << ToUtf8(http);
    EXPECT_EQ(http.find(u"\r\n\r\n", head.size()), std::u16string::npos);  // no blank line, no body
    EXPECT_TRUE(http.ends_with(u"\r\n"));
  }
  // On Linux 0.0.0.0 would reach this machine: a mistyped host must not report the local postfix.
  std::u16string zero = u"0.0.0.0", port = PortText(peers.smtp), transcript = u"untouched";
  EXPECT_FALSE(SmtpCheck(zero, port, transcript));
  EXPECT_EQ(transcript, u"untouched");
  EXPECT_EQ(prog.boxes.size(), 0u);
}
