// The settings file and the settings dialog's state: format, reader
// tolerance, failures, the field checks and the dialog's lifecycle.
#include "app/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <vector>

#include "app/appstate.h"
#include "app/paramdialogmodel.h"
#include "support/tempdir.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/log.h"
#include "util/scramble.h"

namespace {

const std::u16string kHead = u"設定画面で正しい情報を入れてください。\r\n\r\n";
const std::u16string kRequired = kHead + u"（必須入力項目に値を入れて下さい｡）";
const std::u16string kNumber = kHead + u"（数字を入れてください。）";
const std::u16string kInvalid = kHead + u"（指定に誤りがあります｡）";

using Box = ParamDialogModel::Box;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramLocation(dir.path16(), u"velkor");
    ResetErrorLogPrefix();
    SettingsFilePath = ProgramFilePath(kSettingsFileName);
    SettingsMsgBoxFlag = false;
    SystemSettings = {};
    ParamDialog().SetViewHook({});
    ParamDialog().Unload();
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) {
      boxes.push_back(text);
      flagSeenByBox.push_back(SettingsMsgBoxFlag);
    });
    SetScrambleKeyHook({});
  }
  void TearDown() override {
    ParamDialog().Unload();
    SetMessageBoxHook({});
    SetScrambleKeyHook({});
    SettingsMsgBoxFlag = false;
  }

  std::string settingsPath() const { return dir.file("VKRSYS.DAT"); }
  std::string errorLog() const { return ReadBytes(dir.file("velkorERR1.log")); }
  bool errorLogHas(const std::u16string& text) const {
    return FromAnsi(errorLog()).find(text) != std::u16string::npos;
  }
  // A settings file holding `plain` as its settings text, through the real layers.
  void writeSettingsText(const std::u16string& plain) {
    WriteBytes(settingsPath(), ToAnsi(Base64EncodeText(ScrambleText(u"ENC", plain))));
  }

  TempDir dir;
  std::vector<std::u16string> boxes;
  std::vector<bool> flagSeenByBox;
};

// Every field set; ports as the dialog accepts them (one port each).
SystemSettingsRecord FullRecord() {
  SystemSettingsRecord r;
  r.TargetHost = u"mail.example.jp";
  r.SmtpPort = u"587";
  r.PopPort = u"995";
  r.FtpPort = u"2121";
  r.HttpPort = u"8080";
  r.UserName = u"pelnix";
  r.Password = u"s3cr:et";
  r.Interval = u"15";
  r.RunBat = u"1";
  return r;
}

// As FullRecord, with port lists (which the file holds, but the dialog's
// check refuses).
SystemSettingsRecord ListRecord() {
  SystemSettingsRecord r = FullRecord();
  r.SmtpPort = u"25,587";
  r.PopPort = u"110,995";
  r.FtpPort = u"21";
  r.HttpPort = u"80,8080";
  return r;
}

void ExpectRecord(const SystemSettingsRecord& want, const SystemSettingsRecord& got) {
  EXPECT_EQ(want.TargetHost, got.TargetHost);
  EXPECT_EQ(want.SmtpPort, got.SmtpPort);
  EXPECT_EQ(want.PopPort, got.PopPort);
  EXPECT_EQ(want.FtpPort, got.FtpPort);
  EXPECT_EQ(want.HttpPort, got.HttpPort);
  EXPECT_EQ(want.UserName, got.UserName);
  EXPECT_EQ(want.Password, got.Password);
  EXPECT_EQ(want.Interval, got.Interval);
  EXPECT_EQ(want.RunBat, got.RunBat);
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 07777;
  return st.st_mode & 0777;
}

// ---- the file format ----------------------------------------------------

