#include <gtest/gtest.h>

#include <set>

#include "app/appstate.h"
#include "support/programdir.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/scramble.h"

namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> Counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
  return v;
}

// Fixes the key value for the length of a test.
struct FixedKey {
  explicit FixedKey(int k) {
    SetScrambleKeyHook([k] { return k; });
  }
  ~FixedKey() { SetScrambleKeyHook(nullptr); }
};

}  // namespace

TEST(Base64Encode, KnownValuesAndPadding) {
  EXPECT_EQ(Base64EncodeBytes(Bytes("abc")), u"YWJj");
  EXPECT_EQ(Base64EncodeBytes(Bytes("ab")), u"YWI=");
  EXPECT_EQ(Base64EncodeBytes(Bytes("a")), u"YQ==");
  EXPECT_EQ(Base64EncodeBytes({}), u"");
  EXPECT_EQ(Base64EncodeBytes({0xFB, 0xFF, 0xBF}), u"+/+/");
  EXPECT_EQ(Base64EncodeText(u""), u"");
  // The text's CP932 bytes: テ is 83 65.
  EXPECT_EQ(Base64EncodeText(u"テ"), Base64EncodeBytes({0x83, 0x65}));
}

TEST(Base64Encode, LinesOf76WithCrLfAfterEveryCompleteLine) {
  const std::u16string e57 = Base64EncodeBytes(Counting(57));
  EXPECT_EQ(e57.size(), 76u);
  EXPECT_EQ(e57.find(u'\r'), std::u16string::npos);

  const std::u16string e58 = Base64EncodeBytes(Counting(58));
  ASSERT_EQ(e58.size(), 82u);
  EXPECT_EQ(e58.substr(0, 76), e57);
  EXPECT_EQ(e58.substr(76, 2), u"\r\n");
  EXPECT_EQ(e58.substr(78), Base64EncodeBytes({Counting(58)[57]}));

  const std::u16string e114 = Base64EncodeBytes(Counting(114));
  ASSERT_EQ(e114.size(), 156u);
  EXPECT_EQ(e114.substr(76, 2), u"\r\n");
  EXPECT_EQ(e114.substr(154, 2), u"\r\n");
  EXPECT_EQ(e114.find(u'\r', 78), 154u);
}

TEST(Base64Decode, RoundTripsEveryLength) {
  for (size_t n = 1; n <= 200; ++n) {
    const std::vector<uint8_t> data = Counting(n);
    EXPECT_EQ(Base64DecodeBytes(Base64EncodeBytes(data)), data) << n;
  }
}

TEST(Base64Decode, DropsCrLfPairsAndEveryPad) {
  EXPECT_EQ(Base64DecodeBytes(u"YW\r\nJj"), Bytes("abc"));
  EXPECT_EQ(Base64DecodeBytes(u"Y=W=J=j"), Bytes("abc"));
  EXPECT_EQ(Base64DecodeBytes(u"YWJjYWI"), Bytes("abcab"));  // 4m+3 -> 3m+2
  EXPECT_EQ(Base64DecodeBytes(u"YWJjYQ"), Bytes("abca"));    // 4m+2 -> 3m+1
}

TEST(Base64Decode, ForeignCharactersCountAsZero) {
  // A blank, a lone LF and a lone CR are data with value 0, like "A".
  EXPECT_EQ(Base64DecodeBytes(u" WJj"), Base64DecodeBytes(u"AWJj"));
  EXPECT_EQ(Base64DecodeBytes(u"YW\nj"), Base64DecodeBytes(u"YWAj"));
  EXPECT_EQ(Base64DecodeBytes(u"YW\rj"), Base64DecodeBytes(u"YWAj"));
  // Only the low eight bits of a character's code index the table: U+0162 reads as "b".
  EXPECT_EQ(Base64DecodeBytes(u"YW\u0162j"), Base64DecodeBytes(u"YWbj"));
}

TEST(Base64Decode, OneCharacterOverEndsWithAZeroByte) {
  EXPECT_EQ(Base64DecodeBytes(u"YWJjY"), (std::vector<uint8_t>{'a', 'b', 'c', 0}));
  EXPECT_EQ(Base64DecodeBytes(u"Q"), (std::vector<uint8_t>{0}));
}

TEST(Base64Decode, NothingButPaddingFailsToTheCaller) {
  EXPECT_THROW(Base64DecodeBytes(u"=="), VkError);
  EXPECT_THROW(Base64DecodeBytes(u"==\r\n=\r\n"), VkError);
  EXPECT_THROW(Base64DecodeText(u"===="), VkError);
  EXPECT_EQ(Base64DecodeText(u""), u"");
}

TEST(Base64Decode, TextComesBackThroughCp932) {
  const std::u16string text = u"サーバサービス機能の診断ツール\r\nUSER:admin\t";
  EXPECT_EQ(Base64DecodeText(Base64EncodeText(text)), text);
}

