// The main window driven through its real widgets.
#include <sys/stat.h>
#include <unistd.h>

#include "support/mainwindowfixture.h"
#include "util/stop.h"

namespace {

class FrmVelkorTest : public MainWindowTest {
 protected:
  // A new window whose quit action counts: "count" counts the runs asked for; "real" wires the real run over checks
  // that only note what they are asked (PING and NetBIOS stay unticked); "real checks" the real run over the real
  // checks with the error script on (the script leaves a mark, which a stopped run must not leave).
  void OpenOn(const QString& how) {
    loads = runs = quits = 0;
    asked.clear();
    settings.RunBat = how == "real checks" ? u"1" : u"";
    WriteBytes(dir.file("vkrRunErr.bat"), "#!/bin/sh\ntouch \"$(dirname \"$0\")/script-ran\"\n");
    chmod(dir.file("vkrRunErr.bat").c_str(), 0755);
    Open([&] { w->SetRunAction([this] { ++runs; }); });
    w->SetQuitAction([this] { ++quits; });
    if (how == "real checks") runner = &InstallDiagRunner(*w);
    if (how == "real") runner = &InstallDiagRunner(*w, NotingChecks());
    logged.clear();
    QObject::connect(Child<QListWidget>("LstResult")->model(), &QAbstractItemModel::rowsInserted, w.get(), [this] {
      logged += (logged.empty() ? u"" : u" ") + ToU16(Logged(" *** "));
    });
  }
  // A key as the window system delivers it: queued, handled when the event loop next runs.
  static void PostKey(QWidget* to, int key, const QString& text = {}) {
    QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
  }
  // The actions of "steps" cases (tests/data/window-main.cases says what each does) beside the shared ones; any
  // other key is what the window should show.
  std::map<std::string, Action> Actions() {
    std::map<std::string, Action> actions = {
        {"list", [this](auto& v) { WriteBytes(dir.file("VKRTARGET.INI"), ToAnsi(v.toStdU16String())); }},
        {"self-link", [list = dir.file("VKRTARGET.INI")](auto&) { EXPECT_EQ(symlink(list.c_str(), list.c_str()), 0); }},
        {"settings interval", [this](auto& v) { settings.Interval = v.toStdU16String(); }},
        {"open", [this](auto& v) { OpenOn(v); }},
        {"smtp peer", [this](auto&) {
           peer = std::make_unique<ScriptServer>(PeerScript{
               {"send", "220 hi\r\n"}, {"line", ""}, {"send", "250 ok\r\n"}, {"line", ""}, {"send", "221 bye\r\n"}});
         }},
        // The SMTP check shows a message box during the run, and Esc goes to it 100 ms on; then it passes.
        {"smtp shows a box", [this](auto&) {
           DiagChecks checks;
           checks.smtp = [](std::u16string&, std::u16string&, TlsMode, std::u16string& message) {
             QTimer::singleShot(100, [] {
               if (QWidget* box = QApplication::activeModalWidget()) QTest::keyClick(box, Qt::Key_Escape);
             });
             ShowMessageBox(u"テスト");
             message = u"220 hi\r\n";
             return true;
           };
           runner->SetChecks(checks);
         }},
        {"press", [this](auto& v) { QTest::mousePress(Child(v.toStdString()), Qt::LeftButton); }},
        {"release", [this](auto& v) { QTest::mouseRelease(Child(v.toStdString()), Qt::LeftButton); }},
        // The mouse button, once down, comes up in the middle of a validation: the Diag button never sees a click.
        {"release during the next load", [this](auto&) {
           duringLoad = [this] {
             if (QApplication::mouseButtons() == Qt::NoButton) return;
             releasedInLoad = true;
             QPushButton* diag = Child<QPushButton>("CmdDiag");  // the closure ends with the next line
             duringLoad = nullptr;
             QTest::mouseRelease(diag, Qt::LeftButton);
           };
         }},
        // The input method's pending text (preedit), or the text it commits (Japanese cannot be key-clicked).
        {"input method", [this](auto& v) {
           QInputMethodEvent event(v.startsWith("preedit ") ? v.section(' ', 1) : QString(), {});
           if (v.startsWith("commit ")) event.setCommitString(v.section(' ', 1));
           Cmb()->setFocus();
           QApplication::sendEvent(Cmb(), &event);
         }},
        {"post keys", [this](auto& v) {
           for (QChar c : v) PostKey(Cmb(), c.unicode(), QString(c));
           QCoreApplication::processEvents();
         }},
        {"on the next load", [this](auto& v) {
           duringLoad = [this, whats = v.split(' ')] {
             QComboBox* box = Cmb();  // the closure ends with the next line: only locals after it
             QPushButton* diag = Child<QPushButton>("CmdDiag");
             QWidget* window = w.get();
             const QStringList what = whats;
             duringLoad = nullptr;
             for (const QString& one : what) {
               if (one == "Return") PostKey(box, Qt::Key_Return);
               if (one == "click") QTimer::singleShot(0, diag, &QPushButton::click);
               if (one == "close") QTimer::singleShot(0, window, &QWidget::close);
             }
           };
         }},
        {"events", [](auto&) { for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(); }},
        {"interval", [](auto& v) { SystemSettings.Interval = v.toStdU16String(); }},
        {"activate", [this](auto&) { w->Form_Activate(); }},
        {"timer", [this](auto&) { w->TimerInterval_Timer(); }},
        {"tick ms", [this](auto& v) { w->SetMonitorTickMs(v.toInt()); }},
        {"set minute counter", [this](auto& v) { w->SetMinuteCounter(v.toInt()); }},
        // 設定 opens a dialog accepted at once that leaves this user and interval.
        {"settings dialog", [this](auto& v) {
           w->SetSettingsAction([this, user = v.section(' ', 0, 0), interval = v.section(' ', 1)] {
             QDialog dialog(w.get());
             QTimer::singleShot(0, &dialog, &QDialog::accept);
             dialog.exec();
             SystemSettings.UserName = user.toStdU16String();
             SystemSettings.Interval = interval.toStdU16String();
           });
         }},
        {"switch away and back", [this](auto&) {
           QEvent deactivate(QEvent::WindowDeactivate), activate(QEvent::WindowActivate);
           QApplication::sendEvent(w.get(), &deactivate);
           QApplication::sendEvent(w.get(), &activate);
         }},
        {"screenshot", [this](auto& v) {
           EXPECT_TRUE(w->grab().save(QCoreApplication::applicationDirPath() + "/" + v));
         }},
        {"set enabled", [this](auto& v) { w->setEnabled(v == "yes"); }},
        // A message box closed at once (no number), or after ms with the minute timer stopped just before.
        {"message box", [this](auto& v) {
           QTimer::singleShot(v.toInt(), [this, ms = v.toInt()] {
             if (ms) w->TimerInterval()->stop();
             if (QWidget* box = QApplication::activeModalWidget()) box->close();
           });
           ShowMessageBox(u"テスト");
           for (int i = 0; v.isEmpty() && i < 5; ++i) QCoreApplication::processEvents();
         }},
        {"wait for runs", [this](auto& v) { EXPECT_TRUE(WaitUntil([this, v] { return Logged() == v.toInt(); })); }},
        {"add line", [this](auto& v) { w->AddResultLine(v.toStdU16String()); }},
        {"header", [this](auto& v) {
           w->PutServiceHeader(v.section(' ', 0, 0).toStdU16String(), v.section(' ', 1).toStdU16String());
         }},
        {"check", [this](auto& v) {  // host, passed or failed, message
           const std::u16string host = v.section(' ', 0, 0).toStdU16String();
           const std::u16string message = v.section(' ', 2).toStdU16String();
           w->PutCheckResult(host, 2, v.section(' ', 1, 1) == "passed", service, overall, message);
         }},
    };
    actions.merge(WindowActions());
    return actions;
  }
  // What an expectation of a "steps" case reads from the window, as text, beside the shared look-ups.
  std::u16string Probe(const std::string& what, const std::u16string& want) const override {
    const std::string arg = what.substr(what.find(' ') + 1);
    const SystemSettingsRecord& p = SystemSettings;
    const auto yes = [](bool b) { return std::u16string(b ? u"yes" : u"no"); };
    const std::map<std::string, std::u16string> read{
        {"result", w->GetResultText()}, {"loads", ToU16(loads)}, {"runs", ToU16(runs)}, {"logged", ToU16(Logged())},
        {"asked of", asked.join(" | ").toStdU16String()}, {"quits", ToU16(quits)}, {"entries", ToU16(Cmb()->count())},
        {"modal box", QApplication::activeModalWidget() ? u"open" : u"none"}, {"stop requested", yes(StopRequested())},
        {"flags", std::u16string(service ? u"service" : u"-") + (overall ? u" overall" : u" -")},
        {"log lines as items arrive", logged}, {"box text", Cmb()->currentText().toStdU16String()},
        {"minute counter", ToU16(w->MinuteCounter())}, {"released in a load", yes(releasedInLoad)}};
    if (what == "state") {  // what an entry leaves behind: target, ticks, ports, and the result list
      std::u16string s = Child<QLineEdit>("TxtTarget")->text().toStdU16String() + u" ";
      for (int i = 0; i < kServiceCount; ++i) s += char16_t(u'0' + w->ChkServiceValue(i));
      s += u" " + p.SmtpPort + u"/" + p.PopPort + u"/" + p.FtpPort + u"/" + p.HttpPort;
      return s + u" " + w->GetResultText();
    }
    if (read.contains(what)) return read.at(what);
    if (what == "notes" && WaitUntil([this] { return notes.find(u", ") != std::u16string::npos; })) return notes;
    if (what.starts_with("shown item ")) {
      return Child<QListWidget>("LstResult")->item(std::stoi(arg.substr(5)))->text().toStdU16String();
    }
    if (what == "minute-timer") return w->TimerInterval()->isActive() ? ToU16(w->TimerInterval()->interval()) : u"off";
    if (what == "error" && Text("velkorERR1.log").find(w->ErrorText()) == std::u16string::npos) return u"(not logged)";
    if (what == "error") return w->ErrorText();
    if (what.starts_with("entry ")) return Cmb()->itemText(std::stoi(arg)).toStdU16String();
    if (what == "glyphs") {  // the first text, of the controls' and `want` in the result list's font, not drawn whole
      std::vector<std::pair<QString, QFont>> texts = {{QString::fromStdU16String(want), Child("LstResult")->font()}};
      for (QWidget* c : w->findChildren<QWidget*>()) texts.emplace_back(c->property("text").toString(), c->font());
      for (const auto& [text, font] : texts) {
        for (char32_t ch : text.toUcs4()) {
          const bool drawn = ch == U' ' || QRawFont::fromFont(font).supportsCharacter(ch);
          if (!drawn || !QFontInfo(font).family().startsWith("IPA")) {
            return (text + " U+" + QString::number(ch, 16) + " in " + QFontInfo(font).family()).toStdU16String();
          }
        }
      }
      return want;
    }
    return MainWindowTest::Probe(what, want);
  }
  int runs = 0, quits = 0;
  bool service = true, overall = true, releasedInLoad = false;
  std::u16string logged;
};

// The controls and their glyphs, loading, typing, selecting, the interval, the focus after a run, stopping a run:
// windows driven step by step by the "steps" cases of tests/data/window-main.cases.
TEST_F(FrmVelkorTest, StepsDriveTheWindow) {
  SetLocalNowHook([] { return std::tm{9, 8, 7, 5, 2, 124, 0, 0, 0, 0, nullptr}; });  // 2024/03/05 07:08:09
  uint16_t silentPort = 0;
  const int silent = ListenOnLoopback(16, &silentPort);  // the kernel accepts; nobody ever answers
  ASSERT_GE(silent, 0);
  const std::map<std::string, Action> actions = Actions();
  for (const Case& c : CasesOf(LoadCases("window-main.cases", {{"SILENT", std::to_string(silentPort)}}), "steps ")) {
    CASE_TRACE(c);
    w.reset();  // its history recorder's thread may still be opening its file in the directory
    std::filesystem::remove_all(dir.path());  // the files of the case before
    std::filesystem::create_directory(dir.path());
    settings.Interval.clear();
    service = overall = true;
    releasedInLoad = false;
    notes.clear();
    peer.reset();
    Steps(c, actions);
    ClearStop();
  }
  close(silent);
}

}  // namespace
