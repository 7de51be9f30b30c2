// The settings dialog driven offscreen, on its own and through the start-up:
// layout and defaults, a first start with ＯＫ and with 閉じる, a valid file
// opening the main window directly, and 設定 changes taking effect.
#include "ui/frmvkrparam.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QtTest>
#include <QtWidgets>

#include <filesystem>
#include <map>
#include <optional>

#include "app/appstate.h"
#include "support/casefile.h"
#include "support/tempdir.h"
#include "ui/frmvelkor.h"
#include "ui/startup.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

void Click(QWidget* parent, const char* name) { QTest::mouseClick(parent->findChild<QWidget*>(name), Qt::LeftButton); }
void Type(QWidget* dialog, const char* name, const char* text) {
  auto* edit = dialog->findChild<QLineEdit*>(name);
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, text);
}

class FrmVKRParamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramLocation(dir.path16(), u"velkor");
    SystemSettings = {};
    ParamDialog().Unload();
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { boxes.push_back(text); });
  }

  // Arms a driver for the next modal settings dialog; flagWhileShown tells whether one came up.
  void DriveNextDialog(std::function<void(FrmVKRParam*)> drive) {
    flagWhileShown.reset();
    QTimer::singleShot(0, [this, drive] {
      auto* dialog = qobject_cast<FrmVKRParam*>(QApplication::activeModalWidget());
      if (!dialog) return;
      flagWhileShown = SettingsMsgBoxFlag;
      drive(dialog);
      if (QApplication::activeModalWidget() == dialog) dialog->done(0);  // never hang in its loop
    });
  }

  TempDir dir;
  std::vector<std::u16string> boxes;
  std::optional<bool> flagWhileShown;
};

// The layout, the RunBat box and the field checks are tables in tests/data/window-param.cases.
TEST_F(FrmVKRParamTest, LayoutAndDefaults) {
  SystemSettings.SmtpPort = u"2525";
  FrmVKRParam dialog;
  EXPECT_EQ(QSize(435, 433), dialog.size());  // 6525 x 6495 twips, fixed
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(Qt::Tool, dialog.windowType());
  EXPECT_EQ(QString::fromStdU16String(GetAppTitle()), dialog.windowTitle());
  EXPECT_EQ(dialog.screen()->geometry().center(), dialog.frameGeometry().center());
  for (const Case& c : CasesOf(LoadCases("window-param.cases"), "layout ")) {
    CASE_TRACE(c);
    QWidget* w = dialog.findChild<QWidget*>(QString::fromStdString(c.name.substr(7)));
    ASSERT_NE(nullptr, w);
    const std::vector<std::string> at = c.words("at");
    EXPECT_EQ(QRect(std::stoi(at[0]) / 15, std::stoi(at[1]) / 15, std::stoi(at[2]) / 15, std::stoi(at[3]) / 15),
              w->geometry());
    EXPECT_EQ(c.has("hidden"), w->isHidden());
    EXPECT_EQ(QString::fromStdString(c.get("text")), w->property("text").toString());
  }
}

// A click on ChkRunBat changes RunBat at once. A RunBat the box cannot show stops the load, which reports it; the
// fields filled before it stay.
TEST_F(FrmVKRParamTest, RunBatCheckBoxAndLoadFailure) {
  const std::map<std::string, Qt::CheckState> states = {
      {"unticked", Qt::Unchecked}, {"grey", Qt::PartiallyChecked}, {"ticked", Qt::Checked}};
  for (const Case& c : CasesOf(LoadCases("window-param.cases"), "runbat ")) {
    CASE_TRACE(c);
    ParamDialog().Unload();
    SystemSettings.RunBat = FromUtf8(c.words("runbat")[0]);
    FrmVKRParam dialog;
    auto* box = dialog.findChild<QCheckBox*>("ChkRunBat");
    EXPECT_EQ(states.at(c.get("shown")), box->checkState());
    Click(&dialog, "ChkRunBat");
    EXPECT_EQ(FromUtf8(c.get("clicked")), SystemSettings.RunBat);
    EXPECT_EQ(c.get("clicked") == "1" ? Qt::Checked : Qt::Unchecked, box->checkState());
    EXPECT_EQ(QStringLiteral("25"), dialog.findChild<QLineEdit*>("TxtSMTPPort")->text());
  }
  const std::u16string log = FromAnsi(ReadBytes(dir.file("velkorERR1.log")));
  const std::u16string report = u"Form_LoadERR:エラー番号 : 5 -- velkor でエラーが発生しました。   \r\n"
                                u"プロシージャの呼び出し、または引数が不正です。 ： \r\n";
  ASSERT_NE(std::u16string::npos, log.find(report)) << ToUtf8(log);
  const std::u16string marker = u" *** #Form_LoadERR#\r\n";
  EXPECT_EQ(marker, log.substr(log.find(report) + report.size() + 20, marker.size())) << "the line after it";
}

