#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/appstate.h"
#include "support/programdir.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/hooks.h"
#include "util/log.h"

// Run by a copy of this binary in WhereACopyKeepsItsFiles: sets itself up as the program does and prints what it
// found.
TEST(ProgramLocation, PrintOwn) {
  SetUpAppFiles();
  std::printf("<<%s|%s|%s>>\n", ToUtf8(ConfigFilePath(u"VKRSYS.DAT")).c_str(), ToUtf8(StateFilePath(u"x.log")).c_str(),
              ToUtf8(GetAppTitle()).c_str());
}

// A copy of this binary in a tree of its own ($T/bin), with and without the install's marker beside it
// ($T/share/velkor/installed), started with HOME=$T/home and the XDG variables of the row.
TEST(ProgramLocation, WhereACopyKeepsItsFiles) {
  TempDir tree;
  const std::string t = tree.path(), exe = t + "/bin/vk copy.bin";
  std::filesystem::create_directories(t + "/bin");
  std::filesystem::create_directories(t + "/home");
  std::filesystem::create_directories(t + "/link");
  std::filesystem::copy_file("/proc/self/exe", exe);
  std::filesystem::create_symlink(exe, t + "/link/velkor");  // the real path counts, not the link's name
  const std::string homeConfig = t + "/home/.config/velkor/VKRSYS.DAT", homeState = t + "/home/.local/state/velkor/x.log";
  const struct { bool installed; std::string run, env, config, state; } rows[] = {
      {false, exe, "XDG_CONFIG_HOME=$T/c XDG_STATE_HOME=$T/s", t + "/bin/VKRSYS.DAT", t + "/bin/x.log"},
      {true, exe, "XDG_CONFIG_HOME=$T/c XDG_STATE_HOME=$T/s/", t + "/c/velkor/VKRSYS.DAT", t + "/s/velkor/x.log"},
      {true, exe, "", homeConfig, homeState},
      {true, exe, "XDG_CONFIG_HOME=c XDG_STATE_HOME=./s", homeConfig, homeState},  // not absolute: ignored
      {true, exe, "XDG_CONFIG_HOME= XDG_STATE_HOME=", homeConfig, homeState},
      {true, t + "/link/velkor", "", homeConfig, homeState},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.run + " " + row.env + (row.installed ? " installed" : " portable"));
    for (const char* d : {"/c", "/s", "/home/.config", "/home/.local", "/share"}) std::filesystem::remove_all(t + d);
    if (row.installed) {
      std::filesystem::create_directories(t + "/share/velkor");
      WriteBytes(t + "/share/velkor/installed", "");
    }
    const std::string out = t + "/out";
    const std::string command = "cd '" + t + "' && T='" + t + "' && env -i HOME=\"$T/home\" " + row.env + " '" +
                                row.run + "' --gtest_filter=*PrintOwn >'" + out + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_NE(ReadBytes(out).find("<<" + row.config + "|" + row.state + "|vk copy  Ver： 0.2.5>>"), std::string::npos)
        << ReadBytes(out);
    // Per-user directories are made on first use, private to the user; a portable copy makes none.
    for (const std::string& file : {row.config, row.state}) {
      struct stat st{};
      const std::string dir = std::filesystem::path(file).parent_path().string();
      ASSERT_EQ(stat(dir.c_str(), &st), 0) << dir;
      if (row.installed) {
        EXPECT_EQ(st.st_mode & 07777, 0700u) << dir;
      }
    }
    if (!row.installed) {
      EXPECT_FALSE(std::filesystem::exists(t + "/c") || std::filesystem::exists(t + "/s"));
    }
    EXPECT_EQ(std::filesystem::exists(t + "/home/.config"), row.installed && row.config == homeConfig);
  }
}

