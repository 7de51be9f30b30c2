#include "diag/targetlist.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/codepage.h"
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

// Bad target list files: nothing blocks or throws; a file the reader refuses gives an empty list and one log line.
// Fewer than 2 bytes hold nothing (the 16 MiB edge is the file reader's, in its own test).
TEST(TargetList, ReadBadFiles) {
  ProgramInTempDir program;
  const HangGuard guard;
  const std::string path = program.file("VKRTARGET.INI");
  const std::u16string refused = u"ReadFileBytesERR: " + FromUtf8(path) + u" (";
  auto bytes = [&](std::string b) { return [&path, b] { WriteBytes(path, b); }; };
  const struct { const char* name; std::function<void()> place; Entries entries; std::u16string logged; } cases[] = {
      {"missing", [] {}, {}, u""},
      {"one byte", bytes("x"), {}, u""},
      {"two bytes", bytes("xy"), {u"xy"}, u""},
      {"20 MB", bytes(std::string(20000000, 'x')), {}, refused + u"larger than 16 MiB)"},
      {"one line of 100000 characters", bytes(std::string(100000, 'x') + "\r\nb"), {std::u16string(100000, u'x'), u"b"},
       u""},
      {"NUL bytes", bytes(std::string("a\0b\r\n\0\0\r\n", 9)), {std::u16string(u"a\0b", 3), std::u16string(2, u'\0')},
       u""},
      {"invalid CP932", bytes("\x81\x20sv\r\n\xa0:25\xff"), {u"\uFFFDsv", u"\uFFFD:25\uFFFD"}, u""},
      {"a FIFO", [&] { mkfifo(path.c_str(), 0644); }, {}, refused + u"not a regular file)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path), std::filesystem::remove(program.file("vktestERR1.log"));
    c.place();
    EXPECT_EQ(ReadTargetList(FromUtf8(path)), c.entries);
    EXPECT_EQ(c.logged.empty(), program.errorLog().empty());
    EXPECT_NE(program.errorLog().find(c.logged), std::u16string::npos);
  }
}

// A port field of digits and commas (each port with at most one "s" or "t") ticks its service and sets the port,
// other text unticks it, an empty field keeps the default, field 1 is the target, a sixth field is ignored, PING
// and NetBIOS stay unticked.
TEST(TargetList, ApplyEntry) {
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"mailsv", u"mailsv 001111 25/110/21/80,8080"},
      {u"host:-:110:off", u"host 000101 25/110/21/80,8080"},
      {u"host:1,025::2121", u"host 001111 1,025/110/2121/80,8080"},
      {u":25", u"localhost:25:110:21:80 001111 25/110/21/80,8080"},
      {u"h:1:2:3:4:5", u"h 001111 1/2/3/4"},
      // One lower-case TLS suffix per port; t passes on HTTP too (that check then fails with its reason).
      {u"h:465s,587t,25:995s,110t:990s,21t:443s,80t", u"h 001111 465s,587t,25/995s,110t/990s,21t/443s,80t"},
      {u"h:443x:443st:443S:s", u"h 000000 25/110/21/80,8080"},
      {u"h:443 s:,t:s80:25,,465s", u"h 000001 25/110/21/25,,465s"},
      // An IPv6 address in brackets: the host without them, the ports after "]:".
      {u"[2001:db8::25]:25,587t:995s", u"2001:db8::25 001111 25,587t/995s/21/80,8080"},
      {u"[::1]", u"::1 001111 25/110/21/80,8080"},
      {u"[::1]:-:-:-:31080", u"::1 000001 25/110/21/31080"},
      {u"[::1]:", u"::1 001111 25/110/21/80,8080"},
      {u"[]:2525", u"localhost:25:110:21:80 001111 2525/110/21/80,8080"},
      // Unbracketed text keeps its meaning: the host before the first ":".
      {u"a::c", u"a 001011 25/110/21/80,8080"},
      {u"dc1::110", u"dc1 001111 25/110/21/80,8080"},
      // An unclosed bracket, or text after "]": split as any entry; the host "[" resolves to nothing.
      {u"[::1:25", u"[ 001111 25/1/25/80,8080"},
      {u"[::1]x:25", u"[ 001011 25/110/25/80,8080"},
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

// The port-suffix syntax at its edges: one "s" or "t" right after the digits of a port, nothing after it. The
// entry takes any number of digits; the range (0 to 65535) is the check's to judge.
TEST(TargetList, PortSuffixEdges) {
  const std::pair<std::u16string, bool> rows[] = {
      {u"25s", true},   {u"25t", true},    {u"0", true},      {u"65535", true},  {u"65536", true},
      {u"0s,1t", true}, {u"25,,465s", true}, {u"25s,", true},  {u",587t", true},
      {u"25s1", false}, {u"25t0", false},  {u"25S", false},   {u"25T", false},   {u"25st", false},
      {u"25ss", false}, {u"s25", false},   {u"s", false},     {u"25,s", false},  {u"25 s", false},
      {u"25s 1", false}, {u"-1", false},   {u"+25", false},   {u"２５", false},  {u"25x", false},
  };
  for (const auto& [field, accepted] : rows) {
    SCOPED_TRACE(ToUtf8(field));
    SystemSettingsRecord s;
    s.SmtpPort = u"110";
    EXPECT_EQ(ApplyTargetEntry(u"h:" + field, s).ticked[2], accepted);
    EXPECT_EQ(s.SmtpPort, accepted ? field : u"110");
  }
}

// The host of the box's text: what the "[TargetHost…]" line, the last-error log and the error script get.
TEST(TargetList, HostOfBracketedEntries) {
  const std::tuple<const char16_t*, const char16_t*, bool, bool> rows[] = {
      {u"[2001:db8::25]:25,587t:995s", u"2001:db8::25", true, false},
      {u"[::1]", u"::1", true, false},
      {u"a::c", u"a", false, false},
      {u"mail:25", u"mail", false, false},
      {u"[::1", u"[", false, true},
      {u"[::1:25", u"[", false, true},
      {u"[::1]x", u"[", false, true},
  };
  for (const auto& [box, host, bracketed, malformed] : rows) {
    SCOPED_TRACE(Narrow(box));
    EXPECT_EQ(EntryHostName(box), host);
    EXPECT_EQ(SplitEntry(box).bracketed, bracketed);
    EXPECT_EQ(SplitEntry(box).malformed, malformed);
  }
  EXPECT_EQ(TargetHostInfoLine(3, 1, u"[::1]:25"), u"[TargetHost：2/3] ::1");
}

// The monitoring interval: 1 to 32767 minutes in plain digits.
TEST(TargetList, MonitoringInterval) {
  const std::pair<const char16_t*, int16_t> good[] = {{u"05", 5}, {u"1", 1}, {u"32767", 32767}};
  for (const auto& [text, minutes] : good) EXPECT_EQ(MonitoringInterval(text), minutes) << Narrow(text);
  for (const char16_t* bad : {u"", u"0", u"000", u"5a", u" 5", u"-1", u"+5", u"32768", u"99999999999999999999"})
    EXPECT_EQ(MonitoringInterval(bad), std::nullopt) << Narrow(bad);
  EXPECT_EQ(TimeoutInfoText(0, u"05"), u"0 / 05 回") << "the interval as stored";
}

}  // namespace
