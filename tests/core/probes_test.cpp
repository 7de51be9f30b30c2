#include "net/probes.h"

#include <gtest/gtest.h>

#include <string>

#include "net/cmdsession.h"
#include "net/hostaddr.h"
#include "support/reportcapture.h"
#include "support/scriptserver.h"
#include "util/clock.h"
#include "util/codepage.h"

namespace {

const std::string kSecret = "s3cr3t-Pa55";

class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    SessionOptions o;
    o.timeoutSeconds = 1;
    o.replyWaitLimitMs = 3000;
    SetSessionOptions(o);
  }
  void TearDown() override {
    SetSessionOptions({});
    SetHostResolver({});
  }
  // Every byte a probe sent: never the password.
  static void ExpectNoSecret(const std::string& sent) {
    EXPECT_EQ(sent.find(kSecret), std::string::npos) << sent;
  }
  std::u16string host = u"127.0.0.1";
  std::u16string user = u"probe";
  std::u16string password = FromUtf8(kSecret);
  ReportCapture cap;
};

TEST_F(Probe, SmtpDialogueAndTranscript) {
  ScriptServer peer;
  peer.Send("220 mx.example ESMTP\r\n")
      .ReadLine()
      .Segments({"250-mx.example\r\n250-PIPELINING\r\n", "250 8BITMIME\r\n"})
      .ReadLine()
      .Send("221 2.0.0 Bye\r\n")
      .Start();
  std::u16string port = peer.port16(), transcript;
  EXPECT_TRUE(SmtpCheck(host, port, transcript)) << cap.Dump();
  EXPECT_EQ(transcript,
            u"220 mx.example ESMTP\r\n"
            u"> EHLO 127.0.0.1\r\n250-mx.example\r\n250-PIPELINING\r\n250 8BITMIME\r\n"
            u"> QUIT\r\n221 2.0.0 Bye\r\n");
  EXPECT_EQ(peer.Received(), "EHLO 127.0.0.1\r\nQUIT\r\n");
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
}

TEST_F(Probe, SmtpRejectedEhloMovesToHeloAtOnce) {
  ScriptServer peer;
  peer.Send("220 old.example\r\n")
      .ReadLine()
      .Send("502 5.5.2 Error: command not recognized\r\n")
      .ReadLine()
      .Send("250 old.example\r\n")
      .ReadLine()
      .Send("221 Bye\r\n")
      .Start();
  std::u16string h = u" 127.0.0.1 ", port = peer.port16(), transcript;
  const int64_t start = MonotonicMs();
  EXPECT_TRUE(SmtpCheck(h, port, transcript)) << cap.Dump();
  EXPECT_LT(MonotonicMs() - start, 500);
  EXPECT_EQ(transcript,
            u"220 old.example\r\n> EHLO 127.0.0.1\r\n> HELO 127.0.0.1\r\n250 old.example\r\n> QUIT\r\n221 Bye\r\n");
  EXPECT_EQ(peer.Received(), "EHLO 127.0.0.1\r\nHELO 127.0.0.1\r\nQUIT\r\n");
  EXPECT_EQ(cap.reports().size(), 2u) << cap.Dump();  // the EHLO rejection pair
}

TEST_F(Probe, SmtpMultiLineAndBareGreetingsPass) {
  for (const std::string greeting : {"220-mx.example ESMTP\r\n220-no UCE\r\n220 ready\r\n", "220\r\n"}) {
    ScriptServer peer;
    peer.Send(greeting).ReadLine().Send("250 ok\r\n").ReadLine().Send("221 bye\r\n").Start();
    std::u16string port = peer.port16(), transcript;
    EXPECT_TRUE(SmtpCheck(host, port, transcript)) << cap.Dump();
    EXPECT_EQ(transcript, FromUtf8(greeting) + u"> EHLO 127.0.0.1\r\n250 ok\r\n> QUIT\r\n221 bye\r\n");
  }
}

TEST_F(Probe, SmtpWrongGreetingIsReportedAndEmptiesTheTranscript) {
  for (const std::string greeting : {"554 go away\r\n", "220-first\r\n554 no\r\n", "2200 x\r\n"}) {
    ScriptServer peer;
    peer.Send(greeting).Start();
    std::u16string port = peer.port16(), transcript = u"old";
    cap.Clear();
    EXPECT_FALSE(SmtpCheck(host, port, transcript));
    EXPECT_EQ(transcript, u"");
    ASSERT_EQ(cap.reports().size(), 1u) << cap.Dump();
    EXPECT_EQ(cap.reports()[0], u"Connect　サーバにコネクトできません。 [SMTP] 127.0.0.1:" + port);
    EXPECT_EQ(peer.Received(), "");
  }
}