TEST(Scramble, EveryKeyLetterShiftsExactlyAndRoundTrips) {
  const std::u16string plain = u"[VKR]\r\nSMTP_PORT:25,587\r\nUSER:op\tx~ !";
  for (int k = 3; k <= 7; ++k) {
    FixedKey key(k);
    const std::u16string enc = ScrambleText(u"ENC", plain);
    ASSERT_EQ(enc.size(), plain.size() + 1) << k;
    EXPECT_EQ(enc[0], static_cast<char16_t>(u'A' + k));
    for (size_t i = 1; i <= plain.size(); ++i) {
      const int shift = i % 3 == 0 ? k : i % 3 == 1 ? k - 1 : k - 2;
      EXPECT_EQ(static_cast<int>(plain[i - 1]) - static_cast<int>(enc[i]), shift) << "k=" << k << " i=" << i;
    }
    EXPECT_EQ(ScrambleText(u"DEC", enc), plain) << k;
  }
}

TEST(Scramble, RandomKeyUsesAllFiveLetters) {
  std::set<char16_t> letters;
  for (int i = 0; i < 400 && letters.size() < 5; ++i) {
    const std::u16string enc = ScrambleText(u"ENC", u"PASS:secret");
    ASSERT_FALSE(enc.empty());
    letters.insert(enc[0]);
    EXPECT_EQ(ScrambleText(u"DEC", enc), u"PASS:secret");
  }
  EXPECT_EQ(letters, (std::set<char16_t>{u'D', u'E', u'F', u'G', u'H'}));
}

TEST(Scramble, ModeAndEmptyValue) {
  ProgramInTempDir program;
  FixedKey key(4);
  EXPECT_EQ(ScrambleText(u"ENC", u""), u"");
  EXPECT_EQ(ScrambleText(u"DEC", u"   "), u"");
  EXPECT_EQ(ScrambleText(u"XYZ", u"abc"), u"");
  EXPECT_EQ(ScrambleText(u"EN", u"abc"), u"");
  EXPECT_EQ(ScrambleText(u"enc", u"abc"), ScrambleText(u"ENC", u"abc"));
  EXPECT_EQ(ScrambleText(u"Encode", u"abc"), ScrambleText(u"ENC", u"abc"));
  EXPECT_EQ(ScrambleText(u"ENC", u"abc"), u"E^`_");
  EXPECT_EQ(ScrambleText(u"decode", u"E^`_"), u"abc");
  // A wrong key letter is no failure: it only yields other characters.
  EXPECT_EQ(ScrambleText(u"DEC", u"D^`_"), u"`ab");
  EXPECT_EQ(program.errorLog(), u"");
}

TEST(Scramble, DoubleByteCharactersShiftTheirTwoByteCode) {
  ProgramInTempDir program;
  // テ is 83 65 in CP932; position 1 with key 3 moves it down by 2, to 83 63 (ツ).
  FixedKey key(3);
  EXPECT_EQ(ScrambleText(u"ENC", u"テ"), u"Dツ");
  for (int k = 3; k <= 7; ++k) {
    FixedKey each(k);
    const std::u16string enc = ScrambleText(u"ENC", u"テスト");
    ASSERT_EQ(enc.size(), 4u) << k;
    EXPECT_EQ(ScrambleText(u"DEC", enc), u"テスト") << k;
  }
  EXPECT_EQ(program.errorLog(), u"");
}

TEST(Scramble, CodeOutsideTheCodePageFailsWithReport) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  FixedKey key(3);
  // ぁ is 82 9F; moved down by 2 it lands on 82 9D, which CP932 does not hold.
  EXPECT_EQ(ScrambleText(u"ENC", u"ぁ"), u"");
  // é has no CP932 form at all.
  EXPECT_EQ(ScrambleText(u"ENC", u"caf\u00e9"), u"");
  // 7E moved up lands on the lone lead byte 84.
  EXPECT_EQ(ScrambleText(u"DEC", u"H~"), u"");
  ASSERT_EQ(program.boxes.size(), 3u);
  const std::u16string head = u"エラー番号 : 7002 -- vktest でエラーが発生しました。 \r\n";
  EXPECT_EQ(program.boxes[0].substr(0, head.size()), head);
  const std::u16string log = program.errorLog();
  EXPECT_NE(log.find(u" *** " + head), std::u16string::npos) << ToUtf8(log);
}

TEST(Scramble, SixteenBitLengthLimit) {
  ProgramInTempDir program;
  FixedKey key(5);
  const std::u16string longest(32766, u'x');
  EXPECT_EQ(ScrambleText(u"DEC", ScrambleText(u"ENC", longest)), longest);
  EXPECT_EQ(program.errorLog(), u"");

  EXPECT_EQ(ScrambleText(u"ENC", std::u16string(32767, u'x')), u"");
  EXPECT_EQ(ScrambleText(u"DEC", u"F" + std::u16string(32767, u'x')), u"");
  EXPECT_EQ(ScrambleText(u"DEC", u"F" + std::u16string(32766, u'x')).size(), 32766u);
  const std::u16string log = program.errorLog();
  const std::u16string head = u"エラー番号 : 6 -- vktest でエラーが発生しました。 \r\n";
  size_t first = log.find(head);
  ASSERT_NE(first, std::u16string::npos) << ToUtf8(log);
  EXPECT_NE(log.find(head, first + 1), std::u16string::npos);
}
