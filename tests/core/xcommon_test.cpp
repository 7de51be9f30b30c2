#include "util/xcommon.h"

#include <gtest/gtest.h>

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

TEST(XGetField, PositionsBeyondSixteenBitsGiveTheMarkerAndAReport) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  const std::u16string x(32766, u'x');
  EXPECT_EQ(xGetField(x + u",", 2, u","), kMissingField);  // no room left for the next start position
  EXPECT_EQ(xGetField(u"y" + x, 1, u","), kMissingField);
  const std::u16string report = u"エラー番号 : 6 -- vktest でエラーが発生しました。 \r\n" + ErrorDescription(6);
  EXPECT_EQ(program.boxes, std::vector<std::u16string>(2, report));
}
