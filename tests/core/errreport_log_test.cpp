#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>

#include "app/appstate.h"
#include "app/paramdialogmodel.h"
#include "app/settings.h"
#include "diag/targetlist.h"
#include "support/casefile.h"
#include "support/programdir.h"
#include "support/unprivileged.h"
#include "util/base64.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/fileutil.h"
#include "util/hooks.h"
#include "util/log.h"
#include "util/scramble.h"

namespace fs = std::filesystem;
using Texts = std::vector<std::u16string>;

// The settings' fields in the order of the dialog's boxes, RunBat last.
Texts Of(const SystemSettingsRecord& r) {
  return {r.TargetHost, r.SmtpPort, r.PopPort, r.FtpPort, r.HttpPort, r.UserName, r.Password, r.Interval, r.RunBat};
}
// Settings from a case's words, in the boxes' order.
SystemSettingsRecord Record(const std::vector<std::string>& w) {
  auto f = [&w](size_t i) { return FromUtf8(w.at(i)); };
  return {f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7), f(8)};
}
// The position in Of() of a field the cases name.
int FieldIndex(const std::string& name) {
  const char* const names[] = {"TargetHost", "SmtpPort", "PopPort",  "FtpPort", "HttpPort",
                               "UserName",   "Password", "Interval", "RunBat"};
  return static_cast<int>(std::find(std::begin(names), std::end(names), name) - std::begin(names));
}

// Run by a copy of this binary in the scenarios' "start" step: sets itself up as the program does and prints
// what it found.
TEST(ProgramLocation, PrintOwn) {
  SetUpAppFiles();
  std::printf("<<%s|%s|%s>>\n", ToUtf8(ConfigFilePath(u"VKRSYS.DAT")).c_str(), ToUtf8(StateFilePath(u"x.log")).c_str(),
              ToUtf8(GetAppTitle()).c_str());
}

