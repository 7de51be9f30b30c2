#include "diag/resultreport.h"

#include <gtest/gtest.h>

#include "app/appstate.h"
#include "support/tempdir.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

class FakeView : public ResultView {
 public:
  void AppendResultItem(const std::u16string& item) override { items.push_back(item); }
  void ClearResultItems() override { items.clear(); }
  std::vector<std::u16string> ResultItems() const override { return items; }
  void SetLampColour(int index, const LampColour& colour) override { lamps.emplace_back(index, colour); }
  void SetStatusCaption(const std::u16string& caption) override { status = caption; }
  void RepaintNow() override { ++repaints; }

  std::vector<std::u16string> items;
  std::vector<std::pair<int, LampColour>> lamps;
  std::u16string status;
  int repaints = 0;
};

const std::u16string kStamp = u"2024/03/05 07:08:09 * ";

class ResultReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramLocation(dir.path16(), u"velkor");
    SetLocalNowHook([] {
      std::tm t{};
      t.tm_year = 124, t.tm_mon = 2, t.tm_mday = 5, t.tm_hour = 7, t.tm_min = 8, t.tm_sec = 9;
      return t;
    });
    SetDoEventsHook([this] { ++doEvents; });
  }
  void TearDown() override {
    SetLocalNowHook(nullptr);
    SetDoEventsHook(nullptr);
  }
  // The run log as text.
  std::u16string Log() const { return FromAnsi(ReadBytes(dir.file("velkor1.log"))); }
  static std::u16string Entry(const std::u16string& text) { return u"2024/03/05 07:08:09 *** " + text + u"\r\n"; }

  TempDir dir;
  FakeView view;
  ResultReport report{view};
  int doEvents = 0;
};

TEST_F(ResultReportTest, EmptyLineIsOneCrItemAndNotLogged) {
  report.AddResultText(u"\r\n");
  EXPECT_EQ(view.items, std::vector<std::u16string>{u"\r"});
  EXPECT_EQ(Log(), u"");
  EXPECT_EQ(doEvents, 1);
}

TEST_F(ResultReportTest, StampedTwoLinesGiveTwoItemsAndOneLogEntry) {
  report.AddResultLine(u"first\r\nsecond");
  EXPECT_EQ(view.items, (std::vector<std::u16string>{kStamp + u"first\r", u"second"}));
  EXPECT_EQ(Log(), Entry(u"first\r\nsecond"));
}

TEST_F(ResultReportTest, PassedCheckWithEmptyMessage) {
  bool service = true, overall = true;
  report.PutCheckResult(u"mailsv", 2, true, service, overall, u"");
  EXPECT_EQ(view.items, std::vector<std::u16string>{u"---- mailsv -- 【正常】  \r"});
  EXPECT_EQ(Log(), Entry(u"---- mailsv -- 【正常】  \r\n"));
  EXPECT_TRUE(service);
  EXPECT_TRUE(overall);
  ASSERT_EQ(view.lamps.size(), 1u);
  EXPECT_EQ(view.lamps[0].first, 2);
  EXPECT_EQ(view.lamps[0].second, LampColour::Rgb(128, 255, 128));
}

TEST_F(ResultReportTest, BlankTextsAndEmptyPieces) {
  report.AddResultLine(u"   ");  // stamp alone
  report.AddResultLine(u"   ", true);  // nothing
  report.AddResultLine(u"");  // no characters: nothing, not even the stamp
  report.AddResultText(u"x\n\ny  \n");  // an empty middle line is no item
  report.AddResultText(u"abc   \r\n \r\n");  // blanks before a CR stay
  EXPECT_EQ(view.items, (std::vector<std::u16string>{kStamp, u"x", u"y", u"abc   \r", u" \r"}));
  EXPECT_EQ(Log(), Entry(u"x\n\ny  \n") + Entry(u"abc   \r\n \r\n"));
}

TEST_F(ResultReportTest, EmptyFirstPieceStillCarriesTheStamp) {
  report.AddResultLine(u"\nnext");
  EXPECT_EQ(view.items, (std::vector<std::u16string>{kStamp, u"next"}));
}

TEST_F(ResultReportTest, TabShownAsFourBlanksButLoggedUnchanged) {
  report.AddResultText(u"a\tb\t\r\n\tc");
  EXPECT_EQ(view.items, (std::vector<std::u16string>{u"a    b    \r", u"    c"}));
  EXPECT_EQ(Log(), Entry(u"a\tb\t\r\n\tc"));
}

