// The main window driven through its real widgets.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "diag/diagrun.h"
#include "support/casefile.h"
#include "support/mainwindowfixture.h"
#include "support/scriptserver.h"
#include "ui/diagwiring.h"
#include "util/clock.h"
#include "util/errreport.h"
#include "util/stop.h"
#include "util/xcommon.h"

namespace {

class FrmVelkorTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    SetSettingsLoader([this] {
      ++loads;
      SystemSettings = settings;
      if (duringLoad) duringLoad();
      return true;
    });
    SetLocalNowHook([] {
      std::tm t{};
      t.tm_sec = 9, t.tm_min = 8, t.tm_hour = 7, t.tm_mday = 5, t.tm_mon = 2, t.tm_year = 124;
      return t;
    });
  }
  // Opens the window on this target list (if any); with `real`, on the real run over checks that only note what
  // they are asked (PING and NetBIOS stay unticked), else on a run action that counts.
  void OpenOn(const char16_t* list, bool real = false) {
    if (list) WriteBytes(dir.file("VKRTARGET.INI"), ToAnsi(list));
    Open([&] { w->SetRunAction([this] { ++runs; }); });
    if (!real) return;
    auto note = [this](const std::u16string& what) { return asked.push_back(what), true; };
    DiagChecks c;
    c.smtp = [note](auto& h, auto& p, TlsMode t, auto&) { return note(u"smtp:" + h + u":" + p + PortSuffix(t)); };
    c.pop = [note](auto& h, auto& p, TlsMode t, auto&, auto&, auto&) { return note(u"pop:" + h + u":" + p + PortSuffix(t)); };
    c.ftp = [note](auto& h, auto& p, TlsMode t, auto&, auto&, auto&) { return note(u"ftp:" + h + u":" + p + PortSuffix(t)); };
    c.http = [note](auto& h, auto& p, TlsMode t, auto&) { return note(u"http:" + h + u":" + p + PortSuffix(t)); };
    runner = &InstallDiagRunner(*w, c);
  }
  // The window on the real checks, with the error script on: the script leaves a mark, which a stopped run must
  // not leave.
  void OpenOnRealChecks() {
    settings.RunBat = u"1";
    WriteBytes(dir.file("vkrRunErr.bat"), "#!/bin/sh\ntouch \"$(dirname \"$0\")/script-ran\"\n");
    chmod(dir.file("vkrRunErr.bat").c_str(), 0755);
    OpenOn(nullptr);
    w->SetQuitAction([this] { ++quits; });
    runner = &InstallDiagRunner(*w);
  }
  // At ms from now: Esc to the window, Esc to the result list (the focus widget's window takes it), the close box,
  // or a note of whether a deferred run is pending, then Esc, and 120 ms on a note of the runs so far, the minute
  // timer stopped and Esc again if the window is still disabled.
  void At(int ms, const QString& what) {
    QTimer::singleShot(ms, w.get(), [this, what] {
      QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      if (what == "Esc") QTest::keyClick(w.get(), Qt::Key_Escape);
      if (what == "Esc to the result list") QApplication::sendEvent(Child("LstResult"), &esc);
      if (what == "close box") w->close();
      if (what != "note, Esc, note") return;
      notes = runner->DeferredRunPending() ? u"pending" : u"none";
      QTest::keyClick(w.get(), Qt::Key_Escape);
      QTimer::singleShot(120, w.get(), [this] {
        notes += u", " + ToU16(Runs());
        w->TimerInterval()->stop();
        if (!w->isEnabled()) QTest::keyClick(w.get(), Qt::Key_Escape);
      });
    });
  }
  // The SMTP check shows a message box during the run, and Esc goes to it 100 ms on; then it passes.
  void SmtpShowsABox() {
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
  }
  QComboBox* Cmb() const { return Child<QComboBox>("CmbHosts"); }
  std::u16string Caption(const char* label) const { return Child<QLabel>(label)->text().toStdU16String(); }
  // A key as the window system delivers it: queued, handled when the event loop next runs.
  static void PostKey(QWidget* to, int key, const QString& text = {}) {
    QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
  }
  // What an entry leaves behind: target, ticks, ports, and the result list.
  std::u16string State() const {
    std::u16string s = Child<QLineEdit>("TxtTarget")->text().toStdU16String() + u" ";
    for (int i = 0; i < kServiceCount; ++i) s += char16_t(u'0' + w->ChkServiceValue(i));
    const SystemSettingsRecord& p = SystemSettings;
    return s + u" " + p.SmtpPort + u"/" + p.PopPort + u"/" + p.FtpPort + u"/" + p.HttpPort + u" " + w->GetResultText();
  }
  // The actions of "steps" cases (tests/data/window-main.cases says what each does); any other key is what the
  // window should show.
  using Action = std::function<void(const QString&)>;
  std::map<std::string, Action> Actions() {
    const auto head = [](const QString& v) { return v.section(' ', 0, 0); };
    const auto rest = [](const QString& v) { return v.section(' ', 1).toStdU16String(); };
    return {
        {"list", [this](auto& v) { WriteBytes(List(), ToAnsi(v.toStdU16String())); }},
        {"self-link", [this](auto&) { EXPECT_EQ(symlink(List().c_str(), List().c_str()), 0); }},
        {"settings interval", [this](auto& v) { settings.Interval = v.toStdU16String(); }},
        {"open", [this](auto& v) { OpenCounting(v); }},
        {"smtp peer", [this](auto&) { peer = std::make_unique<ScriptServer>(SmtpAnswersAtOnce()); }},
        {"at ms", [this, head](auto& v) { At(head(v).toInt(), v.section(' ', 1)); }},
        {"smtp shows a box", [this](auto&) { SmtpShowsABox(); }},
        {"press", [this](auto& v) { QTest::mousePress(Child(v.toStdString()), Qt::LeftButton); }},
        {"release", [this](auto& v) { QTest::mouseRelease(Child(v.toStdString()), Qt::LeftButton); }},
        {"release during the next load", [this](auto&) { ReleaseDuringNextLoad(); }},
        {"type", [this](auto& v) {
           Cmb()->setFocus();
           QTest::keyClicks(Cmb(), QString(v).replace("@PEER", QString::number(peer ? peer->port() : 0)));
         }},
        {"preedit", [this](auto& v) { SendInput(v, {}); }},
        {"commit", [this](auto& v) { SendInput({}, v); }},
        {"key", [this](auto& v) { QTest::keyClick(w->focusWidget(), Qt::Key(KeyOf(v))); }},
        {"post keys", [this](auto& v) { PostKeys(v); }},
        {"on the next load", [this](auto& v) { OnNextLoad(v.split(' ')); }},
        {"click", [this](auto& v) {
           QTest::mouseClick(Child(v.toStdString()), Qt::LeftButton);
           Events(5);
         }},
        {"events", [this](auto&) { Events(); }},
        {"focus", [this](auto& v) { Child(v.toStdString())->setFocus(); }},
        {"tick", [this, head](auto& v) { w->SetChkServiceValue(head(v).toInt(), v.section(' ', 1).toInt()); }},
        {"interval", [](auto& v) { SystemSettings.Interval = v.toStdU16String(); }},
        {"activate", [this](auto&) { w->Form_Activate(); }},
        {"timer", [this](auto&) { w->TimerInterval_Timer(); }},
        {"tick ms", [this](auto& v) { w->SetMonitorTickMs(v.toInt()); }},
        {"set minute counter", [this](auto& v) { w->SetMinuteCounter(v.toInt()); }},
        {"settings dialog", [this, head, rest](auto& v) { SettingsDialogLeaves(head(v).toStdU16String(), rest(v)); }},
        {"switch away and back", [this](auto&) { SwitchAwayAndBack(); }},
        {"enabled", [this](auto& v) { w->setEnabled(v == "yes"); }},
        {"message box", [this](auto& v) { MessageBox(v.isEmpty() ? 0 : v.toInt()); }},
        {"wait for runs", [this](auto& v) { EXPECT_TRUE(WaitUntil([this, v] { return Runs() == v.toInt(); })); }},
        {"add line", [this](auto& v) { w->AddResultLine(v.toStdU16String()); }},
        {"header", [this, head, rest](auto& v) { w->PutServiceHeader(head(v).toStdU16String(), rest(v)); }},
        {"check passed", [this, head, rest](auto& v) { PutCheck(head(v), true, rest(v)); }},
        {"check failed", [this, head, rest](auto& v) { PutCheck(head(v), false, rest(v)); }},
    };
  }
  std::string List() const { return dir.file("VKRTARGET.INI"); }
  static std::vector<std::string> SmtpAnswersAtOnce() {
    return {"220 hi\r\n", kLine, "250 ok\r\n", kLine, "221 bye\r\n"};
  }
  // The mouse button, once down, comes up in the middle of a validation: the Diag button never sees a click.
  void ReleaseDuringNextLoad() {
    duringLoad = [this] {
      if (QApplication::mouseButtons() == Qt::NoButton) return;
      releasedInLoad = true;
      QPushButton* diag = Child<QPushButton>("CmdDiag");  // the closure ends with the next line
      duringLoad = nullptr;
      QTest::mouseRelease(diag, Qt::LeftButton);
    };
  }
  void OpenCounting(const QString& how) {
    loads = runs = quits = 0;
    asked.clear();
    if (how == "real checks") {
      OpenOnRealChecks();
    } else {
      OpenOn(nullptr, how == "real");
    }
    logged.clear();
    QObject::connect(Child<QListWidget>("LstResult")->model(), &QAbstractItemModel::rowsInserted, w.get(), [this] {
      const std::u16string log = Text("velkor1.log");
      size_t n = 0;
      for (size_t at = 0; (at = log.find(u" *** ", at)) != std::u16string::npos; ++at) ++n;
      logged += (logged.empty() ? u"" : u" ") + ToU16(n);
    });
  }
  void SendInput(const QString& preedit, const QString& commit) {
    QInputMethodEvent event(preedit, {});
    event.setCommitString(commit);
    Cmb()->setFocus();
    QApplication::sendEvent(Cmb(), &event);
  }
  static int KeyOf(const QString& name) {
    if (name == "Down") return Qt::Key_Down;
    return name == "Return" ? int(Qt::Key_Return) : name[0].toUpper().unicode();
  }
  void PostKeys(const QString& keys) {
    for (QChar c : keys) PostKey(Cmb(), c.unicode(), QString(c));
    QCoreApplication::processEvents();
  }
  void OnNextLoad(const QStringList& whats) {
    duringLoad = [this, whats] {
      QComboBox* box = Cmb();  // the closure ends with the next line: only locals after it
      QPushButton* diag = Child<QPushButton>("CmdDiag");
      const QStringList what = whats;
      duringLoad = nullptr;
      for (const QString& one : what) {
        if (one == "Return") PostKey(box, Qt::Key_Return);
        if (one == "click") QTimer::singleShot(0, diag, &QPushButton::click);
      }
    };
  }
  // 設定 opens a dialog accepted at once that leaves this user and interval.
  void SettingsDialogLeaves(const std::u16string& user, const std::u16string& interval) {
    w->SetSettingsAction([this, user, interval] {
      QDialog dialog(w.get());
      QTimer::singleShot(0, &dialog, &QDialog::accept);
      dialog.exec();
      SystemSettings.UserName = user;
      SystemSettings.Interval = interval;
    });
  }
  void SwitchAwayAndBack() {
    QEvent deactivate(QEvent::WindowDeactivate), activate(QEvent::WindowActivate);
    QApplication::sendEvent(w.get(), &deactivate);
    QApplication::sendEvent(w.get(), &activate);
  }
  // A message box closed at once (0), or after ms with the minute timer stopped just before.
  void MessageBox(int ms) {
    QTimer::singleShot(ms, [this, ms] {
      if (ms) w->TimerInterval()->stop();
      if (QWidget* box = QApplication::activeModalWidget()) box->close();
    });
    ShowMessageBox(u"テスト");
    if (!ms) Events(5);
  }
  void PutCheck(const QString& host, bool passed, const std::u16string& message) {
    w->PutCheckResult(host.toStdU16String(), 2, passed, service, overall, message);
  }
  // What an expectation of a "steps" case reads from the window, as text.
  std::u16string Probe(const std::string& what, const std::u16string& want) const {
    const std::string arg = what.substr(what.find(' ') + 1);
    const QTimer* timer = w->TimerInterval();
    if (what == "state") return State();
    if (what == "result") return w->GetResultText();
    if (what == "loads") return ToU16(loads);
    if (what == "runs") return ToU16(runs);
    if (what == "logged") return ToU16(Runs());
    if (what == "asked") return ToU16(asked.size());
    if (what == "quits") return ToU16(quits);
    if (what == "visible") return w->isVisible() ? u"yes" : u"no";
    if (what == "window enabled") return w->isEnabled() ? u"yes" : u"no";
    if (what == "stop requested") return StopRequested() ? u"yes" : u"no";
    if (what == "last step took") return lastStepMs < 5000 ? u"under 5 s" : ToU16(lastStepMs) + u" ms";
    if (what == "notes" && WaitUntil([this] { return notes.find(u", ") != std::u16string::npos; })) return notes;
    if (what == "line") return Has(want) ? want : u"(missing)";
    if (what == "no line") return Has(want) ? u"(found)" : want;
    if (what == "modal box") return QApplication::activeModalWidget() ? u"open" : u"none";
    if (what == "released in a load") return releasedInLoad ? u"yes" : u"no";
    if (what.starts_with("exists ")) return std::filesystem::exists(dir.file(arg)) ? u"yes" : u"no";
    if (what.starts_with("item ")) {
      const Texts items = Items();
      return items.at(std::stoi(arg) < 0 ? items.size() + std::stoi(arg) : std::stoi(arg));
    }
    if (what == "asked of") return Join(asked);
    if (what == "items") return ToU16(w->ResultItems().size());
    if (what == "flags") return std::u16string(service ? u"service" : u"-") + (overall ? u" overall" : u" -");
    if (what == "log") return Text("velkor1.log");
    if (what == "log lines as items arrive") return logged;
    if (what == "box text") return Cmb()->currentText().toStdU16String();
    if (what == "minute counter") return ToU16(w->MinuteCounter());
    if (what.starts_with("shown item ")) {
      return Child<QListWidget>("LstResult")->item(std::stoi(arg.substr(5)))->text().toStdU16String();
    }
    if (what == "entries") return ToU16(Cmb()->count());
    if (what == "focused") return w->focusWidget()->objectName().toStdU16String();
    if (what == "minute-timer") return timer->isActive() ? ToU16(timer->interval()) : u"off";
    if (what == "error" && Text("velkorERR1.log").find(w->ErrorText()) == std::u16string::npos) return u"(not logged)";
    if (what == "error") return w->ErrorText();
    if (what.starts_with("entry ")) return Cmb()->itemText(std::stoi(arg)).toStdU16String();
    if (what.starts_with("caption ")) return Caption(arg.c_str());
    const QColor lamp = what.starts_with("lamp ") ? Lamp(std::stoi(arg)) : QColor();
    if (lamp == w->GreyedTextColour()) return u"grey";
    if (lamp.isValid()) return QString("%1,%2,%3").arg(lamp.red()).arg(lamp.green()).arg(lamp.blue()).toStdU16String();
    ADD_FAILURE() << "no step is named " << what;
    return {};
  }
  static std::u16string Join(const std::vector<std::u16string>& texts) {
    std::u16string out;
    for (const std::u16string& text : texts) out += (out.empty() ? u"" : u" | ") + text;
    return out;
  }
  int loads = 0, runs = 0, quits = 0;
  int64_t lastStepMs = 0;
  bool service = true, overall = true, releasedInLoad = false;
  std::u16string notes;
  std::unique_ptr<ScriptServer> peer;
  DiagRunner* runner = nullptr;
  std::u16string logged;
  std::function<void()> duringLoad;
  std::vector<std::u16string> asked;
};

