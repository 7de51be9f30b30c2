#include "net/failphrase.h"

#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "net/winsock.h"
#include "util/codepage.h"

std::string ShortSeconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", s);
  return buf;
}

std::string OneLineText(std::u16string_view text) {
  std::u16string t(text);
  for (char16_t& ch : t) {
    if (ch == u'|') ch = u'\u00A6';
    else if (ch < 0x20 || ch == 0x7F) ch = u' ';
  }
  return ToUtf8(t);
}

std::string Quoted(std::u16string_view line) {
  constexpr size_t kMax = 80;
  std::u16string cut(line.substr(0, kMax));
  // Not half a surrogate pair.
  if (line.size() > kMax && !cut.empty() && cut.back() >= 0xD800 && cut.back() <= 0xDBFF) cut.pop_back();
  return "\"" + OneLineText(cut) + (line.size() > kMax ? "...\"" : "\"");
}

std::string ReplyCode(std::u16string_view line) {
  std::string code;
  for (char16_t ch : line) {
    if (ch == u' ' || ch == u'\t' || code.size() >= 8) break;
    if (ch == u'-' && code.size() == 3 && std::all_of(code.begin(), code.end(), ::isdigit)) break;
    if (ch < 0x21 || ch > 0x7E) return "";
    code += static_cast<char>(ch);
  }
  return code;
}

std::string SocketErrorPhrase(int code) {
  switch (code) {
    case ws::err::ConnReset: return "connection reset by the peer";
    case ws::err::MsgSize: return "reply too large";
    case ws::err::NetUnreach: return "network unreachable";
    case ws::err::HostUnreach: return "host unreachable";
    default: return "socket error " + std::to_string(code);
  }
}

std::string FailurePhrase(const FailReason& f) {
  const std::string within = ShortSeconds(f.seconds) + " s";
  switch (f.kind) {
    case FailKind::None: return "";
    case FailKind::NameNotFound: return "name not found";
    case FailKind::LookupFailed:
      return "name lookup failed (" + (f.code != 0 ? std::string(gai_strerror(f.code)) : "no answer") + ")";
    case FailKind::Refused: return "connection refused";
    case FailKind::Unreachable: return SocketErrorPhrase(f.code);
    case FailKind::ConnectTimedOut: return "connect timed out after " + within;
    case FailKind::NoGreeting: return "no greeting within " + within;
    case FailKind::Closed: {
      const std::string what =
          f.code == ws::err::ConnReset ? "connection reset by the peer" : "connection closed by the peer";
      switch (f.when) {
        case ClosedWhen::BeforeGreeting: return what + " before the greeting";
        case ClosedWhen::AfterCommand: return what + " after " + f.command;
        case ClosedWhen::DuringHandshake: return what + " during the TLS handshake";
        case ClosedWhen::AfterUpgrade: return what + " after the upgrade to TLS";
        case ClosedWhen::AfterHandshake: return what + " after the TLS handshake";
      }
      return what;
    }
    case FailKind::NoReply: return "no reply to " + f.command + " within " + within;
    case FailKind::UnexpectedReply: {
      const std::string code = ReplyCode(f.reply);
      if (f.command.empty()) return "unexpected greeting " + (code.empty() ? "" : code + " ") + Quoted(f.reply);
      return "unexpected reply " + (code.empty() ? "" : code + " ") + "to " + f.command + ": " + Quoted(f.reply);
    }
    case FailKind::NotHttp: return "not an HTTP reply: " + Quoted(f.reply);
    case FailKind::TlsNotOffered: return f.command + " not offered";
    case FailKind::TlsRefused: return f.command + " refused: " + Quoted(f.reply);
    case FailKind::TlsFailed: {
      std::string detail = f.detail;
      if (detail.empty() && f.code == ws::err::TimedOut) detail = "timed out after " + within;
      if (detail.empty() && f.code != 0) detail = SocketErrorPhrase(f.code);
      if (f.when != ClosedWhen::DuringHandshake) return "TLS failed" + (detail.empty() ? "" : " (" + detail + ")");
      return "TLS handshake failed" + (detail.empty() ? "" : " (" + detail + ")");
    }
    case FailKind::SocketError: return SocketErrorPhrase(f.code);
    case FailKind::PortOutOfRange: return "port outside 0..65535";
    case FailKind::SharesRefused: return "share list refused";
    case FailKind::SharesFailed: return "no share list";
    case FailKind::SharesTimedOut: return "no share list within " + within;
    case FailKind::NoAddressOfFamily: return f.code == 6 ? "no IPv6 address" : "no IPv4 address";
    case FailKind::EveryAddressFailed: return "every address failed";
  }
  return "";
}
