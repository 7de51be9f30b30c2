// The certificate summary of a TLS check. Input: one byte that chooses the
// target, four bytes of time, then the certificate's bytes (DER, or
// anything). Whatever the bytes, the lines stay lines (each ends in CR LF,
// none holds another line break) and say what the summary found.
#include "fuzz.h"
#include "net/certsummary.h"

void Fuzz(FuzzInput in) {
  static const char16_t* const kTargets[] = {u"mx.example", u"127.0.0.1", u"2001:db8::1", u"a.b.example.org", u""};
  const std::u16string_view target = kTargets[in.Byte() % std::size(kTargets)];
  const int64_t now = int64_t{in.Word()} * 2;  // 1970 to 2242
  const CertificateSummary s = SummarizeCertificate(in.Rest(), target, now);
  const std::u16string lines = CertificateLines(s);

  size_t count = 0;
  for (size_t pos = 0; pos < lines.size(); ++count) {
    const size_t end = lines.find(u"\r\n", pos);
    FUZZ_CHECK(end != std::u16string::npos);
    FUZZ_CHECK(lines.substr(pos, end - pos).find_first_of(u"\r\n") == std::u16string::npos);
    pos = end + 2;
  }
  if (!s.parsed) {
    FUZZ_CHECK(lines == u"証明書： （なし）\r\n" && !s.nameMatches && !s.hasExpiry);
    return;
  }
  FUZZ_CHECK(count == (s.hasExpiry || s.hasStart ? 3u : 2u));
  FUZZ_CHECK(lines.starts_with(u"証明書： ") && lines.find(u"\r\n名前： ") != std::u16string::npos);
  FUZZ_CHECK(s.daysLeft >= 0 && (!s.expired || s.daysLeft == 0));
  // Which end of its period it is outside of, the start first; else the days left.
  if (s.notYetValid) FUZZ_CHECK(lines.ends_with(u"（有効期間前）\r\n"));
  else if (s.hasExpiry) FUZZ_CHECK(lines.ends_with(s.expired ? u"（期限切れ）\r\n" : u" 日）\r\n"));
  FUZZ_CHECK(!s.notYetValid || s.hasStart);
  FUZZ_CHECK(!s.nameMatches || !s.names.empty());  // a match is always shown
}
