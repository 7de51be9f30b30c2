#include "util/xcommon.h"

#include <gtest/gtest.h>

#include "app/appstate.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "util/codepage.h"
#include "util/errreport.h"

// Results at the edges, and the neutral result and report (with its tag and layout) of each failure.
TEST(TextHelpers, ResultsAndFailureReports) {
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;
  for (const Case& c : LoadCases("text-helpers.cases")) {
    CASE_TRACE(c);
    std::u16string text = FromUtf8(c.get("head"));
    text += std::u16string(c.number("count"), FromUtf8(c.get("fill", " "))[0]) + FromUtf8(c.get("tail"));
    const std::string call = c.get("call");
    std::u16string got;
    program.boxes.clear();
    if (call == "xGetField") {
      got = xGetField(text, static_cast<int16_t>(c.number("n")), FromUtf8(c.get("delimiter")));
    } else if (call == "xReplaceString") {
      got = xReplaceString(text, FromUtf8(c.get("find")), FromUtf8(c.get("replacement")));
    } else {
      got = (call == "xChkNum" ? xChkNum(text) : xChkNumComma(text)) ? u"true" : u"false";
    }
    EXPECT_EQ(got == kMissingField ? "(missing)" : ToUtf8(got), c.get("want"));
    EXPECT_EQ(program.boxes, c.has("box") ? std::vector{FromUtf8(c.get("box"))} : std::vector<std::u16string>{});
  }
}
