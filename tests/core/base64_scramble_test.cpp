#include <gtest/gtest.h>

#include "support/casefile.h"
#include "support/programdir.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/scramble.h"

static std::vector<uint8_t> Bytes(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Groups, padding and the decoder's tolerance from the cases; lines of 76 characters (57 bytes), CR LF after every
// complete line.
TEST(Base64, EncodesAndDecodes) {
  for (const Case& c : LoadCases("text-base64.cases")) {
    CASE_TRACE(c);
    if (c.has("text")) EXPECT_EQ(ToUtf8(Base64EncodeText(FromUtf8(c.get("text")))), c.get("base64"));
    if (c.get("way") == "both") EXPECT_EQ(ToUtf8(Base64EncodeBytes(Bytes(c.get("bytes")))), c.get("base64"));
    if (c.has("bytes")) EXPECT_EQ(Base64DecodeBytes(FromUtf8(c.get("base64"))), Bytes(c.get("bytes")));
  }
  EXPECT_THROW(Base64DecodeBytes(u"==\r\n=\r\n"), VkError);  // nothing but padding fails to the caller
  EXPECT_EQ(Base64DecodeText(Base64EncodeText(u"サーバ診断ツール\r\n")), u"サーバ診断ツール\r\n");
  std::vector<uint8_t> data(114);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  const std::u16string first = Base64EncodeBytes({data.begin(), data.begin() + 57});
  EXPECT_EQ(Base64EncodeBytes({data.begin(), data.begin() + 58}), first + u"\r\n" + Base64EncodeBytes({data[57]}));
  EXPECT_EQ(Base64EncodeBytes(data), first + u"\r\n" + Base64EncodeBytes({data.begin() + 57, data.end()}) + u"\r\n");
  EXPECT_EQ(Base64DecodeBytes(Base64EncodeBytes(data)), data);
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
