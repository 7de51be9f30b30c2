// The text layer as tables: each case calls one function ("call") and compares the lines it gives with its "want"
// lines, the message boxes it shows with "box" and what it adds to the error log with "logged" (none: nothing).
// Each data file's head says what its calls take and give. The README and docs/ link into each other too: every
// relative link must reach a file, and every #fragment a heading of that file, named as GitHub names it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "app/appstate.h"
#include "app/commandline.h"
#include "diag/resultreport.h"
#include "diag/targetlist.h"
#include "net/certsummary.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/testcert.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/scramble.h"
#include "util/xcommon.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Certificates = std::map<std::string, TestCert>;

// Code points that GitHub drops from an anchor besides ASCII punctuation:
// Latin-1 signs, general punctuation, arrows and other symbols, CJK and
// full-width punctuation.
bool DroppedNonAscii(char32_t c) {
  return (c >= 0xA0 && c <= 0xBF) || c == 0xD7 || c == 0xF7 || (c >= 0x2000 && c <= 0x2BFF) ||
         (c >= 0x3000 && c <= 0x3004) || (c >= 0x3008 && c <= 0x3020) || c == 0x30FB ||
         (c >= 0xFF01 && c <= 0xFF0F) || (c >= 0xFF1A && c <= 0xFF20) || (c >= 0xFF3B && c <= 0xFF40) ||
         (c >= 0xFF5B && c <= 0xFF65);
}

// GitHub's anchor of a heading: the text as shown (links keep their text),
// lower-cased, punctuation other than "-" and "_" dropped, each blank a "-",
// letters of any script kept.
std::string AnchorOf(const std::string& heading) {
  const std::string shown = std::regex_replace(heading, std::regex(R"(!?\[([^\]]*)\]\([^)]*\))"), "$1");
  std::u16string out;
  for (char16_t c : FromUtf8(shown)) {
    if (c < 0x80 && (std::isalnum(c) || c == u'-' || c == u'_')) out += static_cast<char16_t>(std::tolower(c));
    else if (c == u' ') out += u'-';
    else if (c >= 0x80 && !DroppedNonAscii(c))
      out += (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0xFF21 && c <= 0xFF3A) ? static_cast<char16_t>(c + 0x20) : c;
  }
  return ToUtf8(out);
}

// Markdown lines outside fenced code blocks.
std::vector<std::string> OutsideCode(const std::string& text) {
  static const std::regex fence("^ {0,3}(```|~~~).*");
  std::vector<std::string> lines;
  std::istringstream in(text);
  bool fenced = false;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_match(line, fence)) fenced = !fenced;
    else if (!fenced) lines.push_back(line);
  }
  return lines;
}

// The anchors of a Markdown file's headings, repeated ones suffixed -1, -2.
std::set<std::string> AnchorsOf(const std::string& text) {
  static const std::regex heading(R"(^#{1,6}[ \t]+(.*?)[ \t#]*$)");
  std::set<std::string> anchors;
  std::map<std::string, int> seen;
  std::smatch m;
  for (const std::string& line : OutsideCode(text)) {
    if (!std::regex_match(line, m, heading)) continue;
    const std::string base = AnchorOf(m[1].str());
    const int n = seen[base]++;
    anchors.insert(n == 0 ? base : base + "-" + std::to_string(n));
  }
  return anchors;
}

// Every relative link of the given Markdown files (paths relative to root)
// that misses its file or its heading, as "file: target".
std::vector<std::string> BrokenLinks(const fs::path& root, const std::vector<std::string>& files) {
  // An inline link or image, or a reference definition; a scheme (http:, mailto:) leaves the checkout.
  static const std::regex link(R"(\]\(<?([^)\s>]+)>?(?:\s+"[^"]*")?\)|^\s{0,3}\[[^\]]+\]:\s*<?([^\s>]+))");
  static const std::regex scheme("^[A-Za-z][A-Za-z0-9+.-]*:");
  std::vector<std::string> broken;
  for (const std::string& file : files) {
    const fs::path from = root / file;
    for (const std::string& raw : OutsideCode(ReadBytes(from))) {
      const std::string line = std::regex_replace(raw, std::regex("`[^`]*`"), "``");  // code spans link nothing
      for (std::sregex_iterator m(line.begin(), line.end(), link), end; m != end; ++m) {
        const std::string target = (*m)[1].matched ? (*m)[1] : (*m)[2];
        if (std::regex_search(target, scheme)) continue;
        const size_t hash = target.find('#');
        const std::string path = target.substr(0, hash);
        const fs::path to = path.empty() ? from : path[0] == '/' ? root / path.substr(1) : from.parent_path() / path;
        std::error_code ec;
        bool reached = fs::exists(to, ec);
        if (reached && hash != std::string::npos)
          reached = to.extension() == ".md" && AnchorsOf(ReadBytes(to)).count(target.substr(hash + 1));
        if (!reached) broken.push_back(file + ": " + target);
      }
    }
  }
  return broken;
}

