// The probes against the real servers an operator meets: postfix, dovecot,
// vsftpd and nginx on 127.0.0.1 (the tcp_peers fixture).
// velkor-fixtures: tcp_peers
#include <gtest/gtest.h>

#include "app/appstate.h"
#include "net/probes.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "util/clock.h"
#include "util/codepage.h"

namespace {

TEST(RealTcpPeers, EveryProbePassesWithWhatTheServersReallySay) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  ProgramInTempDir prog;
  SettingsMsgBoxFlag = true;
  const std::u16string postfix = u"220 velkor-peer.localdomain ESMTP Postfix\r\n> EHLO 127.0.0.1\r\n";
  const std::u16string vsftpd = u"> USER velkorprobe\r\n331 Please specify the password.\r\n> QUIT\r\n221 Goodbye.\r\n";
  const struct {
    ProbeKind kind;
    uint16_t port;
    std::u16string transcript;
    std::vector<std::u16string> reports;
  } rows[] = {
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
  for (int round = 0; round < 3; ++round) {  // each probe cleans up after itself
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
    EXPECT_EQ(http.substr(http.size() - 2), u"\r\n");
  }
  // On Linux 0.0.0.0 would reach this machine: a mistyped host must not report the local postfix.
  std::u16string zero = u"0.0.0.0", port = PortText(peers.smtp), transcript = u"untouched";
  EXPECT_FALSE(SmtpCheck(zero, port, transcript));
  EXPECT_EQ(transcript, u"untouched");
  EXPECT_EQ(prog.boxes.size(), 0u);
}

// Every TLS form against the real servers, with the fixture's authority trusted (and once without): the TLS lines
// in their place, the dialogue inside TLS as in plain text, an expired certificate failing after its dialogue.
TEST(RealTcpPeers, EveryTlsFormAgainstTheRealServers) {
  const TcpPeers peers = LoadTcpPeers();
  VELKOR_REQUIRE_TCP_PEERS(peers);
  ProgramInTempDir prog;
  SettingsMsgBoxFlag = true;
  using Texts = std::vector<std::u16string>;
  auto join = [](std::initializer_list<Texts> parts) {
    Texts all;
    for (const Texts& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const Texts tls = {u"TLS： TLSv1.…",
                     u"証明書： O = velkor test, CN = velkor-peer.localdomain / 発行者： O = velkor test, CN = velkor test CA",
                     u"名前： velkor-peer.localdomain, localhost, 127.0.0.1", u"有効期限： 20…"};
  const Texts postfix = {u"220 velkor-peer.localdomain ESMTP Postfix", u"> EHLO 127.0.0.1"};
  const Texts ehlo = {u"250-velkor-peer.localdomain", u"250-PIPELINING", u"250-SIZE 10240000", u"250-VRFY",
                      u"250-ETRN", u"250-ENHANCEDSTATUSCODES", u"250-8BITMIME", u"250-DSN", u"250 CHUNKING"};
  const Texts ehloTls = {u"250-velkor-peer.localdomain", u"250-PIPELINING", u"250-SIZE 10240000", u"250-VRFY",
                         u"250-ETRN", u"250-STARTTLS", u"250-ENHANCEDSTATUSCODES", u"250-8BITMIME", u"250-DSN",
                         u"250 CHUNKING"};
  const Texts smtpEnd = {u"> QUIT", u"221 2.0.0 Bye", u""};
  const Texts dovecot = {u"+OK Dovecot (Debian) ready."};
  const Texts popEnd = {u"> USER velkorprobe", u"+OK", u"> QUIT", u"+OK Logging out", u""};
  const Texts vsftpd = {u"220 (vsFTPd 3.0.3)"};
  const Texts ftpEnd = {u"> USER velkorprobe", u"331 Please specify the password.", u"> QUIT", u"221 Goodbye.", u""};
  const Texts get = {u"> GET / HTTP/1.0", u"Host: 127.0.0.1", u"", u"HTTP/1.1 200 OK", u"…"};
  const std::u16string unverified = u"警告： 証明書を検証できません（unable to get local issuer certificate）";
  auto failed = [](const std::u16string& reason) {
    return Texts{u"TLS エラー： " + reason};
  };
  const struct {
    const char* name;
    ProbeKind kind;
    uint16_t port;
    TlsMode mode;
    bool trusted, ok;
    Texts lines;  // ending in "…": a prefix; a lone "…" last: any further lines
    Texts reports = {};
  } rows[] = {
      {"587t", ProbeKind::Smtp, peers.smtpTls, TlsMode::StartTls, true, true,
       join({postfix, ehloTls, {u"> STARTTLS", u"220 2.0.0 Ready to start TLS"}, tls, {u"> EHLO 127.0.0.1"}, ehlo,
             smtpEnd})},
      {"465s", ProbeKind::Smtp, peers.smtps, TlsMode::Implicit, true, true, join({tls, postfix, ehlo, smtpEnd})},
      {"t where EHLO offers no STARTTLS", ProbeKind::Smtp, peers.smtp, TlsMode::StartTls, true, false,
       join({postfix, ehlo, failed(u"STARTTLS が提供されていません"), {u""}}),
       {u"TLS エラー： STARTTLS が提供されていません"}},
      {"110t", ProbeKind::Pop, peers.pop, TlsMode::StartTls, true, true,
       join({dovecot, {u"> STLS", u"+OK Begin TLS negotiation now."}, tls, popEnd})},
      {"995s", ProbeKind::Pop, peers.pop3s, TlsMode::Implicit, true, true, join({tls, dovecot, popEnd})},
      {"21t", ProbeKind::Ftp, peers.ftpTls, TlsMode::StartTls, true, true,
       join({vsftpd, {u"> AUTH TLS", u"234 Proceed with negotiation."}, tls, ftpEnd})},
      {"990s", ProbeKind::Ftp, peers.ftps, TlsMode::Implicit, true, true, join({tls, vsftpd, ftpEnd})},
      {"443s", ProbeKind::Http, peers.https, TlsMode::Implicit, true, true, join({tls, get})},
      {"443s, the system's trust store", ProbeKind::Http, peers.https, TlsMode::Implicit, false, true,
       join({tls, {unverified}, get})},
      {"443s, expired", ProbeKind::Http, peers.httpsExpired, TlsMode::Implicit, true, false,
       join({{tls[0], tls[1], tls[2], u"有効期限： 2020/0…"},
             {u"警告： 証明書を検証できません（certificate has expired）"}, get})},
      {"443s, another name", ProbeKind::Http, peers.httpsOther, TlsMode::Implicit, true, true,
       join({{tls[0], u"証明書： O = velkor test, CN = other.example / 発行者： O = velkor test, CN = velkor test CA",
              u"名前： other.example", tls[3], u"警告： 証明書の名前が対象と一致しません"},
             get})},
      {"s on a plain port", ProbeKind::Http, peers.http, TlsMode::Implicit, true, false,
       join({failed(u"wrong version number"), {u""}}), {u"TLS エラー： wrong version number"}},
      {"t on HTTP", ProbeKind::Http, peers.https, TlsMode::StartTls, true, false, {u"HTTP には t を使えません", u""}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const TrustedCa ca(row.trusted ? peers.caFile : "");
    prog.boxes.clear();
    std::u16string transcript;
    TlsFindings found;
    EXPECT_EQ(RunProbe(row.kind, u"127.0.0.1", row.port, u"velkorprobe", u"never-sent-9f3b", transcript, row.mode,
                       &found),
              row.ok);
    Texts lines;
    for (size_t pos = 0; pos <= transcript.size();) {
      const size_t crlf = std::min(transcript.find(u"\r\n", pos), transcript.size());
      lines.push_back(transcript.substr(pos, crlf - pos));
      pos = crlf + 2;
    }
    EXPECT_EQ(CutToPrefixes(lines, row.lines), row.lines);
    EXPECT_EQ(prog.boxes, row.reports);
    EXPECT_EQ(found.expired, row.port == peers.httpsExpired);
    // The fixture's certificates are valid for 825 days from its start.
    if (found.handshake && !found.expired) {
      EXPECT_NE(transcript.find(u"（残り 824 日）\r\n"), std::u16string::npos);
    }
  }
}

}  // namespace
