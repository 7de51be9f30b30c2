#include "util/fileutil.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include "support/tempdir.h"

namespace fs = std::filesystem;

TEST(WriteWholeFile, KeepsThePreviousContentAsBak) {
  TempDir dir;
  EXPECT_TRUE(WriteWholeFile(dir.file16("s.dat"), u"ＭＳ ゴシック\r\n"));
  EXPECT_TRUE(WriteWholeFile(dir.file16("s.dat"), u"new"));
  EXPECT_EQ(ReadBytes(dir.file("s.dat")), "new");
  EXPECT_EQ(ReadBytes(dir.file("s.dat.bak")), "\x82l\x82r \x83S\x83V\x83" "b\x83N\r\n");
}

TEST(WriteWholeFile, FailedWriteRestoresTheBackup) {
  TempDir dir;
  WriteBytes(dir.file("s.dat"), "previous settings");
  WriteBytes(dir.file("t.dat.bak"), "stale");
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const rlimit small{4096, old.rlim_max};  // writing past it fails with EFBIG while SIGXFSZ is ignored
  std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  for (const char* f : {"s.dat", "t.dat"}) EXPECT_FALSE(WriteWholeFile(dir.file16(f), std::u16string(9999, u'x')));
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(ReadBytes(dir.file("s.dat")), "previous settings");
  EXPECT_FALSE(fs::exists(dir.file("s.dat.bak")));
  EXPECT_FALSE(fs::exists(dir.file("t.dat")));  // a stale backup beside a missing file stays put
  EXPECT_EQ(ReadBytes(dir.file("t.dat.bak")), "stale");
}
