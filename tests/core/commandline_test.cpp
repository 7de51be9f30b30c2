#include "app/commandline.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/tempdir.h"

// The parser: the program's own options, Qt's with one dash or two and a value as the next argument or after "=",
// and the first argument it cannot place as the offending one.
TEST(ParseCommandLine, OwnOptionsQtOptionsAndTheRest) {
  using A = CommandAction;
  const struct { std::vector<const char*> args; A action; std::string offending; } rows[] = {
      {{}, A::Run, ""},
      {{"--version"}, A::Version, ""},
      {{"-platform", "offscreen", "--help"}, A::Help, ""},
      {{"-platform", "xcb", "-display", ":1", "-style=fusion", "--session", "id", "-reverse"}, A::Run, ""},
      {{"-style=fusion"}, A::Run, ""},  // the value after "=" is all it takes, also as the last argument
      {{"--session=id", "-style="}, A::Run, ""},
      {{"-display", ":1"}, A::Run, ""},  // the value is the last argument
      {{"-session"}, A::Usage, "-session"},  // its value is missing
      {{"-reverse", "-display"}, A::Usage, "-display"},
      {{"-reverse=1"}, A::Usage, "-reverse=1"},
      {{"-reverse", "x"}, A::Usage, "x"},
      {{"-version"}, A::Usage, "-version"},
      {{"--bogus", "--version"}, A::Usage, "--bogus"},
      {{"-platform", "offscreen", "--verbose"}, A::Usage, "--verbose"},
      {{"host.example"}, A::Usage, "host.example"},
      {{"-"}, A::Usage, "-"},
  };
  for (const auto& row : rows) {
    std::vector<const char*> argv{"velkor"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    const CommandLine line = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(static_cast<int>(line.action), static_cast<int>(row.action)) << row.offending << " " << row.args.size();
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
