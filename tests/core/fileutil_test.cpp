#include "util/fileutil.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/codepage.h"

namespace fs = std::filesystem;

namespace {
unsigned ModeOf(const std::string& path) { return static_cast<unsigned>(fs::status(path).permissions()); }
void Sized(const std::string& path, uintmax_t size) {
  WriteBytes(path, "");
  fs::resize_file(path, size);
}
}  // namespace

TEST(WriteWholeFile, KeepsThePreviousContentAsBakAndTheModeOfTheFileItReplaces) {
  TempDir dir;
  const mode_t umaskBefore = umask(027);
  EXPECT_TRUE(WriteWholeFile(dir.file16("s.dat"), u"ＭＳ ゴシック\r\n"));
  chmod(dir.file("s.dat").c_str(), 0604);
  EXPECT_TRUE(WriteWholeFile(dir.file16("s.dat"), u"new"));
  EXPECT_TRUE(WriteWholeFile(dir.file16("forced"), u"new", 0600));
  EXPECT_TRUE(WriteWholeFile(dir.file16("fresh"), u"new"));
  umask(umaskBefore);
  EXPECT_EQ(ReadBytes(dir.file("s.dat")), "new");
  EXPECT_EQ(ReadBytes(dir.file("s.dat.bak")), "\x82l\x82r \x83S\x83V\x83" "b\x83N\r\n");
  EXPECT_EQ(ModeOf(dir.file("s.dat")), 0604u);
  EXPECT_EQ(ModeOf(dir.file("s.dat.bak")), 0604u);
  EXPECT_EQ(ModeOf(dir.file("forced")), 0600u);
  EXPECT_EQ(ModeOf(dir.file("fresh")), 0640u) << "a new file: what the umask gives";
}

// A write that fails (here: the file size limit) leaves the file and its backup as they were, and no temporary file.
TEST(WriteWholeFile, FailedWriteLeavesTheFileAndItsBackupAsTheyWere) {
  TempDir dir;
  WriteBytes(dir.file("s.dat"), "previous settings");
  WriteBytes(dir.file("t.dat.bak"), "stale");
  WriteBytes(dir.file("u.dat"), "current");
  WriteBytes(dir.file("u.dat.bak"), "kept");
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const rlimit small{4096, old.rlim_max};  // writing past it fails with EFBIG while SIGXFSZ is ignored
  std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  for (const char* f : {"s.dat", "t.dat", "u.dat"})
    EXPECT_FALSE(WriteWholeFile(dir.file16(f), std::u16string(9999, u'x')));
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(ReadBytes(dir.file("u.dat")) + "|" + ReadBytes(dir.file("u.dat.bak")), "current|kept");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 4);
  EXPECT_EQ(ReadBytes(dir.file("s.dat")), "previous settings");
  EXPECT_FALSE(fs::exists(dir.file("s.dat.bak")));
  EXPECT_FALSE(fs::exists(dir.file("t.dat")));  // a stale backup beside a missing file stays put
  EXPECT_EQ(ReadBytes(dir.file("t.dat.bak")), "stale");
  // Data under 2 bytes is refused before anything moves: the file and an older backup stay.
  WriteBytes(dir.file("s.dat.bak"), "older");
  EXPECT_FALSE(WriteWholeFile(dir.file16("s.dat"), u"x"));
  EXPECT_EQ(ReadBytes(dir.file("s.dat")) + "|" + ReadBytes(dir.file("s.dat.bak")), "previous settings|older");
}

