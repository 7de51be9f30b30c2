#include "net/cmdsession.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/sockerr.h"
#include "net/tlsstream.h"
#include "net/winsock.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/hooks.h"
#include "util/log.h"
#include "util/stop.h"
#include "util/xcommon.h"

bool RecvWaiting = false;
bool RecvTimedOut = false;

namespace {

// Each receive of a reply asks for at most this many bytes.
constexpr int kRecvChunk = 100;
// Each receive of a reply times out at least this long before the reply
// wait ends: a silent peer's receive then always ends with its time-out
// error (the "(recv) error" path), never in a race with the wait's own end.
constexpr int64_t kRecvMarginMs = 50;
constexpr int64_t kMaxPort = 65535;

SessionOptions& Options() {
  static SessionOptions options;
  return options;
}

int64_t TimeoutMs(const SessionOptions& o) { return int64_t{o.timeoutSeconds} * 1000 + (o.timeoutMicros + 999) / 1000; }

// The options a session runs with. A time-out value the socket layer
// refuses (negative, or a microsecond part of a second or more) is reported
// when the session opens; the session then keeps the default 30 seconds
// rather than a socket without any time-out, which would wait for ever.
SessionOptions RunningOptions() {
  SessionOptions o = Options();
  if (o.timeoutSeconds < 0 || o.timeoutMicros < 0 || o.timeoutMicros >= 1000000) {
    o.timeoutSeconds = SessionOptions{}.timeoutSeconds;
    o.timeoutMicros = SessionOptions{}.timeoutMicros;
  }
  return o;
}

// Sets one time-out option from a number of milliseconds, as the 8-byte value.
int SetTimeoutOption(ws::SOCKET s, int option, int32_t seconds, int32_t micros) {
  int32_t value[2] = {seconds, micros};
  return ws::setsockopt(s, ws::kSolSocket, option, reinterpret_cast<const char*>(value), 8);
}

int SetReceiveTimeoutMs(ws::SOCKET s, int64_t ms) {
  ms = std::max<int64_t>(ms, 1);
  return SetTimeoutOption(s, ws::kSoRcvTimeo, static_cast<int32_t>(ms / 1000), static_cast<int32_t>(ms % 1000) * 1000);
}

// Puts the session's receive time-out back when a wait has narrowed it.
class ReceiveTimeoutGuard {
 public:
  ReceiveTimeoutGuard(ws::SOCKET s, const SessionOptions& o) : m_socket(s), m_options(o) {}
  ~ReceiveTimeoutGuard() {
    if (m_narrowed) SetTimeoutOption(m_socket, ws::kSoRcvTimeo, m_options.timeoutSeconds, m_options.timeoutMicros);
  }
  // Bounds the next receive by `ms` (when that is shorter than the session's
  // time-out).
  void Bound(int64_t ms) {
    const int64_t full = TimeoutMs(m_options);
    if (full > 0 && ms >= full) {
      if (m_narrowed) {
        SetTimeoutOption(m_socket, ws::kSoRcvTimeo, m_options.timeoutSeconds, m_options.timeoutMicros);
        m_narrowed = false;
      }
      return;
    }
    SetReceiveTimeoutMs(m_socket, ms);
    m_narrowed = true;
  }

