#pragma once
// The main window as the window tests open it: the program's files in a temporary directory, a settings record
// behind the settings loader, and the look-ups they share (children by object name, result items, lamps, runs).
#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>

#include <algorithm>
#include <functional>
#include <memory>

#include "app/appstate.h"
#include "support/tempdir.h"
#include "ui/frmvelkor.h"
#include "ui/uihooks.h"
#include "util/codepage.h"
#include "util/hooks.h"

// Runs the event loop until `done` or the time is up, and says which (QTRY_* would return silently under GoogleTest).
inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
  QDeadlineTimer deadline(ms);
  while (!done() && !deadline.hasExpired()) QTest::qWait(10);
  return done();
}

class MainWindowTest : public ::testing::Test {
 protected:
  using Texts = std::vector<std::u16string>;
  void SetUp() override {
    SetProgramLocation(dir.path16(), u"velkor");
    TargetListFilePath = dir.file16("VKRTARGET.INI");
    SetSettingsLoader([this] { return SystemSettings = settings, true; });
    InstallUiHooks();
  }
  void TearDown() override {
    w.reset();
    SetSettingsLoader(nullptr);
  }
  // A new window on `settings`; `wire` runs before the window is first shown (and so first activated).
  void Open(const std::function<void()>& wire = {}) {
    SystemSettings = settings;
    w = std::make_unique<FrmVelkor>();
    if (wire) wire();
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    QCoreApplication::processEvents();
  }
  template <typename T = QWidget>
  T* Child(const std::string& name) const { return w->findChild<T*>(QString::fromStdString(name)); }
  QLineEdit* Edit() const { return Child<QComboBox>("CmbHosts")->lineEdit(); }
  void Type(const std::u16string& entry) const {
    Edit()->setFocus();
    QTest::keyClicks(Edit(), QString::fromStdU16String(entry));
  }
  void Events(int turns = 10) const {
    for (int i = 0; i < turns; ++i) QCoreApplication::processEvents();
  }
  Texts Items() const {  // without their time stamps
    Texts out;
    for (auto item : w->ResultItems())
      out.push_back(item.size() > 22 && item[19] == u' ' && item[20] == u'*' ? item.substr(22) : item);
    return out;
  }
  long Count(const std::u16string& what) const {
    const Texts items = Items();
    return std::count(items.begin(), items.end(), what);
  }
  bool Has(const std::u16string& what) const { return Count(what) > 0; }
  std::u16string Text(const std::string& file) const { return FromAnsi(ReadBytes(dir.file(file))); }
  int Runs() const {  // by their start lines in the run log
    const std::u16string log = Text("velkor1.log");
    int n = 0;
    for (size_t at = 0; (at = log.find(u"-  Start  -", at)) != std::u16string::npos; ++at) ++n;
    return n;
  }
  QColor Lamp(int i) const { return Child("LblLamp" + std::to_string(i))->palette().color(QPalette::Window); }

  TempDir dir;
  SystemSettingsRecord settings{u"", u"25", u"110", u"21", u"80", u"taro", u"", u"0", u""};
  std::unique_ptr<FrmVelkor> w;
};
