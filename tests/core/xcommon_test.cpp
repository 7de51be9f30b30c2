#include "util/xcommon.h"

#include <gtest/gtest.h>

#include "app/appstate.h"
#include "support/programdir.h"
#include "util/codepage.h"
#include "util/errreport.h"

TEST(XGetField, FieldsMarkerAndEmpty) {
  EXPECT_EQ(xGetField(u"a,,b", 1, u","), u"a");
  EXPECT_EQ(xGetField(u"a,,b", 2, u","), u"");
  EXPECT_EQ(xGetField(u"a,,b", 3, u","), u"b");
  EXPECT_EQ(xGetField(u"a,,b", 4, u","), kMissingField);
  EXPECT_EQ(xGetField(u"a,b,", 3, u","), kMissingField);
  EXPECT_EQ(xGetField(u" x , y ", 1, u","), u"x");
  EXPECT_EQ(xGetField(u" x , y ", 2, u","), u"y");
  EXPECT_EQ(xGetField(u"a,b", 0, u","), kMissingField);
  EXPECT_EQ(xGetField(u"   ", 1, u","), kMissingField);
  EXPECT_EQ(xGetField(u"a,b", 1, u"ab"), kMissingField);
}

TEST(XGetField, BlankTabAndPaddedDelimiters) {
  EXPECT_EQ(xGetField(u"SMTP_PORT: 25", 2, u" "), u"25");
  EXPECT_EQ(xGetField(u"a\tb\t", 2, u"\t"), u"b");
  EXPECT_EQ(xGetField(u"a\tb\t", 3, u"\t"), kMissingField);
  // A delimiter with blanks around one character is searched as given, and
  // the next field starts one character after where it was found.
  EXPECT_EQ(xGetField(u"a , b", 1, u" , "), u"a");
  EXPECT_EQ(xGetField(u"a , b", 2, u" , "), u", b");
  EXPECT_EQ(xGetField(u"a,b", 2, u"  "), kMissingField);
  EXPECT_TRUE(IsMissingField(xGetField(u"", 1, u",")));
  EXPECT_FALSE(IsMissingField(xGetField(u",", 1, u",")));
}

TEST(XGetField, PositionsBeyondSixteenBitsAreReported) {
  ProgramInTempDir program;
  const std::u16string field(32766, u'x');
  EXPECT_EQ(xGetField(field, 1, u","), field);
  EXPECT_EQ(program.errorLog(), u"");

  EXPECT_EQ(xGetField(std::u16string(40000, u'x'), 1, u","), kMissingField);
  EXPECT_EQ(xGetField(std::u16string(32766, u'x') + u",y", 2, u","), kMissingField);
  // A delimiter at 32767 leaves no room for the next start position.
  EXPECT_EQ(xGetField(std::u16string(32766, u'x') + u",", 2, u","), kMissingField);
  const std::u16string log = program.errorLog();
  const std::u16string head = u" *** エラー番号 : 6 -- vktest でエラーが発生しました。 \r\n";
  size_t reports = 0;
  for (size_t at = log.find(head); at != std::u16string::npos; at = log.find(head, at + 1)) ++reports;
  EXPECT_EQ(reports, 3u) << ToUtf8(log);
}

TEST(XChkNum, DigitsOnly) {
  EXPECT_TRUE(xChkNum(u""));
  EXPECT_TRUE(xChkNum(u"0123456789"));
  EXPECT_FALSE(xChkNum(u"12a"));
  EXPECT_FALSE(xChkNum(u"１"));
  EXPECT_FALSE(xChkNum(u"-1"));
  EXPECT_FALSE(xChkNum(u" 1"));
  EXPECT_FALSE(xChkNum(u"1,0"));
  EXPECT_TRUE(xChkNumComma(u"1,000"));
  EXPECT_TRUE(xChkNumComma(u",,,"));
  EXPECT_TRUE(xChkNumComma(u""));
  EXPECT_FALSE(xChkNumComma(u"1.000"));
  EXPECT_FALSE(xChkNumComma(u"25, 587"));
}

