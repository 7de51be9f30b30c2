#include <gtest/gtest.h>

#include "support/programdir.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/scramble.h"

static std::vector<uint8_t> Bytes(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(Base64, EncodesInLinesOf76WithCrLfAfterEveryCompleteLine) {
  EXPECT_EQ(Base64EncodeBytes(Bytes("abc")) + Base64EncodeBytes(Bytes("ab")) + Base64EncodeBytes(Bytes("a")) +
                Base64EncodeBytes({0xFB, 0xFF, 0xBF}) + Base64EncodeText(u"テ"), u"YWJjYWI=YQ==+/+/g2U=");
  std::vector<uint8_t> data(114);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  const std::u16string first = Base64EncodeBytes({data.begin(), data.begin() + 57});
  EXPECT_EQ(Base64EncodeBytes({data.begin(), data.begin() + 58}), first + u"\r\n" + Base64EncodeBytes({data[57]}));
  EXPECT_EQ(Base64EncodeBytes(data), first + u"\r\n" + Base64EncodeBytes({data.begin() + 57, data.end()}) + u"\r\n");
  EXPECT_EQ(Base64DecodeBytes(Base64EncodeBytes(data)), data);
}

TEST(Base64, DecodingRules) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"YW\r\nJj", "abc"}, {u"Y=W=J=j", "abc"}, {u"YWJjYWI", "abcab"}, {u"YWJjYQ", "abca"},
      // One character over a whole group makes a zero byte.
      {u"YWJjY", std::string("abc\0", 4)}, {u"Q", std::string(1, '\0')},
      // A blank, a lone LF or CR count as "A"; only a code's low 8 bits index the table (U+0162 reads as "b").
      {u" WJj", "\x01" "bc"}, {u"YW\nj", "a`#"}, {u"YW\rj", "a`#"}, {u"YW\u0162j", "af\xE3"}};
  for (const auto& [text, bytes] : cases) EXPECT_EQ(Base64DecodeBytes(text), Bytes(bytes)) << ToUtf8(text);
  EXPECT_THROW(Base64DecodeBytes(u"==\r\n=\r\n"), VkError);  // nothing but padding fails to the caller
  EXPECT_EQ(Base64DecodeText(Base64EncodeText(u"サーバ診断ツール\r\n")), u"サーバ診断ツール\r\n");
}

TEST(Scramble, EveryKeyLetterShiftsExactlyAndRoundTrips) {
  ProgramInTempDir program;
  auto key = [](int k) { SetScrambleKeyHook([k] { return k; }); };
  const std::u16string plain = u"[VKR]\r\nSMTP_PORT:25,587\tx~ !";
  for (int k = 3; k <= 7; ++k) {
    key(k);
    const std::u16string enc = ScrambleText(u"ENC", plain);
    ASSERT_EQ(enc.size(), plain.size() + 1);
    EXPECT_EQ(enc[0], u'A' + k);
    for (size_t i = 1; i <= plain.size(); ++i) EXPECT_EQ(plain[i - 1] - enc[i], k - static_cast<int>(i % 3)) << k;
    EXPECT_EQ(ScrambleText(u"DEC", enc), plain);
    EXPECT_EQ(ScrambleText(u"decode", ScrambleText(u"Encode", u"テスト")), u"テスト");
  }
  key(3);  // テ is 83 65 in CP932; moved down by 2 it is 83 63 (ツ)
  EXPECT_EQ(ScrambleText(u"enc", u"テ") + ScrambleText(u"EN", u"abc") + ScrambleText(u"DEC", u"   "), u"Dツ");
  EXPECT_EQ(program.errorLog(), u"");
  EXPECT_EQ(ScrambleText(u"ENC", u"ぁ"), u"");  // 82 9F moved down by 2 is 82 9D, which CP932 does not hold
  EXPECT_EQ(program.errorLog().find(u"エラー番号 : 7002 -- vktest でエラーが発生しました。 \r\n"), 25u);
  SetScrambleKeyHook(nullptr);
}
