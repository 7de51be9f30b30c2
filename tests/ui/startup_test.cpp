// Start-up paths: a first start in an empty directory (ＯＫ and 閉じる), a
// valid settings file, and the settings dialog opened from the main window.
#include "ui/startup.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <functional>

#include "app/appstate.h"
#include "app/paramdialogmodel.h"
#include "app/settings.h"
#include "support/tempdir.h"
#include "ui/frmvelkor.h"
#include "ui/frmvkrparam.h"
#include "util/hooks.h"
#include "util/log.h"

namespace {

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramLocation(dir.path16(), u"velkor");
    ResetErrorLogPrefix();
    SettingsFilePath.clear();
    TargetListFilePath.clear();
    SettingsMsgBoxFlag = false;
    SystemSettings = {};
    ParamDialog().Unload();
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { boxes.push_back(text); });
  }
  void TearDown() override {
    ParamDialog().Unload();
    SetMessageBoxHook({});
    SetSettingsLoader({});
    SettingsMsgBoxFlag = false;
  }

  // Arms a one-shot driver for the next modal settings dialog. `seen` tells
  // whether one came up at all.
  void DriveNextDialog(std::function<void(FrmVKRParam*)> drive) {
    QTimer::singleShot(0, [this, drive] {
      auto* dialog = qobject_cast<FrmVKRParam*>(QApplication::activeModalWidget());
      if (!dialog) return;
      seen = true;
      flagWhileShown = SettingsMsgBoxFlag;
      drive(dialog);
      if (QApplication::activeModalWidget() == dialog) dialog->done(0);
    });
  }

  static void Click(QWidget* dialog, const char* name) {
    QWidget* w = dialog->findChild<QWidget*>(QString::fromLatin1(name));
    ASSERT_NE(nullptr, w) << name;
    QTest::mouseClick(w, Qt::LeftButton);
  }

  TempDir dir;
  std::vector<std::u16string> boxes;
  bool seen = false;
  bool flagWhileShown = false;
};

TEST_F(StartupTest, FirstStartWithOkWritesTheFileAndOpensTheMainWindow) {
  DriveNextDialog([](FrmVKRParam* d) {
    EXPECT_EQ(QStringLiteral("110"), d->findChild<QLineEdit*>("TxtPopPort")->text());
    EXPECT_EQ(QStringLiteral("0"), d->findChild<QLineEdit*>("TxtInterval")->text());
    Click(d, "CmdSet");
  });
  std::unique_ptr<FrmVelkor> window = Main();
  EXPECT_TRUE(seen);
  EXPECT_TRUE(flagWhileShown);
  EXPECT_FALSE(SettingsMsgBoxFlag);
  EXPECT_EQ(dir.file16("VKRSYS.DAT"), SettingsFilePath);
  EXPECT_EQ(dir.file16("VKRTARGET.INI"), TargetListFilePath);
  EXPECT_TRUE(std::filesystem::exists(dir.file("VKRSYS.DAT")));
  EXPECT_FALSE(ParamDialog().IsLoaded());
  ASSERT_TRUE(window);
  EXPECT_TRUE(window->isVisible());
  QLabel* user = window->findChild<QLabel*>("LblUser");
  ASSERT_NE(nullptr, user);
  QTRY_COMPARE(user->text(), QStringLiteral("User：pelnix"));

  // The next start finds the file and opens the main window directly.
  window.reset();
  ParamDialog().Unload();
  SystemSettings = {};
  seen = false;
  DriveNextDialog([](FrmVKRParam*) {});
  window = Main();
  QApplication::processEvents();
  EXPECT_FALSE(seen);
  EXPECT_EQ(u"pelnix", SystemSettings.UserName);
  EXPECT_EQ(u"110", SystemSettings.PopPort);
  EXPECT_TRUE(window->isVisible());
}

TEST_F(StartupTest, FirstStartWithCloseWritesNothingAndStillOpensTheMainWindow) {
  DriveNextDialog([](FrmVKRParam* d) { Click(d, "CmdClose"); });
  std::unique_ptr<FrmVelkor> window = Main();
  EXPECT_TRUE(seen);
  EXPECT_FALSE(SettingsMsgBoxFlag);
  EXPECT_FALSE(std::filesystem::exists(dir.file("VKRSYS.DAT")));
  // The load's check copied the dialog's defaults in; RunBat stays empty.
  EXPECT_EQ(u"localhost", SystemSettings.TargetHost);
  EXPECT_EQ(u"25", SystemSettings.SmtpPort);
  EXPECT_EQ(u"0", SystemSettings.Interval);
  EXPECT_EQ(u"", SystemSettings.RunBat);
  ASSERT_TRUE(window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(boxes.empty());
}

TEST_F(StartupTest, ValidFileOpensTheMainWindowDirectly) {
  SettingsFilePath = dir.file16("VKRSYS.DAT");
  SystemSettings.UserName = u"ops";
  SystemSettings.Interval = u"5";
  SystemSettings.RunBat = u"1";
  ASSERT_TRUE(SaveSystemSettings());
  SystemSettings = {};

  DriveNextDialog([](FrmVKRParam*) {});
  std::unique_ptr<FrmVelkor> window = Main();
  QApplication::processEvents();
  EXPECT_FALSE(seen);
  EXPECT_EQ(u"ops", SystemSettings.UserName);
  EXPECT_EQ(u"1", SystemSettings.RunBat);
  QLabel* timerInfo = window->findChild<QLabel*>("LblTimerInfo");
  ASSERT_NE(nullptr, timerInfo);
  QTRY_COMPARE(timerInfo->text(), QStringLiteral("定期監視中："));

  // The real loader sits in the main window's seam.
  SystemSettings.RunBat = u"";
  EXPECT_TRUE(CallSettingsLoader());
  EXPECT_EQ(u"1", SystemSettings.RunBat);
}

TEST_F(StartupTest, SettingsButtonOpensTheDialogAndItsChangesTakeEffect) {
  SettingsFilePath = dir.file16("VKRSYS.DAT");
  SystemSettings.UserName = u"ops";
  ASSERT_TRUE(SaveSystemSettings());
  SystemSettings = {};
  std::unique_ptr<FrmVelkor> window = Main();
  QLabel* user = window->findChild<QLabel*>("LblUser");
  QLabel* timerInfo = window->findChild<QLabel*>("LblTimerInfo");
  ASSERT_NE(nullptr, user);
  ASSERT_NE(nullptr, timerInfo);
  QTRY_COMPARE(user->text(), QStringLiteral("User：ops"));
  EXPECT_EQ(QStringLiteral("定期監視なし："), timerInfo->text());

  DriveNextDialog([](FrmVKRParam* d) {
    // The dialog stayed loaded from the start-up's check: the file's values.
    auto* user = d->findChild<QLineEdit*>("TxtInfo0");
    EXPECT_EQ(QStringLiteral("ops"), user->text());
    user->selectAll();
    QTest::keyClicks(user, "night");
    auto* interval = d->findChild<QLineEdit*>("TxtInterval");
    interval->selectAll();
    QTest::keyClicks(interval, "3");
    Click(d, "CmdSet");
  });
  Click(window.get(), "CmdSet");
  EXPECT_TRUE(seen);
  EXPECT_FALSE(ParamDialog().IsLoaded());
  EXPECT_EQ(QStringLiteral("User：night"), user->text());
  EXPECT_EQ(QStringLiteral("定期監視中："), timerInfo->text());

  SystemSettings = {};
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"night", SystemSettings.UserName);
  EXPECT_EQ(u"3", SystemSettings.Interval);
}

}  // namespace
