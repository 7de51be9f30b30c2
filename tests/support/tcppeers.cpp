#include "support/tcppeers.h"

#include <cstdlib>
#include <fstream>
#include <map>

#include "net/probes.h"

#ifndef VELKOR_TCP_PEERS_FILE
#define VELKOR_TCP_PEERS_FILE ""
#endif

TcpPeers LoadTcpPeers() {
  TcpPeers peers;
  const char* env = std::getenv("VELKOR_TCP_PEERS_FILE");
  const std::string path = env && *env ? env : VELKOR_TCP_PEERS_FILE;
  std::map<std::string, std::string> texts;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (const size_t eq = line.find('='); eq != std::string::npos) texts[line.substr(0, eq)] = line.substr(eq + 1);
  }
  const std::pair<std::string, uint16_t*> wanted[] = {
      {"SMTP_PORT", &peers.smtp},       {"SMTP_NOEHLO_PORT", &peers.smtpNoEhlo}, {"POP_PORT", &peers.pop},
      {"FTP_PORT", &peers.ftp},         {"FTP_BANNER_PORT", &peers.ftpBanner},   {"HTTP_PORT", &peers.http},
      {"SMTP_TLS_PORT", &peers.smtpTls}, {"SMTPS_PORT", &peers.smtps},            {"POP3S_PORT", &peers.pop3s},
      {"FTP_TLS_PORT", &peers.ftpTls},  {"FTPS_PORT", &peers.ftps},              {"HTTPS_PORT", &peers.https},
      {"HTTPS_EXPIRED_PORT", &peers.httpsExpired}, {"HTTPS_OTHER_PORT", &peers.httpsOther}};
  for (const auto& [name, port] : wanted) {
    const int value = std::atoi(texts[name].c_str());
    if (value <= 0 || value > 65535) {
      peers.why = "no " + name + " in " + path + " (the tcp_peers fixture did not start the peers)";
      return peers;
    }
    *port = static_cast<uint16_t>(value);
  }
  peers.caFile = texts["TLS_CA_FILE"];
  if (peers.caFile.empty()) {
    peers.why = "no TLS_CA_FILE in " + path;
    return peers;
  }
  peers.ipv6 = std::atoi(texts["IPV6_PEERS"].c_str()) == 1;
  peers.available = true;
  return peers;
}

std::u16string PortText(uint16_t port) {
  const std::string s = std::to_string(port);
  return std::u16string(s.begin(), s.end());
}

bool RunProbe(ProbeKind kind, std::u16string host, uint16_t port, std::u16string user, std::u16string password,
              std::u16string& transcript, TlsMode tls, TlsFindings* findings) {
  std::u16string portText = PortText(port);
  switch (kind) {
    case ProbeKind::Smtp: return SmtpCheck(host, portText, transcript, tls, findings);
    case ProbeKind::Pop: return PopCheck(host, portText, user, password, transcript, tls, findings);
    case ProbeKind::Ftp: return FtpCheck(host, portText, user, password, 0, transcript, tls, findings);
    default: return HttpCheck(host, portText, transcript, tls, findings);
  }
}

// OpenSSL reads its default trust store's location from SSL_CERT_FILE.
TrustedCa::TrustedCa(const std::string& caFile) {
  if (const char* v = std::getenv("SSL_CERT_FILE")) m_had = true, m_saved = v;
  if (!caFile.empty()) ::setenv("SSL_CERT_FILE", caFile.c_str(), 1);
}

TrustedCa::~TrustedCa() {
  if (m_had) ::setenv("SSL_CERT_FILE", m_saved.c_str(), 1);
  else ::unsetenv("SSL_CERT_FILE");
}
