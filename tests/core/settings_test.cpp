// The settings file and the settings dialog's state: format, reader
// tolerance, failures, the field checks and the dialog's lifecycle.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>

#include <filesystem>
#include <algorithm>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "app/appstate.h"
#include "app/paramdialogmodel.h"
#include "support/casefile.h"
#include "support/tempdir.h"
#include "support/unprivileged.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/fileutil.h"
#include "util/hooks.h"
#include "util/log.h"
#include "util/scramble.h"

namespace {

using Box = ParamDialogModel::Box;
using Rec = SystemSettingsRecord;
using Texts = std::vector<std::u16string>;

// The record's fields in the order of the dialog's boxes, RunBat last.
Texts Of(const Rec& r) {
  return {r.TargetHost, r.SmtpPort, r.PopPort, r.FtpPort, r.HttpPort, r.UserName, r.Password, r.Interval, r.RunBat};
}
std::string Encoded(const std::u16string& plain) { return ToAnsi(Base64EncodeText(ScrambleText(u"ENC", plain))); }
// A record from the cases' words, in the boxes' order.
Rec Record(const std::vector<std::string>& w) {
  auto f = [&w](size_t i) { return FromUtf8(w.at(i)); };
  return {f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7), f(8)};
}
std::filesystem::perms Perms(const std::string& octal) { return std::filesystem::perms(std::stoul(octal, nullptr, 8)); }
// The position in Of() of a field the cases name.
int FieldIndex(const std::string& name) {
  const char* const names[] = {"TargetHost", "SmtpPort", "PopPort",  "FtpPort", "HttpPort",
                               "UserName",   "Password", "Interval", "RunBat"};
  return static_cast<int>(std::find(std::begin(names), std::end(names), name) - std::begin(names));
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramLocation(dir.path16(), u"velkor");
    ResetErrorLogPrefix();
    SettingsFilePath = ConfigFilePath(kSettingsFileName);
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { boxes.push_back(text); });
    SetScrambleKeyHook({});
    ParamDialog().Unload();
    SettingsMsgBoxFlag = false;
    SystemSettings = {};
  }

  std::vector<Case> Table(const std::string& prefix) const {
    return CasesOf(LoadCases("settings-files.cases", {{"PATH", path}}), prefix);
  }
  std::u16string errorLog() const { return FromAnsi(ReadBytes(dir.file("velkorERR1.log"))); }
  // Loads `bytes` (none: no file) into a dialog loaded afresh.
  bool loadFrom(const std::optional<std::string>& bytes) {
    std::filesystem::remove_all(path);
    if (bytes) WriteBytes(path, *bytes);
    ParamDialog().Unload();
    return LoadSystemSettings();
  }

  // The settings and the dialog loaded afresh from file, the path put back.
  bool loadFile(const std::string& file) {
    SettingsFilePath = dir.file16(file);
    ParamDialog().Unload();
    SystemSettings = {};
    const bool ok = LoadSystemSettings();
    SettingsFilePath = FromUtf8(path);
    return ok;
  }
  // A save's answer and its box, as a child reports them.
  std::string saveAnswer() {
    const bool ok = SaveSystemSettings();
    return std::to_string(ok) + " " + ToUtf8(boxes.empty() ? u"(no box)" : boxes[0]);
  }
  // A save in a child killed after the rewrite's step `after` (none of them: it runs to its end).
  static std::string killedSave(long after) {
    return InChild([after] {
      SetRewriteStepHook([after](RewriteStep step) {
        if (static_cast<long>(step) == after) raise(SIGKILL);
      });
      return std::string(SaveSystemSettings() ? "saved" : "not saved");
    });
  }

  TempDir dir;
  const std::string path = dir.file("VKRSYS.DAT");
  std::vector<std::u16string> boxes;
};