TEST_F(Probe, SmtpPeerClosingAfterTheGreetingFails) {
  ScriptServer peer;
  peer.Send("220 hi\r\n").Close().Start();
  std::u16string port = peer.port16(), transcript;
  EXPECT_FALSE(SmtpCheck(host, port, transcript));
  EXPECT_EQ(transcript.substr(0, 8), u"220 hi\r\n");
  EXPECT_NE(transcript.find(u"> QUIT\r\n"), std::u16string::npos);
  bool ehloReported = false;
  for (const auto& r : cap.reports())
    if (r.find(u"EHLO コマンドの応答メッセージを受信できません。") != std::u16string::npos) ehloReported = true;
  EXPECT_TRUE(ehloReported) << cap.Dump();
}

TEST_F(Probe, ConnectionFailureLeavesTheTranscriptAlone) {
  uint16_t closed;
  {
    IdleListener gone;
    closed = gone.port();
  }
  std::string p = std::to_string(closed);
  std::u16string port(p.begin(), p.end()), transcript = u"untouched";
  EXPECT_FALSE(SmtpCheck(host, port, transcript));
  EXPECT_FALSE(PopCheck(host, port, user, password, transcript));
  EXPECT_FALSE(FtpCheck(host, port, user, password, 0, transcript));
  EXPECT_FALSE(HttpCheck(host, port, transcript));
  EXPECT_EQ(transcript, u"untouched");
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();  // quiet sessions
}

