#include "diag/targetlist.h"

#include <gtest/gtest.h>

#include "util/xcommon.h"

namespace {

using Entries = std::vector<std::u16string>;

TEST(TargetList, Parse) {
  EXPECT_EQ(ParseTargetList(u"mailsv\r\n# web servers\r\nwebsv1::::8080"), (Entries{u"mailsv", u"websv1::::8080"}));
  EXPECT_EQ(ParseTargetList(u"web 01 : 80\rdb\t02\nc#d\r\n\r\r\ndup\ndup"),
            (Entries{u"web01:80", u"db02", u"c", u"dup", u"dup"}));
  EXPECT_EQ(ParseTargetList(u"メール鯖:25　\n#only\n   \n\t\n"), (Entries{u"メール鯖:25　"})) << "only ASCII blanks go";
  EXPECT_EQ(ParseTargetList(std::u16string(40000, u'x') + u"\nlast").back(), u"last") << "past 16-bit positions";
}

// A port field of digits and commas ticks its service and sets the port, other text unticks it, an empty
// field keeps the default, field 1 is the target, a sixth field is ignored, PING and NetBIOS stay unticked.
TEST(TargetList, ApplyEntry) {
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"mailsv", u"mailsv 001111 25/110/21/80,8080"},
      {u"host:-:110:off", u"host 000101 25/110/21/80,8080"},
      {u"host:1,025::2121", u"host 001111 1,025/110/2121/80,8080"},
      {u":25", u"localhost:25:110:21:80 001111 25/110/21/80,8080"},
      {u"h:1:2:3:4:5", u"h 001111 1/2/3/4"},
  };
  for (const auto& [entry, want] : cases) {
    SystemSettingsRecord s;
    s.SmtpPort = u"25", s.PopPort = u"110", s.FtpPort = u"21", s.HttpPort = u"80,8080";
    const TargetEntry e = ApplyTargetEntry(entry, s);
    std::u16string got = e.target + u" ";
    for (bool ticked : e.ticked) got += ticked ? u'1' : u'0';
    EXPECT_EQ(got + u" " + s.SmtpPort + u"/" + s.PopPort + u"/" + s.FtpPort + u"/" + s.HttpPort, want);
  }
}

TEST(TargetList, MonitoringInterval) {
  EXPECT_EQ(MonitoringInterval(u"05"), std::optional<int16_t>(5));
  EXPECT_EQ(MonitoringInterval(u"32767"), std::optional<int16_t>(32767));
  for (const char16_t* bad : {u"", u"0", u"000", u"5a", u" 5", u"-1", u"+5", u"32768", u"99999999999999999999"})
    EXPECT_EQ(MonitoringInterval(bad), std::nullopt) << Narrow(bad);
  EXPECT_EQ(TimeoutInfoText(0, u"05"), u"0 / 05 回") << "the interval as stored";
}

}  // namespace