TEST_F(SettingsTest, ByteExactFileForAKnownKey) {
  SetScrambleKeyHook([] { return 3; });
  SystemSettings.SmtpPort = u"25";
  ASSERT_TRUE(SaveSystemSettings());
  // Header, "SMTP_PORT:" TAB "25", CR LF each; shifted with key D; Base64.
  EXPECT_EQ("RCEfOVRkaWlubx4sKh5CbGxlZmU9CghSSlJPXE5OT1I5BjA0Cgg=", ReadBytes(settingsPath()));

  SetScrambleKeyHook([] { return 7; });
  SystemSettings = ListRecord();
  ASSERT_TRUE(SaveSystemSettings());
  // Writer order (POP before SMTP), 76-character lines, CR LF after complete ones.
  EXPECT_EQ(
      "SB0bNVBgZWVqaxooJho+aGhhYmE5BgRPOkxCPk5aQUlOTTQEZltkZShgcVtoaWZgJ2RrBgRLSEpa\r\n"
      "SUlNTTQEKisrJTM0LgcFTEdPSVlLSExPMwMtLiYwMTEIA0BPSVlLSExPMwMtKgcFQU5PSVlLSExP\r\n"
      "MwMzKSYzKTIrBgRQTD9NMwNrXmZpYnIIA0o8TE01Am0uXGw1Xm4IA0NJTT9NTztHMwMsLgcFS09J\r\n"
      "OztPMwMsBgQ=",
      ReadBytes(settingsPath()));
}

TEST_F(SettingsTest, WriterOrderAndEmptyFieldsInThePlainText) {
  SystemSettings = ListRecord();
  SystemSettings.FtpPort = u"";
  SystemSettings.Password = u"  spaced  ";
  ASSERT_TRUE(SaveSystemSettings());
  std::u16string plain = ScrambleText(u"DEC", Base64DecodeText(FromAnsi(ReadBytes(settingsPath()))));
  EXPECT_EQ(
      u"# <Velkor -- Config>\r\n"
      u"TARGET_HOST:\tmail.example.jp\r\n"
      u"POP_PORT:\t110,995\r\n"
      u"SMTP_PORT:\t25,587\r\n"
      u"HTTP_PORT:\t80,8080\r\n"
      u"USER:\tpelnix\r\n"
      u"PASS:\tspaced\r\n"
      u"INTERVAL:\t15\r\n"
      u"RUNBAT:\t1\r\n",
      plain);
  // The save trims the record in place.
  EXPECT_EQ(u"spaced", SystemSettings.Password);

  SystemSettings = {};
  ASSERT_TRUE(SaveSystemSettings());
  plain = ScrambleText(u"DEC", Base64DecodeText(FromAnsi(ReadBytes(settingsPath()))));
  EXPECT_EQ(u"# <Velkor -- Config>\r\n", plain);
}

TEST_F(SettingsTest, RoundTripOfEveryFieldWithEveryKey) {
  for (int key = 3; key <= 7; ++key) {
    SetScrambleKeyHook([key] { return key; });
    SystemSettings = FullRecord();
    SystemSettings.RunBat = key % 2 ? u"1" : u"2";
    const SystemSettingsRecord saved = SystemSettings;
    ASSERT_TRUE(SaveSystemSettings());
    ParamDialog().Unload();
    SystemSettings = {};
    EXPECT_TRUE(LoadSystemSettings()) << key;
    ExpectRecord(saved, SystemSettings);
  }
  EXPECT_EQ("", errorLog());
}

TEST_F(SettingsTest, OnlySmtpPortSavedLoadsWithDefaultsFromTheDialog) {
  SystemSettings.SmtpPort = u"2525";
  ASSERT_TRUE(SaveSystemSettings());
  SystemSettings = {};
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"2525", SystemSettings.SmtpPort);
  EXPECT_EQ(u"localhost", SystemSettings.TargetHost);
  EXPECT_EQ(u"110", SystemSettings.PopPort);
  EXPECT_EQ(u"21", SystemSettings.FtpPort);
  EXPECT_EQ(u"80", SystemSettings.HttpPort);
  EXPECT_EQ(u"pelnix", SystemSettings.UserName);
  EXPECT_EQ(u"pelnix", SystemSettings.Password);
  EXPECT_EQ(u"0", SystemSettings.Interval);
  EXPECT_EQ(u"", SystemSettings.RunBat);
}

TEST_F(SettingsTest, ValuesThatDoNotSurviveASaveAndLoad) {
  SystemSettings = FullRecord();
  SystemSettings.Password = u"ab#cd";       // cut before the "#"
  SystemSettings.UserName = u"a\tb";        // the TAB comes back as a blank
  SystemSettings.TargetHost = u"host:8080"; // everything after the first colon stays
  ASSERT_TRUE(SaveSystemSettings());
  EXPECT_EQ(u"ab#cd", SystemSettings.Password);
  SystemSettings = {};
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"ab", SystemSettings.Password);
  EXPECT_EQ(u"a b", SystemSettings.UserName);
  EXPECT_EQ(u"host:8080", SystemSettings.TargetHost);
}

