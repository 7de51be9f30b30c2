#include "util/codepage.h"

#include <gtest/gtest.h>

TEST(Cp932, SystemTextsRoundTrip) {
  for (const std::u16string text : {u"サーバサービス機能の診断ツール【正常】【異常】", u"ＭＳ ゴシック　実行開始 ①～",
                                     u"エラー番号 : 定義ファイル Ver： 0.2.5 ｶﾀｶﾅ ASCII\t\r\n~\\"}) {
    EXPECT_EQ(FromAnsi(ToAnsiStrict(text).value_or("")), text);
    EXPECT_EQ(FromAnsi(ToAnsi(text)), text);
  }
  // Backslash and tilde keep their ASCII meaning beside double-byte characters.
  EXPECT_EQ(ToAnsi(u"テ　ｱ\\~"), "\x83\x65\x81\x40\xB1\\~");
}

TEST(Cp932, NeitherDirectionFails) {
  // Unencodable characters (a surrogate pair is one, a lone surrogate too) become "?".
  EXPECT_EQ(ToAnsi(u"caf\u00e9 \uFFFDテ a\U0001F600b"), "caf? ?\x83\x65 a?b");
  EXPECT_EQ(ToAnsi(std::u16string(u"\xD800x\xD800", 3)), "?x?");
  EXPECT_EQ(ToAnsiStrict(u"\uFFFD"), std::nullopt);
  // A byte no character starts with, a lead byte before a byte that cannot trail, one cut off at the end.
  EXPECT_EQ(FromAnsi("a\x80z \x83\x0a ok\x83"), u"a\uFFFDz \uFFFD\n ok\uFFFD");
  EXPECT_EQ(ToAnsi(FromAnsi("220 \xff\xfe ready")), "220 ?? ready");
}
