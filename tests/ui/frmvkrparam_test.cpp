// The settings dialog driven offscreen, on its own and through the start-up: layout and defaults, the error-script
// box, the field checks on ＯＫ, a first start with ＯＫ and with 閉じる, a valid file opening the main window directly,
// and 設定 changes taking effect. Each case of tests/data/window-param.cases is steps for one engine.
#include "ui/frmvkrparam.h"

#include <signal.h>

#include "app/paramdialogmodel.h"
#include "support/mainwindowfixture.h"
#include "ui/startup.h"
#include "util/sysutil.h"

namespace {

using R = SystemSettingsRecord;
// The settings record's field behind each control of the dialog.
const std::map<std::string, std::u16string R::*> kFieldOf = {
    {"TxtTarget", &R::TargetHost}, {"TxtSMTPPort", &R::SmtpPort}, {"TxtPopPort", &R::PopPort},
    {"TxtFtpPort", &R::FtpPort},   {"TxtHttpPort", &R::HttpPort}, {"TxtInterval", &R::Interval},
    {"TxtInfo0", &R::UserName},    {"ChkRunBat", &R::RunBat}};

// One case's program: its directory, the dialog it made, the main window a start-up opened.
struct DialogSteps {
  QStringList boxes;  // the message boxes shown, in order
  TempDir dir;
  std::unique_ptr<FrmVKRParam> dialog;
  std::unique_ptr<FrmVelkor> window;
  std::vector<std::pair<std::string, std::string>> nextDialog;  // the steps for the next modal settings dialog
  std::optional<bool> flagWhileShown;  // whether one came up, and SettingsMsgBoxFlag then

  // One step on dialog d: an action (tests/data/window-param.cases says what each does), or else what should be
  // shown, compared as text.
  void Step(QWidget* d, const std::string& key, const std::string& value) {
    const std::string name = value.substr(0, value.find(' '));
    const QString rest = QString::fromStdString(value.substr(std::min(value.size(), name.size() + 1)));
    QWidget* control = d ? d->findChild<QWidget*>(QString::fromStdString(name)) : nullptr;
    if (key == "record") {
      SystemSettings.*kFieldOf.at(name) = rest.toStdU16String();
    } else if (key == "new dialog") {
      ParamDialog().Unload();
      dialog = std::make_unique<FrmVKRParam>();
      if (value == "shown") dialog->show();
    } else if (key == "type") {
      static_cast<QLineEdit*>(control)->selectAll();
      QTest::keyClick(control, Qt::Key_Delete);
      QTest::keyClicks(control, rest);
    } else if (key == "click") {
      QTest::mouseClick(control, Qt::LeftButton);
    } else if (key.starts_with("next dialog ")) {
      nextDialog.emplace_back(key.substr(12), value);
    } else if (key == "start" || key == "click in the window") {
      flagWhileShown.reset();
      QTimer::singleShot(0, [this, steps = std::exchange(nextDialog, {})] {
        auto* modal = qobject_cast<FrmVKRParam*>(QApplication::activeModalWidget());
        if (!modal) return;
        flagWhileShown = SettingsMsgBoxFlag;
        for (const auto& [k, v] : steps) Step(modal, k, v);
        if (QApplication::activeModalWidget() == modal) modal->done(0);  // never hang in its loop
      });
      if (key == "start") {
        window = Main();
      } else {
        QTest::mouseClick(window->findChild<QWidget*>(QString::fromStdString(name)), Qt::LeftButton);
      }
    } else if (key == "wait for the window's") {  // a look, then the text it should come to
      const std::string look = name + " " + rest.section(' ', 0, 0).toStdString();
      WaitUntil([&] { return Looks(window.get(), look) == rest.section(' ', 1); });
    } else {
      EXPECT_EQ(Probe(d, key), value) << key;
    }
  }
  std::string Probe(QWidget* d, const std::string& what) {
    const std::string arg = what.substr(what.find(' ') + 1);
    const auto* box = d ? d->findChild<QCheckBox*>("ChkRunBat") : nullptr;
    if (what == "modal dialog") return !flagWhileShown ? "none" : *flagWhileShown ? "shown, boxes flagged" : "shown";
    if (what.starts_with("exists ")) return std::filesystem::exists(dir.file(arg)) ? "yes" : "no";
    if (what.starts_with("record ")) return ToUtf8(SystemSettings.*kFieldOf.at(arg));
    if (what == "window type") return d->windowType() == Qt::Tool ? "tool" : std::to_string(d->windowType());
    if (what == "window icon sizes") return std::to_string(window->windowIcon().availableSizes().size());
    if (what.starts_with("window ")) return Looks(window.get(), arg).value_or("(no such look)").toStdString();
    if (what == "loaded user") {
      SystemSettings.UserName.clear();
      return CallSettingsLoader() ? ToUtf8(SystemSettings.UserName) : "(the load failed)";
    }
    if (what == "box") return box->checkState() == Qt::Checked ? "ticked" : box->checkState() ? "grey" : "unticked";
    if (what == "message boxes") return boxes.join(" | ").toStdString();
    if (what == "title") return d->windowTitle().toStdString();
    if (what == "centred") return d->screen()->geometry().center() == d->frameGeometry().center() ? "yes" : "no";
    if (what == "error log") return ToUtf8(FromAnsi(ReadBytes(dir.file("velkorERR1.log"))));
    return Looks(d, what).value_or("(no step is named so)").toStdString();
  }
};

TEST(FrmVKRParamTest, StepsDriveTheDialog) {
  SetLocalNowHook([] { return std::tm{9, 8, 7, 5, 2, 124, 0, 0, 0, 0, nullptr}; });  // 2024/03/05 07:08:09
  for (const Case& c : LoadCases("window-param.cases", {{"VERSION", ToUtf8(GetVersionText())}})) {
    CASE_TRACE(c);
    DialogSteps steps;
    SetProgramLocation(steps.dir.path16(), u"velkor");
    SettingsFilePath = steps.dir.file16("VKRSYS.DAT");
    SystemSettings = {};
    ParamDialog().Unload();
    SetMessageBoxHook([&steps](const std::u16string& text, const std::u16string&) {
      steps.boxes << QString::fromStdU16String(text);
    });
    for (const auto& [key, value] : c.fields) steps.Step(steps.dialog.get(), key, value == "''" ? "" : Unescape(value));
  }
  SetMessageBoxHook(nullptr);
}

// The window tests' own main, like the program's, ignores SIGPIPE before anything runs.
TEST(UiTestMain, IgnoresSigPipe) {
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
}

}  // namespace
