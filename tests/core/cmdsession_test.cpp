// The TCP session (open, one command, its reply) and the four service probes
// on it, against scripted peers on 127.0.0.1.
#include "net/cmdsession.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <new>
#include <stdexcept>
#include <utility>

#include "app/appstate.h"
#include "net/failphrase.h"
#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/probes.h"
#include "net/shares.h"
#include "net/smbshares.h"
#include "net/sockerr.h"
#include "net/winsock.h"
#include "support/programdir.h"
#include "support/scriptserver.h"
#include "support/tcppeers.h"
#include "support/testcert.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

using enum ProbeKind;
using enum TlsMode;
using Texts = std::vector<std::u16string>;

const std::u16string kRejected = u"：サーバにコマンドを拒否されました。";
const std::u16string kNoReply = u"の応答メッセージを受信できません。(recv) error: ";
std::u16string Err(int number) { return u"WinSockCmdSend: " + SocketErrorText(number); }
// The two reports of a reply that did not come (n: the receive's result), and of a refused one.
Texts NoReply(const std::u16string& cmd, int error, const std::u16string& n = u"-1") {
  return {u"WinSockCmdSend: " + cmd + u" コマンド" + kNoReply + n, Err(error)};
}
Texts Refused(const std::u16string& name, const std::u16string& reply) {
  return {u"WinSockCmdSend: " + name + kRejected, u"WinSockCmdSend:  (" + reply + u")"};
}
Texts operator+(Texts a, const Texts& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
// What was sent, or its prefix where the wanted text ends in "…".
std::string Prefix(const std::string& got, const std::string& want) {
  return want.ends_with("…") ? got.substr(0, want.size() - 3) + "…" : got;
}
std::u16string Prefix(const std::u16string& got, const std::u16string& want) { return CutToPrefixes({got}, {want})[0]; }

// Open descriptors, less the share listing's configuration file, which the first listing of the process opens once
// and keeps.
int OpenDescriptors() {
  int n = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    n += std::filesystem::read_symlink(entry.path(), ec).string().find("velkor-smb.conf") == std::string::npos;
  }
  return n;
}

// Peak resident memory since the last ResetPeakMemory, less the resident memory then, in MB.
int64_t StatusKb(const std::string& field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(field + ":")) return std::stoll(line.substr(field.size() + 1));
  return 0;
}
int64_t g_residentKb = 0;
void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
  g_residentKb = StatusKb("VmRSS");
}
int64_t PeakGrowthMb() { return (StatusKb("VmHWM") - g_residentKb) / 1024; }

// Reports come as message boxes; the resolver knows no name. Each row runs
// between Begin and End, which check the time taken, the longest gap between
// message-loop runs, the reports and that the socket library was stopped.
// SIGPIPE keeps its default action: a send to a peer that has reset the
// connection must not end the process, whatever the program sets at start.
class CmdSession : public ::testing::Test {
 protected:
  void SetUp() override {
    std::signal(SIGPIPE, SIG_DFL);
    SettingsMsgBoxFlag = true;
    SetHostResolver([](const std::string&) { return 0u; });
  }
  void Begin(const SessionOptions& options, bool watchdog = false) {
    prog.boxes.clear();
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { prog.boxes.push_back(text); });
    SetSessionOptions(options);
    start = last = MonotonicMs();
    longest = passes = 0;
    SetDoEventsHook([this, watchdog, ticks = 0]() mutable {
      ++passes;
      longest = std::max(longest, MonotonicMs() - std::exchange(last, MonotonicMs()));
      if (watchdog && RecvWaiting && ++ticks > 3) RecvTimedOut = true;
    });
  }
  // Upper bounds are far from what a loaded machine needs and far below the waits a fault would make: the quick
  // sessions' waits are 5 s, the longest bound 2.5 s beyond a row's own waits. The loop runs every 25 ms; a gap of
  // 450 ms still shows a wait that stands still for one of the 600 ms waits.
  void End(const Texts& reports, int64_t minMs, int64_t maxMs) {
    EXPECT_GE(MonotonicMs() - start, minMs);
    EXPECT_LT(MonotonicMs() - start, maxMs);
    EXPECT_LE(longest, 450);  // the window never freezes
    // Nor does it pay for a pass per byte or per piece of a fast peer: a pass
    // once 10 ms have gone by, and one at the end of each wait's slices.
    EXPECT_LE(passes, 4 + (MonotonicMs() - start) / kDoEventsDueMs);
    EXPECT_FALSE(RecvWaiting);
    EXPECT_EQ(CutToPrefixes(prog.boxes, reports), reports);
    EXPECT_EQ(ws::WSACleanup(), -1);
  }
  ProgramInTempDir prog;
  int64_t start = 0, last = 0, longest = 0, passes = 0;
};

const SessionOptions kQuick{.timeoutSeconds = 5, .replyWaitLimitMs = 5000};
const int64_t kSlackMs = 2500;

