#include "support/tlsverdicts.h"

#include <openssl/ssl.h>

#include "support/testcert.h"

TlsVerdictPeers MakeTlsVerdictPeers(int64_t now) {
  const int64_t day = 86400, from = now - 3600, until = now + 30 * day + 3600;
  // RSA, so that it can sign with MD5 too.
  const TestCert ca = MakeTestCert("velkor test CA", "", now - day, now + 400 * day, nullptr, true, {2048, false});
  const std::string san = "IP:127.0.0.1";
  auto leaf = [&](int64_t notBefore, int64_t notAfter, TestCertKind kind = {}) {
    const TestCert c = MakeTestCert("tls.example", san, notBefore, notAfter, &ca, false, kind);
    return TlsPeer{c.certPem, c.keyPem};
  };
  TlsVerdictPeers out{ca.certPem, {}};
  const TlsPeer valid = leaf(from, until);
  TlsPeer tls10 = valid, tls11 = valid;
  tls10.onlyVersion = TLS1_VERSION;
  tls11.onlyVersion = TLS1_1_VERSION;
  out.peers = {
      {"valid", valid},
      {"md5", leaf(from, until, {0, true})},
      {"rsa1024", leaf(from, until, {1024, false})},
      {"tls1.0", tls10},
      {"tls1.1", tls11},
      {"not yet valid", leaf(now + day, until)},
      {"expired", leaf(now - 30 * day, now - day)},
  };
  return out;
}

PeerScript HttpsScript() {
  return {{"tls", ""}, {"line", ""}, {"line", ""}, {"line", ""},
          {"send", "HTTP/1.1 200 OK\r\nServer: old\r\n\r\n"}, {"close", ""}};
}