 private:
  ws::SOCKET m_socket;
  SessionOptions m_options;
  bool m_narrowed = false;
};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// How the reply to a command ends.
enum class ReplyStyle {
  Numbered,   // SMTP and FTP: read to the final line
  PopMulti,   // POP LIST and RETR: read to the line of a single "."
  HttpHeads,  // GET: to the headers' end (or the close), however it arrives
  OneLine,    // everything else: one line
};

ReplyStyle StyleOf(int16_t cmdNo) {
  if ((cmdNo >= 0 && cmdNo <= 8) || (cmdNo >= 90 && cmdNo <= 93)) return ReplyStyle::Numbered;
  if (cmdNo == 13 || cmdNo == 14) return ReplyStyle::PopMulti;
  if (cmdNo == 95) return ReplyStyle::HttpHeads;
  return ReplyStyle::OneLine;
}

bool EndsWith(std::u16string_view text, std::u16string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

void Report(const std::u16string& message) { ReportError(message); }

double Seconds(int64_t ms) { return static_cast<double>(ms) / 1000; }

}  // namespace

void SetSessionOptions(const SessionOptions& options) { Options() = options; }

int64_t SessionTimeoutMs() { return TimeoutMs(RunningOptions()); }

SessionOptions GetSessionOptions() { return Options(); }

CmdReplyTableType CmdReplyTable() {
  CmdReplyTableType table;
  for (auto& e : table) {
    e.OkCode1 = e.OkCode2 = e.OkCode3 = u"    ";
  }
  auto set = [&](int no, std::u16string name, std::u16string c1, std::u16string c2 = u"    ",
                 std::u16string c3 = u"    ") {
    table[static_cast<size_t>(no)].CmdName = std::move(name);
    table[static_cast<size_t>(no)].OkCode1 = std::move(c1);
    table[static_cast<size_t>(no)].OkCode2 = std::move(c2);
    table[static_cast<size_t>(no)].OkCode3 = std::move(c3);
  };
  set(0, u"HELO コマンド", u"250 ");
  set(1, u"MAIL FROM コマンド", u"250 ");
  set(2, u"RCPT TO コマンド", u"250 ", u"251 ");
  set(3, u"DATA コマンド", u"354 ");
  set(4, u"データ", u"250 ");
  set(5, u"QUIT コマンド", u"221 ");
  set(6, u"EHLO コマンド", u"250-", u"250 ");
  set(7, u"AUTH コマンド", u"334 ", u"235 ", u"502 ");
  set(8, u"STARTTLS コマンド", u"220 ");
  set(10, u"USER コマンド", u"+OK ");
  set(11, u"PASS コマンド", u"+OK ");
  set(12, u"STAT コマンド", u"+OK ");
  set(13, u"LIST コマンド", u"+OK ");
  set(14, u"RETR コマンド", u"+OK ");
  set(15, u"DELE コマンド", u"+OK ");
  set(16, u"RSET コマンド", u"+OK ");
  set(17, u"STLS コマンド", u"+OK ");
  set(18, u"QUIT コマンド", u"+OK ");
  set(90, u"USER コマンド", u"331 ");
  set(91, u"PASS コマンド", u"230 ");
  set(92, u"QUIT コマンド", u"221 ");
  set(93, u"AUTH TLS コマンド", u"234 ");
  set(95, u"GET コマンド", u"    ");
  table[95].ReplyHead = u"HTTP";
  return table;
}

int64_t PortValue(std::u16string_view port) {
  int64_t value = 0;
  for (char16_t c : port) {
    if (!IsDigit(c)) break;
    value = std::min<int64_t>(value * 10 + (c - u'0'), kMaxPort + 1);
  }
  return value;
}

namespace {

// Closes a session's socket (and stops the library once) on every way out
// of the opening but the successful one, exceptions included.
class SocketCloser {
 public:
  explicit SocketCloser(ws::SOCKET s) : m_socket(s) {}
  ~SocketCloser() {
    if (m_armed) WinSockClose(m_socket);
  }
  SocketCloser(const SocketCloser&) = delete;
  SocketCloser& operator=(const SocketCloser&) = delete;
  void Release() { m_armed = false; }
  // Another socket is now the session's (the one that won a race).
  void Replace(ws::SOCKET s) { m_socket = s; }

