// The certificate summary of a TLS check: its transcript lines from the certificate's bytes, the target and the time.
#include "net/certsummary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "support/casefile.h"
#include "support/testcert.h"
#include "util/codepage.h"

namespace {

TEST(CertSummary, LinesNamesAndDaysLeft) {
  // Dates in the lines are local time: a zone nine hours east of UTC (each test runs in a process of its own).
  setenv("TZ", "JST-9", 1);
  tzset();
  const int64_t end = 1893456000, day = 86400, start = end - 400 * day;  // 2030-01-01 00:00:00 UTC
  std::map<std::string, TestCert> certs{
      {"mx", MakeTestCert("mx.example", "DNS:mx.example,DNS:*.example.org,IP:192.0.2.1,IP:2001:db8::1,"
                          "email:postmaster@mx.example", start, end)},
      {"legacy", MakeTestCert("legacy.example", "IP:192.0.2.7", start, end)},
      {"odd", MakeTestCert("evil\r\nCN", "DNS:evil\x7f.example", start, end)},
  };
  for (const int n : {64, 65, 70}) {
    std::string san = "DNS:h1.example";
    for (int i = 2; i <= n; ++i) san += ",DNS:h" + std::to_string(i) + ".example";
    certs["h" + std::to_string(n)] = MakeTestCert("h1.example", san, start, end);
  }
  for (const Case& c : LoadCases("text-certsummary.cases")) {
    CASE_TRACE(c);
    const int64_t now = (c.get("from") == "end" ? end : start) + c.number("days") * day + c.number("seconds");
    const std::string der = c.has("bytes") ? c.get("bytes") : certs.at(c.get("cert")).der.substr(0, c.number("cut", -1));
    const CertificateSummary s = SummarizeCertificate(der, FromUtf8(c.get("target")), now);
    EXPECT_EQ(s.parsed, !c.has("bytes") && !c.has("cut"));
    std::string lines;
    for (const std::string& line : c.all("line")) lines += line + "\r\n";
    EXPECT_EQ(ToUtf8(CertificateLines(s)), lines);
    EXPECT_EQ(s.nameMatches, c.get("matches") == "yes");
    EXPECT_EQ(s.notYetValid, now < start);
    EXPECT_EQ(s.expired, now > end);
  }
}

}  // namespace
