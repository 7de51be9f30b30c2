#pragma once
// The real service peers of the tcp_peers fixture (tests/peers): where they
// listen. All of them are on 127.0.0.1; some on ::1 too.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "net/probes.h"

struct TcpPeers {
  bool available = false;
  std::string why;  // when not available: what the reader found
  std::string host = "127.0.0.1";
  uint16_t smtp = 0;        // postfix
  uint16_t smtpNoEhlo = 0;  // postfix answering EHLO with a single 500 line
  uint16_t pop = 0;         // dovecot, POP3 only
  uint16_t ftp = 0;         // vsftpd
  uint16_t ftpBanner = 0;   // vsftpd with a multi-line banner
  uint16_t http = 0;        // nginx
  // TLS, with certificates of the fixture's own authority (caFile).
  uint16_t smtpTls = 0;       // postfix offering STARTTLS
  uint16_t smtps = 0;         // postfix in TLS from the first byte
  uint16_t pop3s = 0;         // dovecot POP3S (the pop port offers STLS)
  uint16_t ftpTls = 0;        // vsftpd with AUTH TLS
  uint16_t ftps = 0;          // vsftpd, implicit FTPS
  uint16_t https = 0;         // nginx, a valid certificate
  uint16_t httpsExpired = 0;  // nginx, an expired certificate
  uint16_t httpsOther = 0;    // nginx, a certificate for other.example
  std::string caFile;
  // The first peer of each kind (smtp, smtps, pop, pop3s, ftp, ftps, http,
  // https) listens on ::1 too, at the same port.
  bool ipv6 = false;
};

// Reads <build>/testpeers/tcp/ports.env (or the file named by the
// environment variable VELKOR_TCP_PEERS_FILE).
TcpPeers LoadTcpPeers();

// A port as the settings hold it: decimal text.
std::u16string PortText(uint16_t port);

// Runs one of the four service checks on host:port (the password is handed
// over, never to be sent).
enum class ProbeKind { Smtp, Pop, Ftp, Http };
bool RunProbe(ProbeKind kind, std::u16string host, uint16_t port, std::u16string user, std::u16string password,
              std::u16string& transcript, TlsMode tls = TlsMode::None, TlsFindings* findings = nullptr);

// Points OpenSSL's trust store at one CA file (the fixture's) for the length
// of the object; "" keeps the system's.
class TrustedCa {
 public:
  explicit TrustedCa(const std::string& caFile);
  ~TrustedCa();

 private:
  std::string m_saved;
  bool m_had = false;
};

// In a test: skips loudly when the peers are not there (no root).
#define VELKOR_REQUIRE_TCP_PEERS(peers)                                                            \
  do {                                                                                            \
    if (!(peers).available)                                                                       \
      GTEST_SKIP() << "SKIPPED: real TCP peers (postfix, dovecot, vsftpd, nginx) are not running: " \
                   << (peers).why << " -- they need root; run the suite as root (CI does).";      \
  } while (0)
