#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>

#include "app/appstate.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/hooks.h"
#include "util/log.h"

namespace fs = std::filesystem;
using Texts = std::vector<std::u16string>;

// One table of files-logs.cases; the placeholders a table does not use stand empty.
std::vector<Case> Table(const std::string& prefix, CaseVars vars) {
  for (const char* name : {"T", "OLDER", "LOG"}) vars.emplace(name, "");
  return CasesOf(LoadCases("files-logs.cases", vars), prefix);
}

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
  const std::string homeConfig = t + "/home/.config/velkor/VKRSYS.DAT";
  for (const Case& c : Table("location:", {{"T", t}})) {
    CASE_TRACE(c);
    const bool installed = c.get("installed") == "yes";
    const std::string config = c.get("config"), state = c.get("state");
    for (const char* d : {"/c", "/s", "/home/.config", "/home/.local", "/share"}) std::filesystem::remove_all(t + d);
    if (installed) {
      std::filesystem::create_directories(t + "/share/velkor");
      WriteBytes(t + "/share/velkor/installed", "");
    }
    const std::string out = t + "/out";
    const std::string command = "cd '" + t + "' && T='" + t + "' && env -i HOME=\"$T/home\" " + c.get("env") + " '" +
                                c.get("run") + "' --gtest_filter=*PrintOwn >'" + out + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_NE(ReadBytes(out).find("<<" + config + "|" + state + "|vk copy  Ver： 0.2.5>>"), std::string::npos)
        << ReadBytes(out);
    // Per-user directories are made on first use, private to the user; a portable copy makes none.
    for (const std::string& file : {config, state})
      EXPECT_TRUE(!installed || fs::status(fs::path(file).parent_path()).permissions() == fs::perms(0700)) << file;
    EXPECT_FALSE(!installed && (fs::exists(t + "/c") || fs::exists(t + "/s")));
    EXPECT_EQ(std::filesystem::exists(t + "/home/.config"), installed && config == homeConfig);
  }
}

// An installed copy's logs go to its state directory; a write that fails names the real path.
TEST(ProgramLocation, LogsOfAnInstalledCopyNameTheirRealPaths) {
  ProgramInTempDir program;
  WriteBytes(program.file("taken"), "a file where the state directory's parent should be");
  for (const std::string& state : {program.file("state/velkor"), program.file("taken/velkor")}) {
    SetAppFiles({u"vktest", u"vktest", program.dir().file16("config"), FromUtf8(state), u"", true});
    WriteLog(u"vktest", u"run");
  }
  EXPECT_TRUE(ReadBytes(program.file("state/velkor/vktest1.log")).ends_with(" *** run\r\n"));
  ASSERT_EQ(program.boxes.size(), 1u);  // the second state directory's failure only
  EXPECT_NE(program.boxes[0].find(FromUtf8(program.file("taken/velkor/vktest1.log"))), std::u16string::npos)
      << ToUtf8(program.boxes[0]);
  EXPECT_FALSE(std::filesystem::exists(program.file("config")));  // asked for nothing there
}

// Program files in a temporary directory, log lines stamped 2024/03/05 17:08:09.
class Log : public ::testing::Test {
 protected:
  Log() { SetLocalNowHook([] { return std::tm{9, 8, 17, 5, 2, 124, 0, 0, 0, 0, nullptr}; }); }
  ~Log() override { SetLocalNowHook(nullptr); }
  std::string Read(const std::string& name) const { return ReadBytes(program.file(name)); }
  static std::string Stamp() { return "2024/03/05 17:08:09 *** "; }
  static std::string Line(const std::string& message) { return Stamp() + message + "\r\n"; }
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
  // One byte over: moved over the older one first, keeping its mode. A rename needs no space: a full disk (a
  // file-size limit below the log's size, SIGXFSZ ignored) does not stop it.
  WriteBytes(program.file("vktest1.log"), full + "y");
  chmod(program.file("vktest1.log").c_str(), 0640);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  const rlimit full_disk{4096, old.rlim_max};
  std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &full_disk);
  WriteLog(u"vktest", u"run");
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(Read("vktest2.log"), full + "y");
  EXPECT_EQ(Read("vktest1.log"), Line("run"));
  EXPECT_EQ(fs::status(program.file("vktest1.log")).permissions(), fs::perms(0640));
  EXPECT_EQ(program.boxes, Texts{});
}

// A rotation that cannot happen keeps the current log whole and goes on appending to it. It is reported once per
// run, naming the file that could not be written, and tried again only in the next run. The "may not" cases run
// as nobody (root ignores mode bits), in the program directory opened up for it.
TEST_F(Log, FailedRotationKeepsTheCurrentLogAndIsTriedOncePerRun) {
  const std::string current = program.file("vktest1.log"), older = program.file("vktest2.log");
  for (const Case& c : Table("rotation:", {{"OLDER", older}})) {
    CASE_TRACE(c);
    const bool asNobody = c.get("older") == "file";
    fs::remove_all(older), fs::remove(program.file("vktestERR1.log"));
    const std::string full(2048000, 'x');  // exactly at the limit: the next line is appended, the one after rotates
    WriteBytes(current, full);
    if (asNobody) WriteBytes(older, "older");
    else fs::create_directory(older);
    chmod(program.dir().path().c_str(), std::stoul(c.get("dir-mode"), nullptr, 8));
    if (asNobody) chown(current.c_str(), 65534, 65534);
    program.boxes.clear();
    auto lines = [this] {
      {
        const LogRun attended(false);
        for (const char16_t* line : {u"a", u"b", u"c"}) WriteLog(u"vktest", line);
      }
      const LogRun unattended(true);
      WriteLog(u"vktest", u"d");
      return std::to_string(program.boxes.size());
    };
    EXPECT_EQ(asNobody ? AsNobody(lines) : lines(), "1") << "boxes";
    chmod(program.dir().path().c_str(), 0700);
    EXPECT_EQ(Read("vktest1.log"), full + Line("a") + Line("b") + Line("c") + Line("d"));
    const std::string report = c.has("report") ? " " + Stamp() + c.get("report") + "\r\n" : "";
    EXPECT_EQ(ToUtf8(program.errorLog()), report + report);
    EXPECT_EQ(fs::is_directory(older) ? "(directory)" : Read("vktest2.log"), asNobody ? "older" : "(directory)");
  }
}

