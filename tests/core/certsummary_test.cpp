// The certificate summary of a TLS check: its transcript lines from the certificate's bytes, the target and the time.
#include "net/certsummary.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/testcert.h"
#include "util/codepage.h"

namespace {

TEST(CertSummary, LinesNamesAndDaysLeft) {
  // Dates in the lines are local time: a zone nine hours east of UTC (each test runs in a process of its own).
  setenv("TZ", "JST-9", 1);
  tzset();
  const int64_t end = 1893456000, day = 86400, start = end - 400 * day;  // 2030-01-01 00:00:00 UTC
  const TestCert mx = MakeTestCert("mx.example", "DNS:mx.example,DNS:*.example.org,IP:192.0.2.1,IP:2001:db8::1,"
                                   "email:postmaster@mx.example", start, end);
  const TestCert legacy = MakeTestCert("legacy.example", "IP:192.0.2.7", start, end);
  const TestCert odd = MakeTestCert("evil\r\nCN", "DNS:evil\x7f.example", start, end);
  // A certificate of n names h1.example to hn.example, and the first n of them as the line lists them.
  auto crowded = [&](int n) {
    std::string san;
    for (int i = 1; i <= n; ++i) san += (i > 1 ? ",DNS:h" : "DNS:h") + std::to_string(i) + ".example";
    return MakeTestCert("h1.example", san, start, end);
  };
  auto listed = [](int n) {
    std::u16string names;
    for (int i = 1; i <= n; ++i) names += (i > 1 ? u", h" : u"h") + FromUtf8(std::to_string(i)) + u".example";
    return names;
  };
  const TestCert h64 = crowded(64), h65 = crowded(65), h70 = crowded(70);
  const std::u16string mxHead = u"証明書： O = velkor test, CN = mx.example / 発行者： O = velkor test, CN = mx.example\r\n"
                                u"名前： mx.example, *.example.org, 192.0.2.1, 2001:db8::1\r\n";
  const std::u16string until = u"有効期限： 2028/11/27 09:00:00 ～ 2030/01/01 09:00:00";
  const std::u16string hHead = u"証明書： O = velkor test, CN = h1.example / 発行者： O = velkor test, CN = h1.example\r\n名前： ";
  const std::u16string oneDay = until + u"（残り 1 日）\r\n";
  const struct {
    const char* name;
    const TestCert& cert;
    std::u16string target;
    int64_t now;
    std::u16string lines;
    bool matches;
  } rows[] = {
      // Days left are whole days, rounded down; the end and the start themselves are inside the validity.
      {"ten days and a second left", mx, u"mx.example", end - 10 * day - 1, mxHead + until + u"（残り 10 日）\r\n", true},
      {"exactly ten days left", mx, u"mx.example", end - 10 * day, mxHead + until + u"（残り 10 日）\r\n", true},
      {"a second short of ten days", mx, u"MX.Example", end - 10 * day + 1, mxHead + until + u"（残り 9 日）\r\n", true},
      {"the last second", mx, u"www.example.org", end - 1, mxHead + until + u"（残り 0 日）\r\n", true},
      {"the end itself", mx, u"mx.example", end, mxHead + until + u"（残り 0 日）\r\n", true},
      {"a second after", mx, u"192.0.2.1", end + 1, mxHead + until + u"（期限切れ）\r\n", true},
      {"a second before the start", mx, u"mx.example", start - 1, mxHead + until + u"（有効期間前）\r\n", true},
      {"the start itself", mx, u"mx.example", start, mxHead + until + u"（残り 400 日）\r\n", true},
      {"another address", mx, u"192.0.2.2", end - day, mxHead + oneDay, false},
      {"a wildcard covers one label only", mx, u"a.b.example.org", end - day, mxHead + oneDay, false},
      {"no DNS names: the subject's CN", legacy, u"legacy.example", end - day,
       u"証明書： O = velkor test, CN = legacy.example / 発行者： O = velkor test, CN = legacy.example\r\n"
       u"名前： 192.0.2.7, legacy.example\r\n" + oneDay, true},
      {"control characters never split a line", odd, u"evil.example", end - day,
       u"証明書： O = velkor test, CN = evil\\0D\\0ACN / 発行者： O = velkor test, CN = evil\\0D\\0ACN\r\n"
       u"名前： evil?.example\r\n" + oneDay, false},
      // Up to 64 names are listed; beyond, the first 64 and the count.
      {"sixty-four names", h64, u"h64.example", end - day, hHead + listed(64) + u"\r\n" + oneDay, true},
      {"sixty-five names", h65, u"h65.example", end - day, hHead + listed(64) + u", …（全 65 件）\r\n" + oneDay, true},
      {"seventy names", h70, u"h70.example", end - day, hHead + listed(64) + u", …（全 70 件）\r\n" + oneDay, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const CertificateSummary s = SummarizeCertificate(row.cert.der, row.target, row.now);
    EXPECT_EQ(CertificateLines(s), row.lines);
    EXPECT_EQ(s.nameMatches, row.matches);
    EXPECT_EQ(s.notYetValid, row.now < start);
    EXPECT_EQ(s.expired, row.now > end);
  }
  // Bytes that are no certificate: none, a bare sequence, a certificate cut short.
  for (const std::string& bytes : {std::string(), std::string("\x30\x03\x02\x01\x01", 5), mx.der.substr(0, 100)}) {
    const CertificateSummary s = SummarizeCertificate(bytes, u"mx.example", end);
    EXPECT_FALSE(s.parsed);
    EXPECT_EQ(CertificateLines(s), u"証明書： （なし）\r\n");
  }
}

}  // namespace