// An installed copy's logs go to its state directory; a write that fails names the real path.
TEST(ProgramLocation, LogsOfAnInstalledCopyNameTheirRealPaths) {
  ProgramInTempDir program;
  WriteBytes(program.file("taken"), "a file where the state directory's parent should be");
  for (const std::string& state : {program.file("state/velkor"), program.file("taken/velkor")}) {
    SetAppFiles({u"vktest", u"vktest", program.dir().file16("config"), FromUtf8(state), u"", true});
    program.boxes.clear();
    WriteLog(u"vktest", u"run");
    if (state.starts_with(program.file("state"))) {
      EXPECT_TRUE(ReadBytes(state + "/vktest1.log").ends_with(" *** run\r\n"));
      EXPECT_TRUE(program.boxes.empty());
    } else {
      ASSERT_FALSE(program.boxes.empty());
      EXPECT_NE(program.boxes.back().find(FromUtf8(state + "/vktest1.log")), std::u16string::npos)
          << ToUtf8(program.boxes.back());
    }
  }
  EXPECT_FALSE(std::filesystem::exists(program.file("config")));  // asked for nothing there
}

// Program files in a temporary directory, log lines stamped 2024/03/05 17:08:09.
class Log : public ::testing::Test {
 protected:
  Log() { SetLocalNowHook([] { return std::tm{9, 8, 17, 5, 2, 124, 0, 0, 0, 0, nullptr}; }); }
  ~Log() override { SetLocalNowHook(nullptr); }
  std::string Read(const std::string& name) const { return ReadBytes(program.file(name)); }
  static std::string Line(const std::string& message) { return "2024/03/05 17:08:09 *** " + message + "\r\n"; }
  ProgramInTempDir program;
};

TEST_F(Log, WriteLogAppendsCp932LinesAndRotatesOnlyAboveTheLimit) {
  const std::string full(2048000, 'x');
  WriteBytes(program.file("vktest1.log"), full);
  WriteBytes(program.file("vktest2.log"), "older");
  // Exactly at the limit: appended to; what CP932 cannot hold is written as "?".
  WriteLog(u"vktest", FromAnsi("220 \xff\xfe") + u" caf\u00e9 【正常】\r\nnext");
  EXPECT_EQ(Read("vktest1.log"), full + Line("220 ?? caf? \x81\x79\x90\xB3\x8F\xED\x81\x7A\r\nnext"));
  EXPECT_EQ(Read("vktest2.log"), "older");
  WriteBytes(program.file("vktest1.log"), full + "y");  // one byte over: moved over the older one first
  WriteLog(u"vktest", u"run");
  EXPECT_EQ(Read("vktest2.log"), full + "y");
  EXPECT_EQ(Read("vktest1.log"), Line("run"));
}

TEST_F(Log, WriteLogShowsItsOwnFailuresDirectly) {
  std::filesystem::create_directory(program.file("vktest1.log"));
  WriteLog(u"vktest", u"run");  // both the size test and the append fail
  const std::u16string head = u"エラー番号 : 75 -- vktest でエラーが発生しました。 " + ErrorDescription(75);
  ASSERT_EQ(program.boxes.size(), 2u);
  EXPECT_EQ(program.boxes[1].substr(0, head.size()), head);
  EXPECT_FALSE(std::filesystem::exists(program.file("vktestERR1.log")));  // not through ReportError
}

TEST_F(Log, ReportErrorShowsTheBoxOnlyWhileTheFlagIsUpAndBeforeTheLogLine) {
  std::vector<std::string> shown;
  SetMessageBoxHook([&](const std::u16string& text, const std::u16string& caption) {
    shown.push_back(ToUtf8(caption + u"|" + text) + "|" + Read("vktestERR1.log"));
  });
  ReportError(u"quiet");
  SettingsMsgBoxFlag = true;
  ReportError(u"shown");
  EXPECT_EQ(shown, std::vector<std::string>{"vktest  Ver： 0.2.5|shown| " + Line("quiet")});
  EXPECT_EQ(Read("vktestERR1.log"), " " + Line("quiet") + " " + Line("shown"));  // error-log lines lead with a blank
  SetProgramLocation(FromUtf8(program.file("gone")), u"vktest");
  WriteErrorLog(u"lost");  // its own failures are never reported
  EXPECT_EQ(shown.size(), 1u);
}
