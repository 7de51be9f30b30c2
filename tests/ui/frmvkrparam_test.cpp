// The settings dialog driven offscreen, on its own and through the start-up:
// layout and defaults, a first start with ＯＫ and with 閉じる, a valid file
// opening the main window directly, and 設定 changes taking effect.
#include "ui/frmvkrparam.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QtTest>
#include <QtWidgets>

#include <filesystem>
#include <optional>
#include <tuple>

#include "app/appstate.h"
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

TEST_F(FrmVKRParamTest, LayoutAndDefaults) {
  SystemSettings.SmtpPort = u"2525";
  FrmVKRParam dialog;
  EXPECT_EQ(QSize(435, 433), dialog.size());  // 6525 x 6495 twips, fixed
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(Qt::Tool, dialog.windowType());
  EXPECT_EQ(QString::fromStdU16String(GetAppTitle()), dialog.windowTitle());
  EXPECT_EQ(dialog.screen()->geometry().center(), dialog.frameGeometry().center());

  const std::tuple<const char*, QRect, bool, QString> controls[] = {  // name, twips, hidden, text
      {"TxtTarget", {5160, 1140, 2715, 270}, true, "localhost"},
      {"TxtSMTPPort", {2460, 1500, 735, 270}, false, "2525"},  // the record's value
      {"lblPort", {780, 1980, 1335, 195}, false, "POP  Port番号"},
      {"TxtPopPort", {2460, 1920, 735, 270}, false, "110"},
      {"TxtFtpPort", {2460, 2340, 735, 270}, false, "21"},
      {"TxtHttpPort", {2460, 2760, 735, 270}, false, "80"},
      {"TxtInfo0", {2460, 3600, 1935, 270}, false, "pelnix"},
      {"TxtInfo1", {6060, 3540, 1935, 255}, true, "pelnix"},
      {"TxtInterval", {2460, 4680, 735, 270}, false, "0"},
      {"ChkRunBat", {3000, 5280, 3075, 255}, false, "エラー時にバッチを起動する"},
      {"LblRunErrBatName", {3420, 5580, 2115, 135}, false, "(vkrRunErr.bat)"},
      {"CmdSet", {3780, 6060, 915, 315}, false, "ＯＫ"},
      {"CmdClose", {5100, 6060, 855, 315}, false, "閉じる"},
  };
  for (const auto& [name, twips, hidden, text] : controls) {
    SCOPED_TRACE(name);
    QWidget* w = dialog.findChild<QWidget*>(name);
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15), w->geometry());
    EXPECT_EQ(hidden, w->isHidden());
    EXPECT_EQ(text, w->property("text").toString());
  }
}

// A click on ChkRunBat ticks an unticked or grey box and unticks a ticked one, and RunBat follows at once. A
// RunBat the box cannot show stops the load, which reports it; the fields filled before it stay.
TEST_F(FrmVKRParamTest, RunBatCheckBoxAndLoadFailure) {
  const struct { const char16_t* runBat; Qt::CheckState shown; const char16_t* clicked; } rows[] = {
      {u"", Qt::Unchecked, u"1"},  {u"1", Qt::Checked, u"0"},  {u"2", Qt::PartiallyChecked, u"1"},
      {u"+2", Qt::PartiallyChecked, u"1"}, {u"-0", Qt::Unchecked, u"1"}, {u"x", Qt::Unchecked, u"1"},
      {u"-1", Qt::Unchecked, u"1"},  {u"3", Qt::Unchecked, u"1"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(QString::fromStdU16String(row.runBat).toStdString());
    ParamDialog().Unload();
    SystemSettings.RunBat = row.runBat;
    FrmVKRParam dialog;
    auto* box = dialog.findChild<QCheckBox*>("ChkRunBat");
    EXPECT_EQ(row.shown, box->checkState());
    Click(&dialog, "ChkRunBat");
    EXPECT_EQ(row.clicked, SystemSettings.RunBat);
    EXPECT_EQ(row.clicked == std::u16string(u"1") ? Qt::Checked : Qt::Unchecked, box->checkState());
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
// Ports are digits only, of any size (no list, no TLS suffix an entry may carry); the interval is 0 to 32767
// minutes in at most five characters.
TEST_F(FrmVKRParamTest, FieldChecksOnOk) {
  const std::u16string head = u"設定画面で正しい情報を入れてください。\r\n\r\n";
  const std::u16string required = head + u"（必須入力項目に値を入れて下さい｡）";
  const std::u16string number = head + u"（数字を入れてください。）", invalid = head + u"（指定に誤りがあります｡）";
  SettingsFilePath = dir.file16("VKRSYS.DAT");
  using R = SystemSettingsRecord;
  const struct { const char* box; const char* text; std::u16string R::*field; std::u16string refusal; } rows[] = {
      {"TxtSMTPPort", "0", &R::SmtpPort, u""},        {"TxtSMTPPort", "1", &R::SmtpPort, u""},
      {"TxtPopPort", "65535", &R::PopPort, u""},      {"TxtFtpPort", "65536", &R::FtpPort, u""},
      {"TxtHttpPort", "8o", &R::HttpPort, number},    {"TxtSMTPPort", "1,025", &R::SmtpPort, number},
      {"TxtSMTPPort", "465s", &R::SmtpPort, number},  {"TxtSMTPPort", " 25", &R::SmtpPort, number},
      {"TxtSMTPPort", "", &R::SmtpPort, required},    {"TxtInterval", "0", &R::Interval, u""},
      {"TxtInterval", "00001", &R::Interval, u""},    {"TxtInterval", "32767", &R::Interval, u""},
      {"TxtInterval", "32768", &R::Interval, invalid}, {"TxtInterval", "000001", &R::Interval, invalid},
      {"TxtInterval", "-1", &R::Interval, number},    {"TxtInterval", "", &R::Interval, required},
      {"TxtInfo0", " ops ", &R::UserName, u""},       {"TxtInfo0", "", &R::UserName, required},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.box) + " '" + row.text + "'");
    ParamDialog().Unload();
    SystemSettings = {};
    boxes.clear();
    FrmVKRParam dialog;
    dialog.show();
    Type(&dialog, row.box, row.text);
    Click(&dialog, "CmdSet");
    EXPECT_EQ(boxes, row.refusal.empty() ? std::vector<std::u16string>{} : std::vector{row.refusal});
    EXPECT_EQ(dialog.isVisible(), !row.refusal.empty());
    if (row.refusal.empty()) {
      EXPECT_EQ(SystemSettings.*row.field, QString(row.text).trimmed().toStdU16String());
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
