#include "net/probes.h"

#include <ctime>
#include <string_view>

#include "net/certsummary.h"
#include "net/cmdsession.h"
#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/tlsstream.h"
#include "util/log.h"
#include "util/xcommon.h"

namespace {

// Command numbers of the reply table.
constexpr int16_t kSmtpHelo = 0;
constexpr int16_t kSmtpQuit = 5;
constexpr int16_t kSmtpEhlo = 6;
constexpr int16_t kSmtpStartTls = 8;
constexpr int16_t kPopUser = 10;
constexpr int16_t kPopStls = 17;
constexpr int16_t kPopQuit = 18;
constexpr int16_t kFtpUser = 90;
constexpr int16_t kFtpQuit = 92;
constexpr int16_t kFtpAuthTls = 93;
constexpr int16_t kHttpGet = 95;

const std::u16string kCrLf = u"\r\n";

// The greeting's final line (servers may greet over several lines) begins
// with the code and a blank, or is the bare code, which the protocols allow.
bool GreetingIs(const std::u16string& greeting, const std::u16string& expected) {
  const std::u16string line = FinalReplyLine(greeting);
  return line.rfind(expected + u" ", 0) == 0 || line == expected + u"\r\n" || line == expected + u"\n";
}

// "> " + line, the exchange, then the reply the exchange left behind (only
// when accepted, where a refused reply stays out of the transcript).
bool Exchange(int32_t socket, int16_t cmdNo, const std::u16string& line, std::u16string& text, std::u16string& reply,
              bool keepRefusedReply = true) {
  std::u16string code;
  text += u"> " + line;
  const bool ok = WinSockCmdSend(socket, cmdNo, line, reply, code);
  if (ok || keepRefusedReply) text += reply;
  return ok;
}

// The TLS of one check: the handshake, its transcript lines, what it found.
class TlsPart {
 public:
  TlsPart(TlsMode mode, TlsFindings* findings) : m_found(findings ? *findings : m_own) {
    m_found = TlsFindings{};
    m_found.mode = mode;
  }
  bool Implicit() const { return m_found.mode == TlsMode::Implicit; }
  bool Upgrade() const { return m_found.mode == TlsMode::StartTls; }
  bool Failed() const { return !m_found.error.empty(); }
  // Outside its validity period: the check fails, as every client would refuse the server.
  bool OutOfPeriod() const { return m_found.expired || m_found.notYetValid; }

  // The handshake and its lines; on failure the error line instead.
  bool Start(int32_t socket, const std::u16string& host, std::u16string& text) {
    const TlsHandshakeResult r = TlsHandshake(socket, host, SessionTimeoutMs());
    if (!r.ok) {
      FailReason why;
      why.kind = r.peerClosed ? FailKind::Closed : FailKind::TlsFailed;
      why.when = ClosedWhen::DuringHandshake;
      why.code = r.socketError;
      why.seconds = static_cast<double>(SessionTimeoutMs()) / 1000;
      why.detail = r.sslReason;
      NoteFailReason(why);
      return Fail(r.error, text);
    }
    // An address in any form the session accepts ("10.1") is matched in its dotted form.
    const std::u16string target = IsAddressText(host) ? GetIPAddressText(host) : host;
    const CertificateSummary cert = SummarizeCertificate(r.certificate, target, std::time(nullptr));
    m_found.handshake = true;
    m_found.version = r.version;
    m_found.oldProtocol = r.oldProtocol;
    m_found.chainVerified = r.chainVerified;
    m_found.verifyError = r.verifyError;
    m_found.nameMatches = cert.nameMatches;
    m_found.hasExpiry = cert.hasExpiry;
    m_found.expired = cert.expired;
    m_found.notYetValid = cert.notYetValid;
    m_found.daysLeft = cert.daysLeft;
    text += u"TLS： " + r.version + u" " + r.cipher + kCrLf;
    text += CertificateLines(cert);
    if (!r.chainVerified) text += u"警告： 証明書を検証できません（" + r.verifyError + u"）" + kCrLf;
    if (!cert.nameMatches) text += u"警告： 証明書の名前が対象と一致しません" + kCrLf;
    if (r.oldProtocol) text += u"警告： 古いプロトコルです（" + r.version + u"）" + kCrLf;
    return true;
  }

