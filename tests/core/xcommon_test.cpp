#include "util/xcommon.h"

#include <gtest/gtest.h>

#include <functional>

#include "app/appstate.h"
#include "support/programdir.h"
#include "util/codepage.h"
#include "util/errreport.h"

TEST(XGetField, FieldsAndTheMissingMarker) {
  const struct { std::u16string text; int16_t n; std::u16string delimiter, field; } cases[] = {
      {u"a,,b", 1, u",", u"a"}, {u"a,,b", 2, u",", u""}, {u"a,,b", 3, u",", u"b"}, {u"a,,b", 4, u",", kMissingField},
      {u"a,b,", 3, u",", kMissingField}, {u" x , y ", 2, u",", u"y"}, {u"a,b", 0, u",", kMissingField},
      {u"   ", 1, u",", kMissingField}, {u"", 1, u",", kMissingField}, {u",", 1, u",", u""},
      {u"a,b", 1, u"ab", kMissingField}, {u"a,b", 2, u"  ", kMissingField}, {u"SMTP_PORT: 25", 2, u" ", u"25"},
      // A delimiter with blanks is searched as given; the next field starts one character after it.
      {u"a , b", 1, u" , ", u"a"}, {u"a , b", 2, u" , ", u", b"}};
  for (const auto& c : cases)
    EXPECT_EQ(xGetField(c.text, c.n, c.delimiter), c.field) << ToUtf8(c.text + u"|" + c.delimiter) << "|" << c.n;
}

// Results at the edges, and the neutral result and report (with its tag and layout) of each failure: the digit
// checks count in 16 bits (32766 characters pass, 32767 overflow), as do xGetField's positions.
TEST(TextHelpers, EdgesLimitsAndFailureReports) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  const std::u16string x(32766, u'x'), digits(32766, u'7'), commas = u"1," + std::u16string(32764, u'0');
  auto report = [](const std::u16string& tag, int32_t n, const std::u16string& layout) {
    return tag + u"エラー番号 : " + ToU16(n) + u" -- vktest でエラーが発生しました。 " + layout + ErrorDescription(n);
  };
  auto flag = [](bool b) { return std::u16string(b ? u"true" : u"false"); };
  const struct { const char* call; std::function<std::u16string()> run; std::u16string result, box; } cases[] = {
      {"xReplaceString: occurrences never overlap", [] { return xReplaceString(u"aaa", u"aa", u"b"); }, u"ba", u""},
      {"xReplaceString: every occurrence", [] { return xReplaceString(u"aXbXXc", u"X", u"-"); }, u"a-b--c", u""},
      {"xReplaceString: the replacement is not searched again", [] { return xReplaceString(u"a.a", u"a", u"aa"); },
       u"aa.aa", u""},
      {"xReplaceString: case matters", [] { return xReplaceString(u"Aa", u"a", u""); }, u"A", u""},
      {"xReplaceString: an empty find", [] { return xReplaceString(u"abc", u"", u"x"); }, u"",
       report(u"xReplaceStringERR:", 5, u"")},
      {"xChkNum: 32766 digits", [&] { return flag(xChkNum(digits)); }, u"true", u""},
      {"xChkNum: 32767 digits", [&] { return flag(xChkNum(digits + u"7")); }, u"false", report(u"xChkNumERR:", 6, u"")},
      {"xChkNum: a full-width digit", [&] { return flag(xChkNum(u"1２")); }, u"false", u""},
      {"xChkNumComma: 32766 characters", [&] { return flag(xChkNumComma(commas)); }, u"true", u""},
      {"xChkNumComma: 32767 characters", [&] { return flag(xChkNumComma(commas + u",")); }, u"false",
       report(u"xChkNumCommaERR:", 6, u"")},
      {"xChkNumComma: a point", [&] { return flag(xChkNumComma(u"1.000")); }, u"false", u""},
      {"xGetField: no room left for the next start", [&] { return xGetField(x + u",", 2, u","); }, kMissingField,
       report(u"", 6, u"\r\n")},
      {"xGetField: a field ending beyond 32767", [&] { return xGetField(u"y" + x, 1, u","); }, kMissingField,
       report(u"", 6, u"\r\n")},
  };
  for (const auto& c : cases) {
    program.boxes.clear();
    EXPECT_EQ(c.run(), c.result) << c.call;
    EXPECT_EQ(program.boxes, c.box.empty() ? std::vector<std::u16string>{} : std::vector{c.box}) << c.call;
  }
}