// Every way the opening can fail leaves no descriptor behind, an exception
// (a report that throws, memory running out) included.
TEST_F(CmdSession, OpeningTheSession) {
  enum Fault { kNone, kReportThrows, kOutOfMemory };
  struct Row {
    std::vector<std::string> peer;
    std::u16string host, port;  // "#" stands for the peer's port, "%" for the full listener's
    bool quiet, ok;
    Texts reports = {};
    SessionOptions options = kQuick;
    int64_t minMs = 0, maxMs = kSlackMs;
    Fault fault = kNone;
  };
  const std::u16string refused = u"WinSockManager: connect() error: -1";
  const std::u16string noGreeting = u"WinSockManager: Connect recv() error: -1";
  auto error = [](int number) { return u"WinSockManager: " + SocketErrorText(number); };
  const Row rows[] = {
      // Blanks are trimmed; a port with trailing letters is its leading number.
      {{"220 hi\r\n"}, u" 127.0.0.1 ", u" #abc ", false, true},
      {{}, u"   ", u"#", false, false},
      {{}, u"127.0.0.1", u"70000", true, false, {u"WinSockManager: ポート番号が範囲外です。(70000)"}},
      {{}, u"127.0.0.1", u"99999999999999999999", true, false,  // saturates, never wraps
       {u"WinSockManager: ポート番号が範囲外です。(99999999999999999999)"}},
      {{}, u"127.0.0.1", u"smtp", false, false, {refused, error(10061)}},
      // Address 0, typed or an unknown name's, never reaches the peer on 127.0.0.1.
      {{"220 local\r\n"}, u"0.0.0.0", u"#", false, false, {refused, error(10049)}},
      {{"220 local\r\n"}, u"no-such-host.invalid", u"#", false, false, {refused, error(10049)}},
      // A listener whose queue is full drops SYNs: the connect ends at its time-out.
      {{}, u"127.0.0.1", u"%", false, false, {refused, error(10060)}, {.timeoutSeconds = 0, .timeoutMicros = 400000},
       390, 400 + kSlackMs},
      // The time-out counts for the whole greeting, however the bytes trickle.
      {Trickle("2", 100, 30), u"127.0.0.1", u"#", false, false, {noGreeting, error(10060)},
       {.timeoutSeconds = 0, .timeoutMicros = 500000}, 480, 500 + kSlackMs},
      {{std::string(3000, 'x'), Wait(3000)}, u"127.0.0.1", u"#", false, false, {noGreeting, error(10040)},
       {.timeoutSeconds = 1, .replyCapBytes = 1000}},
      {{"220 no line end", kClose}, u"127.0.0.1", u"#", true, false},
      // Time-out option errors are reported even when quiet; the session goes on.
      {{"220 hi\r\n"}, u"127.0.0.1", u"#", true, true,
       {u"WinSockManager: setsockopt() SO_SNDTIMEO error: -1", u"WinSockManager: setsockopt() SO_RCVTIMEO error: -1"},
       {.timeoutSeconds = 1, .timeoutMicros = -5}},
      {{kReset}, u"127.0.0.1", u"#", false, false, {noGreeting, error(10054)}},
      {{}, u"127.0.0.1", u"#", false, false, {}, kQuick, 0, kSlackMs, kReportThrows},
      // Memory runs out in the message loop's pass during the greeting, due at the latest once the pause has gone by.
      {{"220 ", Wait(15), "hi\r\n"}, u"127.0.0.1", u"#", false, false, {}, kQuick, 0, kSlackMs, kOutOfMemory},
  };
  uint16_t fullPort = 0;  // backlog 0, its queue filled
  const int full = ListenOnLoopback(0, &fullPort);
  sockaddr_in sa{AF_INET, htons(fullPort), {htonl(INADDR_LOOPBACK)}, {}};
  const int fillers[] = {::socket(AF_INET, SOCK_STREAM, 0), ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)};
  for (int f : fillers) ::connect(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    const Row& row = rows[i];
    const int descriptors = OpenDescriptors();
    {
      ScriptServer peer(row.peer);
      std::u16string host = row.host, port = row.port, greeting = u"old";
      if (const size_t at = port.find_first_of(u"#%"); at != std::u16string::npos)
        port.replace(at, 1, PortText(port[at] == u'#' ? peer.port() : fullPort));
      int32_t socket = -1;
      Begin(row.options);
      if (row.fault == kReportThrows) SetMessageBoxHook([](auto&, auto&) { throw std::runtime_error("report"); });
      if (row.fault == kOutOfMemory) SetDoEventsHook([] { throw std::bad_alloc(); });
      // The report swallows its own failure (it never throws); memory running out does throw.
      if (row.fault == kOutOfMemory) EXPECT_ANY_THROW(WinSockManager(host, port, socket, greeting, false, row.quiet));
      else EXPECT_EQ(WinSockManager(host, port, socket, greeting, false, row.quiet), row.ok);
      EXPECT_EQ(greeting, row.ok ? u"220 hi\r\n" : u"");
      if (row.ok) WinSockClose(socket);
      End(row.reports, row.minMs, row.maxMs);
      // Ephemeral ports lie above 32767, where a signed 16-bit port would overflow.
      EXPECT_GT(peer.port(), 32767);
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
  }
  for (int fd : {fillers[0], fillers[1], full}) ::close(fd);
}

