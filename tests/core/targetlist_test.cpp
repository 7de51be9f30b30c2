#include "diag/targetlist.h"

#include <gtest/gtest.h>

#include "support/tempdir.h"
#include "util/codepage.h"
#include "util/xcommon.h"

namespace {

using Entries = std::vector<std::u16string>;

TEST(ParseTargetList, BlanksCommentsAndLineEnds) {
  EXPECT_EQ(ParseTargetList(u"a b:25\r\n#x\r\n\r\nc#d\r\n"), (Entries{u"ab:25", u"c"}));
  EXPECT_EQ(ParseTargetList(u"mailsv\r\n# web servers\r\nwebsv1::::8080"), (Entries{u"mailsv", u"websv1::::8080"}));
  EXPECT_EQ(ParseTargetList(u"web 01 : 80\rdb\t02\nx\r\n\r\r\n"), (Entries{u"web01:80", u"db02", u"x"}));
  EXPECT_EQ(ParseTargetList(u"dup\ndup\n"), (Entries{u"dup", u"dup"}));
  EXPECT_EQ(ParseTargetList(u"メール鯖:25　\n"), (Entries{u"メール鯖:25　"})) << "only ASCII blanks are dropped";
  EXPECT_EQ(ParseTargetList(u"#only\n   \n\t\n"), Entries{});
  EXPECT_EQ(ParseTargetList(u""), Entries{});
}

TEST(ParseTargetList, LongListIsNotCut) {
  std::u16string text;
  for (int i = 0; i < 5000; ++i) text += u"host" + std::u16string(1, u'a' + i % 26) + u":25\r\n";
  Entries entries = ParseTargetList(text);
  ASSERT_EQ(entries.size(), 5000u);
  EXPECT_EQ(entries.back(), u"hosth:25");
}

TEST(ReadTargetList, MissingEmptyAndCodePage) {
  TempDir dir;
  EXPECT_EQ(ReadTargetList(dir.file16("VKRTARGET.INI")), Entries{});
  WriteBytes(dir.file("VKRTARGET.INI"), "");
  EXPECT_EQ(ReadTargetList(dir.file16("VKRTARGET.INI")), Entries{});
  WriteBytes(dir.file("VKRTARGET.INI"), ToAnsi(u"# 社内\r\n本社サーバ:25:-\r\nmailsv\r\n"));
  EXPECT_EQ(ReadTargetList(dir.file16("VKRTARGET.INI")), (Entries{u"本社サーバ:25:-", u"mailsv"}));
}

class ApplyEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.SmtpPort = u"25";
    settings.PopPort = u"110";
    settings.FtpPort = u"21";
    settings.HttpPort = u"80,8080";
  }
  using Ticks = std::array<bool, 6>;
  SystemSettingsRecord settings;
};

TEST_F(ApplyEntry, BareHostKeepsDefaults) {
  TargetEntry e = ApplyTargetEntry(u"mailsv", settings);
  EXPECT_EQ(e.target, u"mailsv");
  EXPECT_EQ(e.ticked, (Ticks{false, false, true, true, true, true}));
  EXPECT_EQ(settings.HttpPort, u"80,8080");
}

TEST_F(ApplyEntry, NonNumberUnticksAndLeavesThePort) {
  TargetEntry e = ApplyTargetEntry(u"host:-:110:off", settings);
  EXPECT_EQ(e.ticked, (Ticks{false, false, false, true, false, true}));
  EXPECT_EQ(settings.SmtpPort, u"25");
  EXPECT_EQ(settings.PopPort, u"110");
  EXPECT_EQ(settings.FtpPort, u"21");
}

TEST_F(ApplyEntry, PortsWithCommasAndEmptyFields) {
  TargetEntry e = ApplyTargetEntry(u"host:1,025::2121", settings);
  EXPECT_EQ(e.target, u"host");
  EXPECT_EQ(e.ticked, (Ticks{false, false, true, true, true, true}));
  EXPECT_EQ(settings.SmtpPort, u"1,025");
  EXPECT_EQ(settings.PopPort, u"110");
  EXPECT_EQ(settings.FtpPort, u"2121");
}

TEST_F(ApplyEntry, EmptyHostKeepsTheDefaultTarget) {
  TargetEntry e = ApplyTargetEntry(u":25", settings);
  EXPECT_EQ(e.target, u"localhost:25:110:21:80");
  EXPECT_TRUE(e.ticked[2]);
  EXPECT_EQ(settings.SmtpPort, u"25");
  EXPECT_EQ(ApplyTargetEntry(u"", settings).target, u"localhost:25:110:21:80");
}

TEST_F(ApplyEntry, SixthFieldIgnored) {
  TargetEntry e = ApplyTargetEntry(u"h:1:2:3:4:5", settings);
  EXPECT_EQ(e.target, u"h");
  EXPECT_EQ(settings.SmtpPort, u"1");
  EXPECT_EQ(settings.PopPort, u"2");
  EXPECT_EQ(settings.FtpPort, u"3");
  EXPECT_EQ(settings.HttpPort, u"4");
  ApplyTargetEntry(u"h:::::-", settings);
  EXPECT_EQ(settings.HttpPort, u"4");
}

TEST(EntryText, ChoiceAndHostPart) {
  EXPECT_EQ(ChooseEntryText(u"mailsv:25", u"typed"), u"mailsv:25");
  EXPECT_EQ(ChooseEntryText(u"  ", u" typed "), u" typed ");
  EXPECT_EQ(ChooseEntryText(std::nullopt, u"  "), u"");
  EXPECT_EQ(EntryHostName(u" mailsv :25"), u"mailsv");
  EXPECT_EQ(EntryHostName(u":25"), u"");
  EXPECT_EQ(EntryHostName(u"   "), u"");
  EXPECT_EQ(EntryHostField(u""), kMissingField);
}

TEST(EntryText, TargetHostLine) {
  EXPECT_EQ(TargetHostInfoLine(0, -1, u""), u"[TargetHost] TargetHostを入力してください。");
  EXPECT_EQ(TargetHostInfoLine(0, -1, u"web01:80"), u"[TargetHost] web01");
  EXPECT_EQ(TargetHostInfoLine(5, 1, u"mailsv"), u"[TargetHost：2/5] mailsv");
  EXPECT_EQ(TargetHostInfoLine(5, -1, u" "), u"[TargetHost：0/5] ");
}

TEST(Monitoring, IntervalRule) {
  EXPECT_EQ(MonitoringInterval(u"5"), std::optional<int16_t>(5));
  EXPECT_EQ(MonitoringInterval(u"05"), std::optional<int16_t>(5));
  EXPECT_EQ(MonitoringInterval(u"32767"), std::optional<int16_t>(32767));
  for (const char16_t* bad : {u"", u"0", u"000", u"abc", u"5a", u" 5", u"-1", u"+5", u"32768", u"99999999999999999999"})
    EXPECT_EQ(MonitoringInterval(bad), std::nullopt) << Narrow(bad);
}

TEST(Monitoring, CounterCaption) {
  EXPECT_EQ(TimeoutInfoText(4, u"10"), u"4 / 10 回");
  EXPECT_EQ(TimeoutInfoText(0, u"05"), u"0 / 05 回");
  EXPECT_EQ(TimeoutInfoText(3, u"0"), u"");
  EXPECT_EQ(TimeoutInfoText(3, u""), u"");
  EXPECT_EQ(TimeoutInfoText(3, u"abc"), u"");
  EXPECT_EQ(TimeoutInfoText(3, u"40000"), u"");
}

}  // namespace