// The certificates' validity, from kStart to kEnd (2030-01-01 00:00:00 UTC).
constexpr int64_t kEnd = 1893456000, kDay = 86400, kStart = kEnd - 400 * kDay;

Lines Utf8(const std::vector<std::u16string>& texts) {
  Lines lines;
  for (const std::u16string& text : texts) lines.push_back(ToUtf8(text));
  return lines;
}

// What the case's call gives. Its first argument is "text", then "fill" repeated "count" times, then "tail".
Lines Call(const Case& c, Certificates& certs, const ProgramInTempDir& program) {
  const std::string call = c.get("call");
  const std::string arg = c.get("text") + std::string(c.number("count"), c.get("fill", " ")[0]) + c.get("tail");
  const std::u16string text = FromUtf8(arg);
  const std::vector<uint8_t> bytes(arg.begin(), arg.end());
  const auto n = static_cast<int16_t>(c.number("n"));
  if (call == "Base64EncodeText") return {ToUtf8(Base64EncodeText(text))};
  if (call == "Base64DecodeText") return {ToUtf8(Base64DecodeText(text))};
  if (call == "Base64EncodeBytes") return {ToUtf8(Base64EncodeBytes(bytes))};
  if (call == "Base64DecodeBytes") {
    const std::vector<uint8_t> decoded = Base64DecodeBytes(text);
    return {std::string(decoded.begin(), decoded.end())};
  }
  if (call == "ScrambleText") {  // each command of "way" on what the one before gave
    Lines steps;
    std::u16string result = text;
    for (const std::string& way : c.words("way")) steps.push_back(ToUtf8(result = ScrambleText(FromUtf8(way), result)));
    return steps;
  }
  if (call == "UTF-8") return {std::to_string(text.size()), ToUtf8(text)};  // UTF-16 units, then the text again
  if (call == "ToAnsi") return {ToAnsi(text)};
  if (call == "ToAnsiStrict") return {ToAnsiStrict(text).value_or("(refused)")};
  if (call == "FromAnsi") return {ToUtf8(FromAnsi(arg))};
  if (call == "FromAnsi ToAnsi") return {ToAnsi(FromAnsi(arg))};
  if (call == "round trip") return {ToUtf8(FromAnsi(ToAnsi(text))), ToUtf8(FromAnsi(ToAnsiStrict(text).value_or("")))};
  if (call == "SplitResultItems") return Utf8(SplitResultItems(text, FromUtf8(c.get("prefix"))));
  if (call == "ServiceHeaderText") return {ToUtf8(ServiceHeaderText(FromUtf8(c.get("port")), text))};
  if (call == "CheckResultBlock")
    return {ToUtf8(CheckResultBlock(text, c.get("ok") == "yes", FromUtf8(c.get("message"))))};
  if (call == "ServiceLampColour") {  // verdict and flag: both, the verdict only, the flag only, neither
    Lines lamps;
    for (int k = 0; k < 4; ++k) {
      const LampColour lamp = ServiceLampColour(n, k < 2, k % 2 == 0);
      lamps.push_back(lamp.greyedText ? "greyed" : std::to_string(lamp.red) + " " + std::to_string(lamp.green) +
                                                          " " + std::to_string(lamp.blue));
    }
    return lamps;
  }
  if (call == "xGetField") {
    const std::u16string field = xGetField(text, n, FromUtf8(c.get("delimiter")));
    return {field == kMissingField ? "(missing)" : ToUtf8(field)};
  }
  if (call == "xReplaceString")
    return {ToUtf8(xReplaceString(text, FromUtf8(c.get("find")), FromUtf8(c.get("replacement"))))};
  if (call == "xHexDump") {  // how long the dump is, then its last line (npos + 1 is 0: a dump of one line whole)
    const std::string dump = ToUtf8(xHexDump(bytes));
    return {std::to_string(dump.size()), dump.substr(dump.rfind('\n') + 1)};
  }
  if (call == "xChkNum") return {xChkNum(text) ? "true" : "false"};
  if (call == "xChkNumComma") return {xChkNumComma(text) ? "true" : "false"};
  if (call == "MakeTestCert") {  // for the cases after it; "names": that many more, h1.example to hN.example
    std::string san = c.get("san");
    for (long i = 1; i <= c.number("names"); ++i)
      san += (san.empty() ? "DNS:h" : ",DNS:h") + std::to_string(i) + ".example";
    certs[c.get("name")] = MakeTestCert(arg, san, kStart, kEnd);
    return {};
  }
  if (call == "SummarizeCertificate") {  // its flags, then its lines
    const int64_t now = (c.get("from") == "end" ? kEnd : kStart) + c.number("days") * kDay + c.number("seconds");
    const std::string der = c.has("cert") ? certs.at(c.get("cert")).der.substr(0, c.number("cut", -1)) : arg;
    const CertificateSummary s = SummarizeCertificate(der, FromUtf8(c.get("target")), now);
    const auto yes = [](bool flag) { return flag ? "yes" : "no"; };
    Lines lines{std::string("parsed ") + yes(s.parsed) + ", matches " + yes(s.nameMatches) + ", not yet valid " +
                yes(s.notYetValid) + ", expired " + yes(s.expired)};
    std::string text = ToUtf8(CertificateLines(s));
    for (size_t end; (end = text.find("\r\n")) != std::string::npos; text.erase(0, end + 2))
      lines.push_back(text.substr(0, end));
    if (!text.empty()) lines.push_back("(no CR LF) " + text);
    return lines;
  }
  if (call == "ParseTargetList") return Utf8(ParseTargetList(text));
  if (call == "ReadTargetList") {
    WriteBytes(program.file("VKRTARGET.INI"), arg);
    return Utf8(ReadTargetList(FromUtf8(program.file("VKRTARGET.INI"))));
  }
  if (call == "ApplyTargetEntry") {  // the target, the ticks, the SMTP/POP/FTP/HTTP ports
    SystemSettingsRecord s{u"", u"25", u"110", u"21", u"80,8080", {}, {}, {}, {}};
    const TargetEntry e = ApplyTargetEntry(text, s);
    std::u16string got = e.target + u" ";
    for (bool ticked : e.ticked) got += ticked ? u'1' : u'0';
    return {ToUtf8(got + u" " + s.SmtpPort + u"/" + s.PopPort + u"/" + s.FtpPort + u"/" + s.HttpPort)};
  }
  if (call == "EntryHostName") {
    const EntryParts split = SplitEntry(text);
    return {ToUtf8(EntryHostName(text)) + (split.bracketed ? " bracketed" : split.malformed ? " malformed" : " plain")};
  }
  if (call == "MonitoringInterval") {
    const std::optional<int16_t> minutes = MonitoringInterval(text);
    return {minutes ? std::to_string(*minutes) : "refused"};
  }
  if (call == "TargetHostInfoLine") return {ToUtf8(TargetHostInfoLine(static_cast<int>(c.number("of")), n, text))};
  if (call == "TimeoutInfoText") return {ToUtf8(TimeoutInfoText(n, text))};
  if (call == "ParseCommandLine") {  // what it does, then the argument it could not place
    const std::vector<std::string> args = c.words("args");
    std::vector<const char*> argv{"velkor"};
    for (const std::string& word : args) argv.push_back(word.c_str());
    const CommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    const char* const actions[] = {"run", "version", "help", "usage"};  // in CommandAction's order
    Lines lines{actions[static_cast<int>(line.action)]};
    if (!line.offending.empty()) lines.push_back(line.offending);
    return lines;
  }
  if (call == "the options of --help") {  // each with the parser's action for it, then any velkor(1) lists alone
    const std::string man = ReadBytes(VELKOR_MANPAGE);
    const size_t options = man.find(".SH OPTIONS");
    const std::string section = man.substr(options, man.find(".SH ", options + 1) - options);
    const std::string help = HelpText("/c", "/s");
    std::istringstream helpLines(help.substr(help.find("\nOptions:\n") + 10));
    Lines lines;
    // The options block ends at the first empty line.
    for (std::string line; std::getline(helpLines, line) && !line.empty();) {
      if (!line.starts_with("  --")) continue;
      const std::string name = line.substr(2, line.find(' ', 2) - 2);
      std::string roff;
      for (char ch : name) roff += ch == '-' ? std::string("\\-") : std::string(1, ch);
      const Lines parsed = Call(Case{"", "", {{"call", "ParseCommandLine"}, {"args", name}}}, certs, program);
      const bool inManPage = section.find(".B " + roff + "\n") != std::string::npos;
      lines.push_back(name + " " + parsed.at(0) + (inManPage ? "" : " (not in velkor(1))"));
    }
    std::istringstream manLines(section);
    for (std::string l; std::getline(manLines, l);) {
      if (!l.starts_with(".B \\-\\-")) continue;
      std::erase(l, '\\');
      if (help.find("  " + l.substr(3) + " ") == std::string::npos) lines.push_back(l.substr(3) + " (not in --help)");
    }
    return lines;
  }
  if (call == "velkor") {  // the program started with no display: its exit status, its output, its errors
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY " VELKOR_EXE " " + c.get("args") + " >" +
                                program.file("out") + " 2>" + program.file("err");
    const int status = std::system(command.c_str());
    Lines lines{"status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1)};
    for (const std::string stream : {"out", "err"}) {
      std::string text = ReadBytes(program.file(stream));
      for (size_t end; (end = text.find('\n')) != std::string::npos; text.erase(0, end + 1))
        lines.push_back(stream + ": " + text.substr(0, end));
      if (!text.empty()) lines.push_back(stream + " (no LF): " + text);
    }
    return lines;
  }
  if (call == "AnchorOf") return {AnchorOf(arg)};
  if (call == "BrokenLinks") {
    fs::create_directories(program.file("docs"));
    for (const std::string& file : c.all("write"))
      WriteBytes(program.file(file.substr(0, file.find(' '))), file.substr(file.find(' ') + 1));
    WriteBytes(program.file("README.md"), arg);
    return BrokenLinks(program.dir().path(), {c.get("file", "README.md")});
  }
  ADD_FAILURE() << "unknown call " << call;
  return {};
}

TEST(TextLayer, EachCallGivesItsLines) {
  // Dates in the certificate lines are local time: a zone nine hours east of UTC (each test has its own process).
  setenv("TZ", "JST-9", 1);
  tzset();
  Certificates certs;  // made by the cases that call MakeTestCert
  const CaseVars vars{{"EXEDIR", fs::path(VELKOR_EXE).parent_path().string()}};
  ProgramInTempDir program;
  SettingsMsgBoxFlag = true;  // every report is shown too
  for (const char* file : {"text-base64.cases", "text-scramble.cases", "text-cp932.cases", "text-results.cases",
                           "text-helpers.cases", "text-certsummary.cases", "targets-entries.cases",
                           "text-docs-links.cases", "cmdline-parse.cases", "cmdline-window.cases"}) {
    for (const Case& c : LoadCases(file, vars)) {
      CASE_TRACE(c);
      program.boxes.clear();
      std::filesystem::remove(program.file("vktestERR1.log"));
      SetScrambleKeyHook([k = c.number("key")] { return k; });
      Lines lines;
      try {
        lines = Call(c, certs, program);
      } catch (const VkError&) {
        lines = {"(fails)"};  // a failure the call reports to its caller
      }
      // A line of one character many times shows as "c*N", so that a case can state it.
      for (std::string& line : lines)
        if (line.size() > 200 && line.find_first_not_of(line[0]) == std::string::npos)
          line = line.substr(0, 1) + "*" + std::to_string(line.size());
      EXPECT_EQ(lines, c.all("want"));
      EXPECT_EQ(Utf8(program.boxes), c.all("box"));
      const std::string log = ToUtf8(program.errorLog());
      EXPECT_EQ(log.empty() ? "" : log.substr(25), c.get("logged"));  // after " stamp *** "
    }
  }
  SetScrambleKeyHook(nullptr);
}

TEST(DocsLinks, EveryLinkOfTheReadmeAndDocsResolves) {
  const fs::path root = VELKOR_SOURCE_DIR;
  std::vector<std::string> files{"README.md"};
  for (const auto& e : fs::recursive_directory_iterator(root / "docs"))
    if (e.path().extension() == ".md") files.push_back(fs::relative(e.path(), root).string());
  ASSERT_GT(files.size(), 5u);
  EXPECT_EQ(BrokenLinks(root, files), std::vector<std::string>{});
  // The README is a door into docs/: each topic file is linked from it.
  const std::string readme = ReadBytes(root / "README.md");
  for (const std::string& f : files) {
    if (f == "README.md" || f.find("pending-") != std::string::npos) continue;
    EXPECT_NE(readme.find("](" + f), std::string::npos) << f << " is not linked from README.md";
  }
}

}  // namespace
