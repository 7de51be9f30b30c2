// The settings dialog driven offscreen: layout, the boxes and the check box
// editing the dialog's state, ＯＫ, 閉じる and the close box.
#include "ui/frmvkrparam.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <vector>

#include "app/appstate.h"
#include "app/paramdialogmodel.h"
#include "app/settings.h"
#include "support/tempdir.h"
#include "util/hooks.h"
#include "util/log.h"

namespace {

class FrmVKRParamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetProgramLocation(dir.path16(), u"velkor");
    ResetErrorLogPrefix();
    SettingsFilePath = ProgramFilePath(kSettingsFileName);
    SettingsMsgBoxFlag = false;
    SystemSettings = {};
    ParamDialog().Unload();
    SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { boxes.push_back(text); });
  }
  void TearDown() override {
    ParamDialog().Unload();
    SetMessageBoxHook({});
    SettingsMsgBoxFlag = false;
  }

  template <typename T = QWidget>
  static T* Child(QWidget* dialog, const char* name) {
    T* w = dialog->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(nullptr, w) << name;
    return w;
  }
  static QString TextOf(QWidget* dialog, const char* name) { return Child<QLineEdit>(dialog, name)->text(); }

  // Shows the dialog modally; `drive` runs once it is up and must close it.
  static void RunModal(const std::function<void(FrmVKRParam*)>& drive) {
    bool driven = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<FrmVKRParam*>(QApplication::activeModalWidget());
      ASSERT_NE(nullptr, dialog);
      driven = true;
      drive(dialog);
      // Never leave a test hanging in the dialog's loop.
      if (QApplication::activeModalWidget() == dialog) dialog->done(0);
    });
    ShowParamDialog(nullptr);
    EXPECT_TRUE(driven);
  }

  TempDir dir;
  std::vector<std::u16string> boxes;
};

TEST_F(FrmVKRParamTest, LayoutAsDesigned) {
  FrmVKRParam dialog;
  EXPECT_EQ(QSize(435, 433), dialog.size());
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(Qt::Tool, dialog.windowType());
  EXPECT_EQ(QString::fromStdU16String(GetAppTitle()), dialog.windowTitle());

  // Centred on the screen's full area.
  const QRect screen = dialog.screen()->geometry();
  EXPECT_EQ(screen.x() + (screen.width() - dialog.frameGeometry().width()) / 2, dialog.pos().x());
  EXPECT_EQ(screen.y() + (screen.height() - dialog.frameGeometry().height()) / 2, dialog.pos().y());

  // Twips / 15.
  EXPECT_EQ(QRect(164, 128, 49, 18), Child(&dialog, "TxtPopPort")->geometry());
  EXPECT_EQ(QRect(164, 240, 129, 18), Child(&dialog, "TxtInfo0")->geometry());
  EXPECT_EQ(QRect(252, 404, 61, 21), Child(&dialog, "CmdSet")->geometry());
  EXPECT_EQ(QRect(340, 404, 57, 21), Child(&dialog, "CmdClose")->geometry());
  EXPECT_EQ(QRect(200, 352, 205, 17), Child(&dialog, "ChkRunBat")->geometry());

  for (const char* hidden : {"TxtTarget", "Label14", "TxtInfo1", "LblMailInfo1"})
    EXPECT_TRUE(Child(&dialog, hidden)->isHidden()) << hidden;
  for (const char* shown : {"TxtSMTPPort", "TxtPopPort", "TxtFtpPort", "TxtHttpPort", "TxtInfo0", "TxtInterval",
                            "ChkRunBat", "CmdSet", "CmdClose", "LblMailInfo0", "lblPort"})
    EXPECT_FALSE(Child(&dialog, shown)->isHidden()) << shown;
  EXPECT_EQ(QLineEdit::Password, Child<QLineEdit>(&dialog, "TxtInfo1")->echoMode());

  EXPECT_EQ(QStringLiteral("ＯＫ"), Child<QPushButton>(&dialog, "CmdSet")->text());
  EXPECT_EQ(QStringLiteral("閉じる"), Child<QPushButton>(&dialog, "CmdClose")->text());
  EXPECT_EQ(QStringLiteral("POP  Port番号"), Child<QLabel>(&dialog, "lblPort")->text());
  EXPECT_EQ(QStringLiteral("(vkrRunErr.bat)"), Child<QLabel>(&dialog, "LblRunErrBatName")->text());

  const QFont boxFont = Child(&dialog, "TxtSMTPPort")->font();
  EXPECT_EQ(QStringLiteral("ＭＳ ゴシック"), boxFont.family());
  EXPECT_DOUBLE_EQ(9.75, boxFont.pointSizeF());
  EXPECT_TRUE(QFontInfo(boxFont).family().startsWith(QStringLiteral("IPA"))) << QFontInfo(boxFont).family().toStdString();
  const QFont headingFont = Child(&dialog, "Label12")->font();
  EXPECT_EQ(QStringLiteral("ＭＳ Ｐゴシック"), headingFont.family());
  EXPECT_TRUE(headingFont.bold());
  EXPECT_DOUBLE_EQ(8.25, Child(&dialog, "Label13")->font().pointSizeF());
  EXPECT_DOUBLE_EQ(9.0, Child(&dialog, "Label7")->font().pointSizeF());
}

