#include "util/codepage.h"

#include <gtest/gtest.h>

#include "support/casefile.h"

TEST(Cp932, ConversionsNeverFail) {
  for (const Case& c : LoadCases("text-cp932.cases")) {
    CASE_TRACE(c);
    const std::u16string text = FromUtf8(c.get("text"));
    const std::string way = c.get("way");
    if (way == "both") EXPECT_EQ(FromAnsi(ToAnsiStrict(text).value_or("")), text);
    if (way == "both") EXPECT_EQ(FromAnsi(ToAnsi(text)), text);
    if (way == "to") EXPECT_EQ(ToAnsi(text), c.get("cp932"));
    if (way == "strict") EXPECT_EQ(ToAnsiStrict(text), std::nullopt);
    if (way == "from") EXPECT_EQ(ToUtf8(FromAnsi(c.get("cp932"))), c.get("text"));
    if (way == "from-to") EXPECT_EQ(ToAnsi(FromAnsi(c.get("cp932"))), c.get("back"));
  }
  EXPECT_EQ(ToAnsi(std::u16string(u"\xD800x\xD800", 3)), "?x?") << "lone surrogates";
}