TEST_F(ResultReportTest, NoLogKeepsTheLogUntouched) {
  report.AddResultLine(u"[TargetHost] x", false, true);
  EXPECT_EQ(view.items, std::vector<std::u16string>{kStamp + u"[TargetHost] x"});
  EXPECT_EQ(Log(), u"");
}

TEST_F(ResultReportTest, ServiceHeaders) {
  EXPECT_EQ(ServiceHeaderText(u"25", u"SMTP"), u"## SMTP  チャレンジ ##  port：  25");
  EXPECT_EQ(ServiceHeaderText(u"110", u"POP"), u"## POP   チャレンジ ##  port： 110");
  EXPECT_EQ(ServiceHeaderText(u"8080", u"HTTP"), u"## HTTP  チャレンジ ##  port：8080");
  EXPECT_EQ(ServiceHeaderText(u"123456", u"LONGWORD"), u"## LONGWORD チャレンジ ##  port：123456");

  report.PutServiceHeader(u"21", u"FTP");
  EXPECT_EQ(view.items, (std::vector<std::u16string>{u"\r", kStamp + u"## FTP   チャレンジ ##  port：  21"}));
  EXPECT_EQ(Log(), Entry(u"## FTP   チャレンジ ##  port：  21"));
}

TEST_F(ResultReportTest, CheckResultBlocksAndFlags) {
  bool service = true, overall = true;
  report.PutCheckResult(u"h", 3, false, service, overall, u"+OK ready\r\n-ERR\r\n");
  EXPECT_FALSE(service);
  EXPECT_FALSE(overall);
  report.PutCheckResult(u"h", 3, true, service, overall, u"ok");
  EXPECT_FALSE(service) << "a passing port never raises the flags again";
  EXPECT_FALSE(overall);
  report.PutCheckResult(u"h", 0, false, service, overall, u"");
  EXPECT_EQ(view.items, (std::vector<std::u16string>{u"---- h -- 【異常】  \r", u"+OK ready\r", u"-ERR\r",
                                                      u"---- h -- 【正常】  \r", u"ok", u"---- h -- ［応答なし］"}));
  ASSERT_EQ(view.lamps.size(), 3u);
  EXPECT_EQ(view.lamps[0].second, LampColour::GreyedText());
  EXPECT_EQ(view.lamps[1].second, LampColour::Rgb(255, 192, 128)) << "mixed ports of one section";
  EXPECT_EQ(view.lamps[2].second, LampColour::GreyedText());
  EXPECT_EQ(Log(), Entry(u"---- h -- 【異常】  \r\n+OK ready\r\n-ERR\r\n") + Entry(u"---- h -- 【正常】  \r\nok") +
                       Entry(u"---- h -- ［応答なし］  "));
}

TEST(ServiceLampColour, Table) {
  EXPECT_EQ(ServiceLampColour(0, true, true), LampColour::Rgb(80, 255, 128));
  EXPECT_EQ(ServiceLampColour(1, true, true), LampColour::Rgb(80, 255, 128));
  for (int i = 2; i < kServiceCount; ++i) EXPECT_EQ(ServiceLampColour(i, true, true), LampColour::Rgb(128, 255, 128));
  for (int i = 0; i < kServiceCount; ++i) {
    EXPECT_EQ(ServiceLampColour(i, true, false), LampColour::Rgb(255, 192, 128));
    EXPECT_EQ(ServiceLampColour(i, false, true), LampColour::Rgb(255, 192, 128));
    EXPECT_EQ(ServiceLampColour(i, false, false), LampColour::GreyedText());
  }
}

TEST_F(ResultReportTest, StatusMessageRepaintsAndLetsEventsRun) {
  report.ShowStatusMessage(u"Start Diag");
  EXPECT_EQ(view.status, u"07:08  Start Diag");
  EXPECT_EQ(view.repaints, 1);
  EXPECT_EQ(doEvents, 1);
  EXPECT_EQ(Log(), u"");
}

TEST_F(ResultReportTest, ResultTextAndClear) {
  EXPECT_EQ(report.GetResultText(), u"");
  report.AddResultText(u"one\r\ntwo");
  EXPECT_EQ(report.GetResultText(), u"one\r\r\ntwo\r\n");
  report.ClearResults();
  EXPECT_TRUE(view.items.empty());
  EXPECT_EQ(report.GetResultText(), u"");
}

}  // namespace