 private:
  ws::SOCKET m_socket;
  bool m_armed = true;
};

// The order a host's addresses are tried in: IPv6 first, then the families
// alternating, each in the resolver's order.
std::vector<HostAddress> TryOrder(const std::vector<HostAddress>& addresses) {
  std::vector<HostAddress> v6, v4, order;
  for (const HostAddress& a : addresses) (a.family == 6 ? v6 : v4).push_back(a);
  for (size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
    if (i < v6.size()) order.push_back(v6[i]);
    if (i < v4.size()) order.push_back(v4[i]);
  }
  return order;
}

ws::ConnectAttempt AttemptFor(const HostAddress& a, uint16_t port) {
  ws::ConnectAttempt attempt;
  attempt.v6 = a.family == 6;
  if (attempt.v6) {
    attempt.v6addr.sin6_port = ws::HostToNetShort(port);
    std::copy(a.bytes.begin(), a.bytes.end(), attempt.v6addr.sin6_addr);
  } else {
    attempt.v4addr.sin_port = ws::HostToNetShort(port);
    std::memcpy(&attempt.v4addr.sin_addr, a.bytes.data(), 4);
  }
  return attempt;
}

// Connects to every address of a host in turn, staggered, on sockets of
// their own (the session's IPv4 socket serves the first IPv4 address); the
// first to connect becomes the session's socket, the others are closed.
// True when one connected; else every address tried is noted with its reason.
bool ConnectRace(ws::SOCKET& socket, SocketCloser& closer, const std::vector<HostAddress>& order, uint16_t port,
                 const SessionOptions& options) {
  std::vector<ws::ConnectAttempt> attempts;
  std::vector<AddressTried> tried;
  std::vector<size_t> addressOf;  // attempt -> its address in order
  bool sessionSocketUsed = false;
  int lastError = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    ws::ConnectAttempt attempt = AttemptFor(order[i], port);
    if (!attempt.v6 && !sessionSocketUsed) {
      attempt.socket = socket;
      sessionSocketUsed = true;
    } else {
      attempt.socket = ws::socket(attempt.v6 ? ws::kAfInet6 : ws::kAfInet, ws::kSockStream, 0);
      if (attempt.socket < 0) {
        lastError = ws::WSAGetLastError();
        tried.push_back(AddressTried{HostAddressText(order[i]), ConnectFailureReason(lastError, 0)});
        continue;
      }
      SetTimeoutOption(attempt.socket, ws::kSoSndTimeo, options.timeoutSeconds, options.timeoutMicros);
      SetTimeoutOption(attempt.socket, ws::kSoRcvTimeo, options.timeoutSeconds, options.timeoutMicros);
    }
    attempts.push_back(attempt);
    addressOf.push_back(i);
  }
  std::vector<int> errors;
  const int winner = attempts.empty() ? -1 : ws::ConnectFirst(attempts, options.nextAddressDelayMs, errors);
  if (!attempts.empty()) lastError = ws::WSAGetLastError();
  for (size_t k = 0; k < attempts.size(); ++k) {
    if (static_cast<int>(k) == winner) continue;
    if (attempts[k].socket != socket) ws::closesocket(attempts[k].socket);
  }
  if (winner >= 0) {
    ws::SOCKET won = attempts[static_cast<size_t>(winner)].socket;
    if (won != socket) {
      ws::closesocket(socket);  // the session's own socket lost, or was never used
      socket = won;
      closer.Replace(won);
    }
    NoteConnectAddress(HostAddressText(order[addressOf[static_cast<size_t>(winner)]]));
    ws::WSASetLastError(0);
    return true;
  }
  const double seconds = static_cast<double>(TimeoutMs(options)) / 1000;
  for (size_t k = 0; k < attempts.size(); ++k)
    if (errors[k] != 0)
      tried.push_back(AddressTried{HostAddressText(order[addressOf[k]]), ConnectFailureReason(errors[k], seconds)});
  if (!tried.empty()) NoteConnectAddress(tried.back().address);
  if (tried.size() == 1) {
    NoteFailReason(tried.front().reason);
  } else {
    NoteFailReason(FailReasonOf(FailKind::EveryAddressFailed));
    NoteAddressesTried(tried);
  }
  ws::WSASetLastError(lastError != 0 ? lastError : ws::err::TimedOut);
  return false;
}

}  // namespace

