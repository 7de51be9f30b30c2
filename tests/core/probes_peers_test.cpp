// The probes against the real servers an operator meets: postfix, dovecot,
// vsftpd and nginx on 127.0.0.1 (the tcp_peers fixture).
// velkor-fixtures: tcp_peers
#include <gtest/gtest.h>

#include "app/appstate.h"
#include "net/probes.h"
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
  const std::u16string postfix = u"220 velkor-peer.localdomain ESMTP Postfix\r\n> EHLO 127.0.0.1\r\n";
  const std::u16string vsftpd = u"> USER velkorprobe\r\n331 Please specify the password.\r\n> QUIT\r\n221 Goodbye.\r\n";
  using Reports = std::vector<std::u16string>;
  const struct { ProbeKind kind; uint16_t port; std::u16string transcript; Reports reports; } rows[] = {
      {ProbeKind::Smtp, peers.smtp,
       postfix + u"250-velkor-peer.localdomain\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250-VRFY\r\n250-ETRN\r\n"
                 u"250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250-DSN\r\n250 CHUNKING\r\n> QUIT\r\n221 2.0.0 Bye\r\n",
       {}},
      // Refusing EHLO with one line: HELO follows at once, not after a receive time-out.
      {ProbeKind::Smtp, peers.smtpNoEhlo,
       postfix + u"> HELO 127.0.0.1\r\n250 velkor-peer.localdomain\r\n> QUIT\r\n221 2.0.0 Bye\r\n",
       {u"WinSockCmdSend: EHLO コマンド：サーバにコマンドを拒否されました。",
        u"WinSockCmdSend:  (500 5.5.2 Error: command not recognized\r\n)"}},
      {ProbeKind::Pop, peers.pop,
       u"+OK Dovecot (Debian) ready.\r\n> USER velkorprobe\r\n+OK\r\n> QUIT\r\n+OK Logging out\r\n", {}},
      {ProbeKind::Ftp, peers.ftp, u"220 (vsFTPd 3.0.3)\r\n" + vsftpd, {}},
      {ProbeKind::Ftp, peers.ftpBanner,
       u"220-Welcome to the velkor test FTP peer.\r\n220-This banner has three lines\r\n"
       u"220-so that the greeting is a multi-line reply.\r\n220 \r\n" + vsftpd, {}},
  };
  for (int round = 0; round < 3; ++round) {
    for (const auto& row : rows) {
      SCOPED_TRACE(ToUtf8(row.transcript));
      prog.boxes.clear();
      std::u16string transcript;
      const int64_t start = MonotonicMs();
      EXPECT_TRUE(RunProbe(row.kind, u"127.0.0.1", row.port, u"velkorprobe", u"never-sent-9f3b", transcript));
      EXPECT_LT(MonotonicMs() - start, 2000);
      EXPECT_EQ(transcript, row.transcript);
      EXPECT_EQ(prog.boxes, row.reports);
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