// Bad files and places, and the reader's tolerance: nothing blocks or throws, and every failure that can be
// reported is. A file the reader refuses (not a regular file, over 16 MiB) counts as missing, with one log line.
TEST_F(SettingsTest, LoadedFiles) {
  const HangGuard guard;
  SetScrambleKeyHook([] { return 3; });  // "D"
  std::mt19937 rng(20240611);
  for (const Case& c : Table("load:")) {
    CASE_TRACE(c);
    std::filesystem::remove_all(path);
    std::filesystem::remove(dir.file("velkorERR1.log"));
    std::u16string scrambled = ScrambleText(u"ENC", FromUtf8(c.get("plain")));
    if (c.has("letter")) scrambled[0] = FromUtf8(c.get("letter"))[0];
    std::string bytes = ToAnsi(Base64EncodeText(scrambled));
    bytes.resize(bytes.size() - c.number("cut"));
    if (c.has("noise")) {
      std::vector<uint8_t> noise(c.number("noise"));
      for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
      bytes = ToAnsi(Base64EncodeBytes(noise));
    }
    if (c.has("bytes")) {
      const std::string unit = c.get("bytes");
      bytes.clear();
      for (long i = c.number("repeat", 1); i > 0; --i) bytes += unit;
    }
    if (c.has("plain") || c.has("noise") || c.has("bytes")) WriteBytes(path, bytes);
    if (c.has("fifo")) mkfifo(path.c_str(), 0600);
    ParamDialog().Unload();
    EXPECT_EQ(LoadSystemSettings(), c.get("loaded") == "yes");
    EXPECT_EQ(c.has("logged"), !errorLog().empty());
    EXPECT_NE(std::u16string::npos, errorLog().find(FromUtf8(c.get("logged")))) << ToUtf8(errorLog());
    EXPECT_EQ(Texts{}, boxes);
    EXPECT_TRUE(c.get("loaded") == "no" || !SystemSettings.Interval.empty());  // what loads has the defaults under it
    for (const std::string& field : c.all("field")) {
      const size_t blank = field.find(' ');
      EXPECT_EQ(ToUtf8(Of(SystemSettings)[FieldIndex(field.substr(0, blank))]), field.substr(blank + 1)) << field;
    }
  }

  // A failure once every line is read (the file turns into a link to itself while the check's box is up): the
  // report's "データ:" line stays empty, though the last line read was the password's.
  SettingsMsgBoxFlag = true;
  SetMessageBoxHook([&](auto&, auto&) { std::filesystem::remove(path), std::filesystem::create_symlink(path, path); });
  std::filesystem::remove(dir.file("velkorERR1.log"));
  EXPECT_FALSE(loadFrom(Encoded(u"POP_PORT:\t110,995\r\nPASS:\tsecret\r\n")));
  const std::u16string log = errorLog();
  EXPECT_EQ(log.substr(log.rfind(u"***") + 4), u"エラーが発生しました。 \r\nデータ:\t\r\n");
}

// The dialog and the file as scenarios: each case's steps run in order (settings-dialog.cases says what each does).
TEST_F(SettingsTest, DialogScenarios) {
  const char* const steps[] = {"NewFileSynced", "BackupLinked", "BackupReplaced", "NewFileInPlace"};
  for (const Case& c : LoadCases("settings-dialog.cases", {{"DIR", dir.path()}})) {
    CASE_TRACE(c);
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
    SetUp();
    std::string kept;
    for (const auto& [key, raw] : c.fields) {
      SCOPED_TRACE(key + ": " + raw);
      const std::string value = Unescape(raw), first = value.substr(0, value.find(' '));
      const std::string rest = value.substr(std::min(value.size(), first.size() + 1));
      const std::vector<std::string> words = Case{"", "", {{"w", raw}}}.words("w");
      if (key == "key") SetScrambleKeyHook([k = std::stoi(value)] { return k; });
      else if (key == "record") SystemSettings = Record(words);
      else if (key == "save") EXPECT_EQ(SaveSystemSettings(), value == "yes");
      else if (key == "load") EXPECT_EQ(LoadSystemSettings(), value == "yes");
      else if (key == "load-file") EXPECT_TRUE(loadFile(value));
      else if (key == "have") EXPECT_EQ(Of(SystemSettings), Of(Record(words)));
      else if (key == "bytes") EXPECT_EQ(ReadBytes(path), value);
      else if (key == "path") SettingsFilePath = dir.file16(value);
      else if (key == "flag") SettingsMsgBoxFlag = value == "up";
      else if (key == "flag-is") EXPECT_EQ(SettingsMsgBoxFlag, value == "up");
      else if (key == "type") ParamDialog().SetText(Box(FieldIndex(first)), FromUtf8(rest));
      else if (key == "click" && value == "set") ParamDialog().CmdSet_Click();
      else if (key == "click") ParamDialog().CmdClose_Click();
      else if (key == "check") EXPECT_EQ(ParamDialog().CheckSetting(), value == "yes");
      else if (key == "dialog") EXPECT_EQ(ParamDialog().IsLoaded(), value == "loaded");
      else if (key == "box") EXPECT_EQ(std::exchange(boxes, {}), value.empty() ? Texts{} : Texts{FromUtf8(value)});
      else if (key == "chmod") chmod(dir.file(first).c_str(), std::stoul(rest, nullptr, 8));
      else if (key == "mode") EXPECT_EQ(std::filesystem::status(dir.file(first)).permissions(), Perms(rest));
      else if (key == "keep") kept = ReadBytes(path) + "|" + ReadBytes(path + ".bak");
      else if (key == "kept") EXPECT_EQ(ReadBytes(path) + "|" + ReadBytes(path + ".bak"), kept);
      else if (key == "nobody-save") EXPECT_EQ(AsNobody([&] { return saveAnswer(); }), value);
      else if (key == "killed-save") EXPECT_EQ(killedSave(std::find(std::begin(steps), std::end(steps), value) - steps),
                                               value == "none" ? "saved" : "!child ended by a signal");
      else ADD_FAILURE() << "unknown step";
    }
  }
}

}  // namespace