bool WinSockManager(std::u16string& host, std::u16string& port, int32_t& socket, std::u16string& greeting,
                    bool skipGreeting, bool quiet, const SessionStep& beforeGreeting) {
  const SessionOptions configured = Options();
  const SessionOptions options = RunningOptions();
  greeting.clear();
  host = xNullTrim(host);
  port = xNullTrim(port);
  if (host.empty() || port.empty()) return false;

  // Undo a start that an earlier user left, then start for this session.
  ws::WSACleanup();
  ws::WSAData data;
  if (ws::WSAStartup(ws::kVersion11, &data) != 0) {
    if (!quiet) Report(u"WinSockManager: Winsock通信を開始できません。");
  } else if (data.wVersion != ws::kVersion11) {
    if (!quiet) Report(u"WinSockManager: Winsockのバージョンが異なります。");
  }

  socket = ws::socket(ws::kAfInet, ws::kSockStream, 0);
  if (socket < 0) {
    const int error = ws::WSAGetLastError();
    if (!quiet) {
      Report(u"WinSockManager: socket() error: " + ToU16(socket));
      Report(u"WinSockManager: " + SocketErrorText(error));
    }
    return false;
  }

  SocketCloser closer(socket);

  // A value the socket layer refuses is reported, even when quiet; the
  // socket then gets the default instead.
  auto setTimeout = [&](int option, const std::u16string& name) {
    const int r = SetTimeoutOption(socket, option, configured.timeoutSeconds, configured.timeoutMicros);
    if (r != -1) return;
    Report(u"WinSockManager: setsockopt() " + name + u" error: " + ToU16(r));
    SetTimeoutOption(socket, option, options.timeoutSeconds, options.timeoutMicros);
  };
  setTimeout(ws::kSoSndTimeo, u"SO_SNDTIMEO");
  setTimeout(ws::kSoRcvTimeo, u"SO_RCVTIMEO");

  // Ports above 32767 are ports like any other; above 65535 there is none.
  const int64_t portValue = PortValue(port);
  if (portValue > kMaxPort) {
    NoteFailReason(FailReason{FailKind::PortOutOfRange, {}, {}, {}, {}, static_cast<int>(portValue), 0});
    Report(u"WinSockManager: ポート番号が範囲外です。(" + port + u")");
    return false;
  }
  // One IPv4 address (or none: address 0, which the connect refuses) goes
  // on the session's socket; IPv6 and several addresses race.
  const ResolvedHost resolved = ResolveHostAddresses(host, options.family);
  const LookupOutcome lookup = resolved.outcome;
  const std::vector<HostAddress> order = TryOrder(resolved.addresses);
  const uint16_t portNumber = static_cast<uint16_t>(portValue);
  if (order.size() <= 1 && (order.empty() || order.front().family == 4)) {
    ws::SockAddrIn peer;
    peer.sin_family = ws::kAfInet;
    peer.sin_port = ws::HostToNetShort(portNumber);
    if (!order.empty()) {
      std::memcpy(&peer.sin_addr, order.front().bytes.data(), 4);
      NoteConnectAddress(HostAddressText(order.front()));
    }
    const int r = ws::connect(socket, &peer, static_cast<int>(sizeof peer));
    if (r != 0) {
      const int error = ws::WSAGetLastError();
      NoteConnectFailure(error, Seconds(TimeoutMs(options)), lookup);
      if (!quiet) {
        Report(u"WinSockManager: connect() error: " + ToU16(r));
        Report(u"WinSockManager: " + SocketErrorText(error));
      }
      return false;
    }
  } else if (!ConnectRace(socket, closer, order, portNumber, options)) {
    const int error = ws::WSAGetLastError();
    if (!quiet) {
      Report(u"WinSockManager: connect() error: " + ToU16(-1));
      Report(u"WinSockManager: " + SocketErrorText(error));
    }
    return false;
  }
  if (beforeGreeting && !beforeGreeting(socket)) return false;
  if (skipGreeting) {
    closer.Release();
    return true;
  }

  // The greeting, one byte at a time so that nothing after it is taken from
  // the socket. The time-out bounds the whole greeting, however it trickles.
  std::string bytes;
  ReplyEndScanner scanner;
  const int64_t deadline = MonotonicMs() + TimeoutMs(options);
  {
    ReceiveTimeoutGuard guard(socket, options);
    while (true) {
      int n = -1;
      const int64_t left = deadline - MonotonicMs();
      if (left <= 0) {
        ws::WSASetLastError(ws::err::TimedOut);
      } else {
        guard.Bound(left);
        char byte = 0;
        n = StreamRecv(socket, &byte, 1);
        if (n > 0) {
          bytes.push_back(byte);
          DoEventsIfDue();  // a wait between bytes runs the loop in its own slices
          if (bytes.size() > options.replyCapBytes) {
            n = -1;
            ws::WSASetLastError(ws::err::MsgSize);
          } else {
            if (byte == '\n' && scanner.Complete(bytes)) break;
            continue;
          }
        }
      }
      const int error = ws::WSAGetLastError();
      NoteGreetingFailure(n, error, Seconds(TimeoutMs(options)));
      if (!quiet) {
        Report(u"WinSockManager: Connect recv() error: " + ToU16(n));
        Report(u"WinSockManager: " + SocketErrorText(error));
      }
      return false;  // the guard puts the time-out back, then the closer closes
    }
  }
  greeting = FromAnsi(bytes);
  closer.Release();
  return true;
}