TEST_F(Probe, UnknownHostAndAddressZeroNeverReachALocalPeer) {
  ScriptServer peer;
  peer.Send("220 local\r\n").Start();
  SetHostResolver([](const std::string&) { return 0u; });
  std::u16string port = peer.port16(), transcript = u"untouched";
  std::u16string unknown = u"no-such-host.invalid", zero = u"0.0.0.0";
  EXPECT_FALSE(SmtpCheck(unknown, port, transcript));
  EXPECT_FALSE(SmtpCheck(zero, port, transcript));
  EXPECT_EQ(transcript, u"untouched");
  SleepMs(50);
  EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(Probe, PopVerdictIsUserOrQuit) {
  struct Case {
    std::string user, quit;
    bool verdict;
  };
  for (const Case& c : {Case{"+OK\r\n", "+OK bye\r\n", true}, Case{"-ERR who\r\n", "+OK bye\r\n", true},
                        Case{"+OK x\r\n", "-ERR\r\n", true}, Case{"-ERR who\r\n", "-ERR no\r\n", false}}) {
    ScriptServer peer;
    peer.Send("+OK POP3 ready\r\n").ReadLine().Send(c.user).ReadLine().Send(c.quit).Start();
    std::u16string port = peer.port16(), transcript;
    EXPECT_EQ(PopCheck(host, port, user, password, transcript), c.verdict) << c.user << c.quit;
    EXPECT_EQ(transcript, u"+OK POP3 ready\r\n> USER probe\r\n" + FromUtf8(c.user) + u"> QUIT\r\n" + FromUtf8(c.quit));
    const std::string sent = peer.Received();
    EXPECT_EQ(sent, "USER probe\r\nQUIT\r\n");
    ExpectNoSecret(sent);
  }
}

TEST_F(Probe, PopBareOkGreetingPassesAndOtherGreetingsFail) {
  ScriptServer bare;
  bare.Send("+OK\r\n").ReadLine().Send("+OK\r\n").ReadLine().Send("+OK\r\n").Start();
  std::u16string port = bare.port16(), transcript;
  EXPECT_TRUE(PopCheck(host, port, user, password, transcript)) << cap.Dump();

  ScriptServer wrong;
  wrong.Send("+OKAY\r\n").Start();
  port = wrong.port16();
  EXPECT_FALSE(PopCheck(host, port, user, password, transcript));
  EXPECT_EQ(transcript, u"");
  ASSERT_EQ(cap.reports().size(), 1u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"Connect　サーバにコネクトできません。 [POP] 127.0.0.1:" + port);
}

TEST_F(Probe, FtpDialogueAndRejectedUser) {
  ScriptServer ok;
  ok.Send("220-Welcome\r\n220-to the test\r\n220 server\r\n")
      .ReadLine()
      .Send("331 Please specify the password.\r\n")
      .ReadLine()
      .Send("221 Goodbye.\r\n")
      .Start();
  std::u16string port = ok.port16(), transcript;
  EXPECT_TRUE(FtpCheck(host, port, user, password, 0, transcript)) << cap.Dump();
  EXPECT_EQ(transcript,
            u"220-Welcome\r\n220-to the test\r\n220 server\r\n> USER probe\r\n331 Please specify the password.\r\n"
            u"> QUIT\r\n221 Goodbye.\r\n");
  std::string sent = ok.Received();
  EXPECT_EQ(sent, "USER probe\r\nQUIT\r\n");
  ExpectNoSecret(sent);

  ScriptServer refusing;
  refusing.Send("220 ftp\r\n").ReadLine().Send("530 This FTP server is anonymous only.\r\n").Start();
  port = refusing.port16();
  EXPECT_FALSE(FtpCheck(host, port, user, password, 0, transcript));
  EXPECT_EQ(transcript, u"220 ftp\r\n> USER probe\r\n");
  sent = refusing.Received();
  EXPECT_EQ(sent, "USER probe\r\n");  // no QUIT after a refused USER

  ScriptServer wrong;
  wrong.Send("421 busy\r\n").Start();
  port = wrong.port16();
  cap.Clear();
  EXPECT_FALSE(FtpCheck(host, port, user, password, 0, transcript));
  ASSERT_EQ(cap.reports().size(), 1u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"Connect　サーバにコネクトできません。 [FTP] 127.0.0.1:" + port);
}

TEST_F(Probe, HttpVerdictAndHeaderCopy) {
  ScriptServer peer;
  peer.ReadLine()
      .ReadLine()
      .Send("HTTP/1.1 500 Internal Server Error\r\n   Server: test  \r\nContent-Length: 5\r\n\r\nhello\r\nmore\r\n")
      .Close()
      .Start();
  std::u16string port = peer.port16(), transcript = u"old";
  EXPECT_TRUE(HttpCheck(host, port, transcript)) << cap.Dump();
  EXPECT_EQ(transcript,
            u"> GET / HTTP/1.0\r\n\r\n"
            u"HTTP/1.1 500 Internal Server Error\r\nServer: test  \r\nContent-Length: 5\r\n");
  EXPECT_EQ(peer.Received(), "GET / HTTP/1.0\r\n\r\n");
}

TEST_F(Probe, HttpCopyStopsWhereNoLineEndFollowsAndBareLineFeedsGiveNothing) {
  ScriptServer open;
  open.ReadLine().ReadLine().Send("HTTP/1.0 200 OK\r\nX-A: 1\r\nX-B: cut").Close().Start();
  std::u16string port = open.port16(), transcript;
  EXPECT_TRUE(HttpCheck(host, port, transcript)) << cap.Dump();
  EXPECT_EQ(transcript, u"> GET / HTTP/1.0\r\n\r\nHTTP/1.0 200 OK\r\nX-A: 1\r\n");

  ScriptServer bare;
  bare.ReadLine().ReadLine().Send("HTTP/1.0 200 OK\nServer: lf\n\nbody\n").Close().Start();
  port = bare.port16();
  EXPECT_TRUE(HttpCheck(host, port, transcript)) << cap.Dump();
  EXPECT_EQ(transcript, u"> GET / HTTP/1.0\r\n\r\n");
}

TEST_F(Probe, HttpReplyThatIsNotHttpFails) {
  ScriptServer peer;
  peer.ReadLine().ReadLine().Send("SSH-2.0-OpenSSH\r\n\r\n").Close().Start();
  std::u16string port = peer.port16(), transcript;
  EXPECT_FALSE(HttpCheck(host, port, transcript));
  EXPECT_EQ(transcript, u"> GET / HTTP/1.0\r\n\r\nSSH-2.0-OpenSSH\r\n");
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: GET コマンド：サーバにコマンドを拒否されました。");
}

TEST_F(Probe, PortWithTrailingLettersIsTheLeadingNumber) {
  ScriptServer peer;
  peer.ReadLine().ReadLine().Send("HTTP/1.0 200 OK\r\n\r\n").Close().Start();
  std::u16string port = peer.port16() + u"x", transcript;
  EXPECT_TRUE(HttpCheck(host, port, transcript)) << cap.Dump();
}

TEST_F(Probe, PortAboveTheRangeFailsThatCheckOnly) {
  std::u16string port = u"99999", transcript = u"untouched";
  EXPECT_FALSE(SmtpCheck(host, port, transcript));
  EXPECT_EQ(transcript, u"untouched");
  ASSERT_EQ(cap.reports().size(), 1u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockManager: ポート番号が範囲外です。(99999)");
}

TEST_F(Probe, TricklingSmtpPeerEndsWithinTheWait) {
  SessionOptions o;
  o.timeoutSeconds = 2;
  o.replyWaitLimitMs = 800;
  SetSessionOptions(o);
  ScriptServer peer;
  peer.Send("220 slow\r\n").ReadLine().Trickle("250-slow\r\n", 200, 30).Start();
  std::u16string port = peer.port16(), transcript;
  const int64_t start = MonotonicMs();
  SmtpCheck(host, port, transcript);
  // EHLO ends at its wait limit; QUIT meets the remaining trickle and ends
  // the same way: two limits, never the peer's 6 seconds.
  EXPECT_LT(MonotonicMs() - start, 2200);
  int waits = 0;
  for (const auto& r : cap.reports())
    if (r.find(u"応答待ちでタイムアウトしました。") != std::u16string::npos) ++waits;
  EXPECT_GE(waits, 1);
  EXPECT_LE(waits, 2);
}

}  // namespace
