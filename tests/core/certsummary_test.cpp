// The certificate summary of a TLS check: its transcript lines from the certificate's bytes, the target and the time.
#include "net/certsummary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "support/testcert.h"
#include "util/codepage.h"

namespace {

// Dates in the lines are local time: a zone nine hours east of UTC for the length of a test.
class CertSummary : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) had = true, saved = tz;
    setenv("TZ", "JST-9", 1);
    tzset();
  }
  void TearDown() override {
    if (had) setenv("TZ", saved.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  bool had = false;
  std::string saved;
};

TEST_F(CertSummary, LinesNamesAndDaysLeft) {
  const int64_t end = 1893456000, day = 86400;  // 2030-01-01 00:00:00 UTC
  const TestCert mx = MakeTestCert("mx.example", "DNS:mx.example,DNS:*.example.org,IP:192.0.2.1,IP:2001:db8::1,"
                                   "email:postmaster@mx.example",
                                   end - 400 * day, end);
  const TestCert legacy = MakeTestCert("legacy.example", "IP:192.0.2.7", end - 400 * day, end);
  const TestCert odd = MakeTestCert("evil\r\nCN", "DNS:evil\x7f.example", end - 400 * day, end);
  std::string many;
  for (int i = 1; i <= 70; ++i) many += (i > 1 ? "," : "") + std::string("DNS:h") + std::to_string(i) + ".example";
  const TestCert crowded = MakeTestCert("h1.example", many, end - 400 * day, end);
  std::u16string first64;
  for (int i = 1; i <= 64; ++i) first64 += (i > 1 ? u", h" : u"h") + FromUtf8(std::to_string(i)) + u".example";

  const std::u16string mxHead = u"証明書： O = velkor test, CN = mx.example / 発行者： O = velkor test, CN = mx.example\r\n"
                                u"名前： mx.example, *.example.org, 192.0.2.1, 2001:db8::1\r\n";
  const std::u16string until = u"有効期限： 2028/11/27 09:00:00 ～ 2030/01/01 09:00:00";
  const struct {
    const char* name;
    const TestCert& cert;
    std::u16string target;
    int64_t now;
    std::u16string lines;
    bool matches;
  } rows[] = {
      {"ten days and a second left", mx, u"mx.example", end - 10 * day - 1, mxHead + until + u"（残り 10 日）\r\n", true},
      {"a second short of ten days: rounded down", mx, u"MX.Example", end - 10 * day + 1,
       mxHead + until + u"（残り 9 日）\r\n", true},
      {"the last second", mx, u"www.example.org", end - 1, mxHead + until + u"（残り 0 日）\r\n", true},
      {"a second after", mx, u"192.0.2.1", end + 1, mxHead + until + u"（期限切れ）\r\n", true},
      // The start counts as the end does: a second before it, the certificate is not valid yet.
      {"a second before the start", mx, u"mx.example", end - 400 * day - 1, mxHead + until + u"（有効期間前）\r\n",
       true},
      {"the start itself", mx, u"mx.example", end - 400 * day, mxHead + until + u"（残り 400 日）\r\n", true},
      {"another address", mx, u"192.0.2.2", end - day, mxHead + until + u"（残り 1 日）\r\n", false},
      {"a wildcard covers one label only", mx, u"a.b.example.org", end - day, mxHead + until + u"（残り 1 日）\r\n",
       false},
      {"no DNS names: the subject's CN", legacy, u"legacy.example", end - day,
       u"証明書： O = velkor test, CN = legacy.example / 発行者： O = velkor test, CN = legacy.example\r\n"
       u"名前： 192.0.2.7, legacy.example\r\n" + until + u"（残り 1 日）\r\n",
       true},
      {"control characters never split a line", odd, u"evil.example", end - day,
       u"証明書： O = velkor test, CN = evil\\0D\\0ACN / 発行者： O = velkor test, CN = evil\\0D\\0ACN\r\n"
       u"名前： evil?.example\r\n" + until + u"（残り 1 日）\r\n",
       false},
      {"seventy names", crowded, u"h70.example", end - day,
       u"証明書： O = velkor test, CN = h1.example / 発行者： O = velkor test, CN = h1.example\r\n名前： " + first64 +
           u", …（全 70 件）\r\n" + until + u"（残り 1 日）\r\n",
       true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const CertificateSummary s = SummarizeCertificate(row.cert.der, row.target, row.now);
    EXPECT_EQ(CertificateLines(s), row.lines);
    EXPECT_EQ(s.nameMatches, row.matches);
    EXPECT_EQ(s.notYetValid, row.now < end - 400 * day);
    EXPECT_EQ(s.expired, row.now > end);
  }
  for (const std::string& bytes : {std::string(), std::string("\x30\x03\x02\x01\x01", 5), mx.der.substr(0, 100)}) {
    const CertificateSummary s = SummarizeCertificate(bytes, u"mx.example", end);
    EXPECT_FALSE(s.parsed);
    EXPECT_EQ(CertificateLines(s), u"証明書： （なし）\r\n");
  }
}

}  // namespace
