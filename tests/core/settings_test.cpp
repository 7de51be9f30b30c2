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

  TempDir dir;
  const std::string path = dir.file("VKRSYS.DAT");
  std::vector<std::u16string> boxes;
};

TEST_F(SettingsTest, SavedBytes) {
  for (const Case& c : Table("save:")) {
    CASE_TRACE(c);
    SetScrambleKeyHook([k = c.number("key")] { return k; });
    SystemSettings = Record(c.words("record"));
    ASSERT_TRUE(SaveSystemSettings());
    EXPECT_EQ(ReadBytes(path), c.get("bytes"));
  }
}

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

// A save killed between any two of its steps leaves a whole, loadable settings file and a loadable backup: the old
// pair until the new file is renamed into place, then the new file with the old one as its backup.
TEST_F(SettingsTest, ASaveKilledBetweenItsStepsLeavesLoadableFiles) {
  const Rec first = {u"first.example", u"25", u"110", u"21", u"80", u"a", u"pa", u"5", u"0"};
  const Rec second = {u"second.example", u"587", u"995", u"990", u"443", u"b", u"pb", u"10", u"0"};
  const Rec third = {u"third.example", u"2525", u"1110", u"2121", u"8080", u"c", u"pc", u"15", u"1"};
  // killedAfter none: the save runs to its end
  const struct { std::optional<RewriteStep> killedAfter; const Rec& file; const Rec& backup; } rows[] = {
      {RewriteStep::NewFileSynced, second, first},  {RewriteStep::BackupLinked, second, first},
      {RewriteStep::BackupReplaced, second, second}, {RewriteStep::NewFileInPlace, third, second},
      {std::nullopt, third, second},
  };
  auto loaded = [&](const std::string& file) {
    SettingsFilePath = FromUtf8(file);
    ParamDialog().Unload();
    SystemSettings = {};
    const bool ok = LoadSystemSettings();
    SettingsFilePath = FromUtf8(path);
    return ok ? Of(SystemSettings) : Texts{u"not loadable"};
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.killedAfter ? static_cast<int>(*row.killedAfter) : -1);
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
    for (const Rec* r : {&first, &second}) {
      SystemSettings = *r;
      ASSERT_TRUE(SaveSystemSettings());
    }
    const std::string saved = InChild([&row, &third] {
      SetRewriteStepHook([&row](RewriteStep step) {
        if (step == row.killedAfter) raise(SIGKILL);
      });
      SystemSettings = third;
      return std::string(SaveSystemSettings() ? "saved" : "not saved");
    });
    EXPECT_EQ(saved, row.killedAfter ? "!child ended by a signal" : "saved");
    EXPECT_EQ(loaded(path), Of(row.file));
    EXPECT_EQ(loaded(path + ".bak"), Of(row.backup));
  }
}

TEST_F(SettingsTest, FailedSaveIsReportedAndOkKeepsTheDialogOpenWithTheFlagRaised) {
  const std::u16string report =
      u"エラー番号 : 75 -- " + dir.file16("no/VKRSYS.DAT") + u" でエラーが発生しました。 ファイルを書き込めません。";
  for (bool before : {false, true}) {
    SettingsMsgBoxFlag = before;
    boxes.clear();
    SettingsFilePath = dir.file16("no/VKRSYS.DAT");
    ParamDialog().SetText(Box::TxtInfo0, u"ops");
    ParamDialog().CmdSet_Click();
    EXPECT_EQ(Texts{report}, boxes);  // shown: the flag was still up
    EXPECT_TRUE(ParamDialog().IsLoaded());
    EXPECT_EQ(before, SettingsMsgBoxFlag) << "after the failed save";

    SettingsFilePath = dir.file16("VKRSYS.DAT");
    ParamDialog().CmdSet_Click();
    EXPECT_FALSE(ParamDialog().IsLoaded());
    EXPECT_EQ(before, SettingsMsgBoxFlag) << "after the save";
  }

  // A program directory the program may not write (as nobody; root ignores mode bits): reported, file untouched.
  const std::string saved = ReadBytes(path);
  chmod(dir.path().c_str(), 0755);
  boxes.clear();
  const std::string result = AsNobody([&] {
    const bool ok = SaveSystemSettings();
    return std::to_string(ok) + " " + ToUtf8(boxes.empty() ? u"(no box)" : boxes[0]);
  });
  EXPECT_EQ(result, "0 " + ToUtf8(u"エラー番号 : 75 -- " + dir.file16("VKRSYS.DAT") +
                                  u" でエラーが発生しました。 ファイルを書き込めません。"));
  EXPECT_EQ(saved, ReadBytes(path));

  // A setting that cannot be scrambled (a character the code page lacks): reported once, nothing written.
  const std::string backup = ReadBytes(path + ".bak");
  boxes.clear();
  SystemSettings.UserName = u"caf\u00e9";
  EXPECT_FALSE(SaveSystemSettings());
  EXPECT_EQ(Texts{u"エラー番号 : 7002 -- velkor でエラーが発生しました。 \r\n文字をコードページに変換できません。"}, boxes);
  EXPECT_EQ(saved + "|" + backup, ReadBytes(path) + "|" + ReadBytes(path + ".bak"));
}

TEST_F(SettingsTest, FieldChecksInOrderWithTheEarlierFieldsCopied) {
  SettingsMsgBoxFlag = true;
  for (const Case& c : Table("check:")) {
    CASE_TRACE(c);
    const int box = FieldIndex(c.get("box"));
    ParamDialog().Unload();
    SystemSettings = {};
    boxes.clear();
    ParamDialog().SetText(Box(box), FromUtf8(c.get("text")));
    const bool ok = !c.has("message");
    if (!ok && box != Box::TxtInterval) ParamDialog().SetText(Box::TxtInterval, u"");  // a later failure, never reached
    EXPECT_EQ(ok, ParamDialog().CheckSetting());
    EXPECT_EQ(ok ? Texts{} : Texts{FromUtf8(c.get("message"))}, boxes);
    for (int b = 0; b < ParamDialogModel::kBoxCount; ++b)
      EXPECT_EQ(ok || b < box ? ParamDialog().Text(Box(b)) : u"", Of(SystemSettings)[b]) << b;
  }
}

TEST_F(SettingsTest, RoundTripOfEveryFieldOwnerOnlyAndTheDialogKeptLoadedAcrossLoads) {
  const Rec saved = {u"mail.example.jp", u"587", u"995", u"2121", u"8080", u"ops", u"s3cr:et", u"15", u"1"};
  const Rec other = {u"srv", u"25", u"110", u"21", u"80", u"other", u"pw", u"30", u"2"};
  SystemSettings = saved;
  ASSERT_TRUE(SaveSystemSettings());
  EXPECT_TRUE(loadFrom(ReadBytes(path)));
  EXPECT_EQ(Of(saved), Of(SystemSettings));

  // Another file under the same path: the dialog stays loaded, so its boxes
  // (the last load's values) win over the file for every checked field. The file and its backup are the owner's
  // only, a copy readable by others narrowed.
  SystemSettings = other;
  std::filesystem::permissions(path, std::filesystem::perms(0644));
  ASSERT_TRUE(SaveSystemSettings());
  for (const std::string& file : {path, path + ".bak"})
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0600)) << file;
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"2", std::exchange(SystemSettings.RunBat, saved.RunBat));  // never checked: the file's value
  EXPECT_EQ(Of(saved), Of(SystemSettings));

  // Once unloaded, the next load fills the dialog afresh.
  ParamDialog().CmdClose_Click();
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(Of(other), Of(SystemSettings));
}

}  // namespace
