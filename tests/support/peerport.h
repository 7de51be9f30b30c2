#pragma once
// Where a real peer that a ctest fixture started listens: the start script
// writes the port to <build>/peers/<name>/port.
#include <string>

// The peer's directory under the build tree.
std::string PeerDir(const std::string& name);
// The port, or 0 when the peer is not running (not started, or no root).
int PeerPort(const std::string& name);
