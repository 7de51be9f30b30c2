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
  std::map<std::string, int> values;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = std::atoi(&line[eq + 1]);
  const std::pair<std::string, uint16_t*> wanted[] = {
      {"SMTP_PORT", &peers.smtp}, {"SMTP_NOEHLO_PORT", &peers.smtpNoEhlo}, {"POP_PORT", &peers.pop},
      {"FTP_PORT", &peers.ftp},   {"FTP_BANNER_PORT", &peers.ftpBanner},   {"HTTP_PORT", &peers.http}};
  for (const auto& [name, port] : wanted) {
    if (values[name] <= 0 || values[name] > 65535) {
      peers.why = "no " + name + " in " + path + " (the tcp_peers fixture did not start the peers)";
      return peers;
    }
    *port = static_cast<uint16_t>(values[name]);
  }
  peers.available = true;
  return peers;
}

std::u16string PortText(uint16_t port) {
  const std::string s = std::to_string(port);
  return std::u16string(s.begin(), s.end());
}

bool RunProbe(ProbeKind kind, std::u16string host, uint16_t port, std::u16string user, std::u16string password,
              std::u16string& transcript) {
  std::u16string portText = PortText(port);
  switch (kind) {
    case ProbeKind::Smtp: return SmtpCheck(host, portText, transcript);
    case ProbeKind::Pop: return PopCheck(host, portText, user, password, transcript);
    case ProbeKind::Ftp: return FtpCheck(host, portText, user, password, 0, transcript);
    default: return HttpCheck(host, portText, transcript);
  }
}