TEST_F(FrmVKRParamTest, OpensWithTheDefaultsAndTheFocusInThePopPort) {
  SystemSettings.SmtpPort = u"2525";
  RunModal([](FrmVKRParam* d) {
    EXPECT_EQ(QStringLiteral("localhost"), TextOf(d, "TxtTarget"));
    EXPECT_EQ(QStringLiteral("2525"), TextOf(d, "TxtSMTPPort"));
    EXPECT_EQ(QStringLiteral("110"), TextOf(d, "TxtPopPort"));
    EXPECT_EQ(QStringLiteral("21"), TextOf(d, "TxtFtpPort"));
    EXPECT_EQ(QStringLiteral("80"), TextOf(d, "TxtHttpPort"));
    EXPECT_EQ(QStringLiteral("pelnix"), TextOf(d, "TxtInfo0"));
    EXPECT_EQ(QStringLiteral("pelnix"), TextOf(d, "TxtInfo1"));
    EXPECT_EQ(QStringLiteral("0"), TextOf(d, "TxtInterval"));
    EXPECT_EQ(Qt::Unchecked, Child<QCheckBox>(d, "ChkRunBat")->checkState());
    EXPECT_EQ(Child(d, "TxtPopPort"), d->focusWidget());

    // Tab order: the POP port, the user, ＯＫ, 閉じる, then the other ports,
    // the interval and the check box; hidden boxes skipped.
    std::vector<QString> order;
    for (int i = 0; i < 9; ++i) {
      order.push_back(d->focusWidget()->objectName());
      QTest::keyClick(d->focusWidget(), Qt::Key_Tab);
    }
    const std::vector<QString> want = {"TxtPopPort",  "TxtInfo0",    "CmdSet",      "CmdClose", "TxtSMTPPort",
                                       "TxtFtpPort", "TxtHttpPort", "TxtInterval", "ChkRunBat"};
    EXPECT_EQ(want, order);
    QTest::mouseClick(Child(d, "CmdClose"), Qt::LeftButton);
  });
  EXPECT_FALSE(ParamDialog().IsLoaded());
  EXPECT_FALSE(std::filesystem::exists(dir.file("VKRSYS.DAT")));
}

TEST_F(FrmVKRParamTest, TypedValuesAreCheckedSavedAndTheDialogCloses) {
  SystemSettings.Password = u"  keep me  ";
  RunModal([this](FrmVKRParam* d) {
    auto* interval = Child<QLineEdit>(d, "TxtInterval");
    interval->selectAll();
    QTest::keyClicks(interval, "12");
    auto* user = Child<QLineEdit>(d, "TxtInfo0");
    user->selectAll();
    QTest::keyClicks(user, "ops");
    QTest::mouseClick(Child(d, "ChkRunBat"), Qt::LeftButton);
    EXPECT_EQ(u"1", SystemSettings.RunBat);  // at once
    QTest::mouseClick(Child(d, "CmdSet"), Qt::LeftButton);
    EXPECT_TRUE(boxes.empty());
  });
  EXPECT_FALSE(ParamDialog().IsLoaded());
  EXPECT_FALSE(SettingsMsgBoxFlag);
  EXPECT_EQ(u"12", SystemSettings.Interval);
  EXPECT_EQ(u"ops", SystemSettings.UserName);
  EXPECT_EQ(u"keep me", SystemSettings.Password);  // carried through, trimmed

  SystemSettings = {};
  EXPECT_TRUE(LoadSystemSettings());
  EXPECT_EQ(u"12", SystemSettings.Interval);
  EXPECT_EQ(u"ops", SystemSettings.UserName);
  EXPECT_EQ(u"keep me", SystemSettings.Password);
  EXPECT_EQ(u"1", SystemSettings.RunBat);
}