// ---- the reader's tolerance -------------------------------------------------

TEST_F(SettingsTest, ReaderToleratesCaseOrderCommentsBlanksAndUnknownLines) {
  writeSettingsText(
      u"# a hand-written file\r\n"
      u"\r\n"
      u"   \t  \r\n"
      u"interval:\t9   # minutes\r\n"
      u"  Pass :x\r\n"                   // blank before the colon: not a key, skipped
      u"\tpass:\t p:w#rest \r\n"
      u"SMTP_PORT :\t2525\r\n"           // skipped, the dialog's default stays
      u"colour: blue\r\n"                // unknown
      u"no colon at all\r\n"
      u"Target_Host:\tsrv:1 \r\n"
      u"user: first\n"                   // LF alone ends a line as well
      u"USER: second\r\n"                // the last occurrence wins
      u"pop_port:995\r\n"
      u"http_port:\t8080\r\n"
      u"runbat:\t1");                    // last line without LF
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"srv:1", SystemSettings.TargetHost);
  EXPECT_EQ(u"25", SystemSettings.SmtpPort);
  EXPECT_EQ(u"995", SystemSettings.PopPort);
  EXPECT_EQ(u"21", SystemSettings.FtpPort);
  EXPECT_EQ(u"8080", SystemSettings.HttpPort);
  EXPECT_EQ(u"second", SystemSettings.UserName);
  EXPECT_EQ(u"p:w", SystemSettings.Password);
  EXPECT_EQ(u"9", SystemSettings.Interval);
  EXPECT_EQ(u"1", SystemSettings.RunBat);
  EXPECT_EQ("", errorLog());
}

TEST_F(SettingsTest, PortListsFromTheFileFailTheDialogCheck) {
  // The file holds a list; the dialog accepts digits only, so the load fails
  // at the POP box, after the earlier fields were copied.
  writeSettingsText(u"TARGET_HOST:\tsrv\r\nPOP_PORT:\t110,995\r\nSMTP_PORT:\t2525\r\n");
  EXPECT_FALSE(LoadSystemSettings());
  EXPECT_EQ(u"2525", SystemSettings.SmtpPort);
  EXPECT_EQ(u"110,995", SystemSettings.PopPort);
  EXPECT_EQ(u"", SystemSettings.FtpPort);
  EXPECT_TRUE(errorLogHas(kNumber));
  EXPECT_TRUE(boxes.empty());  // the flag is down during a load
}

// ---- damaged, empty, random and missing files -------------------------------

TEST_F(SettingsTest, MissingFileAnswersFalseWithoutAReport) {
  EXPECT_FALSE(LoadSystemSettings());
  EXPECT_FALSE(std::filesystem::exists(dir.file("velkorERR1.log")));
  // The check ran on the dialog's defaults; RunBat stays empty.
  EXPECT_EQ(u"localhost", SystemSettings.TargetHost);
  EXPECT_EQ(u"0", SystemSettings.Interval);
  EXPECT_EQ(u"", SystemSettings.RunBat);
  EXPECT_TRUE(ParamDialog().IsLoaded());
}

TEST_F(SettingsTest, EmptyFileAnswersFalse) {
  WriteBytes(settingsPath(), "");
  EXPECT_FALSE(LoadSystemSettings());
  EXPECT_EQ(u"25", SystemSettings.SmtpPort);
  EXPECT_EQ("", errorLog());
}

TEST_F(SettingsTest, DamagedFileGivesTheDefaults) {
  SystemSettings = FullRecord();
  ASSERT_TRUE(SaveSystemSettings());
  std::string bytes = ReadBytes(settingsPath());
  // Cut into the middle of the text and garble its start.
  bytes = "QQQQ" + bytes.substr(40, 30);
  WriteBytes(settingsPath(), bytes);
  SystemSettings = {};
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"localhost", SystemSettings.TargetHost);
  EXPECT_EQ(u"pelnix", SystemSettings.UserName);
}

