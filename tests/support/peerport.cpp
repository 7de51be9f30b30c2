#include "support/peerport.h"

#include <fstream>

// VELKOR_PEERS_DIR: the peers directory of the build tree, set by the build.
std::string PeerDir(const std::string& name) { return std::string(VELKOR_PEERS_DIR) + "/" + name; }

int PeerPort(const std::string& name) {
  int port = 0;
  return std::ifstream(PeerDir(name) + "/port") >> port && port > 0 && port <= 65535 ? port : 0;
}
