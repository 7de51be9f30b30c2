#pragma once
// The main window as the window tests open it: the program's files in a temporary directory, a settings record
// behind the settings loader, the look-ups they share (children by object name, result items, runs), and the step
// engine their cases run on (actions by the field's key, any other key an expectation of what the window shows).
#include <gtest/gtest.h>

#include <QtTest>
#include <QtWidgets>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app/appstate.h"
#include "support/casefile.h"
#include "support/scriptserver.h"
#include "support/tempdir.h"
#include "net/smbshares.h"
#include "ui/diagwiring.h"
#include "ui/frmvelkor.h"
#include "ui/uihooks.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/xcommon.h"

// Runs the event loop until `done` or the time is up, and says which (QTRY_* would return silently under GoogleTest).
inline bool WaitUntil(const std::function<bool()>& done, int ms = 5000) {
  QDeadlineTimer deadline(ms);
  while (!done() && !deadline.hasExpired()) QTest::qWait(10);
  return done();
}

inline QString Rgb(const QColor& c) { return QString("%1,%2,%3").arg(c.red()).arg(c.green()).arg(c.blue()); }

// What a window or dialog looks like, as text: "size", "fixed size", "visible", "enabled" (yes or no) and "focused"
// (the name of the control that has the focus) of the root, "tab order" (the controls Tab visits, round its chain
// from the root), "pixel X Y" of its picture; of
// the control NAME, "at NAME" (left top width height in twips, 15 to a pixel, inside its parent's contents),
// "text NAME", "hidden NAME", "tip NAME", "colour NAME" (its text's r,g,b) and "font NAME" (family, points and
// "bold" when it is). Nothing for other keys.
inline std::optional<QString> Looks(QWidget* root, const std::string& what) {
  const QString arg = QString::fromStdString(what.substr(what.find(' ') + 1));
  const QWidget* c = root->findChild<QWidget*>(arg);
  const QRect r = c ? c->geometry().translated(-c->parentWidget()->contentsRect().topLeft()) : QRect();
  if (what == "size") return QString("%1 %2").arg(root->width()).arg(root->height());
  if (what == "fixed size") return root->minimumSize() == root->maximumSize() ? "yes" : "no";
  if (what == "visible") return root->isVisible() ? "yes" : "no";
  if (what == "enabled") return root->isEnabled() ? "yes" : "no";
  if (what == "focused") return root->focusWidget() ? root->focusWidget()->objectName() : "(none)";
  if (what == "tab order") {
    QStringList order;
    for (QWidget* w = root->nextInFocusChain(); w != root; w = w->nextInFocusChain())
      if ((w->focusPolicy() & Qt::TabFocus) && !w->objectName().isEmpty() && w->isVisibleTo(root)) order << w->objectName();
    return order.join(' ');
  }
  if (what.starts_with("pixel ")) {
    return Rgb(root->grab().toImage().pixel(arg.section(' ', 0, 0).toInt(), arg.section(' ', 1).toInt()));
  }
  if (!c) return std::nullopt;
  if (what.starts_with("at ")) {
    return QString("%1 %2 %3 %4").arg(r.x() * 15).arg(r.y() * 15).arg(r.width() * 15).arg(r.height() * 15);
  }
  if (what.starts_with("text ")) return c->property("text").toString();
  if (what.starts_with("hidden ")) return c->isHidden() ? "yes" : "no";
  if (what.starts_with("tip ")) return c->toolTip();
  if (what.starts_with("parent ")) return c->parentWidget()->objectName();
  if (what.starts_with("colour ")) return Rgb(c->palette().color(QPalette::WindowText));
  if (what.starts_with("font ")) return QString("%1 %2%3").arg(c->font().family()).arg(c->font().pointSizeF()).arg(c->font().bold() ? " bold" : "");
  return std::nullopt;
}