// Where the program keeps its files, whole-file writes and reads, the logs, the settings file and the settings
// dialog, as scenarios: each case's steps run in order (files-scenarios.cases and settings-dialog.cases say what
// each does).
TEST(ProgramFiles, Scenarios) {
  const HangGuard guard;
  ProgramInTempDir program;
  TempDir secrets;  // root's, 0700
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit unlimited{}, limited{};
  getrlimit(RLIMIT_FSIZE, &unlimited);
  int fd = -1;
  const mode_t umaskBefore = umask(022);
  const std::string settings = program.file("VKRSYS.DAT");
  const CaseVars vars{{"DIR", program.dir().path()}, {"SECRETS", secrets.path()}};
  std::vector<Case> cases = LoadCases("files-scenarios.cases", vars);
  for (Case& c : LoadCases("settings-dialog.cases", vars)) cases.push_back(std::move(c));
  for (const Case& c : cases) {
    CASE_TRACE(c);
    if (c.name.starts_with("as root:") && geteuid() != 0)
      GTEST_SKIP() << "SKIPPED LOUDLY: the attacker is another user (needs root)";
    for (const TempDir* d : {&program.dir(), static_cast<const TempDir*>(&secrets)})
      for (const auto& e : fs::directory_iterator(d->path())) fs::remove_all(e.path());
    chmod(program.dir().path().c_str(), 0700);
    program.boxes.clear();
    SettingsMsgBoxFlag = false;
    SetProgramLocation(program.dir().path16(), u"vktest");
    ResetErrorLogPrefix();
    SettingsFilePath = ConfigFilePath(kSettingsFileName);
    SetScrambleKeyHook({});
    ParamDialog().Unload();
    SystemSettings = {};
    SetMessageBoxHook([&](const std::u16string& text, const std::u16string&) { program.boxes.push_back(text); });
    SetLocalNowHook([] { return std::tm{9, 8, 17, 5, 2, 124, 0, 0, 0, 0, nullptr}; });
    setrlimit(RLIMIT_FSIZE, &unlimited);  // what a case that failed half-way left behind
    SetLogDirectoryFd(-1);
    WriteLog(u"vktest", u"a line written, so no failure of the last case is remembered");
    fs::remove(program.file("vktest1.log"));
    std::optional<LogRun> run;
    umask(umaskBefore);
    std::optional<unsigned> wholeMode;  // the mode whole-file writes force
    std::string answer;                 // the last whole-file write's or read's
    std::string kept;                   // the settings file and its backup, remembered
    auto step = [&](const std::string& key, const std::string& raw) {
      // A step's value, and its first word and the rest (each decoded, so "\s" keeps a blank in a name).
      const size_t blank = std::min(raw.find(' '), raw.size());
      const std::string value = Unescape(raw), name = Unescape(raw.substr(0, blank));
      const std::string rest = blank < raw.size() ? Unescape(raw.substr(blank + 1)) : "";
      const std::string file = name.starts_with("/") ? name : program.file(name), other = program.file(rest);
      if (key == "write") WriteBytes(file, rest);
      else if (key == "fill") WriteBytes(file, std::string(std::stoul(rest), 'x'));
      else if (key == "sparse") WriteBytes(file, ""), fs::resize_file(file, std::stoul(rest));
      else if (key == "dir") EXPECT_TRUE(fs::create_directory(file));
      else if (key == "fifo") EXPECT_EQ(mkfifo(file.c_str(), 0644), 0);
      else if (key == "remove") fs::remove_all(file);
      else if (key == "chmod") chmod(file.c_str(), std::stoul(rest, nullptr, 8));
      else if (key == "planted")
        EXPECT_EQ(AsNobody([&] { return std::to_string(symlink(rest.c_str(), file.c_str())); }), "0");
      else if (key == "limit" && value == "none") setrlimit(RLIMIT_FSIZE, &unlimited);
      else if (key == "limit") setrlimit(RLIMIT_FSIZE, &(limited = {std::stoul(value), unlimited.rlim_max}));
      else if (key == "run") run.reset(), run.emplace(value == "unattended");
      else if (key == "log") WriteLog(u"vktest", FromUtf8(value));
      else if (key == "error-log") EXPECT_NO_THROW(WriteErrorLog(FromUtf8(value)));
      else if (key == "report") EXPECT_NO_THROW(ReportError(FromUtf8(value)));
      else if (key == "flag") SettingsMsgBoxFlag = value == "up";
      else if (key == "box-hook" && value == "throw") SetMessageBoxHook([](auto&, auto&) { throw std::bad_alloc(); });
      else if (key == "box-hook") SetMessageBoxHook([&](const std::u16string& text, const std::u16string& caption) {
        program.boxes.push_back(caption + u"|" + text + u"|" + FromAnsi(ReadBytes(program.file("vktestERR1.log"))));
      });
      else if (key == "clock") SetLocalNowHook([]() -> std::tm { throw std::runtime_error("no clock"); });
      else if (key == "location") SetProgramLocation(value == "." ? program.dir().path16() : FromUtf8(file), u"vktest");
      else if (key == "has") EXPECT_EQ(ReadBytes(file), rest);
      else if (key == "ends") EXPECT_TRUE(ReadBytes(file).ends_with(rest));
      else if (key == "size") EXPECT_EQ(fs::file_size(file), std::stoul(rest));
      else if (key == "mode") EXPECT_EQ(fs::status(file).permissions(), fs::perms(std::stoul(rest, nullptr, 8)));
      else if (key == "kind") {  // a link, nothing ("missing") or something else ("other")
        const fs::file_type type = fs::symlink_status(file).type();
        EXPECT_EQ(type == fs::file_type::not_found ? "missing" : type == fs::file_type::symlink ? "link" : "other",
                  rest);
      } else if (key == "entries") EXPECT_EQ(std::distance(fs::directory_iterator(file), {}), std::stol(rest));
      else if (key == "text") EXPECT_EQ(ToUtf8(FromAnsi(ReadBytes(file))), rest);
      else if (key == "holds") EXPECT_NE(ToUtf8(FromAnsi(ReadBytes(file))).find(rest), std::string::npos);
      else if (key == "lacks") EXPECT_EQ(ToUtf8(FromAnsi(ReadBytes(file))).find(rest), std::string::npos);
      else if (key == "box")
        EXPECT_EQ(std::exchange(program.boxes, {}), raw.empty() ? Texts{} : Texts{FromUtf8(value)});
      else if (key == "fd-dir" && value == "none") SetLogDirectoryFd(-1), close(fd);
      else if (key == "fd-dir") SetLogDirectoryFd(fd = open(file.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      else if (key == "move") EXPECT_EQ(rename(file.c_str(), other.c_str()), 0);
      else if (key == "link") EXPECT_EQ(symlink(other.c_str(), file.c_str()), 0);
      else if (key == "chown") EXPECT_EQ(chown(file.c_str(), 65534, 65534), 0);
      else if (key == "state-dir")
        SetAppFiles({u"vktest", u"vktest", program.dir().file16("config"), FromUtf8(file), u"", true});
      else if (key == "umask") umask(std::stoul(value, nullptr, 8));
      else if (key == "whole-mode") wholeMode = std::stoul(value, nullptr, 8);
      else if (key == "whole") answer = WriteWholeFile(FromUtf8(file), FromUtf8(rest), wholeMode) ? "yes" : "no";
      else if (key == "whole-fill")
        answer = WriteWholeFile(FromUtf8(file), std::u16string(std::stoul(rest), u'x'), wholeMode) ? "yes" : "no";
      else if (key == "read") {  // yes or no, the size of the text it leaves (4: it kept the old one), "refused"
        std::u16string text = u"kept";
        bool refused = false;
        const bool read = ReadWholeFile(FromUtf8(file), text, &refused);
        answer = std::string(read ? "yes " : "no ") + std::to_string(text.size()) + (refused ? " refused" : "");
      } else if (key == "read-list") {  // the entries, each followed by "|"
        answer.clear();
        for (const std::u16string& entry : ReadTargetList(FromUtf8(file))) answer += ToUtf8(entry) + "|";
      } else if (key == "answer") EXPECT_EQ(answer, value);
      else if (key == "listing") {  // the entries by name: "name mode bytes", "name fifo" or "name dir", joined by "; "
        std::set<std::string> lines;
        for (const auto& e : fs::directory_iterator(file)) {
          const std::string entry = e.path().filename().string();
          char mode[8];
          std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(e.symlink_status().permissions()));
          if (e.is_fifo()) lines.insert(entry + " fifo");
          else if (e.is_directory()) lines.insert(entry + " dir");
          else lines.insert(entry + " " + mode + " " + ReadBytes(e.path()));
        }
        std::string all;
        for (const std::string& line : lines) all += (all.empty() ? "" : "; ") + line;
        EXPECT_EQ(all, rest);
      } else if (key == "copy-self") fs::copy_file("/proc/self/exe", file);
      else if (key == "start") {  // from the directory $T, with HOME=$T/home and only the environment rest
        const std::string dir = program.dir().path();
        EXPECT_EQ(std::system(("cd '" + dir + "' && T='" + dir + "' && env -i HOME=\"$T/home\" " + rest + " '" + file +
                               "' --gtest_filter=*PrintOwn >'" + dir + "/out'").c_str()), 0);
      } else if (key == "prints") EXPECT_NE(ReadBytes(program.file("out")).find("<<" + value + ">>"), std::string::npos)
          << ReadBytes(program.file("out"));
      // The settings and the dialog.
      else if (key == "key") SetScrambleKeyHook([k = std::stoi(value)] { return k; });
      else if (key == "record") SystemSettings = Record(Case{"", "", {{"w", raw}}}.words("w"));
      else if (key == "have") EXPECT_EQ(Of(SystemSettings), Of(Record(Case{"", "", {{"w", raw}}}.words("w"))));
      else if (key == "field") EXPECT_EQ(ToUtf8(Of(SystemSettings)[FieldIndex(name)]), rest);
      else if (key == "save") EXPECT_EQ(SaveSystemSettings(), value == "yes");
      else if (key == "load") EXPECT_EQ(LoadSystemSettings(), value == "yes");
      else if (key == "load-file") {
        SettingsFilePath = FromUtf8(file);
        ParamDialog().Unload();
        SystemSettings = {};
        EXPECT_TRUE(LoadSystemSettings());
        SettingsFilePath = FromUtf8(settings);
      } else if (key == "path") SettingsFilePath = FromUtf8(file);
      else if (key == "plain") WriteBytes(settings, ToAnsi(Base64EncodeText(ScrambleText(u"ENC", FromUtf8(value)))));
      else if (key == "cut") fs::resize_file(settings, fs::file_size(settings) - std::stoul(value));
      else if (key == "unload") ParamDialog().Unload();
      else if (key == "link-on-box")
        SetMessageBoxHook([&](auto&, auto&) { fs::remove(settings), fs::create_symlink(settings, settings); });
      else if (key == "flag-is") EXPECT_EQ(SettingsMsgBoxFlag, value == "up");
      else if (key == "type") ParamDialog().SetText(ParamDialogModel::Box(FieldIndex(name)), FromUtf8(rest));
      else if (key == "click" && value == "set") ParamDialog().CmdSet_Click();
      else if (key == "click") ParamDialog().CmdClose_Click();
      else if (key == "check") EXPECT_EQ(ParamDialog().CheckSetting(), value == "yes");
      else if (key == "dialog") EXPECT_EQ(ParamDialog().IsLoaded(), value == "loaded");
      else if (key == "keep") kept = ReadBytes(settings) + "|" + ReadBytes(settings + ".bak");
      else if (key == "kept") EXPECT_EQ(ReadBytes(settings) + "|" + ReadBytes(settings + ".bak"), kept);
      else if (key == "nobody-save") EXPECT_EQ(AsNobody([&] {
        const bool saved = SaveSystemSettings();
        return std::to_string(saved) + " " + ToUtf8(program.boxes.empty() ? u"(no box)" : program.boxes[0]);
      }), value);
      else if (key == "killed-save") {  // a save in a child killed after the rewrite's step (none: it runs to its end)
        const char* const steps[] = {"NewFileSynced", "BackupLinked", "BackupReplaced", "NewFileInPlace"};
        const long after = std::find(std::begin(steps), std::end(steps), value) - steps;
        EXPECT_EQ(InChild([after] {
          SetRewriteStepHook([after](RewriteStep step) {
            if (static_cast<long>(step) == after) raise(SIGKILL);
          });
          return std::string(SaveSystemSettings() ? "saved" : "not saved");
        }), value == "none" ? "saved" : "!child ended by a signal");
      } else ADD_FAILURE() << "unknown step";
    };
    for (size_t i = 0; i < c.fields.size(); ++i) {
      SCOPED_TRACE(c.fields[i].first + ": " + c.fields[i].second);
      if (c.fields[i].first != "as") {
        step(c.fields[i].first, c.fields[i].second);
        continue;
      }
      // The steps up to "back" run as nobody in a child, which answers with the number of boxes they showed and
      // the answer of its last whole-file write or read.
      const size_t begin = ++i;
      while (i < c.fields.size() && c.fields[i].first != "back") ++i;
      ASSERT_LT(i, c.fields.size()) << "\"as\" without \"back\"";
      EXPECT_EQ(AsNobody([&] {
        for (size_t j = begin; j < i; ++j) step(c.fields[j].first, c.fields[j].second);
        return std::to_string(program.boxes.size()) + (answer.empty() ? "" : " " + answer);
      }), c.fields[i].second);
    }
  }
  SetLocalNowHook(nullptr);
}

// Every test program, like the program and the benches, ignores SIGPIPE: a write to a reader that has gone
// fails with EPIPE instead of ending the process (library threads write without MSG_NOSIGNAL).
TEST(IgnoreSigPipe, AWriteToAClosedPipeFailsInsteadOfEndingTheProgram) {
  EXPECT_EQ(std::signal(SIGPIPE, SIG_IGN), SIG_IGN);  // the handler it had
}