TEST(XChkNum, LongTextsOverflowWithTheirTags) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  EXPECT_TRUE(xChkNum(std::u16string(32766, u'1')));
  EXPECT_TRUE(program.boxes.empty());
  EXPECT_FALSE(xChkNum(std::u16string(32767, u'1')));
  EXPECT_FALSE(xChkNumComma(std::u16string(32767, u',')));
  ASSERT_EQ(program.boxes.size(), 2u);
  EXPECT_EQ(program.boxes[0], u"xChkNumERR:エラー番号 : 6 -- vktest でエラーが発生しました。 " +
                                  ErrorDescription(ErrNo::Overflow));
  EXPECT_EQ(program.boxes[1].substr(0, 25), u"xChkNumCommaERR:エラー番号 : 6");
  EXPECT_NE(program.errorLog().find(program.boxes[1]), std::u16string::npos);
}

TEST(XReplaceString, NonOverlappingAndNeverRescanned) {
  EXPECT_EQ(xReplaceString(u"aaa", u"aa", u"b"), u"ba");
  EXPECT_EQ(xReplaceString(u"abab", u"a", u"aa"), u"aabaab");
  EXPECT_EQ(xReplaceString(u"Aa", u"a", u"x"), u"Ax");
  EXPECT_EQ(xReplaceString(u"", u"a", u"x"), u"");
  EXPECT_EQ(xReplaceString(u"a\r\nb", u"\r\n", u""), u"ab");
}

TEST(XReplaceString, EmptyFindIsReported) {
  ProgramInTempDir program;
  EXPECT_EQ(xReplaceString(u"abc", u"", u"x"), u"");
  EXPECT_NE(program.errorLog().find(u"xReplaceStringERR:エラー番号 : 5 -- "), std::u16string::npos);
}

TEST(XTextHelpers, TrimmingAndInPlaceChanges) {
  EXPECT_EQ(xNullTrim(u"  a b  "), u"a b");
  EXPECT_EQ(xNullTrim(u"\ta\t"), u"\ta\t");
  EXPECT_EQ(xNullTrim(u"　a"), u"　a");

  std::u16string tabs = u"a\tb\t";
  EXPECT_EQ(xTabToSpace(tabs), u"a b ");
  EXPECT_EQ(tabs, u"a b ");

  std::u16string lines = u"a b\r\nc\rd\ne\t";
  EXPECT_EQ(xLinesToTabs(lines), u"ab\tc\td\te");
  EXPECT_EQ(lines, u"ab\tc\td\te");

  std::u16string nul(u"\0\0 a \0", 6);
  EXPECT_EQ(xTrimNul(nul), u"a");
  EXPECT_EQ(nul, u" a ");
  std::u16string nuls(3, u'\0');
  EXPECT_EQ(xTrimNul(nuls), u"");
  EXPECT_EQ(nuls, u"");

  std::u16string crlf = u"\r\n OK \r\n";
  EXPECT_EQ(xTrimCrLf(crlf), u"OK");
  EXPECT_EQ(crlf, u" OK ");
  std::u16string only = u"\r\n\r";
  EXPECT_EQ(xTrimCrLf(only), u"");
  EXPECT_EQ(only, u"");
}

TEST(XHexDump, GroupsOfFourAndLinesOf32) {
  std::vector<uint8_t> bytes(33);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(xHexDump(bytes),
            u"00010203 04050607 08090A0B 0C0D0E0F 10111213 14151617 18191A1B 1C1D1E1F \r\n20");
  EXPECT_EQ(xHexDump(std::vector<uint8_t>{}), u"");
  EXPECT_EQ(xHexDump(std::vector<uint8_t>{0xFF, 0x0A}), u"FF0A");
  EXPECT_EQ(xHexDump(std::vector<uint8_t>(32767, 0)).size(), 32767u * 2 + 8191 + 1023 * 2);
  EXPECT_THROW(xHexDump(std::vector<uint8_t>(32768, 0)), VkError);
}

TEST(XTextHelpers, OwnHelpers) {
  EXPECT_EQ(Ascii16("abc"), u"abc");
  EXPECT_EQ(Narrow(u"ab\u00e9"), "ab?");
  EXPECT_EQ(ToU16(-42), u"-42");
  EXPECT_EQ(UpperAscii(u"enc ä"), u"ENC ä");
  EXPECT_EQ(LowerAscii(u"DEC Ä"), u"dec Ä");
}
