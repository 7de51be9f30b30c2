// The probes against the real servers an operator meets: postfix, dovecot,
// vsftpd and nginx on 127.0.0.1 (the tcp_peers fixture).
// velkor-fixtures: tcp_peers
#include <gtest/gtest.h>

#include <string>

#include "net/cmdsession.h"
#include "net/probes.h"
#include "support/reportcapture.h"
#include "support/tcppeers.h"
#include "util/clock.h"
#include "util/codepage.h"

namespace {

class RealPeers : public ::testing::Test {
 protected:
  void SetUp() override { VELKOR_REQUIRE_TCP_PEERS(peers); }
  TcpPeers peers = LoadTcpPeers();
  std::u16string host = u"127.0.0.1";
  std::u16string user = u"velkorprobe";
  std::u16string password = u"never-sent-9f3b";
  ReportCapture cap;
};

TEST_F(RealPeers, PostfixAnswersEhloWithItsExtensions) {
  std::u16string port = PortText(peers.smtp), transcript;
  EXPECT_TRUE(SmtpCheck(host, port, transcript)) << cap.Dump();
  EXPECT_EQ(transcript,
            u"220 velkor-peer.localdomain ESMTP Postfix\r\n"
            u"> EHLO 127.0.0.1\r\n"
            u"250-velkor-peer.localdomain\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250-VRFY\r\n250-ETRN\r\n"
            u"250-ENHANCEDSTATUSCODES\r\n250-8BITMIME\r\n250-DSN\r\n250 CHUNKING\r\n"
            u"> QUIT\r\n221 2.0.0 Bye\r\n");
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
}

TEST_F(RealPeers, PostfixRefusingEhloIsGreetedWithHeloAtOnce) {
  std::u16string port = PortText(peers.smtpNoEhlo), transcript;
  const int64_t start = MonotonicMs();
  EXPECT_TRUE(SmtpCheck(host, port, transcript)) << cap.Dump();
  EXPECT_LT(MonotonicMs() - start, 2000);  // not after a 30-second receive time-out
  EXPECT_EQ(transcript,
            u"220 velkor-peer.localdomain ESMTP Postfix\r\n"
            u"> EHLO 127.0.0.1\r\n"
            u"> HELO 127.0.0.1\r\n250 velkor-peer.localdomain\r\n"
            u"> QUIT\r\n221 2.0.0 Bye\r\n");
  // Only the EHLO rejection, nothing about receiving.
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: EHLO コマンド：サーバにコマンドを拒否されました。");
  EXPECT_EQ(cap.reports()[1], u"WinSockCmdSend:  (500 5.5.2 Error: command not recognized\r\n)");
}

TEST_F(RealPeers, DovecotAcceptsUserAndQuit) {
  std::u16string port = PortText(peers.pop), transcript;
  EXPECT_TRUE(PopCheck(host, port, user, password, transcript)) << cap.Dump();
  EXPECT_EQ(transcript,
            u"+OK Dovecot (Debian) ready.\r\n> USER velkorprobe\r\n+OK\r\n> QUIT\r\n+OK Logging out\r\n");
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
}

TEST_F(RealPeers, VsftpdAsksForThePasswordThatNeverComes) {
  std::u16string port = PortText(peers.ftp), transcript;
  EXPECT_TRUE(FtpCheck(host, port, user, password, 0, transcript)) << cap.Dump();
  EXPECT_EQ(transcript,
            u"220 (vsFTPd 3.0.3)\r\n> USER velkorprobe\r\n331 Please specify the password.\r\n"
            u"> QUIT\r\n221 Goodbye.\r\n");
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
}

TEST_F(RealPeers, VsftpdMultiLineBannerIsAHealthyGreeting) {
  std::u16string port = PortText(peers.ftpBanner), transcript;
  EXPECT_TRUE(FtpCheck(host, port, user, password, 0, transcript)) << cap.Dump();
  EXPECT_EQ(transcript,
            u"220-Welcome to the velkor test FTP peer.\r\n220-This banner has three lines\r\n"
            u"220-so that the greeting is a multi-line reply.\r\n220 \r\n"
            u"> USER velkorprobe\r\n331 Please specify the password.\r\n> QUIT\r\n221 Goodbye.\r\n");
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
}

TEST_F(RealPeers, NginxHeadersAreCopiedWithoutTheBody) {
  std::u16string port = PortText(peers.http), transcript;
  EXPECT_TRUE(HttpCheck(host, port, transcript)) << cap.Dump();
  const std::u16string head = u"> GET / HTTP/1.0\r\n\r\nHTTP/1.1 200 OK\r\nServer: nginx/";
  EXPECT_EQ(transcript.substr(0, head.size()), head);
  EXPECT_NE(transcript.find(u"\r\nContent-Type: text/html\r\n"), std::u16string::npos);
  EXPECT_NE(transcript.find(u"\r\nConnection: close\r\n"), std::u16string::npos);
  EXPECT_EQ(transcript.find(u"<html>"), std::u16string::npos);
  EXPECT_EQ(transcript.substr(transcript.size() - 2), u"\r\n");
  EXPECT_EQ(transcript.find(u"\r\n\r\n", head.size()), std::u16string::npos);
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
}

TEST_F(RealPeers, AddressZeroDoesNotReachTheLocalPostfix) {
  // On Linux 0.0.0.0 would connect to the local machine: a mistyped host
  // must not report this machine's postfix as the target's.
  std::u16string zero = u"0.0.0.0", port = PortText(peers.smtp), transcript = u"untouched";
  EXPECT_FALSE(SmtpCheck(zero, port, transcript));
  EXPECT_EQ(transcript, u"untouched");
}

TEST_F(RealPeers, ProbesRepeatCleanly) {
  // Each probe opens and closes its own session: ten rounds leave nothing behind.
  for (int i = 0; i < 10; ++i) {
    std::u16string t;
    std::u16string smtp = PortText(peers.smtp), pop = PortText(peers.pop), ftp = PortText(peers.ftp),
                   http = PortText(peers.http);
    ASSERT_TRUE(SmtpCheck(host, smtp, t)) << cap.Dump();
    ASSERT_TRUE(PopCheck(host, pop, user, password, t)) << cap.Dump();
    ASSERT_TRUE(FtpCheck(host, ftp, user, password, 0, t)) << cap.Dump();
    ASSERT_TRUE(HttpCheck(host, http, t)) << cap.Dump();
  }
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
}

}  // namespace
