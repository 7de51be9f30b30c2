#include "app/commandline.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/casefile.h"
#include "support/tempdir.h"

// How the arguments are read are calls of the text engine (text_test, cmdline-parse.cases).
TEST(ParseCommandLine, TheProgramAnswersWithoutADisplay) {
  TempDir dir;
  const std::string exe = VELKOR_EXE;
  const CaseVars vars{{"EXEDIR", exe.substr(0, exe.rfind('/'))}};
  for (const Case& c : LoadCases("cmdline-window.cases", vars)) {
    CASE_TRACE(c);
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY " + exe + " " + c.get("args") + " >" +
                                dir.file("out") + " 2>" + dir.file("err");
    const int status = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.number("status"));
    const std::string out = ReadBytes(dir.file("out")), err = ReadBytes(dir.file("err"));
    EXPECT_EQ(out.empty(), !c.has("out")) << out;
    EXPECT_NE(out.find(c.get("out")), std::string::npos) << out;
    EXPECT_EQ(err.substr(0, c.get("err").size()), c.get("err"));
  }
}

// The window's options: each one --help lists is the parser's own and has its
// entry in velkor(1), and each the man page lists is in --help.
TEST(ParseCommandLine, HelpManPageAndParserListTheSameOptions) {
  std::ifstream in(VELKOR_MANPAGE);
  const std::string man((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t options = man.find(".SH OPTIONS");
  ASSERT_NE(options, std::string::npos);
  std::istringstream section(man.substr(options, man.find(".SH ", options + 1) - options));
  const std::string help = HelpText("/c", "/s");
  std::istringstream helpLines(help.substr(help.find("\nOptions:\n") + 10));
  int listed = 0;
  // The options block ends at the first empty line.
  for (std::string line; std::getline(helpLines, line) && !line.empty();) {
    if (!line.starts_with("  --")) continue;
    const std::string name = line.substr(2, line.find(' ', 2) - 2);
    const char* argv[] = {"velkor", name.c_str()};
    const CommandAction action = ParseCommandLine(2, argv).action;
    EXPECT_TRUE(action != CommandAction::Usage && action != CommandAction::Run) << name;
    std::string roff;
    for (char c : name) roff += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(section.str().find(".B " + roff + "\n"), std::string::npos) << name << " is not in velkor(1)";
    ++listed;
  }
  EXPECT_GE(listed, 2);
  for (std::string l; std::getline(section, l);) {
    if (!l.starts_with(".B \\-\\-")) continue;
    std::erase(l, '\\');
    EXPECT_NE(help.find("  " + l.substr(3) + " "), std::string::npos) << l << " is not in --help";
  }
}