  // A session that the peer closed right after the handshake (or the
  // upgrade) failed inside TLS too: the block says so. True when it did.
  bool ClosedAfterHandshake(std::u16string& text) {
    FailReason why = LastFailReason();
    if (!m_found.handshake || Failed() || why.kind != FailKind::Closed) return false;
    why.when = Implicit() ? ClosedWhen::AfterHandshake : ClosedWhen::AfterUpgrade;
    NoteFailReason(why);
    Fail(Implicit() ? u"ハンドシェイクの直後に接続が閉じられました" : u"TLS への切り替えの直後に接続が閉じられました", text);
    return true;
  }

  bool Fail(const std::u16string& reason, std::u16string& text) {
    m_found.error = reason;
    text += u"TLS エラー： " + reason + kCrLf;
    ReportError(u"TLS エラー： " + reason);
    return false;
  }

 private:
  TlsFindings m_own;
  TlsFindings& m_found;
};

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// How much of a reply its first whole reply takes: the first line, or for a
// numbered reply whose first line is "NNN-", up to its final line.
size_t FirstReplyLength(std::u16string_view reply, bool numbered) {
  auto code = [](std::u16string_view line) {
    return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
  };
  for (size_t pos = 0, n = 0; pos < reply.size(); ++n) {
    const size_t lf = reply.find(u'\n', pos);
    const size_t end = lf == std::u16string_view::npos ? reply.size() : lf + 1;
    std::u16string_view line = reply.substr(pos, end - pos);
    while (!line.empty() && (line.back() == u'\n' || line.back() == u'\r')) line.remove_suffix(1);
    if (n == 0 ? !numbered || !code(line) || line.size() < 4 || line[3] != u'-'
               : code(line) && (line.size() == 3 || line[3] == u' '))
      return end;
    pos = end;
  }
  return reply.size();
}

// The protocol's upgrade command, its reply, then the handshake. Bytes after
// the reply came in plain text before TLS: never to be read as a reply
// inside it.
bool UpgradeToTls(int32_t socket, int16_t cmdNo, const std::u16string& word, bool numbered, const std::u16string& host,
                  std::u16string& text, std::u16string& reply, TlsPart& tls) {
  if (!Exchange(socket, cmdNo, word + kCrLf, text, reply)) {
    // An empty reply keeps the session's own reason (a close, no reply in time).
    if (!reply.empty())
      NoteFailReason(FailReason{FailKind::TlsRefused, {}, Narrow(word), ReplyFirstLine(reply), {}, 0, 0});
    return tls.Fail(reply.empty() ? word + u" の応答がありません" : u"サーバに " + word + u" を拒否されました", text);
  }
  if (FirstReplyLength(reply, numbered) != reply.size()) {
    const std::string detail = "plain text after the " + Narrow(word) + " reply";
    NoteFailReason(FailReason{FailKind::TlsFailed, {}, Narrow(word), {}, detail, 0, 0});
    return tls.Fail(word + u" の応答の後に平文のデータが届きました", text);
  }
  return tls.Start(socket, host, text);
}

// Whether an accepted EHLO reply offers the extension (a keyword line
// "250-WORD ..." or "250 WORD ...", any letter case).
bool Offers(const std::u16string& ehloReply, std::u16string_view keyword) {
  for (size_t pos = 0; pos < ehloReply.size();) {
    const size_t lf = ehloReply.find(u'\n', pos);
    const size_t end = lf == std::u16string::npos ? ehloReply.size() : lf + 1;
    std::u16string line = UpperAscii(std::u16string_view(ehloReply).substr(pos, end - pos));
    pos = end;
    while (!line.empty() && (line.back() == u'\n' || line.back() == u'\r' || line.back() == u' ')) line.pop_back();
    if (line.size() < 4 || line.compare(0, 3, u"250") != 0 || (line[3] != u'-' && line[3] != u' ')) continue;
    const size_t blank = line.find(u' ', 4);
    if (line.substr(4, blank == std::u16string::npos ? blank : blank - 4) == keyword) return true;
  }
  return false;
}

// Common opening of SMTP, POP and FTP: session (with the handshake first for
// Implicit), greeting, greeting check. On true the transcript has been
// started with the TLS lines and the greeting.
bool OpenWithGreeting(std::u16string& host, std::u16string& port, int32_t& socket, const std::u16string& expected,
                      const std::u16string& tag, std::u16string& transcript, std::u16string& text, TlsPart& tls) {
  std::u16string greeting, tlsLines;
  SessionStep handshake;
  if (tls.Implicit()) handshake = [&](int32_t s) { return tls.Start(s, host, tlsLines); };
  if (!WinSockManager(host, port, socket, greeting, false, true, handshake)) {
    tls.ClosedAfterHandshake(tlsLines);
    if (!tlsLines.empty()) transcript = tlsLines;  // what TLS showed before the opening failed
    return false;
  }
  if (!GreetingIs(greeting, expected)) {
    NoteFailReason(FailReason{FailKind::UnexpectedReply, {}, {}, ReplyFirstLine(greeting), {}, 0, 0});
    ReportError(u"Connect　サーバにコネクトできません。" + tag + HostPortText(host, port));
    transcript = tlsLines;
    WinSockClose(socket);
    return false;
  }
  text = tlsLines + greeting;
  return true;
}

// Ends a check that failed inside TLS.
bool FailedInsideTls(int32_t socket, std::u16string& text, std::u16string& transcript) {
  transcript = text;
  WinSockClose(socket);
  return false;
}

}  // namespace

