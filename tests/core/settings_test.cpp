// The settings file and the settings dialog's state: format, reader
// tolerance, failures, the field checks and the dialog's lifecycle.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>

#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "app/appstate.h"
#include "app/paramdialogmodel.h"
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

const std::u16string kRequired = u"設定画面で正しい情報を入れてください。\r\n\r\n（必須入力項目に値を入れて下さい｡）";
const std::u16string kNumber = u"設定画面で正しい情報を入れてください。\r\n\r\n（数字を入れてください。）";
const std::u16string kInvalid = u"設定画面で正しい情報を入れてください。\r\n\r\n（指定に誤りがあります｡）";

// The record's fields in the order of the dialog's boxes, RunBat last.
Texts Of(const Rec& r) {
  return {r.TargetHost, r.SmtpPort, r.PopPort, r.FtpPort, r.HttpPort, r.UserName, r.Password, r.Interval, r.RunBat};
}
std::string Encoded(const std::u16string& plain) { return ToAnsi(Base64EncodeText(ScrambleText(u"ENC", plain))); }

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

  std::u16string errorLog() const { return FromAnsi(ReadBytes(dir.file("velkorERR1.log"))); }
  // Loads `bytes` (none: no file) into a dialog loaded afresh.
  bool loadFrom(const std::optional<std::string>& bytes) {
    return loadPlaced([&](const std::string& p) { if (bytes) WriteBytes(p, *bytes); });
  }
  // The same with whatever `place` puts under the path.
  bool loadPlaced(const std::function<void(const std::string&)>& place) {
    std::filesystem::remove_all(path);
    place(path);
    ParamDialog().Unload();
    return LoadSystemSettings();
  }

  TempDir dir;
  const std::string path = dir.file("VKRSYS.DAT");
  std::vector<std::u16string> boxes;
};

TEST_F(SettingsTest, FileBytesForAFixedKeyLetter) {
  SetScrambleKeyHook([] { return 7; });  // "H"
  SystemSettings = {u"mail.example.jp", u"25,587", u"110,995", u"", u"80,8080", u"pelnix", u" s3cr:et  ", u"15", u"1"};
  ASSERT_TRUE(SaveSystemSettings());
  // "# <Velkor -- Config>", then "KEY:" TAB value CR LF in writer order (POP before SMTP), no line for the
  // empty FTP port, the password trimmed; shifted, then Base64 in lines of 76.
  EXPECT_EQ("SB0bNVBgZWVqaxooJho+aGhhYmE5BgRPOkxCPk5aQUlOTTQEZltkZShgcVtoaWZgJ2RrBgRLSEpa\r\n"
            "SUlNTTQEKisrJTM0LgcFTEdPSVlLSExPMwMtLiYwMTEIA0JPTUpaSUlNTTQEMSonMSozKQcFTk1A\r\n"
            "SzQEaV9nZ2NzBgRLOk1OMwNuLF1tM19vBgRER05AS1A8RTQEKi8IA0xQRzw8TTQEKgcF", ReadBytes(path));
}

TEST_F(SettingsTest, ReaderTolerance) {
  const std::tuple<std::u16string, std::u16string Rec::*, std::u16string> cases[] = {
      {u"interval:\t9   # minutes\r\n", &Rec::Interval, u"9"},  // lower case, comment after the value
      // LF alone ends a line too; comments, blank and unknown lines are skipped; the last "USER" wins.
      {u"user: x\n# note\r\n\r\n   \t  \r\ncolour: blue\r\nno colon\r\nUser:\tops\r\n", &Rec::UserName, u"ops"},
      {u"\tpass:\t p:w#rest \r\n", &Rec::Password, u"p:w"},       // ":" kept, "#" starts a comment
      {u"Target_Host:\tsrv:1 \r\n", &Rec::TargetHost, u"srv:1"},  // first colon only
      {u"SMTP_PORT :\t2525\r\n", &Rec::SmtpPort, u"25"},          // blank before the colon: skipped
      {u"pop_port:995\r\nrunbat:\t1", &Rec::RunBat, u"1"},            // last line without LF
  };
  for (const auto& [text, field, want] : cases) {
    SCOPED_TRACE(ToUtf8(text));
    EXPECT_TRUE(loadFrom(Encoded(u"# <Velkor -- Config>\r\n" + text)));
    EXPECT_EQ(want, SystemSettings.*field);
  }
}

