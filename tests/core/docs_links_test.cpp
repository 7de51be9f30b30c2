// The README and docs/ link into each other: every relative link must reach a
// file, and every #fragment a heading of that file, named as GitHub names it.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "support/casefile.h"
#include "support/tempdir.h"
#include "util/codepage.h"

namespace fs = std::filesystem;

namespace {

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

TEST(DocsLinks, AnchorsFollowGitHubsRule) {
  for (const Case& c : CasesOf(LoadCases("text-docs-links.cases"), "anchor:")) {
    CASE_TRACE(c);
    EXPECT_EQ(AnchorOf(c.get("heading")), c.get("anchor"));
  }
}

TEST(DocsLinks, BrokenLinksAreFound) {
  TempDir dir;
  fs::create_directories(dir.file("docs"));
  for (const Case& c : CasesOf(LoadCases("text-docs-links.cases"), "broken:")) {
    CASE_TRACE(c);
    for (const std::string& file : c.all("write"))
      WriteBytes(dir.file(file.substr(0, file.find(' '))), file.substr(file.find(' ') + 1));
    WriteBytes(dir.file("README.md"), c.get("readme"));
    EXPECT_EQ(BrokenLinks(dir.path(), {c.get("file", "README.md")}), c.all("missing"));
  }
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
