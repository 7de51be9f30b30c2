#include "util/fileutil.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <set>

#include "support/casefile.h"
#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/codepage.h"

namespace fs = std::filesystem;

namespace {

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

TEST(WriteWholeFile, ReplacesTheFileKeepingTheOldOneAsBakOrLeavesBothAsTheyWere) {
  const HangGuard guard;
  const mode_t umaskBefore = umask(027);
  for (const Case& c : CasesOf(LoadCases("files-write-read.cases"), "write:")) {
    CASE_TRACE(c);
    TempDir dir;
    for (const std::string& entry : c.all("before")) {
      const size_t blank = entry.find(' '), second = entry.find(' ', blank + 1);
      const std::string p = dir.file(entry.substr(0, blank)), bytes = entry.substr(second + 1);
      const unsigned mode = std::stoul(entry.substr(blank + 1, second - blank - 1), nullptr, 8);
      if (bytes == "<fifo>") mkfifo(p.c_str(), mode);
      else if (bytes == "<dir>") fs::create_directory(p);
      else WriteBytes(p, bytes), chmod(p.c_str(), mode);
    }
    std::u16string data;
    for (long i = c.number("repeat", 1); i > 0; --i) data += FromUtf8(c.get("data"));
    const std::optional<unsigned> mode =
        c.has("mode") ? std::optional<unsigned>(std::stoul(c.get("mode"), nullptr, 8)) : std::nullopt;
    auto write = [&] { return std::string(WriteWholeFile(dir.file16("f"), data, mode) ? "yes" : "no"); };
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small{c.get("how") == "limited" ? 4096 : old.rlim_cur, old.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    if (c.get("how") == "nobody") fs::permissions(dir.path(), fs::perms::all);
    EXPECT_EQ(c.get("how") == "nobody" ? AsNobody(write) : write(), c.get("written"));
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(Listing(dir), c.get("after"));
  }
  umask(umaskBefore);
}

// A reader never blocks on what stands in a file's place and never reads more than 16 MiB; each file it refuses
// leaves one error-log line naming it and why.
TEST(ReadWholeFile, RefusesAnythingButARegularFileOfAtMost16MiB) {
  ProgramInTempDir program;
  const HangGuard guard;
  for (const Case& c : CasesOf(LoadCases("files-write-read.cases"), "read:")) {
    CASE_TRACE(c);
    const std::string path = program.file(c.name);
    if (c.has("bytes") || c.has("size")) WriteBytes(path, c.get("bytes"));
    if (c.has("size")) fs::resize_file(path, c.number("size"));
    if (c.has("fifo")) mkfifo(path.c_str(), 0644);
    if (c.has("dir")) fs::create_directory(path);
    const std::u16string logBefore = program.errorLog();
    std::u16string text = u"kept";
    bool refused = false;
    EXPECT_EQ(ReadWholeFile(FromUtf8(path), text, &refused), c.get("read") == "yes");
    EXPECT_EQ(text.size(), c.get("read") == "yes" ? static_cast<size_t>(c.number("size")) : 4u);
    EXPECT_EQ(refused, c.has("why"));
    const std::string logged = ToUtf8(program.errorLog().substr(logBefore.size()));
    const std::string line = c.has("why") ? "ReadFileBytesERR: " + path + " (" + c.get("why") + ")\r\n" : "";
    EXPECT_EQ(logged.substr(logged.empty() ? 0 : 25), line);  // after " stamp *** "
  }
}

// Every test program, like the program and the benches, ignores SIGPIPE: a write to a reader that has gone
// fails with EPIPE instead of ending the process (library threads write without MSG_NOSIGNAL).
TEST(IgnoreSigPipe, AWriteToAClosedPipeFailsInsteadOfEndingTheProgram) {
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}
