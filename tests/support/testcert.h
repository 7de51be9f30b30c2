#pragma once
// Certificates made in the test process with OpenSSL, for scripted TLS
// peers and the certificate summary: an EC P-256 key, the subject
// "O = velkor test, CN = " + cn, the given subjectAltName, a validity in
// seconds since the epoch, signed by an issuer or by itself.
#include <cstdint>
#include <string>

struct TestCert {
  std::string certPem, keyPem;
  std::string der;  // the certificate
};

// What a weak certificate is made of: an RSA key of rsaBits (0: EC P-256)
// and, with md5, an MD5 signature (the signer's key must then be RSA). A
// server that presents such a certificate needs OpenSSL's security level 0.
struct TestCertKind {
  int rsaBits = 0;
  bool md5 = false;
};

// san: OpenSSL's form ("DNS:mx.example,IP:127.0.0.1"); "" for none.
TestCert MakeTestCert(const std::string& cn, const std::string& san, int64_t notBefore, int64_t notAfter,
                      const TestCert* issuer = nullptr, bool ca = false, TestCertKind kind = {});

// Seconds since the epoch now.
int64_t EpochNow();