// Bad files and places: nothing blocks or throws, and every failure that can be reported is. A file the reader
// refuses (not a regular file, over 16 MiB) counts as missing, with one log line.
TEST_F(SettingsTest, DamagedEmptyRandomAndMissingFiles) {
  const HangGuard guard;
  SetScrambleKeyHook([] { return 3; });  // "D"
  using Place = std::function<void(const std::string&)>;
  auto bytes = [](std::string b) { return [b](const std::string& p) { WriteBytes(p, b); }; };
  // A settings text whose key letter (the first character after the Base64 layer) is replaced.
  auto keyLetter = [](char16_t letter) {
    std::u16string scrambled = ScrambleText(u"ENC", u"# <Velkor -- Config>\r\nINTERVAL:\t15\r\n");
    scrambled[0] = letter;
    return ToAnsi(Base64EncodeText(scrambled));
  };
  std::mt19937 rng(20240611);
  std::vector<uint8_t> noise(300);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
  const std::u16string refused = u"ReadFileBytesERR: " + FromUtf8(path) + u" (";
  const std::string cut = Encoded(u"# <Velkor -- Config>\r\nUSER:\tops\r\nINTERVAL:\t15\r\n");
  const struct { const char* name; Place place; bool loaded; std::u16string logged; } cases[] = {
      {"missing", [](const std::string&) {}, false, u""},
      {"empty", bytes(""), false, u""},
      {"one byte, the shortest that loads (on the defaults)", bytes("Q"), true, u""},
      {"garbled: no known key, loads on the defaults", bytes("QQQQQUlOTTQEZltkZShgcVtoaWZgJ2RrBg"), true, u""},
      {"padding only", bytes("====\r\n=="), false, u"エラーが発生しました。 \r\nデータ:\t\r\n"},
      {"a port list, which the check refuses; no box", bytes(Encoded(u"POP_PORT:\t110,995\r\n")), false, kNumber},
      {"Base64 of random bytes", bytes(ToAnsi(Base64EncodeBytes(noise))), true, u"エラー番号 : 7002 -- velkor"},
      {"key letter A: other characters, no known key", bytes(keyLetter(u'A')), true, u""},
      {"key letter Z: out of the code page", bytes(keyLetter(u'Z')), true, u"エラー番号 : 7002 -- velkor"},
      {"cut in the middle of a line", bytes(cut.substr(0, cut.size() - 8)), true, u""},
      // Whatever the reader refuses counts as missing, though a size can be read.
      {"20 MB", bytes(std::string(20000000, 'Q')), false, refused + u"larger than 16 MiB)"},
      {"a FIFO", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, false, refused + u"not a regular file)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir.file("velkorERR1.log"));
    EXPECT_EQ(c.loaded, loadPlaced(c.place));
    EXPECT_EQ(c.logged.empty(), errorLog().empty());
    EXPECT_NE(std::u16string::npos, errorLog().find(c.logged)) << ToUtf8(errorLog());
    EXPECT_EQ(Texts{}, boxes);
    EXPECT_TRUE(!c.loaded || !SystemSettings.Interval.empty());  // what loads has the defaults under it
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
  using enum ParamDialogModel::Box;
  // Ports take any digits, without a range; the interval 0 to 32767 in at most five digits.
  const std::tuple<Box, std::u16string, std::u16string> cases[] = {  // box, text, message (none: passes)
      {TxtTarget, u"   ", kRequired},      {TxtSMTPPort, u" 25", kNumber},     {TxtSMTPPort, u"65536", u""},
      {TxtPopPort, u"  ", kRequired},      {TxtFtpPort, u"2l", kNumber},       {TxtHttpPort, u"８０", kNumber},
      {TxtInfo0, u"", kRequired},          {TxtInfo1, u" ", kRequired},        {TxtInterval, u"", kRequired},
      {TxtInterval, u"32767", u""},        {TxtInterval, u"32768", kInvalid},  {TxtInterval, u"000001", kInvalid},
      {TxtInterval, u"00005", u""},        {TxtInterval, u"5 ", kNumber},      {TxtInterval, u"-1", kNumber},
      {TxtInterval, u"0", u""},            {TxtInterval, u"99999", kInvalid},  {TxtInterval, u"00000", u""},
  };
  SettingsMsgBoxFlag = true;
  for (const auto& [box, text, message] : cases) {
    SCOPED_TRACE(testing::Message() << box << " '" << ToUtf8(text) << "'");
    ParamDialog().Unload();
    SystemSettings = {};
    boxes.clear();
    ParamDialog().SetText(box, text);
    const bool ok = message.empty();
    if (!ok && box != TxtInterval) ParamDialog().SetText(TxtInterval, u"");  // a later failure, never reached
    EXPECT_EQ(ok, ParamDialog().CheckSetting());
    EXPECT_EQ(ok ? Texts{} : Texts{message}, boxes);
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