bool WinSockCmdSend(int32_t socket, int16_t cmdNo, const std::u16string& cmdText, std::u16string& reply,
                    std::u16string& code) {
  const SessionOptions options = RunningOptions();
  try {
    // Built once: a hundred entries of texts, for every command of every check otherwise.
    static const CmdReplyTableType table = CmdReplyTable();
    if (cmdNo < 0 || cmdNo >= kCmdReplyTableSize) throw VkError(ErrNo::InvalidCall);
    const CmdReplyEntry& entry = table[static_cast<size_t>(cmdNo)];
    const std::u16string& name = entry.CmdName;
    const std::string word = FailCommandWord(cmdNo, cmdText);
    code.clear();
    // Passes here come in quick succession on a fast peer; the waits run
    // the loop in their own slices.
    DoEventsIfDue();

    const std::string out = ToAnsi(cmdText);
    const int sent = StreamSend(socket, out.data(), static_cast<int>(out.size()));
    if (sent != static_cast<int>(out.size())) {
      const int error = ws::WSAGetLastError();
      NoteReceiveFailure(-1, error, word, Seconds(TimeoutMs(options)));
      Report(u"WinSockCmdSend: " + name + u" を送信できません。(send)");
      Report(u"WinSockCmdSend: " + SocketErrorText(error));
      return false;
    }
    DoEventsIfDue();
    // A piece of message data expects no reply until its terminator.
    if (cmdNo == 4 && !EndsWith(cmdText, u"\r\n.\r\n")) return true;

    reply.clear();
    RecvWaiting = true;
    RecvTimedOut = false;
    int emptyReads = 0;
    const int64_t start = MonotonicMs();
    const ReplyStyle style = StyleOf(cmdNo);

    std::string data;  // every byte of this reply
    ReplyEndScanner numbered;
    size_t marksScanned = 0;  // where the search for an end mark goes on
    bool collecting = true;
    ReceiveTimeoutGuard guard(socket, options);
    char buf[kRecvChunk];

    while (collecting) {
      bool passDone = false;
      bool moreAllowed = true;
      while (!passDone) {
        DoEventsIfDue();
        // A stop ends the wait without a report: the run says so itself.
        if (StopRequested()) {
          RecvWaiting = false;
          return false;
        }
        if (RecvTimedOut) {
          NoteReceiveFailure(-1, ws::err::TimedOut, word, Seconds(MonotonicMs() - start));
          Report(u"WinSockCmdSend: " + name + u"：recv タイムアウト");
          RecvWaiting = false;
          return false;
        }
        // Only a peer that keeps trickling bytes reaches the end of the wait:
        // it is cut there, and what came is judged.
        auto cutAtWaitEnd = [&] {
          if (data.empty()) NoteReceiveFailure(-1, ws::err::TimedOut, word, Seconds(options.replyWaitLimitMs));
          Report(u"WinSockCmdSend: " + name + u"：応答待ちでタイムアウトしました。" +
                 ToU16(options.replyWaitLimitMs / 1000) + u"(秒)");
          Report(u"WinSockCmdSend:  (" + FromAnsi(data) + u")");
          collecting = false;
        };
        const int64_t left = options.replyWaitLimitMs - (MonotonicMs() - start);
        if (left <= kRecvMarginMs) {
          cutAtWaitEnd();
          break;
        }
        // A receive that times out after the margin or longer met silence; one
        // cut shorter by the wait's end (in its last moments) did not.
        const int64_t bound = left - kRecvMarginMs;
        guard.Bound(bound);
        const int n = StreamRecv(socket, buf, kRecvChunk);
        const int error = ws::WSAGetLastError();
        if (StopRequested()) {
          RecvWaiting = false;
          return false;
        }
        if (n > 0) {
          data.append(buf, static_cast<size_t>(n));
          if (data.size() > options.replyCapBytes) {
            NoteReceiveFailure(-1, ws::err::MsgSize, word, 0);
            Report(u"WinSockCmdSend: " + name + u"の応答メッセージを受信できません。(recv) error: " + ToU16(-1));
            Report(u"WinSockCmdSend: " + SocketErrorText(ws::err::MsgSize));
            RecvWaiting = false;
            return false;
          }
        } else {
          // HTTP headers read past their first line: a peer that then falls
          // silent has answered, as a one-line reply would have.
          if (n < 0 && error == ws::err::TimedOut && style == ReplyStyle::HttpHeads && !data.empty() &&
              data.back() == '\n') {
            collecting = false;
            break;
          }
          if (n < 0 && error == ws::err::TimedOut && bound < kRecvMarginMs) {
            cutAtWaitEnd();
            break;
          }
          if (error != 0 || emptyReads >= options.emptyReadLimit) {
            NoteReceiveFailure(n, error, word, Seconds(options.replyWaitLimitMs));
            Report(u"WinSockCmdSend: " + name + u"の応答メッセージを受信できません。(recv) error: " + ToU16(n));
            Report(u"WinSockCmdSend: " + SocketErrorText(error));
            RecvWaiting = false;
            return false;
          }
          ++emptyReads;
          if (n == 0 && !data.empty()) {
            // The peer closed after answering: what came is the reply.
            collecting = false;
            break;
          }
        }
        if (n <= 0) continue;
        switch (style) {
          case ReplyStyle::HttpHeads:
            if (HttpHeadsEnded(data, marksScanned)) {
              passDone = true;
              moreAllowed = false;
            }
            break;
          case ReplyStyle::Numbered:
            if (numbered.Complete(data)) {
              passDone = true;
              moreAllowed = false;
            } else if (data.back() == '\n') {
              passDone = true;
            }
            break;
          default:
            passDone = data.back() == '\n';
            break;
        }
      }
      if (!collecting) break;
      switch (style) {
        case ReplyStyle::PopMulti:
          // Over the whole reply: the end mark may come cut between receives.
          collecting = !PopMultiLineEnded(data, marksScanned);
          break;
        case ReplyStyle::Numbered:
          collecting = moreAllowed;
          break;
        default:
          collecting = false;
          break;
      }
    }

    RecvWaiting = false;
    reply = FromAnsi(data);
    if (reply.empty()) {
      Report(u"WinSockCmdSend: " + name + u"　の応答メッセージを受信できません。(recv - no data)");
      return false;
    }

    bool accepted;
    if (cmdNo == 95) {
      accepted = reply.rfind(entry.ReplyHead, 0) == 0;
    } else {
      const std::u16string line = style == ReplyStyle::Numbered ? FinalReplyLine(reply) : reply;
      std::u16string head = line.substr(0, 4);
      std::u16string judged = xTrimCrLf(head);
      judged.resize(4, u' ');
      code = judged;
      accepted = judged == entry.OkCode1 || judged == entry.OkCode2 || judged == entry.OkCode3;
    }
    if (cmdNo == 95) NoteHttpStatusLine(ReplyFirstLine(reply));
    if (accepted) return true;
    FailReason why;
    why.kind = cmdNo == 95 ? FailKind::NotHttp : FailKind::UnexpectedReply;
    why.command = word;
    why.reply = ReplyFirstLine(reply);
    NoteFailReason(why);
    Report(u"WinSockCmdSend: " + name + u"：サーバにコマンドを拒否されました。");
    Report(u"WinSockCmdSend:  (" + reply + u")");
    return false;
  } catch (...) {
    ReportError(BuildErrorReport(u"", CurrentFailure(), NumberForm::Signed, ReportLayout::A));
    return false;
  }
}

int16_t WinSockClose(int32_t socket) {
  TlsRelease(socket);
  ws::closesocket(socket);
  return static_cast<int16_t>(ws::WSACleanup());
}