// A first start in an empty directory, the next starts, and 設定, one after the other as the operator meets them.
TEST_F(FrmVKRParamTest, StartUpPathsAndTheSettingsButton) {
  // 閉じる: nothing written, the main window opens all the same.
  DriveNextDialog([](FrmVKRParam* d) {
    EXPECT_EQ(d->findChild<QWidget*>("TxtPopPort"), d->focusWidget());
    Click(d, "CmdClose");
  });
  std::unique_ptr<FrmVelkor> window = Main();
  EXPECT_EQ(std::optional(true), flagWhileShown);
  EXPECT_FALSE(std::filesystem::exists(dir.file("VKRSYS.DAT")));
  EXPECT_EQ(u"localhost", SystemSettings.TargetHost);  // the load's check copied the defaults
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowIcon().availableSizes().size(), 7) << "the program's icon, in the menu's sizes";

  // ＯＫ: saved, so the next start finds the file.
  DriveNextDialog([](FrmVKRParam* d) {
    Type(d, "TxtInfo0", "ops");
    Click(d, "CmdSet");
  });
  window = Main();
  EXPECT_EQ(std::optional(true), flagWhileShown);

  // The file now opens the main window directly; the real loader sits in its seam.
  DriveNextDialog([](FrmVKRParam*) {});
  window = Main();
  QApplication::processEvents();
  EXPECT_EQ(std::nullopt, flagWhileShown);
  QLabel* user = window->findChild<QLabel*>("LblUser");
  QLabel* timerInfo = window->findChild<QLabel*>("LblTimerInfo");
  for (int i = 0; i < 500 && user->text() != QStringLiteral("User：ops"); ++i) QTest::qWait(10);
  EXPECT_EQ(user->text(), QStringLiteral("User：ops"));
  SystemSettings.UserName.clear();
  EXPECT_TRUE(CallSettingsLoader());
  EXPECT_EQ(u"ops", SystemSettings.UserName);

  // 設定: the dialog, loaded unseen by the start-up's check, shows the file's values; ＯＫ takes effect.
  DriveNextDialog([](FrmVKRParam* d) {
    EXPECT_EQ(QStringLiteral("ops"), d->findChild<QLineEdit*>("TxtInfo0")->text());
    Type(d, "TxtInfo0", "night");
    Type(d, "TxtInterval", "3");
    Click(d, "CmdSet");
  });
  Click(window.get(), "CmdSet");
  EXPECT_EQ(QStringLiteral("User：night"), user->text());
  EXPECT_EQ(QStringLiteral("定期監視中："), timerInfo->text());
}

// ＯＫ checks each field as typed: a refusal says why and keeps the dialog open; a value taken is stored trimmed.
TEST_F(FrmVKRParamTest, FieldChecksOnOk) {
  SettingsFilePath = dir.file16("VKRSYS.DAT");
  using R = SystemSettingsRecord;
  const std::map<std::string, std::u16string R::*> fields = {
      {"TxtSMTPPort", &R::SmtpPort}, {"TxtPopPort", &R::PopPort},   {"TxtFtpPort", &R::FtpPort},
      {"TxtHttpPort", &R::HttpPort}, {"TxtInterval", &R::Interval}, {"TxtInfo0", &R::UserName}};
  for (const Case& c : CasesOf(LoadCases("window-param.cases"), "ok ")) {
    CASE_TRACE(c);
    ParamDialog().Unload();
    SystemSettings = {};
    boxes.clear();
    FrmVKRParam dialog;
    dialog.show();
    Type(&dialog, c.get("box").c_str(), c.words("text")[0].c_str());
    Click(&dialog, "CmdSet");
    EXPECT_EQ(boxes, c.has("refusal") ? std::vector{FromUtf8(c.get("refusal"))} : std::vector<std::u16string>{});
    EXPECT_EQ(dialog.isVisible(), c.has("refusal"));
    if (c.has("stored")) {
      EXPECT_EQ(SystemSettings.*fields.at(c.get("box")), FromUtf8(c.get("stored")));
    }
  }
}

// The window tests' own main, like the program's, ignores SIGPIPE before anything runs.
TEST(UiTestMain, IgnoresSigPipe) {
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}

}  // namespace
