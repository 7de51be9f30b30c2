#include "net/certsummary.h"

#include <arpa/inet.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "util/codepage.h"
#include "util/xcommon.h"

namespace {

// A certificate may list any number of names; the line shows this many.
constexpr size_t kNamesShown = 64;
constexpr int64_t kSecondsPerDay = 86400;

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct NamesFree {
  void operator()(GENERAL_NAMES* n) const { GENERAL_NAMES_free(n); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

// Bytes a certificate author chose may hold anything; a control character
// would split the transcript's lines.
std::u16string Printable(std::string_view bytes) {
  std::u16string text = FromUtf8(bytes);
  for (char16_t& c : text)
    if (c < 0x20 || c == 0x7F) c = u'?';
  return text;
}

// One line, as OpenSSL prints a name, UTF-8 kept, control characters escaped.
std::u16string NameText(const X509_NAME* name) {
  if (name == nullptr) return {};
  std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
  if (!out) return {};
  const unsigned long flags = XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB;
  if (X509_NAME_print_ex(out.get(), name, 0, flags) < 0) return {};
  char* data = nullptr;
  const long n = BIO_get_mem_data(out.get(), &data);
  return Printable(std::string_view(data, n > 0 ? static_cast<size_t>(n) : 0));
}

std::u16string AddressText(const ASN1_OCTET_STRING* ip) {
  char text[INET6_ADDRSTRLEN] = {};
  const int length = ASN1_STRING_length(ip);
  const int family = length == 4 ? AF_INET : length == 16 ? AF_INET6 : 0;
  if (family == 0 || inet_ntop(family, ASN1_STRING_get0_data(ip), text, sizeof text) == nullptr) return {};
  return Ascii16(text);
}

std::u16string StringText(const ASN1_STRING* s) {
  return Printable(std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
                                    static_cast<size_t>(std::max(ASN1_STRING_length(s), 0))));
}

std::vector<std::u16string> CoveredNames(X509* cert) {
  std::vector<std::u16string> names;
  std::unique_ptr<GENERAL_NAMES, NamesFree> alt(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  bool dns = false;
  for (int i = 0; alt && i < sk_GENERAL_NAME_num(alt.get()); ++i) {
    const GENERAL_NAME* g = sk_GENERAL_NAME_value(alt.get(), i);
    std::u16string name;
    if (g->type == GEN_DNS) name = StringText(g->d.dNSName), dns = true;
    else if (g->type == GEN_IPADD) name = AddressText(g->d.iPAddress);
    if (!name.empty()) names.push_back(std::move(name));
  }
  if (dns) return names;
  // Without DNS names the certificate stands for its subject's CN too, as the name check reads it.
  const X509_NAME* subject = X509_get_subject_name(cert);
  for (int i = -1; (i = X509_NAME_get_index_by_NID(subject, NID_commonName, i)) >= 0;) {
    const ASN1_STRING* cn = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, i));
    if (cn) names.push_back(StringText(cn));
  }
  return names;
}

bool IsAddress(const std::string& text) {
  unsigned char buf[16];
  return inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

std::u16string LocalTimeText(int64_t epoch) {
  const std::time_t t = static_cast<std::time_t>(epoch);
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return Ascii16(buf);
}

}  // namespace

CertificateSummary SummarizeCertificate(std::string_view der, std::u16string_view target, int64_t now) {
  CertificateSummary s;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!cert) return s;
  s.parsed = true;
  s.subject = NameText(X509_get_subject_name(cert.get()));
  s.issuer = NameText(X509_get_issuer_name(cert.get()));
  s.names = CoveredNames(cert.get());

  const std::string host = ToUtf8(target);
  if (IsAddress(host)) s.nameMatches = X509_check_ip_asc(cert.get(), host.c_str(), 0) == 1;
  else if (!host.empty()) s.nameMatches = X509_check_host(cert.get(), host.data(), host.size(), 0, nullptr) == 1;

  std::tm tm{};
  const ASN1_TIME* notBefore = X509_get0_notBefore(cert.get());
  if (notBefore != nullptr && ASN1_TIME_to_tm(notBefore, &tm) == 1) {
    const int64_t start = timegm(&tm);
    s.hasStart = true;
    s.notBefore = LocalTimeText(start);
    s.notYetValid = start > now;
  }
  tm = {};
  const ASN1_TIME* notAfter = X509_get0_notAfter(cert.get());
  if (notAfter != nullptr && ASN1_TIME_to_tm(notAfter, &tm) == 1) {
    const int64_t end = timegm(&tm);
    s.hasExpiry = true;
    s.notAfter = LocalTimeText(end);
    s.expired = end < now;
    s.daysLeft = s.expired ? 0 : (end - now) / kSecondsPerDay;  // half a day left is 0 days
  }
  return s;
}

std::u16string CertificateLines(const CertificateSummary& s) {
  if (!s.parsed) return u"証明書： （なし）\r\n";
  std::u16string names;
  for (size_t i = 0; i < s.names.size() && i < kNamesShown; ++i) names += (i ? u", " : u"") + s.names[i];
  if (s.names.size() > kNamesShown) names += u", …（全 " + ToU16(static_cast<int64_t>(s.names.size())) + u" 件）";
  std::u16string lines = u"証明書： " + s.subject + u" / 発行者： " + s.issuer + u"\r\n";
  lines += u"名前： " + names + u"\r\n";
  if (!s.hasExpiry && !s.hasStart) return lines;
  const std::u16string period = s.hasStart && s.hasExpiry ? s.notBefore + u" ～ " + s.notAfter
                                : s.hasStart                ? s.notBefore + u" ～"
                                                            : s.notAfter;
  const std::u16string state = s.notYetValid ? u"（有効期間前）"
                               : s.expired   ? u"（期限切れ）"
                               : s.hasExpiry ? u"（残り " + ToU16(s.daysLeft) + u" 日）"
                                             : u"";
  lines += u"有効期限： " + period + state + u"\r\n";
  return lines;
}