class MainWindowTest : public ::testing::Test {
 protected:
  using Action = std::function<void(const QString&)>;
  void SetUp() override {
    SetProgramLocation(dir.path16(), u"velkor");
    TargetListFilePath = dir.file16("VKRTARGET.INI");
    SetSettingsLoader([this] {  // counted; duringLoad stands for what happens while a slow load lets events run
      ++loads;
      SystemSettings = settings;
      if (duringLoad) duringLoad();
      return true;
    });
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
  QComboBox* Cmb() const { return Child<QComboBox>("CmbHosts"); }
  QLineEdit* Edit() const { return Cmb()->lineEdit(); }
  std::vector<std::u16string> Items() const {  // without their time stamps
    std::vector<std::u16string> out;
    for (auto item : w->ResultItems())
      out.push_back(item.size() > 22 && item[19] == u' ' && item[20] == u'*' ? item.substr(22) : item);
    return out;
  }
  std::u16string Text(const std::string& file) const { return FromAnsi(ReadBytes(dir.file(file))); }
  // How often a log has this text: the run log " *** " once a line, "-  Start  -" once a run.
  int Logged(const char* text = "-  Start  -", const std::string& file = "velkor1.log") const {
    return QString::fromStdU16String(Text(file)).count(text);
  }
  // Checks that only note what they are asked ("smtp:host:port" and the port's suffix) and pass, SMTP's apart while
  // smtpFails.
  DiagChecks NotingChecks() {
    const auto note = [this](const char16_t* what, const std::u16string& h, const std::u16string& p, TlsMode t) {
      asked << QString::fromStdU16String(what + h + u":" + p + PortSuffix(t));
      return !smtpFails || what != std::u16string_view(u"smtp:");
    };
    DiagChecks c;
    c.smtp = [note](auto& h, auto& p, TlsMode t, auto&) { return note(u"smtp:", h, p, t); };
    c.pop = [note](auto& h, auto& p, TlsMode t, auto&, auto&, auto&) { return note(u"pop:", h, p, t); };
    c.ftp = [note](auto& h, auto& p, TlsMode t, auto&, auto&, auto&) { return note(u"ftp:", h, p, t); };
    c.http = [note](auto& h, auto& p, TlsMode t, auto&) { return note(u"http:", h, p, t); };
    return c;
  }

  // The actions both window engines use.
  std::map<std::string, Action> WindowActions() {
    return {
        {"type", [this](auto& v) {  // @PEER stands for the scripted peer's port
           Cmb()->setFocus();
           QTest::keyClicks(Cmb(), QString(v).replace("@PEER", QString::number(peer ? peer->port() : 0)));
         }},
        {"tick", [this](auto& v) { w->SetChkServiceValue(v.section(' ', 0, 0).toInt(), v.section(' ', 1).toInt()); }},
        {"key", [this](auto& v) { QTest::keyClick(w->focusWidget(), Qt::Key(QKeySequence(v)[0].key())); }},
        {"click", [this](auto& v) {
           QTest::mouseClick(Child(v.toStdString()), Qt::LeftButton);
           for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
         }},
        {"focus", [this](auto& v) { Child(v.toStdString())->setFocus(); }},
        // At ms from now: Esc to the window, Esc to the result list (the focus widget's window takes it), the close
        // box, or a note of whether a deferred run is pending, then Esc, and 120 ms on a note of the runs so far, the
        // minute timer stopped and Esc again if the window is still disabled.
        {"at ms", [this](auto& v) {
           QTimer::singleShot(v.section(' ', 0, 0).toInt(), w.get(), [this, what = v.section(' ', 1)] {
             QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             if (what == "Esc") QTest::keyClick(w.get(), Qt::Key_Escape);
             if (what == "Esc to the result list") QApplication::sendEvent(Child("LstResult"), &esc);
             if (what == "close box") w->close();
             if (what != "note, Esc, note") return;
             notes = runner->DeferredRunPending() ? u"pending" : u"none";
             QTest::keyClick(w.get(), Qt::Key_Escape);
             QTimer::singleShot(120, w.get(), [this] {
               notes += u", " + ToU16(Logged());
               w->TimerInterval()->stop();
               if (!w->isEnabled()) QTest::keyClick(w.get(), Qt::Key_Escape);
             });
           });
         }},
    };
  }
  // Does a case's fields in the order written: a key of `actions` is done with its text ('' for none); any other
  // key is what the window should show, read by Probe.
  void Steps(const Case& c, const std::map<std::string, Action>& actions) {
    for (const auto& [key, value] : c.fields) {
      const std::u16string text = FromUtf8(value == "''" ? "" : Unescape(value));
      const int64_t start = MonotonicMs();
      const auto action = actions.find(key);
      if (action == actions.end()) {
        EXPECT_EQ(ToUtf8(Probe(key, text)), ToUtf8(text)) << key;
        continue;
      }
      action->second(QString::fromStdU16String(text));
      lastStepMs = MonotonicMs() - start;
    }
  }
  // What an expectation reads from the window, as text; `want` is the case's text, for the look-ups that find it.
  virtual std::u16string Probe(const std::string& what, const std::u16string& want) const {
    const std::string arg = what.substr(what.find(' ') + 1);
    const std::vector<std::u16string> items = Items();
    const size_t blank = want.find(u' ');
    const long n = std::count(items.begin(), items.end(), what == "count" ? want.substr(blank + 1) : want);
    if (what == "count") return ToU16(n) + want.substr(blank);
    if (what == "line") return n ? want : u"(missing)";
    if (what == "no line") return n ? u"(found)" : want;
    if (what.starts_with("item ")) return items.at(std::stoi(arg) < 0 ? items.size() + std::stoi(arg) : std::stoi(arg));
    if (what.starts_with("exists ")) return std::filesystem::exists(dir.file(arg)) ? u"yes" : u"no";
    if (what.starts_with("file ")) return Text(arg);
    if (what.starts_with("has ")) return Text(arg).find(want) != std::u16string::npos ? want : Text(arg);
    if (what.starts_with("lacks ")) return Text(arg).find(want) == std::u16string::npos ? want : u"(found)";
    if (const std::optional<QString> looks = Looks(w.get(), what)) return looks->toStdU16String();
    if (what == "share listing stuck") return SmbListingStuck() ? u"yes" : u"no";
    if (what == "last step took") return lastStepMs < 5000 ? u"under 5 s" : ToU16(lastStepMs) + u" ms";
    if (what.starts_with("lamp ")) {
      const QColor lamp = Child("LblLamp" + arg)->palette().color(QPalette::Window);
      return lamp == w->GreyedTextColour() ? u"grey" : Rgb(lamp).toStdU16String();
    }
    ADD_FAILURE() << "no step is named " << what;
    return {};
  }

  TempDir dir;
  SystemSettingsRecord settings{u"", u"25", u"110", u"21", u"80", u"taro", u"", u"0", u""};
  std::unique_ptr<FrmVelkor> w;
  DiagRunner* runner = nullptr;
  std::unique_ptr<ScriptServer> peer;
  int loads = 0;
  std::function<void()> duringLoad;
  int64_t lastStepMs = 0;
  std::u16string notes;
  QStringList asked;
  bool smtpFails = false;
};
