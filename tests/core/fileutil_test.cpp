#include "util/fileutil.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>

#include "support/tempdir.h"
#include "util/codepage.h"
#include "util/errreport.h"

namespace {

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// Files may not grow beyond `limit` bytes while this lives: a write past it
// fails with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &m_old);
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit r = m_old;
    r.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_old);
    std::signal(SIGXFSZ, m_oldHandler);
  }

 private:
  rlimit m_old{};
  void (*m_oldHandler)(int) = SIG_DFL;
};

int32_t FailureNumber(const std::function<void()>& f) {
  try {
    f();
  } catch (const VkError& e) {
    return e.failure().number;
  }
  return 0;
}

}  // namespace

TEST(WriteWholeFile, NewFileGetsTextAndModeButNoBackup) {
  TempDir dir;
  EXPECT_TRUE(WriteWholeFile(dir.file16("a.txt"), u"ＭＳ ゴシック\r\n", 0600));
  EXPECT_EQ(ReadBytes(dir.file("a.txt")), ToAnsi(u"ＭＳ ゴシック\r\n"));
  EXPECT_EQ(ModeOf(dir.file("a.txt")), 0600u);
  EXPECT_FALSE(Exists(dir.file("a.txt.bak")));

  EXPECT_TRUE(WriteWholeFile(dir.file16("b.txt"), u"plain"));
  EXPECT_EQ(ModeOf(dir.file("b.txt")), 0644u);
}

TEST(WriteWholeFile, ReplacingKeepsPreviousContentAsBak) {
  TempDir dir;
  WriteBytes(dir.file("s.dat"), "old content");
  WriteBytes(dir.file("s.dat.bak"), "older backup");
  chmod(dir.file("s.dat.bak").c_str(), 0644);
  EXPECT_TRUE(WriteWholeFile(dir.file16("s.dat"), u"new content", 0600));
  EXPECT_EQ(ReadBytes(dir.file("s.dat")), "new content");
  EXPECT_EQ(ReadBytes(dir.file("s.dat.bak")), "old content");
  // The backup of a private file is private too.
  EXPECT_EQ(ModeOf(dir.file("s.dat")), 0600u);
  EXPECT_EQ(ModeOf(dir.file("s.dat.bak")), 0600u);
}

TEST(WriteWholeFile, MissingDirectoryFailsWithoutBackup) {
  TempDir dir;
  EXPECT_FALSE(WriteWholeFile(dir.file16("nodir/s.dat"), u"content"));
  EXPECT_FALSE(Exists(dir.file("nodir/s.dat.bak")));
  EXPECT_FALSE(Exists(dir.file("nodir")));
}

TEST(WriteWholeFile, FailedWriteRestoresBackupAndRemovesIt) {
  TempDir dir;
  WriteBytes(dir.file("s.dat"), "previous settings");
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(WriteWholeFile(dir.file16("s.dat"), std::u16string(10000, u'x')));
  }
  EXPECT_EQ(ReadBytes(dir.file("s.dat")), "previous settings");
  EXPECT_FALSE(Exists(dir.file("s.dat.bak")));
}

TEST(WriteWholeFile, FailedWriteOfNewFileLeavesNothing) {
  TempDir dir;
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(WriteWholeFile(dir.file16("s.dat"), std::u16string(10000, u'x')));
  }
  EXPECT_FALSE(Exists(dir.file("s.dat")));
  EXPECT_FALSE(Exists(dir.file("s.dat.bak")));
}

TEST(WriteWholeFile, StaleBackupBesideMissingFileIsNeverRestored) {
  TempDir dir;
  WriteBytes(dir.file("s.dat.bak"), "stale");
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(WriteWholeFile(dir.file16("s.dat"), std::u16string(10000, u'x')));
  }
  EXPECT_FALSE(Exists(dir.file("s.dat")));
  EXPECT_EQ(ReadBytes(dir.file("s.dat.bak")), "stale");
}

TEST(WriteFileBytes, FewerThanTwoBytesFailAndChangeNothing) {
  TempDir dir;
  WriteBytes(dir.file("s.dat"), "keep");
  EXPECT_FALSE(WriteFileBytes(dir.file16("s.dat"), {'x'}));
  EXPECT_FALSE(WriteWholeFile(dir.file16("s.dat"), u""));
  EXPECT_EQ(ReadBytes(dir.file("s.dat")), "keep");
  EXPECT_TRUE(WriteFileBytes(dir.file16("s.dat"), {'o', 'k'}));
  EXPECT_EQ(ReadBytes(dir.file("s.dat")), "ok");
}

TEST(ReadWholeFile, MissingEmptyOneByteAndDirectoryFail) {
  TempDir dir;
  std::u16string text = u"unchanged";
  EXPECT_FALSE(ReadWholeFile(dir.file16("missing"), text));
  WriteBytes(dir.file("empty"), "");
  EXPECT_FALSE(ReadWholeFile(dir.file16("empty"), text));
  WriteBytes(dir.file("one"), "x");
  EXPECT_FALSE(ReadWholeFile(dir.file16("one"), text));
  EXPECT_FALSE(ReadWholeFile(dir.path16(), text));
  EXPECT_EQ(text, u"unchanged");

  WriteBytes(dir.file("two"), "ab");
  EXPECT_TRUE(ReadWholeFile(dir.file16("two"), text));
  EXPECT_EQ(text, u"ab");
}

TEST(ReadWholeFile, DecodesCp932WithoutLineEndTranslation) {
  TempDir dir;
  const std::u16string text = u"【正常】\r\n　実行開始\r\nend";
  ASSERT_TRUE(WriteWholeFile(dir.file16("サーバ.log"), text));
  EXPECT_TRUE(Exists(dir.file("サーバ.log")));
  std::u16string back;
  EXPECT_TRUE(ReadWholeFile(dir.file16("サーバ.log"), back));
  EXPECT_EQ(back, text);
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(ReadFileBytes(dir.file16("サーバ.log"), bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), ToAnsi(text));
}

TEST(FileHelpers, ExistsLengthAndKill) {
  TempDir dir;
  WriteBytes(dir.file("f"), "12345");
  EXPECT_TRUE(FileExists(dir.file16("f")));
  EXPECT_TRUE(FileExists(dir.path16()));
  EXPECT_FALSE(FileExists(dir.file16("g")));
  EXPECT_EQ(FileLength(dir.file16("f")), 5);
  EXPECT_EQ(FailureNumber([&] { FileLength(dir.file16("g")); }), ErrNo::FileNotFound);
  EXPECT_EQ(FailureNumber([&] { FileLength(dir.file16("g/h")); }), ErrNo::FileNotFound);

  KillFile(dir.file16("f"));
  EXPECT_FALSE(FileExists(dir.file16("f")));
  EXPECT_EQ(FailureNumber([&] { KillFile(dir.file16("f")); }), ErrNo::FileNotFound);
  std::filesystem::create_directory(dir.file("sub"));
  EXPECT_EQ(FailureNumber([&] { KillFile(dir.file16("sub")); }), ErrNo::FileAccess);
}
