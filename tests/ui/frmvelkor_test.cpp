// The main window driven through its real widgets.
#include <unistd.h>

#include "support/casefile.h"
#include "support/mainwindowfixture.h"
#include "ui/diagwiring.h"
#include "util/clock.h"
#include "util/errreport.h"
#include "util/xcommon.h"

namespace {

const std::u16string kStamp = u"2024/03/05 07:08:09 * ";
const std::u16string kAskTarget = kStamp + u"[TargetHost] TargetHostを入力してください。\r\n";

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
    InstallDiagRunner(*w, c);
  }
  QComboBox* Cmb() const { return Child<QComboBox>("CmbHosts"); }
  std::u16string Caption(const char* label) const { return Child<QLabel>(label)->text().toStdU16String(); }
  // A key as the window system delivers it: queued, handled when the event loop next runs.
  static void PostKey(QWidget* to, int key, const QString& text = {}) {
    QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier, text));
  }
  void CloseNextBox() {
    QTimer::singleShot(0, [] { if (QWidget* box = QApplication::activeModalWidget()) box->close(); });
  }
  // What an entry leaves behind: target, ticks, ports, and the result list.
  std::u16string State() const {
    std::u16string s = Child<QLineEdit>("TxtTarget")->text().toStdU16String() + u" ";
    for (int i = 0; i < kServiceCount; ++i) s += char16_t(u'0' + w->ChkServiceValue(i));
    const SystemSettingsRecord& p = SystemSettings;
    return s + u" " + p.SmtpPort + u"/" + p.PopPort + u"/" + p.FtpPort + u"/" + p.HttpPort + u" " + w->GetResultText();
  }
  // One action of a "steps" case (tests/data/window-main.cases says what each does); false when the key names
  // none, and is then what the window should show.
  bool Act(const std::string& key, const std::u16string& text) {
    const QString value = QString::fromStdU16String(text);
    if (key == "list") {
      WriteBytes(dir.file("VKRTARGET.INI"), ToAnsi(text));
    } else if (key == "self-link") {
      EXPECT_EQ(symlink(dir.file("VKRTARGET.INI").c_str(), dir.file("VKRTARGET.INI").c_str()), 0);
    } else if (key == "settings interval") {
      settings.Interval = text;
    } else if (key == "open") {
      loads = runs = 0;
      asked.clear();
      OpenOn(nullptr, text == u"real");
      logged.clear();
      QObject::connect(Child<QListWidget>("LstResult")->model(), &QAbstractItemModel::rowsInserted, w.get(), [this] {
        const std::u16string log = Text("velkor1.log");
        size_t n = 0;
        for (size_t at = 0; (at = log.find(u" *** ", at)) != std::u16string::npos; ++at) ++n;
        logged += (logged.empty() ? u"" : u" ") + ToU16(n);
      });
    } else if (key == "type") {
      Cmb()->setFocus();
      QTest::keyClicks(Cmb(), value);
    } else if (key == "preedit" || key == "commit") {
      QInputMethodEvent event(key == "preedit" ? value : QString(), {});
      if (key == "commit") event.setCommitString(value);
      Cmb()->setFocus();
      QApplication::sendEvent(Cmb(), &event);
    } else if (key == "key" && value.size() == 1) {
      QTest::keyClick(w->focusWidget(), value[0].toLatin1());
    } else if (key == "key") {
      QTest::keyClick(w->focusWidget(), value == "Down" ? Qt::Key_Down : Qt::Key_Return);
    } else if (key == "post keys") {
      for (QChar c : value) PostKey(Cmb(), c.unicode(), QString(c));
      QCoreApplication::processEvents();
    } else if (key == "on the next load") {
      duringLoad = [this, value] {
        QComboBox* box = Cmb();  // the closure ends with the next line: only locals after it
        const QStringList whats = value.split(' ');
        duringLoad = nullptr;
        for (const QString& what : whats) {
          if (what == "Return") PostKey(box, Qt::Key_Return);
          if (what == "click") QTimer::singleShot(0, box->window()->findChild<QPushButton*>("CmdDiag"), &QPushButton::click);
        }
      };
    } else if (key == "click") {
      QTest::mouseClick(Child(value.toStdString()), Qt::LeftButton);
      Events(5);
    } else if (key == "events") {
      Events();
    } else if (key == "settings dialog") {  // accepted at once, leaving this user and interval
      w->SetSettingsAction([this, user = text.substr(0, text.find(u' ')), interval = text.substr(text.find(u' ') + 1)] {
        QDialog dialog(w.get());
        QTimer::singleShot(0, &dialog, &QDialog::accept);
        dialog.exec();
        SystemSettings.UserName = user;
        SystemSettings.Interval = interval;
      });
    } else if (key == "switch away and back") {
      QEvent deactivate(QEvent::WindowDeactivate), activate(QEvent::WindowActivate);
      QApplication::sendEvent(w.get(), &deactivate);
      QApplication::sendEvent(w.get(), &activate);
    } else if (key == "enabled") {
      w->setEnabled(value == "yes");
    } else if (key == "message box" && value.isEmpty()) {
      CloseNextBox();
      ShowMessageBox(u"テスト");
      Events(5);
    } else if (key == "message box") {  // closed after this many ms, the minute timer stopped first
      QTimer::singleShot(value.toInt(), [this] {
        w->TimerInterval()->stop();
        if (QWidget* box = QApplication::activeModalWidget()) box->close();
      });
      ShowMessageBox(u"テスト");
    } else if (key == "tick ms") {
      w->SetMonitorTickMs(value.toInt());
    } else if (key == "set minute counter") {
      w->SetMinuteCounter(value.toInt());
    } else if (key == "wait for runs") {
      EXPECT_TRUE(WaitUntil([this, value] { return Runs() == value.toInt(); }));
    } else if (key == "add line") {
      w->AddResultLine(text);
    } else if (key == "header") {
      w->PutServiceHeader(text.substr(0, text.find(u' ')), text.substr(text.find(u' ') + 1));
    } else if (key == "check passed" || key == "check failed") {
      w->PutCheckResult(text.substr(0, text.find(u' ')), 2, key == "check passed", service, overall,
                        text.find(u' ') == std::u16string::npos ? u"" : text.substr(text.find(u' ') + 1));
    } else if (key == "focus") {
      Child(value.toStdString())->setFocus();
    } else if (key.starts_with("tick ")) {
      w->SetChkServiceValue(std::stoi(key.substr(5)), value.toInt());
    } else if (key == "interval") {
      SystemSettings.Interval = text;
    } else if (key == "activate") {
      w->Form_Activate();
    } else if (key == "timer") {
      w->TimerInterval_Timer();
    } else {
      return false;
    }
    return true;
  }
  // What an expectation of a "steps" case reads from the window, as text.
  std::u16string Probe(const std::string& what) const {
    const std::string arg = what.substr(what.find(' ') + 1);
    const QTimer* timer = w->TimerInterval();
    if (what == "state") return State();
    if (what == "result") return w->GetResultText();
    if (what == "loads") return ToU16(loads);
    if (what == "runs") return ToU16(runs);
    if (what == "logged") return ToU16(Runs());
    if (what == "asked") return ToU16(asked.size());
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
  int loads = 0, runs = 0;
  bool service = true, overall = true;
  std::u16string logged;
  std::function<void()> duringLoad;
  std::vector<std::u16string> asked;
};

// The controls' places and captions are a table in tests/data/window-main.cases.
TEST_F(FrmVelkorTest, LayoutInPixelsOfFifteenTwips) {
  OpenOn(nullptr);
  EXPECT_EQ(w->size(), QSize(693, 453));
  EXPECT_EQ(w->minimumSize(), w->maximumSize()) << "fixed size";
  for (const Case& c : CasesOf(LoadCases("window-main.cases"), "layout ")) {
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
  for (const Case& c : CasesOf(LoadCases("window-main.cases"), "steps ")) {
    CASE_TRACE(c);
    std::remove(dir.file("VKRTARGET.INI").c_str());
    std::remove(dir.file("velkor1.log").c_str());
    settings.Interval.clear();
    service = overall = true;
    for (const auto& [key, value] : c.fields) {
      const std::u16string text = FromUtf8(value == "''" ? "" : Unescape(value));
      if (!Act(key, text)) {
        EXPECT_EQ(ToUtf8(Probe(key)), ToUtf8(text)) << key;
      }
    }
  }
}

// Every Japanese text the window shows must have its glyphs in the IPA font that draws it; the screenshot is for a person to look at.
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