TEST_F(SettingsTest, FileOfPaddingOnlyIsReportedWithTheLoadersText) {
  WriteBytes(settingsPath(), "====\r\n==");
  EXPECT_FALSE(LoadSystemSettings());
  EXPECT_TRUE(errorLogHas(u"エラーが発生しました。 \r\nデータ:\t\r\n"));
}

TEST_F(SettingsTest, RandomBytesNeverCrashTheLoad) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 20; ++round) {
    std::string bytes(1 + rng() % 600, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    WriteBytes(settingsPath(), bytes);
    ParamDialog().Unload();
    bool loaded = LoadSystemSettings();
    // Whatever came out, the record holds what the dialog accepted or nothing.
    if (loaded) {
      EXPECT_FALSE(SystemSettings.Interval.empty()) << round;
    }
  }
}

// ---- the save's failures and the file's mode -------------------------------

TEST_F(SettingsTest, SettingsFileAndBackupAreOwnerOnly) {
  SystemSettings = FullRecord();
  ASSERT_TRUE(SaveSystemSettings());
  EXPECT_EQ(0600u, ModeOf(settingsPath()));
  ASSERT_TRUE(SaveSystemSettings());
  EXPECT_EQ(0600u, ModeOf(settingsPath()));
  EXPECT_EQ(0600u, ModeOf(settingsPath() + ".bak"));

  // A file left readable by others (an older copy put there by hand) is narrowed.
  chmod(settingsPath().c_str(), 0644);
  chmod((settingsPath() + ".bak").c_str(), 0666);
  ASSERT_TRUE(SaveSystemSettings());
  EXPECT_EQ(0600u, ModeOf(settingsPath()));
  EXPECT_EQ(0600u, ModeOf(settingsPath() + ".bak"));
}

TEST_F(SettingsTest, FailedWriteIsReportedAndAnswersFalse) {
  SettingsFilePath = dir.file16("missing-dir/VKRSYS.DAT");
  SystemSettings = FullRecord();
  EXPECT_FALSE(SaveSystemSettings());
  const std::u16string report =
      u"エラー番号 : 75 -- " + SettingsFilePath + u" でエラーが発生しました。 ファイルを書き込めません。";
  EXPECT_TRUE(errorLogHas(report + u"\r\n"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("missing-dir")));

  // A directory where the file should be.
  std::filesystem::create_directory(dir.file("VKRSYS.DAT"));
  SettingsFilePath = dir.file16("VKRSYS.DAT");
  EXPECT_FALSE(SaveSystemSettings());
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("VKRSYS.DAT")));
}

// ---- the dialog's field checks --------------------------------------------

struct CheckCase {
  Box box;
  std::u16string text;
  std::u16string message;  // empty: passes
};

TEST_F(SettingsTest, FieldChecksAndTheirMessages) {
  const std::vector<CheckCase> cases = {
      {Box::TxtTarget, u"   ", kRequired},
      {Box::TxtSMTPPort, u"", kRequired},
      {Box::TxtSMTPPort, u" 25", kNumber},
      {Box::TxtSMTPPort, u"1,025", kNumber},
      {Box::TxtSMTPPort, u"65536", u""},  // ports have no range here
      {Box::TxtPopPort, u"  ", kRequired},
      {Box::TxtFtpPort, u"2l", kNumber},
      {Box::TxtHttpPort, u"８０", kNumber},
      {Box::TxtInfo0, u"", kRequired},
      {Box::TxtInfo1, u" ", kRequired},
      {Box::TxtInterval, u"", kRequired},
      {Box::TxtInterval, u"32767", u""},
      {Box::TxtInterval, u"32768", kInvalid},
      {Box::TxtInterval, u"000001", kInvalid},
      {Box::TxtInterval, u"00005", u""},
      {Box::TxtInterval, u"5 ", kNumber},
      {Box::TxtInterval, u"-1", kNumber},
  };
  SettingsMsgBoxFlag = true;
  for (const CheckCase& c : cases) {
    ParamDialog().Unload();
    SystemSettings = {};
    ParamDialog().SetText(c.box, c.text);
    boxes.clear();
    bool ok = ParamDialog().CheckSetting();
    EXPECT_EQ(c.message.empty(), ok) << static_cast<int>(c.box) << " " << ToUtf8(c.text);
    if (c.message.empty()) {
      EXPECT_TRUE(boxes.empty());
    } else {
      ASSERT_EQ(1u, boxes.size());
      EXPECT_EQ(c.message, boxes[0]) << ToUtf8(c.text);
    }
  }
}

