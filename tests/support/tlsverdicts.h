#pragma once
// Scripted HTTPS peers whose certificates and protocols each earn a verdict
// of their own: all issued by one RSA authority (trust its caPem), served at
// OpenSSL's security level 0 as an old server would.
#include <cstdint>
#include <map>
#include <string>

#include "support/scriptserver.h"

struct TlsVerdictPeers {
  std::string caPem;
  // By name: "valid", "md5", "rsa1024", "tls1.0", "tls1.1", "not yet valid", "expired".
  std::map<std::string, TlsPeer> peers;
};

// Certificates valid from an hour before now for 30 days and an hour
// (issued for "127.0.0.1"), except where the name says otherwise.
TlsVerdictPeers MakeTlsVerdictPeers(int64_t now);

// One HTTP/1.0 exchange inside TLS: the request's three lines, a 200 reply.
PeerScript HttpsScript();