TEST_F(FrmVKRParamTest, FailedCheckOrSaveKeepsTheDialogOpen) {
  SettingsFilePath = dir.file16("missing-dir/VKRSYS.DAT");
  RunModal([this](FrmVKRParam* d) {
    auto* smtp = Child<QLineEdit>(d, "TxtSMTPPort");
    smtp->selectAll();
    QTest::keyClicks(smtp, "1,025");
    QTest::mouseClick(Child(d, "CmdSet"), Qt::LeftButton);
    ASSERT_EQ(1u, boxes.size());
    EXPECT_NE(std::u16string::npos, boxes[0].find(u"（数字を入れてください。）"));
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(QStringLiteral("1,025"), smtp->text());

    smtp->selectAll();
    QTest::keyClicks(smtp, "25");
    QTest::mouseClick(Child(d, "CmdSet"), Qt::LeftButton);
    ASSERT_EQ(2u, boxes.size());
    EXPECT_NE(std::u16string::npos, boxes[1].find(u"エラー番号 : 75 -- " + SettingsFilePath));
    EXPECT_TRUE(d->isVisible());
    EXPECT_TRUE(ParamDialog().IsLoaded());
    EXPECT_FALSE(SettingsMsgBoxFlag);

    QTest::mouseClick(Child(d, "CmdClose"), Qt::LeftButton);
    EXPECT_FALSE(d->isVisible());
  });
  EXPECT_FALSE(ParamDialog().IsLoaded());
}

TEST_F(FrmVKRParamTest, CloseBoxActsLikeCloseAndEscDoesNothing) {
  RunModal([](FrmVKRParam* d) {
    QTest::keyClick(d->focusWidget(), Qt::Key_Escape);
    EXPECT_TRUE(d->isVisible());
    QTest::mouseClick(Child(d, "ChkRunBat"), Qt::LeftButton);
    d->close();
    EXPECT_FALSE(d->isVisible());
  });
  EXPECT_FALSE(ParamDialog().IsLoaded());
  EXPECT_EQ(u"1", SystemSettings.RunBat);  // kept in memory, not saved
  EXPECT_FALSE(std::filesystem::exists(dir.file("VKRSYS.DAT")));
}

TEST_F(FrmVKRParamTest, GreyedCheckBoxAndItsClicks) {
  SystemSettings.RunBat = u"2";
  RunModal([](FrmVKRParam* d) {
    auto* box = Child<QCheckBox>(d, "ChkRunBat");
    EXPECT_EQ(Qt::PartiallyChecked, box->checkState());
    QTest::mouseClick(box, Qt::LeftButton);
    EXPECT_EQ(Qt::Checked, box->checkState());
    EXPECT_EQ(u"1", SystemSettings.RunBat);
    QTest::keyClick(box, Qt::Key_Space);
    EXPECT_EQ(Qt::Unchecked, box->checkState());
    EXPECT_EQ(u"0", SystemSettings.RunBat);
    QTest::mouseClick(Child(d, "CmdClose"), Qt::LeftButton);
  });
}

TEST_F(FrmVKRParamTest, DialogLoadedUnseenShowsItsFieldsAsTheyStand) {
  // A load leaves the dialog loaded with the file's values.
  SystemSettings.Interval = u"7";
  SystemSettings.HttpPort = u"8080";
  ASSERT_TRUE(SaveSystemSettings());
  SystemSettings = {};
  ASSERT_TRUE(LoadSystemSettings());
  ParamDialog().SetText(ParamDialogModel::TxtFtpPort, u"2121");
  SystemSettings.Interval = u"99";  // not refilled from the record
  RunModal([](FrmVKRParam* d) {
    EXPECT_EQ(QStringLiteral("7"), TextOf(d, "TxtInterval"));
    EXPECT_EQ(QStringLiteral("8080"), TextOf(d, "TxtHttpPort"));
    EXPECT_EQ(QStringLiteral("2121"), TextOf(d, "TxtFtpPort"));
    QTest::mouseClick(Child(d, "CmdClose"), Qt::LeftButton);
  });
  // Unloaded: the next use fills the boxes afresh from the record.
  RunModal([](FrmVKRParam* d) {
    EXPECT_EQ(QStringLiteral("99"), TextOf(d, "TxtInterval"));
    EXPECT_EQ(QStringLiteral("21"), TextOf(d, "TxtFtpPort"));
    QTest::mouseClick(Child(d, "CmdClose"), Qt::LeftButton);
  });
}

}  // namespace
