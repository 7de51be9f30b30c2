#pragma once
// What a server's certificate says, for the transcript of a TLS check. A
// pure function of the certificate's DER bytes, the target and the time:
// OpenSSL reads the certificate; nothing here parses it by hand.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct CertificateSummary {
  bool parsed = false;            // the bytes held one certificate
  std::u16string subject;         // one line, as OpenSSL prints a name ("CN = mail.example, O = ...")
  std::u16string issuer;
  std::vector<std::u16string> names;  // DNS names and addresses it covers (the subject's CN without DNS names)
  bool nameMatches = false;       // those names cover the target
  bool hasExpiry = false;
  std::u16string notAfter;        // "yyyy/mm/dd hh:nn:ss", local time
  bool expired = false;           // notAfter has passed
  bool hasStart = false;
  std::u16string notBefore;       // as notAfter
  bool notYetValid = false;       // notBefore is still to come
  int64_t daysLeft = 0;           // whole days until notAfter, rounded down; 0 once expired
  // Outside its validity period: every client refuses it, so its check fails.
  bool OutOfPeriod() const { return expired || notYetValid; }
};

// now: seconds since the epoch. A target that is an IPv4 or IPv6 address is
// matched against the addresses, any other against the DNS names.
CertificateSummary SummarizeCertificate(std::string_view der, std::u16string_view target, int64_t now);

// The transcript lines of a summary, each ending in CR LF:
// "証明書： " subject " / 発行者： " issuer, "名前： " names, and
// "有効期限： " start " ～ " end "（残り N 日）", or "（期限切れ）" once the
// end has passed, or "（有効期間前）" before the start (either date alone
// when the other is unreadable); for bytes that held no certificate,
// "証明書： （なし）".
std::u16string CertificateLines(const CertificateSummary& summary);