// A log that cannot be written shows a box for its first failure only, until a write succeeds again, and none in
// a run started by the monitoring tick (the ticks would wait behind it); every failure reaches the error log.
TEST_F(Log, WriteLogShowsTheFirstFailureOnlyAndNoneWhileUnattended) {
  const HangGuard guard;
  const std::string log = program.file("vktest1.log");
  std::string errors;
  for (const Case& c : Table("failure:", {{"LOG", log}})) {
    CASE_TRACE(c);
    if (c.has("place")) fs::remove(log);
    if (c.get("place") == "dir") fs::create_directory(log);
    if (c.get("place") == "fifo") mkfifo(log.c_str(), 0644);
    program.boxes.clear();
    const LogRun run(c.has("unattended"));
    WriteLog(u"vktest", u"run");
    EXPECT_EQ(program.boxes, c.has("box") ? Texts{FromUtf8(c.get("logged"))} : Texts{});
    if (c.has("logged")) errors += " " + Stamp() + c.get("logged") + "\r\n";
  }
  EXPECT_EQ(ToUtf8(program.errorLog()), errors) << "every failure, shown or not";
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

  // The reporting runs inside catch handlers: a box that cannot be shown or a line that cannot be made (no clock,
  // no code-page converter, no memory) ends nothing, and what can still be written is.
  SetProgramLocation(program.dir().path16(), u"vktest");
  SetMessageBoxHook([](const std::u16string&, const std::u16string&) { throw std::bad_alloc(); });
  EXPECT_NO_THROW(ReportError(u"no box"));
  EXPECT_EQ(Read("vktestERR1.log"), " " + Line("quiet") + " " + Line("shown") + " " + Line("no box"));
  SetLocalNowHook([]() -> std::tm { throw std::runtime_error("no clock"); });
  EXPECT_NO_THROW(ReportError(u"no stamp"));
  EXPECT_NO_THROW(WriteErrorLog(u"no stamp"));
}

// Another user plants links in a log directory they may write (a copy of the program kept in a shared directory):
// a log is never written, nor created, through them; the refused log gives the "not a regular file" line.
TEST_F(Log, PlantedLinksLeaveTheirTargetsUntouchedAndCreateNothing) {
  if (geteuid() != 0) GTEST_SKIP() << "SKIPPED LOUDLY: the attacker is another user (needs root)";
  TempDir secrets;  // root's, 0700
  const std::string secret = secrets.file("secret"), created = secrets.file("created");
  const std::string run = program.file("vktest1.log"), errors = program.file("vktestERR1.log");
  chmod(program.dir().path().c_str(), 0777);
  for (const Case& c : Table("link:", {})) {
    CASE_TRACE(c);
    const std::string link = c.get("log") == "run" ? run : errors, target = c.get("target") == "secret" ? secret : created;
    fs::remove(run), fs::remove(errors), fs::remove(created);
    WriteBytes(secret, "root only\n");
    chmod(secret.c_str(), 0600);
    ASSERT_EQ(AsNobody([&] { return std::to_string(symlink(target.c_str(), link.c_str())); }), "0");
    WriteLog(u"vktest", u"220 bytes the server sent");
    WriteErrorLog(u"an error line");
    EXPECT_EQ(ReadBytes(secret), "root only\n");
    EXPECT_FALSE(fs::exists(created));
    EXPECT_EQ(std::distance(fs::directory_iterator(secrets.path()), {}), 1);
    EXPECT_TRUE(fs::is_symlink(link));
    const bool named = program.errorLog().find(FromUtf8(run) + u" (not a regular file)") != std::u16string::npos;
    EXPECT_EQ(named, c.get("error-line") == "yes");
  }
}

// A log directory open by descriptor is written by name in it: swapping the directory for a link afterwards does
// not redirect a line, and the rotation stays in it too.
TEST_F(Log, ALogDirectoryOpenedOnceIsNotRedirectedBySwappingIt) {
  TempDir base;
  const std::string logs = base.file("logs"), moved = base.file("moved"), elsewhere = base.file("elsewhere");
  ASSERT_EQ(mkdir(logs.c_str(), 0700) | mkdir(elsewhere.c_str(), 0700), 0);
  WriteBytes(logs + "/vktest1.log", std::string(2048001, 'x'));
  const int fd = open(logs.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  SetLogDirectoryFd(fd);
  ASSERT_EQ(rename(logs.c_str(), moved.c_str()) | symlink(elsewhere.c_str(), logs.c_str()), 0);
  WriteLog(u"vktest", u"run");
  SetLogDirectoryFd(-1);
  close(fd);
  EXPECT_EQ(ReadBytes(moved + "/vktest1.log"), Line("run"));
  EXPECT_EQ(ReadBytes(moved + "/vktest2.log").size(), 2048001u);
  EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), {}), 0);
}
