#include "util/fileutil.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <set>

#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/codepage.h"

namespace fs = std::filesystem;

namespace {

// What stands in a directory: "<fifo>" and "<dir>" for those, else a file's bytes.
struct Entry { std::string name, content; unsigned mode = 0644; };

void Place(const TempDir& dir, const std::vector<Entry>& entries) {
  for (const Entry& e : entries) {
    const std::string p = dir.file(e.name);
    if (e.content == "<fifo>") mkfifo(p.c_str(), e.mode);
    else if (e.content == "<dir>") fs::create_directory(p);
    else WriteBytes(p, e.content), chmod(p.c_str(), e.mode);
  }
}

// The directory's entries by name: "name mode bytes", "name fifo" or "name dir", joined by "; ".
std::string Listing(const TempDir& dir) {
  std::set<std::string> lines;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(e.symlink_status().permissions()));
    if (e.is_fifo()) lines.insert(name + " fifo");
    else if (e.is_directory()) lines.insert(name + " dir");
    else lines.insert(name + " " + mode + " " + ReadBytes(e.path()));
  }
  std::string all;
  for (const std::string& line : lines) all += (all.empty() ? "" : "; ") + line;
  return all;
}

}  // namespace

// A write replaces "f" whole, the old file kept as f.bak with its mode, or leaves the file and its backup as they
// were, with no temporary file and nothing blocking. Written under umask 027; "limited": a file size limit of 4096
// bytes (SIGXFSZ ignored: EFBIG), "nobody": as another user, whose protected hard links refuse to link root's file,
// so the old one is copied to .bak instead.
TEST(WriteWholeFile, ReplacesTheFileKeepingTheOldOneAsBakOrLeavesBothAsTheyWere) {
  const HangGuard guard;
  const std::u16string big(9999, u'x');
  const std::string cp932 = "\x82l\x82r \x83S\x83V\x83" "b\x83N\r\n";  // "ＭＳ ゴシック\r\n"
  const struct {
    const char* name;
    std::vector<Entry> before;
    std::u16string data;
    std::optional<unsigned> mode;
    const char* how;
    bool written;
    std::string after;
  } rows[] = {
      {"replaced", {{"f", cp932, 0604}}, u"new", {}, "", true, "f 604 new; f.bak 604 " + cp932},
      {"a new file with the mode forced", {}, u"new", 0600, "", true, "f 600 new"},
      {"a new file: what the umask gives", {}, u"new", {}, "", true, "f 640 new"},
      {"no room", {{"f", "previous"}}, big, {}, "limited", false, "f 644 previous"},
      {"no room, a stale backup beside no file", {{"f.bak", "stale"}}, big, {}, "limited", false, "f.bak 644 stale"},
      {"no room, a backup", {{"f", "current"}, {"f.bak", "kept"}}, big, {}, "limited", false,
       "f 644 current; f.bak 644 kept"},
      {"2 bytes, the fewest written", {}, u"ab", {}, "", true, "f 640 ab"},
      {"under 2 bytes", {{"f", "previous"}, {"f.bak", "older"}}, u"x", {}, "", false,
       "f 644 previous; f.bak 644 older"},
      {"another user's file", {{"f", "root's old content"}}, u"nobody's new content", {}, "nobody", true,
       "f 644 nobody's new content; f.bak 644 root's old content"},
      {"a FIFO in its place", {{"f", "<fifo>"}}, u"new", {}, "", false, "f fifo"},
      {"a directory in its place", {{"f", "<dir>"}}, u"new", {}, "", false, "f dir"},
      {"a directory as .bak", {{"f", "old"}, {"f.bak", "<dir>"}}, u"new", {}, "", false, "f 644 old; f.bak dir"},
  };
  const mode_t umaskBefore = umask(027);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    Place(dir, row.before);
    const std::string how = row.how;
    auto write = [&] { return std::string(WriteWholeFile(dir.file16("f"), row.data, row.mode) ? "1" : "0"); };
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{how == "limited" ? 4096 : old.rlim_cur, old.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    if (how == "nobody") fs::permissions(dir.path(), fs::perms::all);
    EXPECT_EQ(how == "nobody" ? AsNobody(write) : write(), row.written ? "1" : "0");
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(Listing(dir), row.after);
  }
  umask(umaskBefore);
}

// A reader never blocks on what stands in a file's place and never reads more than 16 MiB; each file it refuses
// leaves one error-log line naming it and why.
TEST(ReadWholeFile, RefusesAnythingButARegularFileOfAtMost16MiB) {
  ProgramInTempDir program;
  const HangGuard guard;
  using Place = std::function<void(const std::string&)>;
  auto sized = [](uintmax_t size) -> Place {
    return [size](const std::string& p) { WriteBytes(p, ""), fs::resize_file(p, size); };
  };
  const struct { const char* name; Place place; bool read; std::u16string why; } cases[] = {
      {"missing", [](const std::string&) {}, false, u""},
      {"one byte", [](const std::string& p) { WriteBytes(p, "x"); }, false, u""},
      {"16 MiB", sized(16 << 20), true, u""},
      {"16 MiB and a byte", sized((16 << 20) + 1), false, u"larger than 16 MiB"},
      {"FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0644); }, false, u"not a regular file"},
      {"directory", [](const std::string& p) { fs::create_directory(p); }, false, u"not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = program.file(c.name);
    c.place(path);
    const std::u16string logBefore = program.errorLog();
    std::u16string text = u"kept";
    bool refused = false;
    EXPECT_EQ(ReadWholeFile(FromUtf8(path), text, &refused), c.read);
    EXPECT_EQ(text.size(), c.read ? size_t{16} << 20 : 4u);
    EXPECT_EQ(refused, !c.why.empty());
    const std::u16string logged = program.errorLog().substr(logBefore.size());
    const std::u16string line = c.why.empty() ? u"" : u"ReadFileBytesERR: " + FromUtf8(path) + u" (" + c.why + u")\r\n";
    EXPECT_EQ(ToUtf8(logged.substr(logged.empty() ? 0 : 25)), ToUtf8(line));  // after " stamp *** "
  }
}

// Every test program, like the program and the benches, ignores SIGPIPE: a write to a reader that has gone
// fails with EPIPE instead of ending the process (library threads write without MSG_NOSIGNAL).
TEST(IgnoreSigPipe, AWriteToAClosedPipeFailsInsteadOfEndingTheProgram) {
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}
