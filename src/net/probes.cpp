#include "net/probes.h"

#include "net/cmdsession.h"
#include "util/log.h"
#include "util/xcommon.h"

namespace {

// Command numbers of the reply table.
constexpr int16_t kSmtpHelo = 0;
constexpr int16_t kSmtpQuit = 5;
constexpr int16_t kSmtpEhlo = 6;
constexpr int16_t kPopUser = 10;
constexpr int16_t kPopQuit = 18;
constexpr int16_t kFtpUser = 90;
constexpr int16_t kFtpQuit = 92;
constexpr int16_t kHttpGet = 95;

const std::u16string kCrLf = u"\r\n";

// The greeting's final line (servers may greet over several lines) begins
// with the code and a blank, or is the bare code, which the protocols allow.
bool GreetingIs(const std::u16string& greeting, const std::u16string& expected) {
  const std::u16string line = FinalReplyLine(greeting);
  return line.rfind(expected + u" ", 0) == 0 || line == expected + u"\r\n" || line == expected + u"\n";
}

// Common opening of SMTP, POP and FTP: session, greeting, greeting check.
// On true the transcript has been started with the greeting.
bool OpenWithGreeting(std::u16string& host, std::u16string& port, int32_t& socket, const std::u16string& expected,
                      const std::u16string& tag, std::u16string& transcript, std::u16string& text) {
  std::u16string greeting;
  if (!WinSockManager(host, port, socket, greeting, false, true)) return false;
  if (!GreetingIs(greeting, expected)) {
    ReportError(u"Connect　サーバにコネクトできません。" + tag + host + u":" + port);
    transcript.clear();
    WinSockClose(socket);
    return false;
  }
  text = greeting;
  return true;
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

bool SmtpCheck(std::u16string& host, std::u16string& port, std::u16string& transcript) {
  int32_t socket = -1;
  std::u16string text;
  if (!OpenWithGreeting(host, port, socket, u"220", u" [SMTP] ", transcript, text)) return false;
  std::u16string reply;
  bool greeted = Exchange(socket, kSmtpEhlo, u"EHLO " + host + kCrLf, text, reply, false);
  if (!greeted) greeted = Exchange(socket, kSmtpHelo, u"HELO " + host + kCrLf, text, reply);
  const bool quit = Exchange(socket, kSmtpQuit, u"QUIT" + kCrLf, text, reply);
  transcript = text;
  WinSockClose(socket);
  return greeted && quit;
}

bool PopCheck(std::u16string& host, std::u16string& port, std::u16string& user, std::u16string& /*password*/,
              std::u16string& transcript) {
  int32_t socket = -1;
  std::u16string text;
  if (!OpenWithGreeting(host, port, socket, u"+OK", u" [POP] ", transcript, text)) return false;
  std::u16string reply;
  const bool userOk = Exchange(socket, kPopUser, u"USER " + user + kCrLf, text, reply);
  const bool quitOk = Exchange(socket, kPopQuit, u"QUIT" + kCrLf, text, reply);
  transcript = text;
  WinSockClose(socket);
  return userOk || quitOk;
}

bool FtpCheck(std::u16string& host, std::u16string& port, std::u16string& user, std::u16string& /*password*/,
              const int16_t& /*spare*/, std::u16string& transcript) {
  int32_t socket = -1;
  std::u16string text;
  if (!OpenWithGreeting(host, port, socket, u"220", u" [FTP] ", transcript, text)) return false;
  std::u16string reply;
  if (!Exchange(socket, kFtpUser, u"USER " + user + kCrLf, text, reply, false)) {
    transcript = text;
    WinSockClose(socket);
    return false;
  }
  const bool quitOk = Exchange(socket, kFtpQuit, u"QUIT" + kCrLf, text, reply);
  transcript = text;
  WinSockClose(socket);
  return quitOk;
}

bool HttpCheck(std::u16string& host, std::u16string& port, std::u16string& transcript) {
  int32_t socket = -1;
  std::u16string greeting;
  if (!WinSockManager(host, port, socket, greeting, true, true)) return false;
  std::u16string text;
  std::u16string reply, code;
  const std::u16string get = u"GET / HTTP/1.0" + kCrLf + kCrLf;
  text += u"> " + get;
  const bool ok = WinSockCmdSend(socket, kHttpGet, get, reply, code);
  text += HttpHeaderSection(reply);
  transcript = text;
  WinSockClose(socket);
  return ok;
}
