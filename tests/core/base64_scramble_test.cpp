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
  for (const Case& c : LoadCases("text-scramble.cases")) {
    CASE_TRACE(c);
    SetScrambleKeyHook([k = c.number("key")] { return k; });
    const std::u16string plain = FromUtf8(c.get("plain")), scrambled = FromUtf8(c.get("scrambled"));
    EXPECT_EQ(ToUtf8(ScrambleText(FromUtf8(c.get("way", "ENC")), plain)), c.get("scrambled"));
    if (!c.has("way") && !scrambled.empty()) EXPECT_EQ(ScrambleText(u"DEC", scrambled), plain);
    for (const std::string& text : c.all("roundtrip"))
      EXPECT_EQ(ToUtf8(ScrambleText(u"decode", ScrambleText(u"Encode", FromUtf8(text)))), text);
    const std::string log = ToUtf8(program.errorLog());
    EXPECT_EQ(log.empty() ? "" : log.substr(25), c.get("logged"));  // after " stamp *** "
  }
  SetScrambleKeyHook(nullptr);
}