TEST_F(CmdSession, OneCommandAndItsReply) {
  struct Row {
    std::vector<std::string> peer;
    std::u16string greeting;  // HTTP (number 95) reads none
    int16_t no;
    std::string cmd;  // CP932 bytes
    bool ok;
    std::u16string reply, code;  // a reply ending in "…" is a prefix
    Texts reports = {};
    SessionOptions options = kQuick;
    int64_t minMs = 0, maxMs = kSlackMs;
    bool watchdog = false;
  };
  const std::u16string hi = u"220 hi\r\n", popHi = u"+OK hi\r\n";
  const std::u16string timedOut = u"：応答待ちでタイムアウトしました。0(秒)";
  const std::vector<std::string> popUser = {"+OK hi\r\n", kLine};
  auto waits = [](int32_t timeoutMicros, int64_t replyWaitMs, int32_t seconds = 0) {
    return SessionOptions{.timeoutSeconds = seconds, .timeoutMicros = timeoutMicros, .replyWaitLimitMs = replyWaitMs};
  };
  const Row rows[] = {
      // A greeting is read to its (final) line end; the rest stays in the socket.
      {{"22", Wait(30), "0 mail.exa", Wait(30), "mple ready\r\n250 early\r\n"}, u"220 mail.example ready\r\n", 0,
       "HELO me\r\n", true, u"250 early\r\n", u"250 "},
      {{"220-first\r\n", Wait(30), "free text inside\r\n220-more\r\n", Wait(30), "220 last\r\n", kLine, "221 bye\r\n"},
       u"220-first\r\nfree text inside\r\n220-more\r\n220 last\r\n", 92, "QUIT\r\n", true, u"221 bye\r\n", u"221 "},
      // HTTP ends at the headers' blank line, any reply at the peer's close after data.
      {{kLine, kLine, "HTTP/1.1 200 OK\r\nA: b\r\n\r\n", Wait(5000)}, u"", 95, "GET / HTTP/1.0\r\n\r\n", true,
       u"HTTP/1.1 200 OK\r\nA: b\r\n\r\n", u""},
      {{"+OK hi\r\n", kLine, "+OK bye", kClose}, popHi, 18, "QUIT\r\n", true, u"+OK bye", u"+OK "},
      // A POP list ends at its "." line, also when that comes in a receive of its own.
      {{"+OK hi\r\n", kLine, "+OK 1 message\r\n1 120\r\n", Wait(30), ".\r\n", Wait(3000)}, popHi, 13, "LIST\r\n", true,
       u"+OK 1 message\r\n1 120\r\n.\r\n", u"+OK "},
      {{"+OK hi\r\n", kLine, kReset}, popHi, 10, "USER a\r\n", false, u"", u"", NoReply(u"USER", 10054)},
      {{"+OK hi\r\n", kLine, "+OK no line end", Wait(5000)}, popHi, 10, "USER a\r\n", false, u"", u"",
       NoReply(u"USER", 10060), waits(300000, 5000), 250, 300 + kSlackMs},
      // A trickling peer is cut at the reply wait: one report, judged on the first line.
      {Trickle("250-still here\r\n", 5, 250, {"220 hi\r\n", kLine}), hi, 6, "EHLO me\r\n", true,
       u"250-still here\r\n250-still here\r\n…", u"250-",
       {u"WinSockCmdSend: EHLO コマンド" + timedOut, u"WinSockCmdSend:  (250-still here\r\n…"}, waits(0, 600, 2), 540,
       600 + kSlackMs},
      // Silence ends the wait through its receive's time-out error, which comes at least 50 ms before the wait's
      // end, whether the socket's time-out is longer than the wait, as long, or shorter: never judged as collected.
      {{"+OK hi\r\n", kLine, "+OK", Wait(3000), "\r\n"}, popHi, 10, "USER a\r\n", false, u"", u"",
       NoReply(u"USER", 10060), waits(0, 500, 5), 400, 500 + kSlackMs},
      {{"+OK hi\r\n", kLine, Wait(3000)}, popHi, 10, "USER a\r\n", false, u"", u"", NoReply(u"USER", 10060),
       waits(500000, 500), 400, 500 + kSlackMs},
      {{"220 hi\r\n", kLine, "250-mx\r\n", Wait(3000)}, hi, 6, "EHLO me\r\n", false, u"", u"", NoReply(u"EHLO", 10060),
       waits(300000, 500), 250, 500 + kSlackMs},
      // A wait no longer than the receive margin is over before its first receive, though the reply is there.
      {{"220 hi\r\n250 ok\r\n"}, hi, 0, "HELO me\r\n", false, u"", u"",
       {u"WinSockCmdSend: HELO コマンド" + timedOut, u"WinSockCmdSend:  ()",
        u"WinSockCmdSend: HELO コマンド　の応答メッセージを受信できません。(recv - no data)"}, waits(0, 50, 5)},
      {{"220 hi\r\n250 ok\r\n"}, hi, 0, "HELO me\r\n", true, u"250 ok\r\n", u"250 ", {}, waits(0, 1000, 5)},
      {{"220 hi\r\n", kLine, std::string(5000, 'a'), Wait(3000)}, hi, 0, "HELO me\r\n", false, u"", u"",
       NoReply(u"HELO", 10040), {.timeoutSeconds = 1, .replyCapBytes = 1000}},
      {Trickle("221-wait\r\n", 50, 60, {"220 hi\r\n", kLine}), hi, 5, "QUIT\r\n", false, u"", u"",
       {u"WinSockCmdSend: QUIT コマンド：recv タイムアウト"}, kQuick, 0, kSlackMs, true},
      // Numbers without a row accept only the blank code, up to the last number of the table.
      {{"220 hi\r\n", kLine, "\r\n"}, hi, 50, "NOOP\r\n", true, u"\r\n", u"    "},
      {{"220 hi\r\n", kLine, "\r\n"}, hi, 100, "NOOP\r\n", true, u"\r\n", u"    "},
      {{"220 hi\r\n", kLine, "250 ok\r\n"}, hi, 50, "NOOP\r\n", false, u"250 ok\r\n", u"250 ",
       Refused(u"", u"250 ok\r\n")},
      // Message data without its terminator expects no reply.
      {{"220 hi\r\n"}, hi, 4, "Subject: x\r\n", true, u"previous", u""},
      {{"220 \x83\x54\x81\x5B\x83\x6F\r\n", kLine, "250 \x82\xA0\r\n"}, u"220 サーバ\r\n", 0,
       "HELO \x83\x7A\x83\x58\x83\x67\r\n", true, u"250 あ\r\n", u"250 "},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    const Row& row = rows[i];
    ScriptServer peer(row.peer);
    std::u16string host = u"127.0.0.1", port = PortText(peer.port()), greeting, reply = u"previous", code = u"old";
    int32_t socket = -1;
    Begin(row.options, row.watchdog);
    ASSERT_TRUE(WinSockManager(host, port, socket, greeting, row.no == 95, false));
    EXPECT_EQ(greeting, row.greeting);
    EXPECT_EQ(WinSockCmdSend(socket, row.no, FromAnsi(row.cmd), reply, code), row.ok);
    EXPECT_EQ(Prefix(reply, row.reply), row.reply);
    EXPECT_EQ(code, row.code);
    WinSockClose(socket);
    End(row.reports, row.minMs, row.maxMs);
    EXPECT_EQ(peer.Received(), row.cmd);
  }
  // A refused reply's line is quoted in the reason whole up to 80 characters, and cut there beyond.
  for (const size_t length : {80u, 81u}) {
    SCOPED_TRACE(length);
    const std::string line = "250 " + std::string(length - 4, 'x');
    ScriptServer peer({"220 hi\r\n", kLine, line + "\r\n"});
    std::u16string host = u"127.0.0.1", port = PortText(peer.port()), greeting, reply, code;
    int32_t socket = -1;
    ASSERT_TRUE(WinSockManager(host, port, socket, greeting, false, false));
    EXPECT_FALSE(WinSockCmdSend(socket, 50, u"NOOP\r\n", reply, code));
    WinSockClose(socket);
    EXPECT_EQ(FailurePhrase(LastFailReason()),
              "unexpected reply 250 to NOOP: \"" + line.substr(0, 80) + (length > 80 ? "...\"" : "\""));
  }
}

