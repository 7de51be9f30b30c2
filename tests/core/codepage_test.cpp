#include "util/codepage.h"

#include <gtest/gtest.h>

TEST(Cp932, SystemTextsRoundTrip) {
  for (const std::u16string& text :
       {std::u16string(u"サーバサービス機能の診断ツール"), std::u16string(u"【正常】"), std::u16string(u"【異常】"),
        std::u16string(u"ＭＳ ゴシック"), std::u16string(u"　実行開始"), std::u16string(u"エラー番号 :"),
        std::u16string(u"Ver： 0.2.5"), std::u16string(u"ｶﾀｶﾅ and ASCII\t\r\n~\\"),
        std::u16string(u"定義ファイル　がありません")}) {
    const std::optional<std::string> strict = ToAnsiStrict(text);
    ASSERT_TRUE(strict.has_value()) << ToUtf8(text);
    EXPECT_EQ(ToAnsi(text), *strict);
    EXPECT_EQ(FromAnsi(*strict), text) << ToUtf8(text);
  }
}

TEST(Cp932, KnownBytes) {
  EXPECT_EQ(ToAnsi(u"テ"), "\x83\x65");
  EXPECT_EQ(ToAnsi(u"　"), "\x81\x40");
  EXPECT_EQ(ToAnsi(u"ｱ"), "\xB1");
  // Backslash and tilde keep their ASCII meaning in mixed text too.
  EXPECT_EQ(ToAnsi(u"テ\\~"), "\x83\x65\\~");
  EXPECT_EQ(FromAnsi("\x83\x65\\~"), u"テ\\~");
  EXPECT_EQ(FromAnsi(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(Cp932, UnencodableCharactersBecomeQuestionMarks) {
  EXPECT_EQ(ToAnsi(u"caf\u00e9"), "caf?");
  EXPECT_EQ(ToAnsi(u"\uFFFDテ"), "?\x83\x65");
  // A surrogate pair is one character and one "?"; a lone surrogate too.
  EXPECT_EQ(ToAnsi(u"a\U0001F600b"), "a?b");
  EXPECT_EQ(ToAnsi(std::u16string(u"a\xD800", 2)), "a?");
  EXPECT_EQ(ToAnsi(std::u16string(u"\xD800x", 2)), "?x");
  EXPECT_FALSE(ToAnsiStrict(u"caf\u00e9").has_value());
  EXPECT_FALSE(ToAnsiStrict(u"\uFFFD").has_value());
}

TEST(Cp932, UndecodableBytesBecomeReplacementCharacters) {
  EXPECT_EQ(FromAnsi("a\x80z"), u"a\uFFFDz");
  // A lead byte cut off at the end, and a lead byte before a byte that cannot trail.
  EXPECT_EQ(FromAnsi("ok\x83"), u"ok\uFFFD");
  EXPECT_EQ(FromAnsi("\x83\x0a"), u"\uFFFD\n");
  // Undecodable bytes never cost the rest of the text, and write back as "?".
  EXPECT_EQ(ToAnsi(FromAnsi("220 \xff\xfe ready")), "220 ?? ready");
}

TEST(Utf8, PathsRoundTrip) {
  const std::u16string path = u"/tmp/サーバ 診断/a\U0001F600.log";
  EXPECT_EQ(FromUtf8(ToUtf8(path)), path);
  EXPECT_EQ(ToUtf8(u"é"), "\xC3\xA9");
  EXPECT_EQ(FromUtf8("a\xFF"), u"a\uFFFD");
  // Lead bytes beyond the last code point are no characters either.
  EXPECT_EQ(FromUtf8("\xF7\xBF\xBF\xBF"), u"\uFFFD");
}
