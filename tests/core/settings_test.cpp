// The settings file and the settings dialog's state: format, reader
// tolerance, failures, the field checks and the dialog's lifecycle.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
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

namespace fs = std::filesystem;
using Box = ParamDialogModel::Box;
using Rec = SystemSettingsRecord;
using Texts = std::vector<std::u16string>;

// The record's fields in the order of the dialog's boxes, RunBat last.
Texts Of(const Rec& r) {
  return {r.TargetHost, r.SmtpPort, r.PopPort, r.FtpPort, r.HttpPort, r.UserName, r.Password, r.Interval, r.RunBat};
}
// A record from the cases' words, in the boxes' order.
Rec Record(const std::vector<std::string>& w) {
  auto f = [&w](size_t i) { return FromUtf8(w.at(i)); };
  return {f(0), f(1), f(2), f(3), f(4), f(5), f(6), f(7), f(8)};
}
std::filesystem::perms Perms(const std::string& octal) { return std::filesystem::perms(std::stoul(octal, nullptr, 8)); }
// `count` random bytes.
std::vector<uint8_t> Noise(std::mt19937& rng, size_t count) {
  std::vector<uint8_t> noise(count);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(rng());
  return noise;
}
// The file's key letter (the first character under the Base64 layer) replaced.
void ReplaceKeyLetter(const std::string& path, char16_t letter) {
  std::u16string scrambled = Base64DecodeText(FromAnsi(ReadBytes(path)));
  scrambled[0] = letter;
  WriteBytes(path, ToAnsi(Base64EncodeText(scrambled)));
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

  std::u16string errorLog() const { return FromAnsi(ReadBytes(dir.file("velkorERR1.log"))); }
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

// The dialog and the file as scenarios: each case's steps run in order (settings-dialog.cases says what each does).
TEST_F(SettingsTest, FileAndDialogScenarios) {
  const HangGuard guard;
  const char* const steps[] = {"NewFileSynced", "BackupLinked", "BackupReplaced", "NewFileInPlace"};
  for (const Case& c : LoadCases("settings-dialog.cases", {{"DIR", dir.path()}})) {
    CASE_TRACE(c);
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
    SetUp();
    std::string kept;
    std::mt19937 rng(20240611);
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
      else if (key == "file") WriteBytes(path, value);
      else if (key == "fill") WriteBytes(path, std::string(std::stoul(first), rest.at(0)));
      else if (key == "plain") WriteBytes(path, ToAnsi(Base64EncodeText(ScrambleText(u"ENC", FromUtf8(value)))));
      else if (key == "letter") ReplaceKeyLetter(path, value.at(0));
      else if (key == "cut") std::filesystem::resize_file(path, std::filesystem::file_size(path) - std::stoul(value));
      else if (key == "noise") WriteBytes(path, ToAnsi(Base64EncodeBytes(Noise(rng, std::stoul(value)))));
      else if (key == "fifo") mkfifo(path.c_str(), 0600);
      else if (key == "unload") ParamDialog().Unload();
      else if (key == "logged" && value.empty()) EXPECT_EQ(ToUtf8(errorLog()), "");
      else if (key == "logged") EXPECT_NE(ToUtf8(errorLog()).find(value), std::string::npos) << ToUtf8(errorLog());
      else if (key == "log-ends") EXPECT_EQ(ToUtf8(errorLog().substr(errorLog().rfind(u"***") + 4)), value);
      else if (key == "field") EXPECT_EQ(ToUtf8(Of(SystemSettings)[FieldIndex(first)]), rest);
      else if (key == "link-on-box")
        SetMessageBoxHook([&](auto&, auto&) { fs::remove(path), fs::create_symlink(path, path); });
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
