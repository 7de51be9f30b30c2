#include "util/sysutil.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "app/appstate.h"
#include "support/tempdir.h"
#include "util/codepage.h"

namespace fs = std::filesystem;

// Run by OwnLocationOfACopy in a copy of this binary: prints what it found.
TEST(ProgramLocation, PrintOwn) {
  std::printf("<<%s|%s|%s>>\n", ToUtf8(ProgramDir()).c_str(), ToUtf8(ProgramName()).c_str(),
              ToUtf8(GetAppTitle()).c_str());
}

TEST(ProgramLocation, OwnLocationOfACopy) {
  TempDir dir;
  const std::string copy = dir.file("vk copy.bin");
  fs::copy_file(fs::read_symlink("/proc/self/exe"), copy);
  const std::string cmd = "'" + copy + "' --gtest_filter=ProgramLocation.PrintOwn";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  pclose(p);
  // The directory of the program file, and its base name without extension.
  EXPECT_NE(out.find("<<" + dir.path() + "|vk copy|vk copy  Ver： 0.2.5>>"), std::string::npos) << out;
}

TEST(ProgramLocation, FilesLiveBesideTheProgram) {
  SetProgramLocation(u"/opt/vk", u"velkor");
  EXPECT_EQ(ProgramFilePath(u"VKRSYS.DAT"), u"/opt/vk/VKRSYS.DAT");
  SetProgramLocation(u"/", u"velkor");
  EXPECT_EQ(ProgramFilePath(u"VKRTARGET.INI"), u"/VKRTARGET.INI");
  EXPECT_EQ(GetAppTitle(), u"velkor  Ver： 0.2.5");
}

TEST(SysUtil, VersionAndComputerName) {
  EXPECT_EQ(GetVersionText(), u"Ver： 0.2.5");
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(GetLocalComputerName(), FromAnsi(host));
  EXPECT_EQ(GetLocalComputerName().find(u'\0'), std::u16string::npos);
}
