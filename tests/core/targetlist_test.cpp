#include "diag/targetlist.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/casefile.h"
#include "support/programdir.h"
#include "support/unprivileged.h"
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

// One table of targets-entries.cases; ${PATH} is the target list file's path.
std::vector<Case> Table(const std::string& prefix, const std::string& path = "") {
  return CasesOf(LoadCases("targets-entries.cases", {{"PATH", path}}), prefix);
}

TEST(TargetList, Parse) {
  for (const Case& c : Table("parse:")) {
    CASE_TRACE(c);
    EXPECT_EQ(ParseTargetList(FromUtf8(c.get("text"))), Utf16(c.all("entry")));
  }
  EXPECT_EQ(ParseTargetList(std::u16string(40000, u'x') + u"\nlast").back(), u"last") << "past 16-bit positions";
}

// Bad target list files: nothing blocks or throws; a file the reader refuses gives an empty list and one log line.
// The 16 MiB edge is the file reader's, in its own test.
TEST(TargetList, ReadBadFiles) {
  ProgramInTempDir program;
  const HangGuard guard;
  const std::string path = program.file("VKRTARGET.INI");
  for (const Case& c : Table("read:", path)) {
    CASE_TRACE(c);
    std::filesystem::remove(path), std::filesystem::remove(program.file("vktestERR1.log"));
    const std::vector<std::string> fill = c.words("fill");
    if (c.has("bytes")) WriteBytes(path, c.get("bytes"));
    if (c.has("fill")) WriteBytes(path, std::string(std::stoul(fill.at(0)), fill.at(1).at(0)));
    if (c.has("fifo")) mkfifo(path.c_str(), 0644);
    EXPECT_EQ(ReadTargetList(FromUtf8(path)), Utf16(c.all("entry")));
    EXPECT_EQ(c.has("logged"), !program.errorLog().empty());
    EXPECT_NE(program.errorLog().find(FromUtf8(c.get("logged"))), std::u16string::npos);
  }
  std::filesystem::remove(path);
  WriteBytes(path, std::string(100000, 'x') + "\r\nb");
  EXPECT_EQ(ReadTargetList(FromUtf8(path)), (Entries{std::u16string(100000, u'x'), u"b"})) << "a line of 100000";
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
