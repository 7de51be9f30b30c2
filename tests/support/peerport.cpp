#include "support/peerport.h"

#include <fstream>

#ifndef VELKOR_PEERS_DIR
#error "VELKOR_PEERS_DIR must name the peers directory of the build tree"
#endif

std::string PeerDir(const std::string& name) { return std::string(VELKOR_PEERS_DIR) + "/" + name; }

int PeerPort(const std::string& name) {
  std::ifstream in(PeerDir(name) + "/port");
  int port = 0;
  if (!(in >> port) || port <= 0 || port > 65535) return 0;
  return port;
}
