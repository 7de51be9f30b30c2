#include "support/tcppeers.h"

#include <cstdlib>
#include <fstream>
#include <map>

#ifndef VELKOR_TCP_PEERS_FILE
#define VELKOR_TCP_PEERS_FILE ""
#endif

TcpPeers LoadTcpPeers() {
  TcpPeers peers;
  const char* env = std::getenv("VELKOR_TCP_PEERS_FILE");
  const std::string path = env && *env ? env : VELKOR_TCP_PEERS_FILE;
  std::ifstream in(path);
  if (!in) {
    peers.why = "no ports file " + path + " (the tcp_peers fixture did not start them)";
    return peers;
  }
  std::map<std::string, int> values;
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
  }
  auto port = [&](const char* name, uint16_t& out) {
    const int v = values.count(name) ? values[name] : 0;
    if (v <= 0 || v > 65535) {
      peers.why = std::string("ports file ") + path + " lacks " + name;
      return false;
    }
    out = static_cast<uint16_t>(v);
    return true;
  };
  peers.available = port("SMTP_PORT", peers.smtp) && port("SMTP_NOEHLO_PORT", peers.smtpNoEhlo) &&
                    port("POP_PORT", peers.pop) && port("FTP_PORT", peers.ftp) &&
                    port("FTP_BANNER_PORT", peers.ftpBanner) && port("HTTP_PORT", peers.http);
  return peers;
}

std::u16string PortText(uint16_t port) {
  const std::string s = std::to_string(port);
  return std::u16string(s.begin(), s.end());
}