// Where the old file cannot be hard-linked (here: another user's file, which protected hard links refuse to link),
// it is copied to .bak instead, with its mode; the new file still takes its place.
TEST(WriteWholeFile, AnOldFileThatCannotBeLinkedIsCopiedToBak) {
  TempDir dir;
  fs::permissions(dir.path(), fs::perms::all);
  WriteBytes(dir.file("s.dat"), "root's old content");
  chmod(dir.file("s.dat").c_str(), 0644);
  const std::string result = AsNobody([&] {
    const bool refused = ::link(dir.file("s.dat").c_str(), dir.file("probe").c_str()) != 0 && errno == EPERM;
    const bool written = WriteWholeFile(dir.file16("s.dat"), u"nobody's new content");
    return std::string(refused ? "link refused" : "linked") + (written ? ", written" : ", failed");
  });
  EXPECT_EQ(result, "link refused, written");
  EXPECT_EQ(ReadBytes(dir.file("s.dat")), "nobody's new content");
  EXPECT_EQ(ReadBytes(dir.file("s.dat.bak")), "root's old content");
  EXPECT_EQ(ModeOf(dir.file("s.dat.bak")), 0644u);
  EXPECT_EQ(ModeOf(dir.file("s.dat")), 0644u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

// Whatever stands in a file's place is left as it was, and nothing blocks.
TEST(WriteWholeFile, AnythingButARegularFileIsLeftAlone) {
  TempDir dir;
  const HangGuard guard;
  const struct { const char* name; std::function<void(const std::string&)> place; fs::file_type type; } cases[] = {
      {"FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0644); }, fs::file_type::fifo},
      {"directory", [](const std::string& p) { fs::create_directory(p); }, fs::file_type::directory},
      {"directory as .bak", [](const std::string& p) { WriteBytes(p, "old"), fs::create_directory(p + ".bak"); },
       fs::file_type::regular},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file(c.name);
    c.place(path);
    EXPECT_FALSE(WriteWholeFile(FromUtf8(path), u"new")) << c.name;
    EXPECT_EQ(fs::symlink_status(path).type(), c.type) << c.name;
  }
  EXPECT_EQ(ReadBytes(dir.file("directory as .bak")), "old");
}

// A reader never blocks on what stands in a file's place and never reads more than 16 MiB; each file it refuses
// leaves one error-log line naming it and why.
TEST(ReadWholeFile, RefusesAnythingButARegularFileOfAtMost16MiB) {
  ProgramInTempDir program;
  const HangGuard guard;
  using Place = std::function<void(const std::string&)>;
  const struct { const char* name; Place place; bool read; std::u16string why; } cases[] = {
      {"missing", [](const std::string&) {}, false, u""},
      {"one byte", [](const std::string& p) { WriteBytes(p, "x"); }, false, u""},
      {"16 MiB", [](const std::string& p) { Sized(p, 16 << 20); }, true, u""},
      {"16 MiB and a byte", [](const std::string& p) { Sized(p, (16 << 20) + 1); }, false, u"larger than 16 MiB"},
      {"FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0644); }, false, u"not a regular file"},
      {"directory", [](const std::string& p) { fs::create_directory(p); }, false, u"not a regular file"},
  };
  for (const auto& c : cases) {
    const std::string path = program.file(c.name);
    c.place(path);
    const std::u16string logBefore = program.errorLog();
    std::u16string text = u"kept";
    bool refused = false;
    EXPECT_EQ(ReadWholeFile(FromUtf8(path), text, &refused), c.read) << c.name;
    EXPECT_EQ(text.size(), c.read ? size_t{16} << 20 : 4u) << c.name;
    EXPECT_EQ(refused, !c.why.empty()) << c.name;
    const std::u16string logged = program.errorLog().substr(logBefore.size());
    const std::u16string line = c.why.empty() ? u"" : u"ReadFileBytesERR: " + FromUtf8(path) + u" (" + c.why + u")\r\n";
    EXPECT_EQ(ToUtf8(logged.substr(logged.empty() ? 0 : 25)), ToUtf8(line)) << c.name;  // after " stamp *** "
  }
}

// Every test program, like the program and the benches, ignores SIGPIPE: a write to a reader that has gone
// fails with EPIPE instead of ending the process (library threads write without MSG_NOSIGNAL).
TEST(IgnoreSigPipe, AWriteToAClosedPipeFailsInsteadOfEndingTheProgram) {
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}