// The four probes against scripted peers, plain and TLS: each dialogue's verdict, transcript (with the exact TLS
// lines), reports, what the client sent (inside TLS: decrypted; never the password) and the name its TLS asked for.
// Then hostile peers, with waits of 600 ms (session time-out and reply wait alike): each check ends within the waits
// its dialogue makes, with the verdict and the reports the reply rules give, the message loop running and memory
// bounded however much the peer sends; sends after a reset would end the process without MSG_NOSIGNAL. "Shares" is
// the share listing (bounded by its own 600 ms), its listing the transcript. Nothing stays open.
TEST_F(CmdSession, Probes) {
  const auto Shares = static_cast<ProbeKind>(-1);
  const int64_t now = EpochNow(), day = 86400;
  const TestCert mx = MakeTestCert("mx.example", "DNS:mx.example,IP:127.0.0.1", now - 3600, now + 10 * day + 3600);
  const TestCert expired = MakeTestCert("mx.example", "DNS:mx.example,IP:127.0.0.1", now - 90 * day, now - day);
  const TestCert ca = MakeTestCert("velkor test CA", "", now - 3600, now + 400 * day, nullptr, true);
  const TestCert issued = MakeTestCert("mx.example", "DNS:mx.example", now - 3600, now + 30 * day + 3600, &ca);
  WriteBytes(prog.file("ca.pem"), ca.certPem);
  const TlsPeer self{mx.certPem, mx.keyPem}, old{mx.certPem, mx.keyPem, TLS1_VERSION};
  const TlsPeer tls11{mx.certPem, mx.keyPem, TLS1_1_VERSION}, tls12{mx.certPem, mx.keyPem, TLS1_2_VERSION};
  auto local = [](std::time_t t) {  // as the logs write dates
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", std::localtime(&t));
    return FromUtf8(buf);
  };
  const std::u16string tls13 = u"TLS： TLSv1.3 TLS_AES_256_GCM_SHA384\r\n";
  const std::u16string mxCert = u"証明書： O = velkor test, CN = mx.example / 発行者： O = velkor test, CN = mx.example\r\n"
                                u"名前： mx.example, 127.0.0.1\r\n有効期限： " + local(now - 3600) + u" ～ " +
                                local(now + 10 * day + 3600) + u"（残り 10 日）\r\n";
  const std::u16string selfSigned = u"警告： 証明書を検証できません（self-signed certificate）\r\n";
  const std::u16string mxTls = tls13 + mxCert + selfSigned, ehlo = u"220 mx\r\n> EHLO 127.0.0.1\r\n";
  auto tlsError = [](const std::u16string& reason) { return u"TLS エラー： " + reason; };
  const std::u16string notOffered = tlsError(u"STARTTLS が提供されていません");
  const std::u16string stalled = tlsError(u"ハンドシェイクの応答待ちでタイムアウトしました");
  const SessionOptions cut{.timeoutSeconds = 0, .timeoutMicros = 600000, .replyWaitLimitMs = 600};
  const std::u16string untouched = u"untouched", get = u"> GET / HTTP/1.0\r\n\r\n";
  const std::u16string pop = u"+OK POP3 ready\r\n> USER probe\r\n", ftpUser = u"> USER probe\r\n";
  const std::string smtpSent = "EHLO 127.0.0.1\r\nQUIT\r\n", userQuit = "USER probe\r\nQUIT\r\n";
  const std::string heloToo = "EHLO 127.0.0.1\r\nHELO 127.0.0.1\r\nQUIT\r\n", getSent = "GET / HTTP/1.0\r\n\r\n";
  const std::u16string smtpHelo = u"220 hi\r\n> EHLO 127.0.0.1\r\n> HELO 127.0.0.1\r\n";
  const std::u16string send = u" を送信できません。(send)", over = u"：応答待ちでタイムアウトしました。0(秒)";
  auto wrongGreeting = [](std::u16string tag) {
    return Texts{u"Connect　サーバにコネクトできません。 [" + tag + u"] 127.0.0.1:…"};  // and the port
  };
  auto popPeer = [](std::string user, std::string quit) {
    return std::vector<std::string>{"+OK POP3 ready\r\n", kLine, user, kLine, quit};
  };
  struct Row {
    const char* name;
    ProbeKind kind;
    TlsMode mode;
    std::vector<std::string> peer;
    bool ok;
    std::u16string transcript;  // ending in "…": a prefix
    std::string sent;           // ending in "…": a prefix
    Texts reports = {};         // each ending in "…": a prefix; a lone "…" last: any further reports
    SessionOptions options = kQuick;
    int64_t minMs = 0, maxMs = kSlackMs;
    TlsPeer tls = {};  // none: the self-signed certificate of mx.example
    std::u16string host = u" 127.0.0.1 ";
    std::string sni = "";
  };
  const Row rows[] = {
      {"smtp", Smtp, None, {"220 mx\r\n", kLine, "250-mx\r\n250-SIZE 9\r\n", Wait(30), "250 HELP\r\n", kLine,
       "221 Bye\r\n"}, true, u"220 mx\r\n> EHLO 127.0.0.1\r\n250-mx\r\n250-SIZE 9\r\n250 HELP\r\n> QUIT\r\n221 Bye\r\n",
       smtpSent},
      // EHLO refused by a single line: HELO at once; the refusal stays out of the transcript.
      {"helo", Smtp, None, {"220 old\r\n", kLine, "502 unknown\r\n", kLine, "250 old\r\n", kLine, "221 Bye\r\n"}, true,
       u"220 old\r\n> EHLO 127.0.0.1\r\n> HELO 127.0.0.1\r\n250 old\r\n> QUIT\r\n221 Bye\r\n", heloToo,
       Refused(u"EHLO コマンド", u"502 unknown\r\n")},
      // A bare code is a healthy greeting (multi-line ones: the FTP row below).
      {"bare code", Smtp, None, {"220\r\n", kLine, "250 ok\r\n", kLine, "221 bye\r\n"}, true,
       u"220\r\n> EHLO 127.0.0.1\r\n250 ok\r\n> QUIT\r\n221 bye\r\n", smtpSent},
      // A wrong greeting is reported, empties the transcript, and nothing is sent.
      {"smtp greeting", Smtp, None, {"220-first\r\n554 no\r\n"}, false, u"", "", wrongGreeting(u"SMTP")},
      {"smtp 2200", Smtp, None, {"2200 x\r\n"}, false, u"", "", wrongGreeting(u"SMTP")},
      {"smtp close", Smtp, None, {"220 hi\r\n", kClose}, false, smtpHelo + u"> QUIT\r\n", heloToo,
       NoReply(u"EHLO", 0, u"0") + Texts{u"WinSockCmdSend: HELO…", u"…", u"WinSockCmdSend: QUIT…", u"…"}},
      // Sessions that cannot open are quiet and leave the transcript alone.
      {"smtp refused", Smtp, None, {}, false, untouched, ""}, {"pop refused", Pop, None, {}, false, untouched, ""},
      {"ftp refused", Ftp, None, {}, false, untouched, ""}, {"http refused", Http, None, {}, false, untouched, ""},
      // POP passes when USER or QUIT is accepted.
      {"pop user refused", Pop, None, popPeer("-ERR who\r\n", "+OK bye\r\n"), true,
       pop + u"-ERR who\r\n> QUIT\r\n+OK bye\r\n", userQuit, {u"WinSockCmdSend: USER コマンド…", u"…"}},
      {"pop quit refused", Pop, None, popPeer("+OK x\r\n", "-ERR\r\n"), true, pop + u"+OK x\r\n> QUIT\r\n-ERR\r\n",
       userQuit, {u"WinSockCmdSend: QUIT コマンド…", u"…"}},
      {"pop both refused", Pop, None, popPeer("-ERR who\r\n", "-ERR no\r\n"), false,
       pop + u"-ERR who\r\n> QUIT\r\n-ERR no\r\n", userQuit,
       {u"WinSockCmdSend: USER コマンド…", u"…", u"WinSockCmdSend: QUIT コマンド…", u"…"}},
      {"pop", Pop, None, {"+OK\r\n", kLine, "+OK\r\n", kLine, "+OK\r\n"}, true,
       u"+OK\r\n> USER probe\r\n+OK\r\n> QUIT\r\n+OK\r\n", userQuit},
      {"pop greeting", Pop, None, {"+OKAY\r\n"}, false, u"", "", wrongGreeting(u"POP")},
      {"ftp", Ftp, None,
       {"220-Welcome\r\n220-to FTP\r\n220 here\r\n", kLine, "331 password?\r\n", kLine, "221 Bye\r\n"}, true,
       u"220-Welcome\r\n220-to FTP\r\n220 here\r\n> USER probe\r\n331 password?\r\n> QUIT\r\n221 Bye\r\n", userQuit},
      // A refused USER ends the dialogue without QUIT.
      {"ftp user refused", Ftp, None, {"220 ftp\r\n", kLine, "530 anonymous only.\r\n"}, false,
       u"220 ftp\r\n" + ftpUser, "USER probe\r\n", Refused(u"USER コマンド", u"530 anonymous only.\r\n")},
      {"ftp greeting", Ftp, None, {"421 busy\r\n"}, false, u"", "", wrongGreeting(u"FTP")},
      // HTTP: any status passes; header lines are copied, leading blanks trimmed, up to the blank line.
      {"http", Http, None,
       {kLine, kLine, "HTTP/1.1 500 Oops\r\n   Server: test  \r\nContent-Length: 5\r\n\r\nhello\r\n", kClose}, true,
       get + u"HTTP/1.1 500 Oops\r\nServer: test  \r\nContent-Length: 5\r\n", getSent},
      // What follows the last CR LF is not copied; bare LF replies give nothing.
      {"http cut", Http, None, {kLine, kLine, "HTTP/1.0 200 OK\r\nX-A: 1\r\nX-B: cut", kClose}, true,
       get + u"HTTP/1.0 200 OK\r\nX-A: 1\r\n", getSent},
      {"http lf", Http, None, {kLine, kLine, "HTTP/1.0 200 OK\nServer: lf\n\nbody\n", kClose}, true, get, getSent},
      {"not http", Http, None, {kLine, kLine, "SSH-2.0-OpenSSH\r\n\r\n", kClose}, false, get + u"SSH-2.0-OpenSSH\r\n",
       getSent, Refused(u"GET コマンド", u"SSH-2.0-OpenSSH\r\n\r\n")},
      // TLS: each form's dialogue, an upgrade refused or not offered, plain text after the upgrade's reply.
      {"587t: EHLO, STARTTLS, EHLO again inside TLS, QUIT", Smtp, StartTls,
       {"220 mx\r\n", kLine, "250-mx\r\n250-SIZE 9\r\n250 starttls\r\n", kLine, "220 go ahead\r\n", kTls, kLine,
        "250 mx\r\n", kLine, "221 bye\r\n"}, true,
       ehlo + u"250-mx\r\n250-SIZE 9\r\n250 starttls\r\n> STARTTLS\r\n220 go ahead\r\n" + mxTls +
           u"> EHLO 127.0.0.1\r\n250 mx\r\n> QUIT\r\n221 bye\r\n",
       "EHLO 127.0.0.1\r\nSTARTTLS\r\nEHLO 127.0.0.1\r\nQUIT\r\n"},
      {"EHLO that does not offer STARTTLS", Smtp, StartTls, {"220 mx\r\n", kLine, "250-mx\r\n250 STARTTLSX\r\n"}, false,
       ehlo + u"250-mx\r\n250 STARTTLSX\r\n" + notOffered + u"\r\n", "EHLO 127.0.0.1\r\n", {notOffered}},
      {"EHLO refused: no HELO, nothing offered", Smtp, StartTls, {"220 mx\r\n", kLine, "502 no\r\n"}, false,
       ehlo + notOffered + u"\r\n", "EHLO 127.0.0.1\r\n", Refused(u"EHLO コマンド", u"502 no\r\n") + Texts{notOffered}},
      {"STARTTLS refused", Smtp, StartTls,
       {"220 mx\r\n", kLine, "250 STARTTLS\r\n", kLine, "454 4.7.0 TLS not available\r\n"}, false,
       ehlo + u"250 STARTTLS\r\n> STARTTLS\r\n454 4.7.0 TLS not available\r\n" +
           tlsError(u"サーバに STARTTLS を拒否されました") + u"\r\n",
       "EHLO 127.0.0.1\r\nSTARTTLS\r\n",
       Refused(u"STARTTLS コマンド", u"454 4.7.0 TLS not available\r\n") +
           Texts{tlsError(u"サーバに STARTTLS を拒否されました")}},
      // Plain text after the upgrade's reply is never read as a reply inside TLS: no handshake at all.
      {"220 and plain text in the same packet", Smtp, StartTls,
       {"220 mx\r\n", kLine, "250 STARTTLS\r\n", kLine, "220 go ahead\r\n250 injected\r\n", Wait(200)}, false,
       ehlo + u"250 STARTTLS\r\n> STARTTLS\r\n220 go ahead\r\n250 injected\r\n" +
           tlsError(u"STARTTLS の応答の後に平文のデータが届きました") + u"\r\n",
       "EHLO 127.0.0.1\r\nSTARTTLS\r\n", {tlsError(u"STARTTLS の応答の後に平文のデータが届きました")}},
      {"465s with a name: SNI, the names cover it, the chain verifies", Smtp, Implicit,
       {kTls, "220 mx\r\n", kLine, "250 mx\r\n", kLine, "221 bye\r\n"}, true,
       tls13 + u"証明書： O = velkor test, CN = mx.example / 発行者： O = velkor test, CN = velkor test CA\r\n"
               u"名前： mx.example\r\n有効期限： " + local(now - 3600) + u" ～ " + local(now + 30 * day + 3600) +
           u"（残り 30 日）\r\n220 mx\r\n> EHLO mx.example\r\n250 mx\r\n> QUIT\r\n221 bye\r\n",
       "EHLO mx.example\r\nQUIT\r\n", {}, kQuick, 0, kSlackMs, {issued.certPem, issued.keyPem}, u"mx.example",
       "mx.example"},
      {"110t", Pop, StartTls, {"+OK hi\r\n", kLine, "+OK begin\r\n", kTls, kLine, "+OK\r\n", kLine, "+OK bye\r\n"},
       true, u"+OK hi\r\n> STLS\r\n+OK begin\r\n" + mxTls + u"> USER probe\r\n+OK\r\n> QUIT\r\n+OK bye\r\n",
       "STLS\r\nUSER probe\r\nQUIT\r\n"},
      {"STLS refused", Pop, StartTls, {"+OK hi\r\n", kLine, "-ERR not now\r\n"}, false,
       u"+OK hi\r\n> STLS\r\n-ERR not now\r\n" + tlsError(u"サーバに STLS を拒否されました") + u"\r\n", "STLS\r\n",
       Refused(u"STLS コマンド", u"-ERR not now\r\n") + Texts{tlsError(u"サーバに STLS を拒否されました")}},
      // An expired certificate fails the check once the dialogue has shown that the service answers.
      {"995s, expired", Pop, Implicit, {kTls, "+OK hi\r\n", kLine, "+OK\r\n", kLine, "+OK bye\r\n"}, false,
       tls13 + u"証明書： O = velkor test, CN = mx.example / 発行者： O = velkor test, CN = mx.example\r\n"
               u"名前： mx.example, 127.0.0.1\r\n有効期限： " + local(now - 90 * day) + u" ～ " + local(now - day) +
               u"（期限切れ）\r\n" + selfSigned + u"+OK hi\r\n> USER probe\r\n+OK\r\n> QUIT\r\n+OK bye\r\n",
       "USER probe\r\nQUIT\r\n", {}, kQuick, 0, kSlackMs, {expired.certPem, expired.keyPem}},
      {"21t", Ftp, StartTls, {"220 ftp\r\n", kLine, "234 go\r\n", kTls, kLine, "331 pw?\r\n", kLine, "221 bye\r\n"},
       true, u"220 ftp\r\n> AUTH TLS\r\n234 go\r\n" + mxTls + u"> USER probe\r\n331 pw?\r\n> QUIT\r\n221 bye\r\n",
       "AUTH TLS\r\nUSER probe\r\nQUIT\r\n"},
      // Garbage for a ServerHello: a plain server on an implicit TLS port answers the ClientHello in plain text. (After
      // an upgrade's reply it could not be told from plain text behind that reply but by the peer's timing.)
      {"garbage instead of a ServerHello", Ftp, Implicit, {"500 what?\r\n", kClose}, false,
       tlsError(u"wrong version number\r\n"), "…", {tlsError(u"wrong version number")}},
      {"990s, a TLS 1.0-only server", Ftp, Implicit, {kTls, "220 old\r\n", kLine, "331 pw?\r\n", kLine, "221 bye\r\n"},
       true, u"TLS： TLSv1 ECDHE-ECDSA-AES256-SHA\r\n" + mxCert + selfSigned +
           u"警告： 古いプロトコルです（TLSv1）\r\n220 old\r\n> USER probe\r\n331 pw?\r\n> QUIT\r\n221 bye\r\n",
       "USER probe\r\nQUIT\r\n", {}, kQuick, 0, kSlackMs, old},
      // Old is below TLS 1.2: 1.1 is, 1.2 is not.
      {"990s, a TLS 1.1-only server", Ftp, Implicit, {kTls, "220 old\r\n", kLine, "331 pw?\r\n", kLine, "221 bye\r\n"},
       true, u"TLS： TLSv1.1 ECDHE-ECDSA-AES256-SHA\r\n" + mxCert + selfSigned +
           u"警告： 古いプロトコルです（TLSv1.1）\r\n220 old\r\n> USER probe\r\n331 pw?\r\n> QUIT\r\n221 bye\r\n",
       "USER probe\r\nQUIT\r\n", {}, kQuick, 0, kSlackMs, tls11},
      {"990s, a TLS 1.2-only server", Ftp, Implicit, {kTls, "220 ftp\r\n", kLine, "331 pw?\r\n", kLine, "221 bye\r\n"},
       true, u"TLS： TLSv1.2 ECDHE-ECDSA-AES256-GCM-SHA384\r\n" + mxCert + selfSigned +
           u"220 ftp\r\n> USER probe\r\n331 pw?\r\n> QUIT\r\n221 bye\r\n",
       "USER probe\r\nQUIT\r\n", {}, kQuick, 0, kSlackMs, tls12},
      {"443s: a Host line, no SNI for an address", Http, Implicit,
       {kTls, kLine, kLine, kLine, "HTTP/1.1 200 OK\r\nServer: s\r\n\r\nbody", kClose}, true,
       mxTls + u"> GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\nHTTP/1.1 200 OK\r\nServer: s\r\n",
       "GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"},
      {"t on HTTP", Http, StartTls, {}, false, u"HTTP には t を使えません\r\n", ""},
      {"a handshake that stalls", Smtp, Implicit, {Wait(60000)}, false, stalled + u"\r\n", "…", {stalled}, cut, 590,
       600 + kSlackMs},
      // The handshake is one wait: bytes that keep coming cannot stretch it.
      {"a ServerHello trickled a byte at a time", Ftp, Implicit, Trickle("A", 100, 30, {"\x16\x03\x03\x40\x00"}), false,
       stalled + u"\r\n", "…", {stalled}, cut, 590, 600 + kSlackMs},
      // So is each receive inside TLS, however many records it takes: a greeting trickled inside a record.
      {"a greeting record trickled a byte at a time", Smtp, Implicit,
       Trickle(Raw("A"), 100, 30, {kTls, Raw("\x17\x03\x03\x40\x00")}), false, mxTls, "", {}, cut, 590,
       600 + kSlackMs},
      // A record that does not decrypt ends the read inside TLS; the greeting never comes.
      {"a forged record instead of the greeting", Ftp, Implicit,
       {kTls, Raw(std::string("\x17\x03\x03\x00\x15", 5) + "forged-record-bytes!!"), Wait(200)}, false, mxTls, "",
       {tlsError(u"decryption failed or bad record mac")}},
      // A close right after the upgrade or the handshake is a failure inside TLS too: the block ends with its line.
      {"a peer that closes right after the upgrade", Smtp, StartTls,
       {"220 mx\r\n", kLine, "250 STARTTLS\r\n", kLine, "220 go ahead\r\n", kTls, kClose}, false,
       ehlo + u"250 STARTTLS\r\n> STARTTLS\r\n220 go ahead\r\n" + mxTls + u"> EHLO 127.0.0.1\r\n" +
           tlsError(u"TLS への切り替えの直後に接続が閉じられました") + u"\r\n",
       "EHLO 127.0.0.1\r\nSTARTTLS\r\nEHLO 127.0.0.1\r\n", {u"WinSockCmdSend: EHLO コマンドの応答メッセージ…", u"…"}},
      {"a peer that closes right after the handshake", Pop, Implicit, {kTls, kClose}, false,
       mxTls + tlsError(u"ハンドシェイクの直後に接続が閉じられました") + u"\r\n", "",
       {tlsError(u"ハンドシェイクの直後に接続が閉じられました")}},
      {"a peer that closes mid-handshake", Pop, Implicit, {Wait(50), kClose}, false,
       tlsError(u"ハンドシェイクの途中で接続が閉じられました\r\n"), "…",
       {tlsError(u"ハンドシェイクの途中で接続が閉じられました")}},
      {"a peer that resets mid-handshake", Http, Implicit, {Wait(50), kReset}, false,
       tlsError(u"ハンドシェイク中のソケットエラー 10054\r\n"), "…", {tlsError(u"ハンドシェイク中のソケットエラー 10054")}},
      // Hostile peers.
      {"greeting without a line end, for ever", Smtp, None, {Flood("x")}, false, untouched, "…", {}, cut, 0,
       600 + kSlackMs},
      {"one byte a second", Pop, None, Trickle("+", 1000, 60, {"+OK hi\r\n", kLine}), false,
       u"+OK hi\r\n> USER probe\r\n> QUIT\r\n", "…", NoReply(u"USER", 10060) + NoReply(u"QUIT", 10060), cut, 0,
       1200 + kSlackMs},
      {"a reply of 100 MB", Pop, None, {"+OK hi\r\n", kLine, "+OK ", Flood("x", 100 << 20)}, false,
       u"+OK hi\r\n> USER probe\r\n> QUIT\r\n", "…", NoReply(u"USER", 10040) + NoReply(u"QUIT", 10040), cut, 0,
       1200 + kSlackMs},
      {"reset in the middle of a reply", Smtp, None, {"220 hi\r\n", kLine, "250-mx\r\n250-SIZ", kReset}, false,
       smtpHelo + u"> QUIT\r\n", "…",
       NoReply(u"EHLO", 10054) + Texts{u"WinSockCmdSend: HELO コマンド" + send, Err(10054),
                                       u"WinSockCmdSend: QUIT コマンド" + send, Err(10054)},
       cut, 0, 600 + kSlackMs},
      {"binary garbage, bytes that are not CP932", Ftp, None,
       {"220 \x81\x7f\xa0\xfd\r\n", kLine, std::string("\x00\xff\x80\x9f\x0a\r\n", 7)}, false,
       u"220 \xFFFD\x7F\xFFFD\xFFFD\r\n> USER probe\r\n", "…",
       Refused(u"USER コマンド", std::u16string(1, u'\0') + u"\xFFFD\xFFFD\xFFFD\n\r\n"), cut, 0, 600 + kSlackMs},
      {"accepts and never speaks", Smtp, None, {Wait(60000)}, false, untouched, "…", {}, cut, 0, 600 + kSlackMs},
      {"EHLO answered by lines without end", Smtp, None, {"220 hi\r\n", kLine, Flood("250-flood\r\n")}, false,
       smtpHelo + u"…", "…", NoReply(u"EHLO", 10040) + Texts{u"…"}, cut, 0, 1800 + kSlackMs},  // HELO, QUIT read on
      {"220- greeting whose last line never comes", Ftp, None, {"220-welcome\r\n", Flood("220-more\r\n")}, false,
       untouched, "…", {}, cut, 0, 600 + kSlackMs},
      {"HTTP headers without their blank line", Http, None,
       {kLine, kLine, "HTTP/1.1 200 OK\r\nServer: stuck\r\n", Wait(60000)}, true,
       get + u"HTTP/1.1 200 OK\r\nServer: stuck\r\n", "…", {}, cut, 0, 600 + kSlackMs},  // judged as a one-line reply
      // A time-out the socket layer refuses leaves the default 30 s, not a socket that waits for ever.
      {"never speaks, time-out option refused", Http, None, {kLine, kLine, Wait(60000)}, false, get, "…",
       Texts{u"WinSockManager: setsockopt() SO_SNDTIMEO error: -1",
             u"WinSockManager: setsockopt() SO_RCVTIMEO error: -1"} + NoReply(u"GET", 10060),
       {.timeoutSeconds = 1, .timeoutMicros = -5, .replyWaitLimitMs = 1500}, 0, 1500 + kSlackMs},
      {"SMB server that accepts and stalls", Shares, None, {Wait(60000)}, false, u"", "…", {}, cut, 0, 600 + kSlackMs},
  };
  const TrustedCa trusted(prog.file("ca.pem"));
  const std::string secret = "s3cr3t-Pa55";
  SetHostResolver([](const std::string& name) { return name == "mx.example" ? htonl(INADDR_LOOPBACK) : 0u; });
  SetSmbListBoundMs(600);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const int descriptors = OpenDescriptors();
    ResetPeakMemory();
    {
      ScriptServer server(row.peer, row.tls.certPem.empty() ? self : row.tls);
      std::u16string transcript = untouched;
      Begin(row.options);
      if (row.kind == Shares) {
        SetSmbPort(server.port());
        EXPECT_EQ(NetShareList(u"127.0.0.1", transcript, true), row.ok);
      } else {
        const bool ok = RunProbe(row.kind, row.host, server.port(), u"probe", FromUtf8(secret), transcript, row.mode);
        EXPECT_EQ(ok, row.ok);
      }
      EXPECT_EQ(Prefix(transcript, row.transcript), row.transcript);
      End(row.reports, row.minMs, row.maxMs);
      for (int i = 0; i < 200 && SmbListingStuck(); ++i) SleepMs(50);  // the listing given up ends by itself
      const std::string sent = server.Received();
      EXPECT_EQ(Prefix(sent, row.sent), row.sent);
      EXPECT_EQ(sent.find(secret), std::string::npos);  // the password is never sent
      EXPECT_EQ(server.Sni(), row.sni);
    }
    EXPECT_LT(PeakGrowthMb(), 32);
    EXPECT_EQ(OpenDescriptors(), descriptors);
  }
  SetSmbPort(kSmbDefaultPort);
  SetSmbListBoundMs(kSmbListBoundMs);
  // The trust store is kept between checks, but not past a change of its file.
  WriteBytes(prog.file("ca.pem"), MakeTestCert("velkor test CA", "", now - 3600, now + day, nullptr, true).certPem);
  {
    ScriptServer server({kTls, "220 mx\r\n", kLine, "250 mx\r\n", kLine, "221 bye\r\n"}, {issued.certPem, issued.keyPem});
    std::u16string transcript;
    TlsFindings found;
    Begin(kQuick);
    EXPECT_TRUE(RunProbe(Smtp, u"mx.example", server.port(), u"probe", u"", transcript, Implicit, &found));
    EXPECT_FALSE(found.chainVerified);
    EXPECT_EQ(found.verifyError, u"certificate signature failure");  // the new authority, same name
  }
  // Memory running out in a wait inside the handshake leaves OpenSSL first, then the check; nothing stays open.
  const int descriptors = OpenDescriptors();
  {
    ScriptServer server({Wait(2000)}, self);
    std::u16string transcript;
    Begin(kQuick);
    SetDoEventsHook([] { throw std::bad_alloc(); });
    EXPECT_THROW(RunProbe(Pop, u"127.0.0.1", server.port(), u"probe", u"", transcript, Implicit), std::bad_alloc);
    EXPECT_EQ(ws::WSACleanup(), -1);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST_F(CmdSession, FailuresBeforeAnyReply) {
  std::u16string reply = u"previous", code;
  EXPECT_FALSE(WinSockCmdSend(987654, 5, u"QUIT\r\n", reply, code));
  EXPECT_EQ(reply, u"previous");
  EXPECT_EQ(prog.boxes, (Texts{u"WinSockCmdSend: QUIT コマンド を送信できません。(send)", Err(10038)}));
  for (const int16_t beyond : {101, -1}) {  // numbers outside the table
    prog.boxes.clear();
    EXPECT_FALSE(WinSockCmdSend(987654, beyond, u"NOOP\r\n", reply, code));
    ASSERT_EQ(prog.boxes.size(), 1u);
    EXPECT_NE(prog.boxes[0].find(u"エラー番号 : 5 -- "), std::u16string::npos) << ToUtf8(prog.boxes[0]);
  }
}

}  // namespace
