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
#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/hooks.h"
#include "util/log.h"

namespace fs = std::filesystem;
using Texts = std::vector<std::u16string>;

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
    for (const std::string& file : {row.config, row.state})
      EXPECT_TRUE(!row.installed || fs::status(fs::path(file).parent_path()).permissions() == fs::perms(0700)) << file;
    EXPECT_FALSE(!row.installed && (fs::exists(t + "/c") || fs::exists(t + "/s")));
    EXPECT_EQ(std::filesystem::exists(t + "/home/.config"), row.installed && row.config == homeConfig);
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
  // errorLog: the error log can be written
  const struct { const char* name; bool asNobody; unsigned dirMode; std::u16string why; bool errorLog; } cases[] = {
      {"a directory in the older log's place", false, 0700, u"Is a directory", true},
      {"an older log it may not replace", true, 01777, u"Operation not permitted", true},
      {"a program directory it may not write", true, 0755, u"Permission denied", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(older), fs::remove(program.file("vktestERR1.log"));
    const std::string full(2048000, 'x');  // exactly at the limit: the next line is appended, the one after rotates
    WriteBytes(current, full);
    if (c.asNobody) WriteBytes(older, "older");
    else fs::create_directory(older);
    chmod(program.dir().path().c_str(), c.dirMode);
    if (c.asNobody) chown(current.c_str(), 65534, 65534);
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
    EXPECT_EQ(c.asNobody ? AsNobody(lines) : lines(), "1") << "boxes";
    chmod(program.dir().path().c_str(), 0700);
    EXPECT_EQ(Read("vktest1.log"), full + Line("a") + Line("b") + Line("c") + Line("d"));
    const std::u16string report = u" " + FromAnsi(Stamp()) + u"エラー番号 : 75 -- vktest でエラーが発生しました。 " +
                                  ErrorDescription(75) + u" " + FromUtf8(older) + u" (" + c.why + u")\r\n";
    EXPECT_EQ(program.errorLog(), c.errorLog ? report + report : u"");
    EXPECT_EQ(fs::is_directory(older) ? "(directory)" : Read("vktest2.log"), c.asNobody ? "older" : "(directory)");
  }
}

// A log that cannot be written shows a box for its first failure only, until a write succeeds again, and none in
// a run started by the monitoring tick (the ticks would wait behind it); every failure reaches the error log.
TEST_F(Log, WriteLogShowsTheFirstFailureOnlyAndNoneWhileUnattended) {
  const HangGuard guard;
  const std::string log = program.file("vktest1.log");
  const std::u16string head = u"エラー番号 : 75 -- vktest でエラーが発生しました。 " + ErrorDescription(75) + u" " +
                              FromUtf8(log);
  const std::u16string isDir = head + u" (Is a directory)", fifo = head + u" (No such device or address)";
  // logged: the report in the error log, if any
  const struct { const char* step; std::function<void()> before; bool unattended; std::u16string logged; bool box; }
      steps[] = {
      {"a directory in its place", [&] { fs::create_directory(log); }, false, isDir, true},
      {"the next line: silent", [] {}, false, isDir, false},
      {"written again", [&] { fs::remove(log); }, false, u"", false},
      {"a FIFO without a reader in its place", [&] { fs::remove(log), mkfifo(log.c_str(), 0644); }, false, fifo, true},
      {"written again", [&] { fs::remove(log); }, false, u"", false},
      {"failing again in a run of the monitoring tick", [&] { fs::remove(log), fs::create_directory(log); }, true,
       isDir, false},
  };
  std::u16string errors;
  for (const auto& s : steps) {
    s.before();
    program.boxes.clear();
    const LogRun run(s.unattended);
    WriteLog(u"vktest", u"run");
    EXPECT_EQ(program.boxes, s.box ? Texts{s.logged} : Texts{}) << s.step;
    if (!s.logged.empty()) errors += u" " + FromAnsi(Stamp()) + s.logged + u"\r\n";
  }
  EXPECT_EQ(program.errorLog(), errors) << "every failure, shown or not";
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
  const struct { const char* name; std::string link, target; bool errorLine; } rows[] = {
      {"the run log to a root-only file", run, secret, true},
      {"the run log to a file yet to be made", run, created, true},
      {"the error log to a root-only file", errors, secret, false},
      {"the error log to a file yet to be made", errors, created, false},
  };
  chmod(program.dir().path().c_str(), 0777);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove(run), fs::remove(errors), fs::remove(created);
    WriteBytes(secret, "root only\n");
    chmod(secret.c_str(), 0600);
    ASSERT_EQ(AsNobody([&] { return std::to_string(symlink(row.target.c_str(), row.link.c_str())); }), "0");
    WriteLog(u"vktest", u"220 bytes the server sent");
    WriteErrorLog(u"an error line");
    EXPECT_EQ(ReadBytes(secret), "root only\n");
    EXPECT_FALSE(fs::exists(created));
    EXPECT_EQ(std::distance(fs::directory_iterator(secrets.path()), {}), 1);
    EXPECT_TRUE(fs::is_symlink(row.link));
    EXPECT_EQ(program.errorLog().find(FromUtf8(run) + u" (not a regular file)") != std::u16string::npos, row.errorLine);
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
