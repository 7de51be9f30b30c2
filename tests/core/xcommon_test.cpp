#include "util/xcommon.h"

#include <gtest/gtest.h>

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