TEST_F(SettingsTest, EarlierFieldsAreCopiedBeforeAFailure) {
  ParamDialogModel& d = ParamDialog();
  d.SetText(Box::TxtSMTPPort, u"2525 ");  // trailing blank: not digits only
  EXPECT_FALSE(d.CheckSetting());
  EXPECT_EQ(u"localhost", SystemSettings.TargetHost);
  EXPECT_EQ(u"", SystemSettings.SmtpPort);

  d.SetText(Box::TxtSMTPPort, u"2525");
  d.SetText(Box::TxtTarget, u"  srv  ");
  d.SetText(Box::TxtInfo0, u"");
  EXPECT_FALSE(d.CheckSetting());
  EXPECT_EQ(u"srv", SystemSettings.TargetHost);
  EXPECT_EQ(u"2525", SystemSettings.SmtpPort);
  EXPECT_EQ(u"110", SystemSettings.PopPort);
  EXPECT_EQ(u"21", SystemSettings.FtpPort);
  EXPECT_EQ(u"80", SystemSettings.HttpPort);
  EXPECT_EQ(u"", SystemSettings.UserName);
  EXPECT_EQ(u"", SystemSettings.Password);
  EXPECT_TRUE(errorLogHas(kNumber));
  EXPECT_TRUE(errorLogHas(kRequired));
  EXPECT_TRUE(boxes.empty());
}

// ---- the dialog's load and its buttons ------------------------------------

TEST_F(SettingsTest, LoadFillsFromTheRecordOrTheDefaults) {
  SystemSettings.PopPort = u"995";
  SystemSettings.Password = u"secret";
  SystemSettings.RunBat = u"2";
  ParamDialogModel& d = ParamDialog();
  d.Load();
  EXPECT_EQ(u"localhost", d.Text(Box::TxtTarget));
  EXPECT_EQ(u"25", d.Text(Box::TxtSMTPPort));
  EXPECT_EQ(u"995", d.Text(Box::TxtPopPort));
  EXPECT_EQ(u"21", d.Text(Box::TxtFtpPort));
  EXPECT_EQ(u"80", d.Text(Box::TxtHttpPort));
  EXPECT_EQ(u"pelnix", d.Text(Box::TxtInfo0));
  EXPECT_EQ(u"secret", d.Text(Box::TxtInfo1));
  EXPECT_EQ(u"0", d.Text(Box::TxtInterval));
  EXPECT_EQ(2, d.RunBatValue());
  EXPECT_EQ(GetAppTitle(), d.Caption());
  EXPECT_EQ(u"(vkrRunErr.bat)", d.RunErrBatNameCaption());
  // Loading reads, it does not write the record.
  EXPECT_EQ(u"", SystemSettings.TargetHost);
}

TEST_F(SettingsTest, RunBatThatIsNoCheckBoxValueStopsTheLoad) {
  SystemSettings.RunBat = u"abc";
  SystemSettings.UserName = u"ops";
  ParamDialogModel& d = ParamDialog();
  d.Load();
  EXPECT_TRUE(d.IsLoaded());
  EXPECT_EQ(u"ops", d.Text(Box::TxtInfo0));
  EXPECT_EQ(0, d.RunBatValue());
  EXPECT_EQ(u"abc", SystemSettings.RunBat);
  std::u16string log = FromAnsi(errorLog());
  size_t report = log.find(u"Form_LoadERR:エラー番号 : 5 -- velkor でエラーが発生しました。   \r\n");
  size_t marker = log.find(u" *** #Form_LoadERR#\r\n");
  EXPECT_NE(std::u16string::npos, report);
  EXPECT_NE(std::u16string::npos, marker);
  EXPECT_LT(report, marker);

  d.Unload();
  SystemSettings.RunBat = u"3";
  d.Load();
  EXPECT_EQ(0, d.RunBatValue());
}

