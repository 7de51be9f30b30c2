#include "net/cmdsession.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "net/hostaddr.h"
#include "net/sockerr.h"
#include "net/winsock.h"
#include "support/reportcapture.h"
#include "support/scriptserver.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

std::u16string U(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

class Session : public ::testing::Test {
 protected:
  void SetUp() override { SetSessionOptions(Quick()); }
  void TearDown() override {
    SetSessionOptions({});
    SetDoEventsHook({});
    SetHostResolver({});
    RecvWaiting = false;
    RecvTimedOut = false;
    while (ws::WSACleanup() == 0) {
    }
  }
  static SessionOptions Quick() {
    SessionOptions o;
    o.timeoutSeconds = 1;
    o.timeoutMicros = 0;
    o.replyWaitLimitMs = 3000;
    return o;
  }
  // Opens a session to the peer; the greeting (unless skipped) is read.
  int32_t Open(ScriptServer& peer, std::u16string* greeting = nullptr, bool skip = false) {
    std::u16string host = u"127.0.0.1", port = peer.port16(), g;
    int32_t s = -1;
    EXPECT_TRUE(WinSockManager(host, port, s, g, skip, false)) << cap.Dump();
    if (greeting) *greeting = g;
    return s;
  }
  ReportCapture cap;
};

TEST(CmdReplyTable, HundredAndOneEntriesWithTheDefinedRows) {
  const CmdReplyTableType t = CmdReplyTable();
  ASSERT_EQ(t.size(), 101u);
  struct Row {
    int no;
    const char16_t* name;
    const char16_t* c1;
    const char16_t* c2;
    const char16_t* c3;
  };
  const Row rows[] = {
      {0, u"HELO コマンド", u"250 ", u"    ", u"    "},     {1, u"MAIL FROM コマンド", u"250 ", u"    ", u"    "},
      {2, u"RCPT TO コマンド", u"250 ", u"251 ", u"    "}, {3, u"DATA コマンド", u"354 ", u"    ", u"    "},
      {4, u"データ", u"250 ", u"    ", u"    "},            {5, u"QUIT コマンド", u"221 ", u"    ", u"    "},
      {6, u"EHLO コマンド", u"250-", u"250 ", u"    "},     {7, u"AUTH コマンド", u"334 ", u"235 ", u"502 "},
      {10, u"USER コマンド", u"+OK ", u"    ", u"    "},    {11, u"PASS コマンド", u"+OK ", u"    ", u"    "},
      {12, u"STAT コマンド", u"+OK ", u"    ", u"    "},    {13, u"LIST コマンド", u"+OK ", u"    ", u"    "},
      {14, u"RETR コマンド", u"+OK ", u"    ", u"    "},    {15, u"DELE コマンド", u"+OK ", u"    ", u"    "},
      {16, u"RSET コマンド", u"+OK ", u"    ", u"    "},    {18, u"QUIT コマンド", u"+OK ", u"    ", u"    "},
      {90, u"USER コマンド", u"331 ", u"    ", u"    "},    {91, u"PASS コマンド", u"230 ", u"    ", u"    "},
      {92, u"QUIT コマンド", u"221 ", u"    ", u"    "},    {95, u"GET コマンド", u"    ", u"    ", u"    "},
  };
  int defined = 0;
  for (int no = 0; no <= 100; ++no) {
    SCOPED_TRACE(no);
    const CmdReplyEntry& e = t[static_cast<size_t>(no)];
    const Row* row = nullptr;
    for (const Row& r : rows)
      if (r.no == no) row = &r;
    if (row) {
      ++defined;
      EXPECT_EQ(e.CmdName, row->name);
      EXPECT_EQ(e.OkCode1, row->c1);
      EXPECT_EQ(e.OkCode2, row->c2);
      EXPECT_EQ(e.OkCode3, row->c3);
      EXPECT_EQ(e.ReplyHead, no == 95 ? u"HTTP" : u"");
    } else {
      EXPECT_EQ(e.CmdName, u"");
      EXPECT_EQ(e.ReplyHead, u"");
      EXPECT_EQ(e.OkCode1, u"    ");
      EXPECT_EQ(e.OkCode2, u"    ");
      EXPECT_EQ(e.OkCode3, u"    ");
    }
  }
  EXPECT_EQ(defined, 20);
}

TEST(PortValue, LeadingDigitsSaturating) {
  EXPECT_EQ(PortValue(u"25"), 25);
  EXPECT_EQ(PortValue(u"25abc"), 25);
  EXPECT_EQ(PortValue(u"abc"), 0);
  EXPECT_EQ(PortValue(u"40000"), 40000);
  EXPECT_EQ(PortValue(u"65535"), 65535);
  EXPECT_GT(PortValue(u"65536"), 65535);
  EXPECT_GT(PortValue(u"99999999999999999999999999"), 65535);
  EXPECT_EQ(PortValue(u"２５"), 0);  // full-width digits are not digits
}

TEST(FinalReplyLine, FirstLineUnlessItAnnouncesMore) {
  EXPECT_EQ(FinalReplyLine(u"250 ok\r\n"), u"250 ok\r\n");
  EXPECT_EQ(FinalReplyLine(u"250-a\r\n250-b\r\n250 c\r\n"), u"250 c\r\n");
  EXPECT_EQ(FinalReplyLine(u"220-a\r\nfree text 220 x\r\n220\r\n"), u"220\r\n");
  EXPECT_EQ(FinalReplyLine(u"250-a\r\n550 no\r\n"), u"550 no\r\n");
  EXPECT_EQ(FinalReplyLine(u"250-a\r\n250-b\r\n"), u"250-a\r\n");  // no final line came
  EXPECT_EQ(FinalReplyLine(u"+OK\r\n"), u"+OK\r\n");
  EXPECT_EQ(FinalReplyLine(u"250-a\n250 b\n"), u"250 b\n");
}

TEST_F(Session, EmptyHostOrPortFailsSilentlyWithoutStartingTheLibrary) {
  std::u16string host = u"   ", port = u"25", greeting = u"old";
  int32_t s = 12345;
  EXPECT_FALSE(WinSockManager(host, port, s, greeting, false, false));
  EXPECT_EQ(host, u"");
  EXPECT_EQ(greeting, u"");
  EXPECT_EQ(s, 12345);
  host = u"127.0.0.1";
  port = u"  ";
  EXPECT_FALSE(WinSockManager(host, port, s, greeting, false, false));
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
  EXPECT_EQ(ws::WSACleanup(), -1);  // nothing was started
}

TEST_F(Session, SegmentedGreetingIsReadToItsLineEndAndTheRestStaysInTheSocket) {
  ScriptServer peer;
  peer.Segments({"22", "0 mail.exa", "mple ready\r\n250 early\r\n"}).Start();
  std::u16string host = u"  127.0.0.1 ", port = u" " + peer.port16() + u" ", greeting;
  int32_t s = -1;
  ASSERT_TRUE(WinSockManager(host, port, s, greeting, false, true));
  EXPECT_EQ(host, u"127.0.0.1");
  EXPECT_EQ(port, peer.port16());
  EXPECT_EQ(greeting, u"220 mail.example ready\r\n");
  std::u16string reply, code;
  EXPECT_TRUE(WinSockCmdSend(s, 0, u"HELO me\r\n", reply, code));
  EXPECT_EQ(reply, u"250 early\r\n");
  EXPECT_EQ(code, u"250 ");
  WinSockClose(s);
  EXPECT_EQ(peer.Received(), "HELO me\r\n");
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
}

TEST_F(Session, MultiLineGreetingIsReadToItsFinalLine) {
  ScriptServer peer;
  peer.Segments({"220-first\r\n", "free text inside\r\n220-more\r\n", "220 last\r\n"}).ReadLine().Send("221 bye\r\n").Start();
  std::u16string greeting;
  int32_t s = Open(peer, &greeting);
  EXPECT_EQ(greeting, u"220-first\r\nfree text inside\r\n220-more\r\n220 last\r\n");
  std::u16string reply, code;
  EXPECT_TRUE(WinSockCmdSend(s, 92, u"QUIT\r\n", reply, code));
  EXPECT_EQ(reply, u"221 bye\r\n");
  WinSockClose(s);
}

TEST_F(Session, EhloReplyInSeparateSegmentsIsOneAcceptedReply) {
  ScriptServer peer;
  peer.Send("220 hi\r\n").ReadLine().Segments({"250-mx.example\r\n", "250-SIZE 100\r\n", "250 HELP\r\n"}).Start();
  int32_t s = Open(peer);
  std::u16string reply, code;
  EXPECT_TRUE(WinSockCmdSend(s, 6, u"EHLO me\r\n", reply, code));
  EXPECT_EQ(reply, u"250-mx.example\r\n250-SIZE 100\r\n250 HELP\r\n");
  EXPECT_EQ(code, u"250 ");
  WinSockClose(s);
}

TEST_F(Session, FinalLineWithAnotherCodeEndsTheReplyAndIsJudged) {
  ScriptServer peer;
  peer.Send("220 hi\r\n").ReadLine().Send("250-a\r\n550 no\r\n").Start();
  int32_t s = Open(peer);
  std::u16string reply, code;
  EXPECT_FALSE(WinSockCmdSend(s, 6, u"EHLO me\r\n", reply, code));
  EXPECT_EQ(code, u"550 ");
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: EHLO コマンド：サーバにコマンドを拒否されました。");
  EXPECT_EQ(cap.reports()[1], u"WinSockCmdSend:  (250-a\r\n550 no\r\n)");
  WinSockClose(s);
}

TEST_F(Session, SingleLineRejectionOfEhloEndsAtOnce) {
  ScriptServer peer;
  peer.Send("220 hi\r\n").ReadLine().Send("502 5.5.2 Error: command not recognized\r\n").Start();
  int32_t s = Open(peer);
  std::u16string reply, code;
  const int64_t start = MonotonicMs();
  EXPECT_FALSE(WinSockCmdSend(s, 6, u"EHLO me\r\n", reply, code));
  EXPECT_LT(MonotonicMs() - start, 500);
  EXPECT_EQ(code, u"502 ");
  EXPECT_EQ(cap.reports().size(), 2u) << cap.Dump();
  WinSockClose(s);
}

TEST_F(Session, PopRepliesBareOkAndErr) {
  ScriptServer peer;
  peer.Send("+OK\r\n").ReadLine().Send("+OK\r\n").ReadLine().Send("-ERR no such user\r\n").Start();
  std::u16string greeting;
  int32_t s = Open(peer, &greeting);
  EXPECT_EQ(greeting, u"+OK\r\n");
  std::u16string reply, code;
  EXPECT_TRUE(WinSockCmdSend(s, 10, u"USER a\r\n", reply, code));
  EXPECT_EQ(code, u"+OK ");
  EXPECT_FALSE(WinSockCmdSend(s, 10, u"USER b\r\n", reply, code));
  EXPECT_EQ(code, u"-ERR");
  EXPECT_EQ(reply, u"-ERR no such user\r\n");
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: USER コマンド：サーバにコマンドを拒否されました。");
  EXPECT_EQ(cap.reports()[1], u"WinSockCmdSend:  (-ERR no such user\r\n)");
  WinSockClose(s);
}

TEST_F(Session, HttpStatusLineIsJudgedOnlyByItsHead) {
  for (const std::string status : {"HTTP/1.1 404 Not Found", "HTTP/1.0 500 Internal Server Error"}) {
    ScriptServer peer;
    peer.ReadLine().ReadLine().Send(status + "\r\nServer: x\r\n\r\nbody").Close().Start();
    int32_t s = Open(peer, nullptr, true);
    std::u16string reply, code = u"old";
    EXPECT_TRUE(WinSockCmdSend(s, 95, u"GET / HTTP/1.0\r\n\r\n", reply, code)) << cap.Dump();
    EXPECT_EQ(code, u"");
    EXPECT_EQ(reply.substr(0, status.size()), U(status));
    WinSockClose(s);
  }
  ScriptServer other;
  other.ReadLine().Send("<html>hello</html>\r\n\r\n").Close().Start();
  int32_t s = Open(other, nullptr, true);
  std::u16string reply, code;
  EXPECT_FALSE(WinSockCmdSend(s, 95, u"GET / HTTP/1.0\r\n\r\n", reply, code));
  WinSockClose(s);
  EXPECT_EQ(cap.reports().size(), 2u) << cap.Dump();
}

TEST_F(Session, HttpReplyEndsAtTheHeadersBlankLineWhileThePeerStaysOpen) {
  ScriptServer peer;
  peer.ReadLine().ReadLine().Send("HTTP/1.1 200 OK\r\nA: b\r\n\r\n").Delay(5000).Start();
  int32_t s = Open(peer, nullptr, true);
  std::u16string reply, code;
  const int64_t start = MonotonicMs();
  EXPECT_TRUE(WinSockCmdSend(s, 95, u"GET / HTTP/1.0\r\n\r\n", reply, code));
  EXPECT_LT(MonotonicMs() - start, 500);
  EXPECT_EQ(reply, u"HTTP/1.1 200 OK\r\nA: b\r\n\r\n");
  WinSockClose(s);
}

TEST_F(Session, PeerCloseAfterDataEndsTheReply) {
  ScriptServer peer;
  peer.ReadLine().ReadLine().Send("HTTP/1.0 200 OK\r\nX: y").Close().Start();
  int32_t s = Open(peer, nullptr, true);
  std::u16string reply, code;
  EXPECT_TRUE(WinSockCmdSend(s, 95, u"GET / HTTP/1.0\r\n\r\n", reply, code)) << cap.Dump();
  EXPECT_EQ(reply, u"HTTP/1.0 200 OK\r\nX: y");
  WinSockClose(s);

  ScriptServer pop;
  pop.Send("+OK hi\r\n").ReadLine().Send("+OK bye").Close().Start();
  s = Open(pop);
  EXPECT_TRUE(WinSockCmdSend(s, 18, u"QUIT\r\n", reply, code)) << cap.Dump();
  EXPECT_EQ(reply, u"+OK bye");
  WinSockClose(s);
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
}

TEST_F(Session, PeerClosedBeforeAnsweringGivesTheReceiveError) {
  ScriptServer peer;
  peer.Send("220 hi\r\n").Close().Start();
  int32_t s = Open(peer);
  SleepMs(50);
  std::u16string reply = u"old", code;
  EXPECT_FALSE(WinSockCmdSend(s, 6, u"EHLO me\r\n", reply, code));
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  const std::u16string& first = cap.reports()[0];
  EXPECT_EQ(first.rfind(u"WinSockCmdSend: EHLO コマンドの応答メッセージを受信できません。(recv) error: ", 0), 0u);
  EXPECT_FALSE(RecvWaiting);
  WinSockClose(s);
}

TEST_F(Session, ResetGivesTheReceiveErrorWith10054) {
  ScriptServer peer;
  peer.Send("+OK hi\r\n").ReadLine().Reset().Start();
  int32_t s = Open(peer);
  std::u16string reply, code;
  EXPECT_FALSE(WinSockCmdSend(s, 10, u"USER a\r\n", reply, code));
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: USER コマンドの応答メッセージを受信できません。(recv) error: -1");
  EXPECT_EQ(cap.reports()[1], u"WinSockCmdSend: " + SocketErrorText(10054));
  WinSockClose(s);
}

TEST_F(Session, ReplyThatNeverEndsFailsAfterTheReceiveTimeOut) {
  SessionOptions o = Quick();
  o.timeoutSeconds = 0;
  o.timeoutMicros = 300000;
  SetSessionOptions(o);
  ScriptServer peer;
  peer.Send("+OK hi\r\n").ReadLine().Send("+OK no line end").Delay(5000).Start();
  int32_t s = Open(peer);
  std::u16string reply, code;
  const int64_t start = MonotonicMs();
  EXPECT_FALSE(WinSockCmdSend(s, 10, u"USER a\r\n", reply, code));
  EXPECT_LT(MonotonicMs() - start, 1000);
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: USER コマンドの応答メッセージを受信できません。(recv) error: -1");
  EXPECT_EQ(cap.reports()[1], u"WinSockCmdSend: " + SocketErrorText(10060));
  WinSockClose(s);
}

TEST_F(Session, TricklingPeerIsCutAtTheReplyWaitWithOneReport) {
  SessionOptions o = Quick();
  o.timeoutSeconds = 2;
  o.replyWaitLimitMs = 600;
  SetSessionOptions(o);
  ScriptServer peer;
  peer.Send("220 hi\r\n").ReadLine().Trickle("250-still here\r\n", 100, 40).Start();
  int32_t s = Open(peer);
  std::u16string reply, code;
  const int64_t start = MonotonicMs();
  // Judged on the first line, as no final line came: EHLO accepts "250-".
  EXPECT_TRUE(WinSockCmdSend(s, 6, u"EHLO me\r\n", reply, code));
  const int64_t took = MonotonicMs() - start;
  EXPECT_GE(took, 600);
  EXPECT_LT(took, 900);
  EXPECT_EQ(code, u"250-");
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: EHLO コマンド：応答待ちでタイムアウトしました。0(秒)");
  EXPECT_EQ(cap.reports()[1], u"WinSockCmdSend:  (" + reply + u")");
  EXPECT_EQ(reply.substr(0, 16), u"250-still here\r\n");
  WinSockClose(s);
}

TEST_F(Session, BytesWithoutLineEndCannotStretchTheWait) {
  SessionOptions o = Quick();
  o.timeoutSeconds = 5;
  o.replyWaitLimitMs = 500;
  SetSessionOptions(o);
  ScriptServer peer;
  // One byte now, the next one long after the wait should have ended.
  peer.Send("+OK hi\r\n").ReadLine().Send("x").Delay(3000).Send("y\r\n").Start();
  int32_t s = Open(peer);
  std::u16string reply, code;
  const int64_t start = MonotonicMs();
  EXPECT_FALSE(WinSockCmdSend(s, 10, u"USER a\r\n", reply, code));
  EXPECT_LT(MonotonicMs() - start, 800);
  EXPECT_EQ(reply, u"x");
  ASSERT_EQ(cap.reports().size(), 4u) << cap.Dump();  // the wait, its reply, the rejection pair
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: USER コマンド：応答待ちでタイムアウトしました。0(秒)");
  EXPECT_EQ(cap.reports()[2], u"WinSockCmdSend: USER コマンド：サーバにコマンドを拒否されました。");
  WinSockClose(s);
}

TEST_F(Session, ReplyPastTheCapEndsWithMessageTooLong) {
  SessionOptions o = Quick();
  o.replyCapBytes = 1000;
  SetSessionOptions(o);
  ScriptServer peer;
  peer.Send("220 hi\r\n").ReadLine().Send(std::string(5000, 'a')).Delay(3000).Start();
  int32_t s = Open(peer);
  std::u16string reply, code;
  EXPECT_FALSE(WinSockCmdSend(s, 0, u"HELO me\r\n", reply, code));
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: HELO コマンドの応答メッセージを受信できません。(recv) error: -1");
  EXPECT_EQ(cap.reports()[1], u"WinSockCmdSend: " + SocketErrorText(10040));
  EXPECT_FALSE(RecvWaiting);
  WinSockClose(s);
}

TEST_F(Session, GreetingTimeOutCountsForTheWholeGreeting) {
  SessionOptions o = Quick();
  o.timeoutSeconds = 0;
  o.timeoutMicros = 500000;
  SetSessionOptions(o);
  ScriptServer peer;
  peer.Trickle("2", 100, 30).Start();  // a byte every 100 ms, never a line end
  std::u16string host = u"127.0.0.1", port = peer.port16(), greeting;
  int32_t s = -1;
  const int64_t start = MonotonicMs();
  EXPECT_FALSE(WinSockManager(host, port, s, greeting, false, false));
  const int64_t took = MonotonicMs() - start;
  EXPECT_GE(took, 480);
  EXPECT_LT(took, 900);
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockManager: Connect recv() error: -1");
  EXPECT_EQ(cap.reports()[1], u"WinSockManager: " + SocketErrorText(10060));
  EXPECT_EQ(ws::WSACleanup(), -1);  // WinSockClose already stopped the library
}

TEST_F(Session, GreetingPastTheCapEndsWithMessageTooLong) {
  SessionOptions o = Quick();
  o.replyCapBytes = 1000;
  SetSessionOptions(o);
  ScriptServer peer;
  peer.Send(std::string(3000, 'x')).Delay(3000).Start();
  std::u16string host = u"127.0.0.1", port = peer.port16(), greeting;
  int32_t s = -1;
  EXPECT_FALSE(WinSockManager(host, port, s, greeting, false, false));
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockManager: Connect recv() error: -1");
  EXPECT_EQ(cap.reports()[1], u"WinSockManager: " + SocketErrorText(10040));
}

TEST_F(Session, GreetingOfAPeerThatClosesFailsQuietly) {
  ScriptServer peer;
  peer.Send("220 no line end").Close().Start();
  std::u16string host = u"127.0.0.1", port = peer.port16(), greeting;
  int32_t s = -1;
  EXPECT_FALSE(WinSockManager(host, port, s, greeting, false, true));
  EXPECT_TRUE(cap.reports().empty()) << cap.Dump();
  EXPECT_EQ(greeting, u"");
}

TEST_F(Session, CommandNumberOutsideTheRows) {
  ScriptServer peer;
  peer.Send("220 hi\r\n").ReadLine().Send("\r\n").ReadLine().Send("250 ok\r\n").Start();
  int32_t s = Open(peer);
  std::u16string reply, code;
  EXPECT_TRUE(WinSockCmdSend(s, 50, u"NOOP\r\n", reply, code));
  EXPECT_EQ(code, u"    ");
  EXPECT_FALSE(WinSockCmdSend(s, 50, u"NOOP\r\n", reply, code));
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: ：サーバにコマンドを拒否されました。");
  cap.Clear();
  // Beyond the table: the common error report.
  EXPECT_FALSE(WinSockCmdSend(s, 101, u"NOOP\r\n", reply, code));
  ASSERT_EQ(cap.reports().size(), 1u) << cap.Dump();
  EXPECT_NE(cap.reports()[0].find(u"エラー番号 : 5 -- "), std::u16string::npos) << cap.Dump();
  WinSockClose(s);
}

TEST_F(Session, FailedSendLeavesThePreviousReply) {
  std::u16string reply = u"previous", code;
  EXPECT_FALSE(WinSockCmdSend(987654, 5, u"QUIT\r\n", reply, code));
  EXPECT_EQ(reply, u"previous");
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: QUIT コマンド を送信できません。(send)");
  EXPECT_EQ(cap.reports()[1], u"WinSockCmdSend: " + SocketErrorText(10038));
}

TEST_F(Session, MessageDataWithoutTerminatorExpectsNoReply) {
  ScriptServer peer;
  peer.Send("220 hi\r\n").Start();
  int32_t s = Open(peer);
  std::u16string reply = u"previous", code;
  EXPECT_TRUE(WinSockCmdSend(s, 4, u"Subject: x\r\n", reply, code));
  EXPECT_EQ(reply, u"previous");
  WinSockClose(s);
  EXPECT_EQ(peer.Received(), "Subject: x\r\n");
}

TEST_F(Session, WatchdogFlagEndsTheWait) {
  ScriptServer peer;
  // The flag is looked at before each receive: the peer keeps the reply going.
  peer.Send("220 hi\r\n").ReadLine().Trickle("221-wait\r\n", 50, 60).Start();
  int32_t s = Open(peer);
  int ticks = 0;
  SetDoEventsHook([&] {
    if (RecvWaiting && ++ticks > 3) RecvTimedOut = true;
  });
  std::u16string reply, code;
  EXPECT_FALSE(WinSockCmdSend(s, 5, u"QUIT\r\n", reply, code));
  ASSERT_EQ(cap.reports().size(), 1u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockCmdSend: QUIT コマンド：recv タイムアウト");
  EXPECT_FALSE(RecvWaiting);
  SetDoEventsHook({});
  WinSockClose(s);
}

TEST_F(Session, EventLoopRunsThroughoutAnExchange) {
  ScriptServer peer;
  peer.Send("220 hi\r\n").ReadLine().Delay(400).Send("221 bye\r\n").Start();
  int32_t s = Open(peer);
  int64_t last = MonotonicMs(), longest = 0;
  SetDoEventsHook([&] {
    const int64_t now = MonotonicMs();
    longest = std::max(longest, now - last);
    last = now;
  });
  std::u16string reply, code;
  last = MonotonicMs();
  EXPECT_TRUE(WinSockCmdSend(s, 5, u"QUIT\r\n", reply, code));
  EXPECT_LE(longest, 60);
  SetDoEventsHook({});
  WinSockClose(s);
}

TEST_F(Session, PortWithTrailingLettersAndHighPorts) {
  ScriptServer peer;
  peer.Send("220 hi\r\n").Start();
  std::u16string host = u"127.0.0.1", port = peer.port16() + u"abc", greeting;
  int32_t s = -1;
  ASSERT_TRUE(WinSockManager(host, port, s, greeting, false, false)) << cap.Dump();
  EXPECT_EQ(greeting, u"220 hi\r\n");
  WinSockClose(s);
  // Ephemeral ports lie above 32767 here, so this was also a port the
  // 16-bit conversion could not have held.
  EXPECT_GT(peer.port(), 32767);
}

TEST_F(Session, PortAboveTheRangeFailsWithoutConnectingEvenWhenQuiet) {
  std::u16string host = u"127.0.0.1", port = u"70000", greeting;
  int32_t s = -1;
  EXPECT_FALSE(WinSockManager(host, port, s, greeting, false, true));
  ASSERT_EQ(cap.reports().size(), 1u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockManager: ポート番号が範囲外です。(70000)");
  EXPECT_EQ(ws::WSACleanup(), -1);  // closed and stopped again
}

TEST_F(Session, PortWithoutDigitsConnectsToPortZeroAndFails) {
  std::u16string host = u"127.0.0.1", port = u"smtp", greeting;
  int32_t s = -1;
  EXPECT_FALSE(WinSockManager(host, port, s, greeting, false, false));
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockManager: connect() error: -1");
}

TEST_F(Session, AddressZeroNeverReachesALocalPeer) {
  ScriptServer peer;
  peer.Send("220 local\r\n").Start();
  std::u16string host = u"0.0.0.0", port = peer.port16(), greeting;
  int32_t s = -1;
  EXPECT_FALSE(WinSockManager(host, port, s, greeting, false, false));
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockManager: connect() error: -1");
  EXPECT_EQ(cap.reports()[1], u"WinSockManager: " + SocketErrorText(10049));

  // An unknown name gives the same address 0.
  SetHostResolver([](const std::string&) { return 0u; });
  cap.Clear();
  host = u"no-such-host.invalid";
  EXPECT_FALSE(WinSockManager(host, port, s, greeting, false, false));
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[1], u"WinSockManager: " + SocketErrorText(10049));
  SleepMs(50);
  EXPECT_EQ(peer.Connections(), 0);
}

TEST_F(Session, TimeOutOptionErrorsAreReportedEvenWhenQuiet) {
  SessionOptions o = Quick();
  o.timeoutMicros = -5;  // not a valid value for the option
  SetSessionOptions(o);
  ScriptServer peer;
  peer.Send("220 hi\r\n").Start();
  std::u16string host = u"127.0.0.1", port = peer.port16(), greeting;
  int32_t s = -1;
  EXPECT_TRUE(WinSockManager(host, port, s, greeting, false, true));
  ASSERT_EQ(cap.reports().size(), 2u) << cap.Dump();
  EXPECT_EQ(cap.reports()[0], u"WinSockManager: setsockopt() SO_SNDTIMEO error: -1");
  EXPECT_EQ(cap.reports()[1], u"WinSockManager: setsockopt() SO_RCVTIMEO error: -1");
  WinSockClose(s);
}

TEST_F(Session, RepliesDecodeFromTheCodePage) {
  ScriptServer peer;
  peer.Send("220 \x83\x54\x81\x5B\x83\x6F\r\n").ReadLine().Send("250 \x82\xA0\r\n").Start();
  std::u16string greeting;
  int32_t s = Open(peer, &greeting);
  EXPECT_EQ(greeting, u"220 サーバ\r\n");
  std::u16string reply, code;
  EXPECT_TRUE(WinSockCmdSend(s, 0, u"HELO ホスト\r\n", reply, code));
  EXPECT_EQ(reply, u"250 あ\r\n");
  WinSockClose(s);
  EXPECT_EQ(peer.Received(), "HELO \x83\x7A\x83\x58\x83\x67\r\n");
}

}  // namespace
