// The rules of the result lines; the window test drives them through the real list and run log.
#include "diag/resultreport.h"

#include <gtest/gtest.h>

namespace {

using Items = std::vector<std::u16string>;

// Pieces at LF, trailing blanks dropped (a CR before the LF stays), empty pieces dropped,
// TAB shown as four blanks, the stamp in front of the first piece only.
TEST(ResultLines, SplitIntoItems) {
  const struct { std::u16string text, prefix; Items items; } cases[] = {
      {u"\r\n", u"", {u"\r"}},
      {u"first\r\nsecond", u"S ", {u"S first\r", u"second"}},
      {u"\nnext", u"S ", {u"S ", u"next"}},
      {u"   ", u"S ", {u"S "}},
      {u"", u"S ", {}},
      {u"x\n\ny  \n", u"", {u"x", u"y"}},
      {u"abc   \r\n \r\n", u"", {u"abc   \r", u" \r"}},
      {u"a\tb\t\r\n\tc", u"", {u"a    b    \r", u"    c"}},
  };
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(SplitResultItems(cases[i].text, cases[i].prefix), cases[i].items) << "case " << i;
}

// The section header (the word padded to 5, the port to 4: under, at and over), the block of each verdict (a
// failure with a message, one without), and the lamp of each pair of verdict and service flag.
TEST(ResultLines, HeadersBlocksAndLampColours) {
  const std::pair<std::u16string, std::u16string> rows[] = {
      {ServiceHeaderText(u"21", u"FTP"), u"## FTP   チャレンジ ##  port：  21"},
      {ServiceHeaderText(u"8080", u"HTTPS"), u"## HTTPS チャレンジ ##  port：8080"},
      {ServiceHeaderText(u"123456", u"LONGWORD"), u"## LONGWORD チャレンジ ##  port：123456"},
      {CheckResultBlock(u"h", true, u"ok"), u"---- h -- 【正常】  \r\nok"},
      {CheckResultBlock(u"h", false, u"550 no"), u"---- h -- 【異常】  \r\n550 no"},
      {CheckResultBlock(u"h", false, u""), u"---- h -- ［応答なし］  "},
  };
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
  for (int i = 0; i < kServiceCount; ++i) {
    EXPECT_EQ(ServiceLampColour(i, true, true), LampColour::Rgb(i < 2 ? 80 : 128, 255, 128)) << i;
    EXPECT_EQ(ServiceLampColour(i, true, false), LampColour::Rgb(255, 192, 128)) << i;
    EXPECT_EQ(ServiceLampColour(i, false, true), LampColour::Rgb(255, 192, 128)) << i;
    EXPECT_EQ(ServiceLampColour(i, false, false), LampColour::GreyedText()) << i;
  }
}

}  // namespace