// The controls' places and captions are a table in tests/data/window-main-layout.cases.
TEST_F(FrmVelkorTest, LayoutInPixelsOfFifteenTwips) {
  OpenOn(nullptr);
  EXPECT_EQ(w->size(), QSize(693, 453));
  EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "fixed size";
  for (const Case& c : LoadCases("window-main-layout.cases")) {
    CASE_TRACE(c);
    const std::string name = c.name.substr(7);
    const std::vector<std::string> at = c.words("at");
    EXPECT_EQ(Child(name)->geometry(),
              QRect(std::stoi(at[0]) / 15, std::stoi(at[1]) / 15, std::stoi(at[2]) / 15, std::stoi(at[3]) / 15));
    const std::string text = c.get("text") == "''" ? "" : c.get("text");
    EXPECT_EQ(Child(name)->property("text").toString(), QString::fromStdString(text));
  }
  QWidget* diag = Child("CmdDiag");  // inside Picture1
  EXPECT_EQ(diag->geometry(), QRect(16, 8, 89, 25).translated(Child("Picture1")->contentsRect().topLeft()));
  EXPECT_EQ(diag->parentWidget()->objectName() + diag->property("text").toString(), QStringLiteral("Picture1Diag"));
  EXPECT_FALSE(Child("TxtTarget")->isVisible() || Child("CmdResultClear")->isVisible());
  EXPECT_EQ(Child("ChkService0")->toolTip() + Child("ChkService1")->toolTip(), "Ping(ICMP)Windows NetShareInfo");
  EXPECT_EQ(Child("LblTiTle2")->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_EQ(Child("LblTitle")->palette().color(QPalette::WindowText), QColor(128, 128, 128)) << "the shadow";
  EXPECT_EQ(QColor(w->grab().toImage().pixel(374, 119)), QColor(0xE0, 0xE0, 0xE0)) << "panel behind PING and NetBIOS";
}

// Loading, typing, selecting, the interval and the focus after a run: windows driven step by step by the "steps"
// cases of tests/data/window-main.cases.
TEST_F(FrmVelkorTest, StepsDriveTheWindow) {
  uint16_t silentPort = 0;
  const int silent = ListenOnLoopback(16, &silentPort);  // the kernel accepts; nobody ever answers
  ASSERT_GE(silent, 0);
  const std::map<std::string, Action> actions = Actions();
  for (const Case& c : CasesOf(LoadCases("window-main.cases", {{"SILENT", std::to_string(silentPort)}}), "steps ")) {
    CASE_TRACE(c);
    for (const char* file : {"VKRTARGET.INI", "velkor1.log", "vkrLastErr.log", "vkrRunErr.bat", "script-ran"}) {
      std::remove(dir.file(file).c_str());
    }
    settings.Interval.clear();
    settings.RunBat.clear();
    service = overall = true;
    releasedInLoad = false;
    notes.clear();
    peer.reset();
    for (const auto& [key, value] : c.fields) {
      const std::u16string text = FromUtf8(value == "''" ? "" : Unescape(value));
      const int64_t start = MonotonicMs();
      if (actions.count(key)) {
        actions.at(key)(QString::fromStdU16String(text));
        lastStepMs = MonotonicMs() - start;
      } else {
        EXPECT_EQ(ToUtf8(Probe(key, text)), ToUtf8(text)) << key;
      }
    }
    ClearStop();
  }
  close(silent);
}

// Every Japanese text the window shows must have its glyphs in the IPA font that draws it; the screenshot is for a
// person to look at.
TEST_F(FrmVelkorTest, JapaneseGlyphsAndScreenshot) {
  settings.Interval = u"5";
  OpenOn(u"mailsv:25:110:21:80\r\n");
  std::vector<std::pair<QString, QFont>> texts;
  for (QWidget* c : w->findChildren<QWidget*>())
    if (QString t = c->property("text").toString(); !t.isEmpty()) texts.emplace_back(t, c->font());
  texts.emplace_back(QStringLiteral("TargetHostを入力してください。【正常】【異常】［応答なし］チャレンジ port：定期監視なし"),
                     Child("LstResult")->font());
  for (const auto& [text, font] : texts) {
    const QRawFont raw = QRawFont::fromFont(font);
    EXPECT_TRUE(QFontInfo(font).family().startsWith(QStringLiteral("IPA"))) << text.toStdString();
    for (char32_t ch : text.toUcs4())
      EXPECT_TRUE(ch == U' ' || raw.supportsCharacter(ch)) << text.toStdString() << " U+" << std::hex << unsigned(ch);
  }
  EXPECT_TRUE(w->grab().save(QCoreApplication::applicationDirPath() + QStringLiteral("/frmvelkor.png")));
}

}  // namespace
