#include <gtest/gtest.h>

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

// Run by a copy of this binary in OwnLocationOfACopy: prints what it found.
TEST(ProgramLocation, PrintOwn) {
  std::printf("<<%s|%s>>\n", ToUtf8(ProgramFilePath(u"VKRSYS.DAT")).c_str(), ToUtf8(GetAppTitle()).c_str());
}

TEST(ProgramLocation, OwnLocationOfACopy) {
  TempDir dir;
  std::filesystem::copy_file("/proc/self/exe", dir.file("vk copy.bin"));
  const std::string out = dir.file("out");
  ASSERT_EQ(std::system(("'" + dir.file("vk copy.bin") + "' --gtest_filter=*PrintOwn >" + out).c_str()), 0);
  // Files live beside the program; its name is the file's base name without extension.
  EXPECT_NE(ReadBytes(out).find("<<" + dir.file("VKRSYS.DAT") + "|vk copy  Ver： 0.2.5>>"), std::string::npos);
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
