#include "support/testcert.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <memory>
#include <stdexcept>

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

std::string Drain(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

TestCert MakeTestCert(const std::string& cn, const std::string& san, int64_t notBefore, int64_t notAfter,
                      const TestCert* issuer, bool ca, TestCertKind kind) {
  Key key(kind.rsaBits > 0 ? EVP_RSA_gen(static_cast<unsigned>(kind.rsaBits)) : EVP_EC_gen("P-256"));
  Check(key != nullptr, "key");
  Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  static long serial = 1000;
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
  Check(ASN1_TIME_set(X509_getm_notBefore(cert.get()), static_cast<time_t>(notBefore)) != nullptr, "notBefore");
  Check(ASN1_TIME_set(X509_getm_notAfter(cert.get()), static_cast<time_t>(notAfter)) != nullptr, "notAfter");
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("velkor test"), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                             0);
  X509_set_pubkey(cert.get(), key.get());

  Cert issuerCert;
  Key issuerKey;
  if (issuer) {
    Bio c(BIO_new_mem_buf(issuer->certPem.data(), static_cast<int>(issuer->certPem.size())));
    Bio k(BIO_new_mem_buf(issuer->keyPem.data(), static_cast<int>(issuer->keyPem.size())));
    issuerCert.reset(PEM_read_bio_X509(c.get(), nullptr, nullptr, nullptr));
    issuerKey.reset(PEM_read_bio_PrivateKey(k.get(), nullptr, nullptr, nullptr));
    Check(issuerCert && issuerKey, "issuer");
  }
  X509* signerCert = issuer ? issuerCert.get() : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signerCert));
  if (!san.empty()) AddExtension(cert.get(), signerCert, NID_subject_alt_name, san);
  if (ca) AddExtension(cert.get(), signerCert, NID_basic_constraints, "critical,CA:TRUE");
  Check(X509_sign(cert.get(), issuer ? issuerKey.get() : key.get(), kind.md5 ? EVP_md5() : EVP_sha256()) > 0, "sign");

  TestCert out;
  Bio pem(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(pem.get(), cert.get());
  out.certPem = Drain(pem.get());
  Bio keyPem(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  out.keyPem = Drain(keyPem.get());
  unsigned char* der = nullptr;
  const int n = i2d_X509(cert.get(), &der);
  out.der.assign(reinterpret_cast<const char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return out;
}

int64_t EpochNow() { return static_cast<int64_t>(std::time(nullptr)); }
