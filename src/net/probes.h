#pragma once
// The four service checks. Each opens a session, reads the greeting (not
// HTTP), sends a short harmless dialogue, closes, and answers its verdict;
// the transcript receives the greeting and every command line ("> " + line)
// with its reply. No check logs in: the password is accepted and never sent.
// host and port are trimmed in place by the session; port is the number
// alone (a suffix is split off by the caller, tlsport.h).
//
// tls asks for TLS: Implicit makes the handshake right after the connect
// and then speaks the plain dialogue inside it (HTTPS also names the host in
// a Host line); StartTls upgrades with the protocol's own command (SMTP
// STARTTLS when the EHLO reply offers it, POP STLS, FTP AUTH TLS) and goes on
// inside TLS (SMTP with a second EHLO); HTTP has no such command and fails.
// The transcript then carries the TLS lines: "TLS： " version and cipher,
// the certificate's lines (certsummary.h) and the warnings (a chain that
// does not verify, names that do not cover the target, a protocol below
// TLS 1.2); for Implicit they come first, for StartTls after the upgrade's
// reply. A failure inside TLS (handshake, refused or unoffered upgrade,
// plain bytes after the upgrade's reply) ends the transcript with
// "TLS エラー： " + reason, reported through ReportError too. An expired
// certificate fails the check after the dialogue has run to its end.
#include <cstdint>
#include <string>
#include <string_view>

#include "net/tlsport.h"

// What the TLS of one check found, for callers that judge more than the
// verdict.
struct TlsFindings {
  TlsMode mode = TlsMode::None;
  bool handshake = false;      // made
  std::u16string error;        // the reason of a failure inside TLS
  std::u16string version;      // "TLSv1.2"
  bool oldProtocol = false;    // below TLS 1.2
  bool chainVerified = false;  // against the system's trust store
  std::u16string verifyError;
  bool nameMatches = false;    // the certificate's names cover the target
  bool hasExpiry = false;
  bool expired = false;
  bool notYetValid = false;    // its validity period has not begun
  int64_t daysLeft = 0;        // whole days left, rounded down
};

// A transcript line that the TLS part wrote about the session ("TLS： ",
// the certificate's lines, "警告： "), not a line the server sent. The error
// line "TLS エラー： " is none of them.
bool IsTlsInfoLine(std::u16string_view line);

bool SmtpCheck(std::u16string& host, std::u16string& port, std::u16string& transcript, TlsMode tls = TlsMode::None,
               TlsFindings* findings = nullptr);
bool PopCheck(std::u16string& host, std::u16string& port, std::u16string& user, std::u16string& password,
              std::u16string& transcript, TlsMode tls = TlsMode::None, TlsFindings* findings = nullptr);
// spare: kept for the caller's sake (it passes 0); unused.
bool FtpCheck(std::u16string& host, std::u16string& port, std::u16string& user, std::u16string& password,
              const int16_t& spare, std::u16string& transcript, TlsMode tls = TlsMode::None,
              TlsFindings* findings = nullptr);
bool HttpCheck(std::u16string& host, std::u16string& port, std::u16string& transcript, TlsMode tls = TlsMode::None,
               TlsFindings* findings = nullptr);

// The header section of an HTTP reply as the transcript shows it: each line
// up to the blank line, leading blanks removed, ending in CR LF.
std::u16string HttpHeaderSection(const std::u16string& reply);
