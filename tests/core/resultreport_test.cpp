// The rules of the result lines; the window test drives them through the real list and run log.
#include "diag/resultreport.h"

#include <gtest/gtest.h>

#include "support/casefile.h"
#include "util/codepage.h"

namespace {

TEST(ResultLines, SplitHeadersAndBlocks) {
  for (const Case& c : LoadCases("text-results.cases")) {
    CASE_TRACE(c);
    const std::u16string a = FromUtf8(c.get("word") + c.get("host")), b = FromUtf8(c.get("port") + c.get("message"));
    if (c.name.starts_with("split:")) {
      std::vector<std::u16string> items;
      for (const std::string& item : c.all("item")) items.push_back(FromUtf8(item));
      EXPECT_EQ(SplitResultItems(FromUtf8(c.get("text")), FromUtf8(c.get("prefix"))), items);
    } else if (c.name.starts_with("header:")) {
      EXPECT_EQ(ToUtf8(ServiceHeaderText(b, a)), c.get("want"));
    } else {
      EXPECT_EQ(ToUtf8(CheckResultBlock(a, c.get("ok") == "yes", b)), c.get("want"));
    }
  }
}

// The lamp of each pair of verdict and service flag.
TEST(ResultLines, LampColours) {
  for (int i = 0; i < kServiceCount; ++i) {
    EXPECT_EQ(ServiceLampColour(i, true, true), LampColour::Rgb(i < 2 ? 80 : 128, 255, 128)) << i;
    EXPECT_EQ(ServiceLampColour(i, true, false), LampColour::Rgb(255, 192, 128)) << i;
    EXPECT_EQ(ServiceLampColour(i, false, true), LampColour::Rgb(255, 192, 128)) << i;
    EXPECT_EQ(ServiceLampColour(i, false, false), LampColour::GreyedText()) << i;
  }
}

}  // namespace