std::u16string HttpHeaderSection(const std::u16string& reply) {
  // Line by line up to the blank line. A line is the text before the next
  // CR LF; what follows the last CR LF is not copied.
  std::u16string section;
  const std::u16string trimmed = xNullTrim(reply);
  size_t pos = 0;
  while (!trimmed.empty()) {
    const size_t crlf = trimmed.find(kCrLf, pos);
    if (crlf == std::u16string::npos) break;
    // Trimmed while it still ends with its CR: leading blanks go, trailing stay.
    std::u16string line = xNullTrim(std::u16string_view(trimmed).substr(pos, crlf - pos + 1));
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    if (line.empty()) break;
    section += line + kCrLf;
    pos = crlf + 2;
  }
  return section;
}

bool IsTlsInfoLine(std::u16string_view line) {
  for (std::u16string_view head : {u"TLS： ", u"証明書： ", u"名前： ", u"有効期限： ", u"警告： "})
    if (line.starts_with(head)) return true;
  return false;
}

bool SmtpCheck(std::u16string& host, std::u16string& port, std::u16string& transcript, TlsMode tlsMode,
               TlsFindings* findings) {
  ClearFailReason();
  TlsPart tls(tlsMode, findings);
  int32_t socket = -1;
  std::u16string text;
  if (!OpenWithGreeting(host, port, socket, u"220", u" [SMTP] ", transcript, text, tls)) return false;
  std::u16string reply;
  const bool ehlo = Exchange(socket, kSmtpEhlo, u"EHLO " + host + kCrLf, text, reply, false);
  bool greeted = ehlo;
  if (tls.Upgrade()) {
    // Offered only in the reply to EHLO; a server that refused EHLO offers nothing.
    if (!ehlo || !Offers(reply, u"STARTTLS")) {
      NoteFailReason(FailReason{FailKind::TlsNotOffered, {}, "STARTTLS", {}, {}, 0, 0});
      tls.Fail(u"STARTTLS が提供されていません", text);
      return FailedInsideTls(socket, text, transcript);
    }
    if (!UpgradeToTls(socket, kSmtpStartTls, u"STARTTLS", true, host, text, reply, tls))
      return FailedInsideTls(socket, text, transcript);
    greeted = Exchange(socket, kSmtpEhlo, u"EHLO " + host + kCrLf, text, reply, false);
    if (!greeted && tls.ClosedAfterHandshake(text)) return FailedInsideTls(socket, text, transcript);
  }
  if (!greeted) greeted = Exchange(socket, kSmtpHelo, u"HELO " + host + kCrLf, text, reply);
  const FailReason greeting = greeted ? FailReason{} : LastFailReason();  // HELO's refusal, not QUIT's
  const bool quit = Exchange(socket, kSmtpQuit, u"QUIT" + kCrLf, text, reply);
  if (!greeted || quit) NoteFailReason(greeting);  // a refused EHLO that HELO made good is none
  transcript = text;
  WinSockClose(socket);
  return greeted && quit && !tls.OutOfPeriod();
}

