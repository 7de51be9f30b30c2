#include "app/commandline.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/tempdir.h"

TEST(ParseCommandLine, OwnOptionsQtOptionsAndTheRest) {
  using A = CommandAction;
  const struct { std::vector<const char*> args; A action; std::string offending; } rows[] = {
      {{}, A::Run, ""},
      {{"--version"}, A::Version, ""},
      {{"-platform", "offscreen", "--help"}, A::Help, ""},
      {{"-platform", "xcb", "-display", ":1", "-style=fusion", "--session", "id", "-reverse"}, A::Run, ""},
      {{"-session"}, A::Usage, "-session"},  // its value is missing
      {{"-reverse=1"}, A::Usage, "-reverse=1"},
      {{"-version"}, A::Usage, "-version"},
      {{"-platform", "offscreen", "--verbose"}, A::Usage, "--verbose"},
      {{"host.example"}, A::Usage, "host.example"},
      {{"-"}, A::Usage, "-"},
  };
  for (const auto& row : rows) {
    std::vector<const char*> argv{"velkor"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const CommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(static_cast<int>(line.action), static_cast<int>(row.action)) << row.offending;
    EXPECT_EQ(line.offending, row.offending);
  }
}

// The real program, without a display: the answers come before Qt starts. The help names where this copy keeps
// its files: beside the build-tree program.
TEST(ParseCommandLine, TheProgramAnswersWithoutADisplay) {
  TempDir dir;
  const std::string exe = VELKOR_EXE, exeDir = exe.substr(0, exe.rfind('/'));
  const struct { std::string args; int status; std::string out, err; } rows[] = {
      {"--version", 0, "velkor 0.2.5\n", ""},
      {"--help", 0, "\nSettings, target list and error script:\n  " + exeDir + "\nLogs and last-error log:\n  " + exeDir + "\n",
       ""},
      {"-platform offscreen --bogus", 2, "", "velkor: unknown argument '--bogus'\nUsage: "},
  };
  for (const auto& row : rows) {
    const std::string command =
        "env -u DISPLAY -u WAYLAND_DISPLAY " + exe + " " + row.args + " >" + dir.file("out") + " 2>" + dir.file("err");
    const int status = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status) << row.args;
    const std::string out = ReadBytes(dir.file("out")), err = ReadBytes(dir.file("err"));
    EXPECT_EQ(out.empty(), row.out.empty()) << out;
    EXPECT_NE(out.find(row.out), std::string::npos) << out;
    EXPECT_EQ(err.substr(0, row.err.size()), row.err) << row.args;
  }
}

// The window's options: each one --help lists is the parser's own and has its
// entry in velkor(1), and each the man page lists is in --help.
TEST(ParseCommandLine, HelpManPageAndParserListTheSameOptions) {
  std::ifstream in(VELKOR_MANPAGE);
  const std::string man((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t options = man.find(".SH OPTIONS"), next = man.find(".SH ", options + 1);
  ASSERT_NE(options, std::string::npos);
  const std::string section = man.substr(options, next - options);
  std::istringstream help(HelpText("/c", "/s"));
  std::string line;
  int listed = 0;
  for (bool inOptions = false; std::getline(help, line);) {
    if (line == "Options:") inOptions = true;
    else if (line.empty()) inOptions = false;
    else if (inOptions && line.rfind("  --", 0) == 0) {
      const std::string name = line.substr(2, line.find(' ', 2) - 2);
      ++listed;
      const char* argv[] = {"velkor", name.c_str()};
      const CommandAction action = ParseCommandLine(2, argv).action;
      EXPECT_TRUE(action != CommandAction::Usage && action != CommandAction::Run) << name;
      std::string roff;
      for (char c : name) roff += c == '-' ? std::string("\\-") : std::string(1, c);
      EXPECT_NE(section.find(".B " + roff + "\n"), std::string::npos) << name << " is not in velkor(1)";
    }
  }
  EXPECT_GE(listed, 2);
  std::istringstream manLines(section);
  for (std::string l; std::getline(manLines, l);)
    if (l.rfind(".B \\-\\-", 0) == 0) {
      std::string name;
      for (size_t i = 3; i < l.size(); ++i)
        if (l[i] != '\\') name += l[i];
      EXPECT_NE(HelpText("/c", "/s").find("  " + name + " "), std::string::npos) << name << " is not in --help";
    }
}
