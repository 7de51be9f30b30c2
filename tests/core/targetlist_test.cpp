#include "diag/targetlist.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/casefile.h"
#include "support/tempdir.h"
#include "util/codepage.h"
#include "util/xcommon.h"

namespace {

using Entries = std::vector<std::u16string>;

// The cases' texts are UTF-8; the entries are UTF-16.
Entries Utf16(const std::vector<std::string>& texts) {
  Entries out;
  for (const std::string& t : texts) out.push_back(FromUtf8(t));
  return out;
}

// One table of targets-entries.cases.
std::vector<Case> Table(const std::string& prefix) { return CasesOf(LoadCases("targets-entries.cases"), prefix); }

TEST(TargetList, Parse) {
  for (const Case& c : Table("parse:")) {
    CASE_TRACE(c);
    EXPECT_EQ(ParseTargetList(FromUtf8(c.get("text"))), Utf16(c.all("entry")));
  }
  EXPECT_EQ(ParseTargetList(std::u16string(40000, u'x') + u"\nlast").back(), u"last") << "past 16-bit positions";
}

// A line far longer than any entry (bad files are cases of files-scenarios.cases).
TEST(TargetList, ReadsALongLine) {
  TempDir dir;
  WriteBytes(dir.file("VKRTARGET.INI"), std::string(100000, 'x') + "\r\nb");
  EXPECT_EQ(ReadTargetList(dir.file16("VKRTARGET.INI")), (Entries{std::u16string(100000, u'x'), u"b"}));
}

TEST(TargetList, ApplyEntry) {
  for (const Case& c : Table("apply:")) {
    CASE_TRACE(c);
    const std::vector<std::string> entries = c.all("entry"), wants = c.all("want");
    ASSERT_EQ(entries.size(), wants.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      SystemSettingsRecord s;
      s.SmtpPort = u"25", s.PopPort = u"110", s.FtpPort = u"21", s.HttpPort = u"80,8080";
      const TargetEntry e = ApplyTargetEntry(FromUtf8(entries[i]), s);
      std::u16string got = e.target + u" ";
      for (bool ticked : e.ticked) got += ticked ? u'1' : u'0';
      EXPECT_EQ(ToUtf8(got + u" " + s.SmtpPort + u"/" + s.PopPort + u"/" + s.FtpPort + u"/" + s.HttpPort), wants[i]);
    }
  }
}

TEST(TargetList, HostOfBracketedEntries) {
  for (const Case& c : Table("host:")) {
    CASE_TRACE(c);
    const std::u16string box = FromUtf8(c.get("box"));
    EXPECT_EQ(ToUtf8(EntryHostName(box)), c.get("host"));
    EXPECT_EQ(SplitEntry(box).bracketed, c.get("split") == "bracketed");
    EXPECT_EQ(SplitEntry(box).malformed, c.get("split") == "malformed");
  }
  EXPECT_EQ(TargetHostInfoLine(3, 1, u"[::1]:25"), u"[TargetHost：2/3] ::1");
}

TEST(TargetList, MonitoringInterval) {
  for (const Case& c : Table("interval:")) {
    CASE_TRACE(c);
    std::optional<int16_t> minutes;
    if (c.has("minutes")) minutes = static_cast<int16_t>(c.number("minutes"));
    for (const std::string& text : c.all("text")) EXPECT_EQ(MonitoringInterval(FromUtf8(text)), minutes) << text;
  }
  EXPECT_EQ(TimeoutInfoText(0, u"05"), u"0 / 05 回") << "the interval as stored";
}

}  // namespace