bool PopCheck(std::u16string& host, std::u16string& port, std::u16string& user, std::u16string& /*password*/,
              std::u16string& transcript, TlsMode tlsMode, TlsFindings* findings) {
  ClearFailReason();
  TlsPart tls(tlsMode, findings);
  int32_t socket = -1;
  std::u16string text;
  if (!OpenWithGreeting(host, port, socket, u"+OK", u" [POP] ", transcript, text, tls)) return false;
  std::u16string reply;
  if (tls.Upgrade() && !UpgradeToTls(socket, kPopStls, u"STLS", false, host, text, reply, tls))
    return FailedInsideTls(socket, text, transcript);
  const bool userOk = Exchange(socket, kPopUser, u"USER " + user + kCrLf, text, reply);
  if (!userOk && tls.Upgrade() && tls.ClosedAfterHandshake(text)) return FailedInsideTls(socket, text, transcript);
  const FailReason userFailure = LastFailReason();
  const bool quitOk = Exchange(socket, kPopQuit, u"QUIT" + kCrLf, text, reply);
  NoteFailReason(userOk || quitOk ? FailReason{} : userFailure);
  transcript = text;
  WinSockClose(socket);
  return (userOk || quitOk) && !tls.OutOfPeriod();
}

bool FtpCheck(std::u16string& host, std::u16string& port, std::u16string& user, std::u16string& /*password*/,
              const int16_t& /*spare*/, std::u16string& transcript, TlsMode tlsMode, TlsFindings* findings) {
  ClearFailReason();
  TlsPart tls(tlsMode, findings);
  int32_t socket = -1;
  std::u16string text;
  if (!OpenWithGreeting(host, port, socket, u"220", u" [FTP] ", transcript, text, tls)) return false;
  std::u16string reply;
  if (tls.Upgrade() && !UpgradeToTls(socket, kFtpAuthTls, u"AUTH TLS", true, host, text, reply, tls))
    return FailedInsideTls(socket, text, transcript);
  if (!Exchange(socket, kFtpUser, u"USER " + user + kCrLf, text, reply, false)) {
    if (tls.Upgrade()) tls.ClosedAfterHandshake(text);
    transcript = text;
    WinSockClose(socket);
    return false;
  }
  const bool quitOk = Exchange(socket, kFtpQuit, u"QUIT" + kCrLf, text, reply);
  transcript = text;
  WinSockClose(socket);
  return quitOk && !tls.OutOfPeriod();
}

bool HttpCheck(std::u16string& host, std::u16string& port, std::u16string& transcript, TlsMode tlsMode,
               TlsFindings* findings) {
  ClearFailReason();
  TlsPart tls(tlsMode, findings);
  if (tls.Upgrade()) {
    NoteFailReason(FailReason{FailKind::TlsFailed, {}, {}, {}, "HTTP has no upgrade to TLS", 0, 0});
    transcript = u"HTTP には t を使えません" + kCrLf;
    return false;
  }
  int32_t socket = -1;
  std::u16string greeting, tlsLines;
  SessionStep handshake;
  if (tls.Implicit()) handshake = [&](int32_t s) { return tls.Start(s, host, tlsLines); };
  if (!WinSockManager(host, port, socket, greeting, true, true, handshake)) {
    if (!tlsLines.empty()) transcript = tlsLines;
    return false;
  }
  std::u16string text = tlsLines;
  std::u16string reply, code;
  // Servers with several sites need the name; plain HTTP keeps its one line.
  // An IPv6 address goes in brackets, as in a URL.
  const std::u16string hostField = IsIpv6AddressText(host) ? u"[" + host + u"]" : host;
  const std::u16string get =
      u"GET / HTTP/1.0" + kCrLf + (tls.Implicit() ? u"Host: " + hostField + kCrLf : std::u16string()) + kCrLf;
  text += u"> " + get;
  const bool ok = WinSockCmdSend(socket, kHttpGet, get, reply, code);
  text += HttpHeaderSection(reply);
  if (!ok && reply.empty()) tls.ClosedAfterHandshake(text);
  transcript = text;
  WinSockClose(socket);
  return ok && !tls.OutOfPeriod();
}