TEST_F(SettingsTest, CheckBoxWritesRunBatAtOnceAndCloseKeepsItUnsaved) {
  SystemSettings = FullRecord();
  SystemSettings.RunBat = u"";
  ASSERT_TRUE(SaveSystemSettings());
  const std::string before = ReadBytes(settingsPath());
  ParamDialogModel& d = ParamDialog();
  EXPECT_EQ(0, d.RunBatValue());
  EXPECT_EQ(u"", SystemSettings.RunBat);  // an unchanged value raises no click
  d.SetRunBatValue(1);
  EXPECT_EQ(u"1", SystemSettings.RunBat);
  d.SetRunBatValue(0);
  EXPECT_EQ(u"0", SystemSettings.RunBat);
  d.SetRunBatValue(1);
  d.CmdClose_Click();
  EXPECT_FALSE(d.IsLoaded());
  EXPECT_EQ(u"1", SystemSettings.RunBat);
  EXPECT_EQ(before, ReadBytes(settingsPath()));
  // The next reload drops it.
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"", SystemSettings.RunBat);
}

TEST_F(SettingsTest, OkSavesUnloadsAndPutsTheFlagBack) {
  for (bool flagBefore : {false, true}) {
    SettingsMsgBoxFlag = flagBefore;
    SystemSettings = {};
    ParamDialogModel& d = ParamDialog();
    d.Load();
    d.SetText(Box::TxtInterval, u"10");
    d.SetRunBatValue(1);
    d.CmdSet_Click();
    EXPECT_FALSE(d.IsLoaded());
    EXPECT_EQ(flagBefore, SettingsMsgBoxFlag);
    SystemSettings = {};
    EXPECT_TRUE(LoadSystemSettings());
    EXPECT_EQ(u"10", SystemSettings.Interval);
    EXPECT_EQ(u"1", SystemSettings.RunBat);
    EXPECT_EQ(u"pelnix", SystemSettings.Password);
    d.Unload();
  }
}

TEST_F(SettingsTest, OkWithAFailedCheckShowsTheMessageAndStaysOpen) {
  ParamDialogModel& d = ParamDialog();
  d.SetText(Box::TxtPopPort, u"110,995");
  d.CmdSet_Click();
  EXPECT_TRUE(d.IsLoaded());
  EXPECT_EQ(u"110,995", d.Text(Box::TxtPopPort));
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(kNumber, boxes[0]);
  EXPECT_TRUE(flagSeenByBox[0]);
  EXPECT_FALSE(SettingsMsgBoxFlag);
  EXPECT_FALSE(std::filesystem::exists(settingsPath()));
}

TEST_F(SettingsTest, OkWithAFailedSaveShowsTheReportAndStaysOpen) {
  SettingsFilePath = dir.file16("missing-dir/VKRSYS.DAT");
  ParamDialogModel& d = ParamDialog();
  d.SetText(Box::TxtInfo0, u"ops");
  d.CmdSet_Click();
  EXPECT_TRUE(d.IsLoaded());
  EXPECT_EQ(u"ops", d.Text(Box::TxtInfo0));
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ(u"エラー番号 : 75 -- " + SettingsFilePath + u" でエラーが発生しました。 ファイルを書き込めません。", boxes[0]);
  EXPECT_TRUE(flagSeenByBox[0]);
  EXPECT_FALSE(SettingsMsgBoxFlag);
}

// ---- the dialog's lifecycle across loads ----------------------------------

TEST_F(SettingsTest, LoadedDialogKeepsItsFieldsAcrossLoads) {
  SystemSettings = FullRecord();
  SystemSettings.Interval = u"5";
  ASSERT_TRUE(SaveSystemSettings());
  SystemSettings = {};
  ASSERT_TRUE(LoadSystemSettings());
  ASSERT_TRUE(ParamDialog().IsLoaded());

  // Another file under the same path: the dialog stays loaded, so its boxes
  // (the first load's values) win over the file for every checked field.
  SystemSettings = FullRecord();
  SystemSettings.Interval = u"30";
  SystemSettings.UserName = u"other";
  SystemSettings.RunBat = u"";
  ASSERT_TRUE(SaveSystemSettings());
  SystemSettings = {};
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"5", SystemSettings.Interval);
  EXPECT_EQ(u"pelnix", SystemSettings.UserName);
  EXPECT_EQ(u"", SystemSettings.RunBat);  // never checked: the file's value

  // Once unloaded, the next load fills the dialog afresh.
  ParamDialog().CmdClose_Click();
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"30", SystemSettings.Interval);
  EXPECT_EQ(u"other", SystemSettings.UserName);
}

}  // namespace
