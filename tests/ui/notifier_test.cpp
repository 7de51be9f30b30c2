// Desktop notices on a private session bus of the test's own (a dbus-daemon
// whose configuration lists no service directories, so nothing is started by
// activation), with a recording notification service on it, and once with a
// real notification daemon (dunst under Xvfb); and the main window's runs,
// told on that bus and recorded in the history that Ctrl+H opens. The cases
// are in tests/data/notices-*.cases.
#include <gmock/gmock.h>
#include <signal.h>
#include <sqlite3.h>

#include <QtDBus>

#include "support/casefile.h"
#include "support/mainwindowfixture.h"
#include "ui/diagwiring.h"
#include "ui/historywindow.h"
#include "ui/notifier.h"
#include "util/appfiles.h"
#include "util/clock.h"

namespace {

// The first lines a command prints; the command runs on in the background.
std::vector<std::string> Lines(const std::string& command, size_t count) {
  std::vector<std::string> lines;
  FILE* p = popen(command.c_str(), "r");
  char buf[512];
  while (p && lines.size() < count && fgets(buf, sizeof buf, p)) {
    lines.emplace_back(buf);
    lines.back().erase(lines.back().find_last_not_of("\r\n") + 1);
  }
  if (p) pclose(p);
  return lines;
}

// Daemons a test started, ended with it.
struct Daemons {
  ~Daemons() {
    for (pid_t p : pids) kill(p, SIGTERM);
  }
  std::vector<pid_t> pids;
};

// org.freedesktop.Notifications that notes every Notify and answers it, or never answers.
class RecordingService : public QDBusVirtualObject {
 public:
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String("Notify")) return false;
    const QList<QVariant> a = message.arguments();
    if (a.size() == 8) notices.push_back(a[3].toString() + "|" + a[4].toString());
    if (!silent) connection.send(message.createReply(QVariant::fromValue(uint(notices.size()))));
    return true;
  }
  QString introspect(const QString&) const override { return {}; }
  QStringList notices;
  bool silent = false;
};

class NoticesTest : public MainWindowTest {
 public:
  // A dbus-daemon of the suite's own, configured by tests/data/notices-bus.cases.
  static void SetUpTestSuite() {
    std::string conf;
    for (const std::string& line : LoadCases("notices-bus.cases", {{"DIR", busDir.path()}}).at(0).all("line"))
      conf += line + "\n";
    WriteBytes(busDir.file("bus.conf"), conf);
    bus = Lines("dbus-daemon --fork --print-address=1 --print-pid=1 --config-file=" + busDir.file("bus.conf") +
                " 2>/dev/null", 2);
  }
  static void TearDownTestSuite() {
    if (bus.size() == 2) kill(std::stoi(bus[1]), SIGTERM);
  }
  void SetUp() override {
    MainWindowTest::SetUp();
    ASSERT_EQ(bus.size(), 2u) << "dbus-daemon did not start (package dbus-daemon)";
    setenv("DBUS_SESSION_BUS_ADDRESS", bus[0].c_str(), 1);
    service = QDBusConnection::connectToBus(QString::fromStdString(bus[0]), "svc");
    ASSERT_TRUE(service.isConnected());
    ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/Notifications", &recorder));
    // A real daemon that held the name before may not have let go of it yet.
    ASSERT_TRUE(WaitUntil([this] { return service.registerService("org.freedesktop.Notifications"); }));
  }
  void TearDown() override {
    service.unregisterService("org.freedesktop.Notifications");
    service.unregisterObject("/org/freedesktop/Notifications");
    QDBusConnection::disconnectFromBus("svc");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    MainWindowTest::TearDown();
  }
  static inline TempDir busDir;
  static inline std::vector<std::string> bus;  // its address and its daemon's pid
  RecordingService recorder;
  QDBusConnection service{QString()};
};

// Xvfb, and dunst on it in the recording service's place.
void StartRealDaemon(Daemons& daemons, QDBusConnection& service) {
  service.unregisterService("org.freedesktop.Notifications");
  const auto xvfb = Lines("sh -c 'Xvfb -displayfd 3 -nolisten tcp 3>&1 1>/dev/null 2>&1 & echo $!' ", 2);
  ASSERT_EQ(xvfb.size(), 2u) << "Xvfb did not start";
  daemons.pids.push_back(std::atoi(xvfb[0].c_str()));
  const auto dunst = Lines("DISPLAY=:" + xvfb[1] + " dunst >/dev/null 2>&1 & echo $!", 1);
  ASSERT_EQ(dunst.size(), 1u);
  daemons.pids.push_back(std::atoi(dunst[0].c_str()));
  WaitUntil([&] { return service.interface()->isServiceRegistered("org.freedesktop.Notifications").value(); }, 10000);
}

// Notices straight from a notifier, and from the main window's runs, which also reach the history; the cases are
// in tests/data/notices-desktop.cases.
TEST_F(NoticesTest, StepsOfEachCase) {
  for (const Case& c : LoadCases("notices-desktop.cases")) {
    CASE_TRACE(c);
    std::optional<Daemons> daemons;
    bool smtpAnswers = true;
    int64_t now = 1'800'000'000;
    qint64 waited = INT64_MAX;
    std::vector<std::string> out, expected;
    for (size_t i = 0; i < c.fields.size(); ++i) {
      const std::string& key = c.fields[i].first;
      const std::string value = Unescape(c.fields[i].second);
      expected.push_back(key + ": " + value);
      static const std::set<std::string> shown{"answered", "heard", "logged", "told",
                                               "entry",    "shown", "strip"};
      if (!shown.contains(key)) out.push_back(expected.back());
      if (key == "before") {
        recorder.silent = value == "silent";
        if (value == "unregister") service.unregisterService("org.freedesktop.Notifications");
        if (value == "unset") unsetenv("DBUS_SESSION_BUS_ADDRESS");
        if (value.starts_with("address ")) setenv("DBUS_SESSION_BUS_ADDRESS", value.substr(8).c_str(), 1);
        if (value == "dunst") StartRealDaemon(daemons.emplace(), service);
      }
      if (key == "notify") {
        // Two starts of the program: the first sends one notice, the second two at once.
        const QStringList notice = QString::fromStdString(value).split('|');
        out.push_back("answered:");
        for (int notices = 1; notices <= 2; ++notices) {
          DesktopNotifier notifier;
          std::vector<bool> answers;
          notifier.SetAnswered([&](bool ok, const QString&) { answers.push_back(ok); });
          QElapsedTimer clock;
          clock.start();
          for (int n = 0; n < notices; ++n) notifier.Notify(notice.value(0), notice.value(1));
          EXPECT_LT(clock.elapsed(), 500) << "Notify returns at once";
          WaitUntil([&] { return answers.size() == size_t(notices); });
          waited = std::min(waited, clock.elapsed());
          for (bool ok : answers) out.back() += ok ? " yes" : " no";
        }
        if (!recorder.notices.isEmpty()) out.push_back("heard: " + recorder.notices[0].toStdString());
        // One line per start of the program: here, per notifier.
        const std::u16string log = Text("velkorERR1.log");
        int lines = 0;
        for (size_t at = 0; (at = log.find(u"デスクトップ通知を出せません", at)) != std::u16string::npos; ++at) ++lines;
        if (lines) out.push_back("logged: " + std::to_string(lines));
        EXPECT_FALSE(QDBusConnection(QStringLiteral("velkor-notices")).isConnected());
      }
      if (key == "waited" && waited < std::stoll(value)) out.push_back("only: " + std::to_string(waited));
      if (key == "window") {
        Open([&] {
          DiagChecks checks;
          checks.smtp = [&](auto&, auto&, TlsMode, auto&) { return smtpAnswers; };
          checks.pop = [](auto&, auto&, TlsMode, auto&, auto&, auto&) { return true; };
          checks.ftp = [](auto&, auto&, TlsMode, auto&, auto&, auto&) { return true; };
          checks.http = [](auto&, auto&, TlsMode, auto&) { return true; };
          InstallDiagRunner(*w, checks);
        });
        Edit()->setText(QString::fromStdString(value));
        SetUnixNowHook([&now] { return now += 60; });  // a run a minute
      }
      if (key == "run") {
        recorder.notices.clear();
        recorder.silent = value.ends_with("silent");
        smtpAnswers = value.starts_with("P");
        QElapsedTimer clock;
        clock.start();
        if (value.ends_with("enter"))
          QTest::keyClick(Edit(), Qt::Key_Return);
        else
          QTest::mouseClick(Child("CmdDiag"), Qt::LeftButton);
        EXPECT_LT(clock.elapsed(), 1000) << "a run never waits for the notice";
        if (i + 1 < c.fields.size() && c.fields[i + 1].first == "told")
          WaitUntil([&] { return !recorder.notices.isEmpty(); });
        QTest::qWait(500);  // and nothing more comes
        if (!recorder.notices.isEmpty()) out.push_back("told: " + recorder.notices.join("").toStdString());
      }
      if (key == "recorded") {
        // Written on the history's own thread: read again until every run is there (5 s at most).
        std::string how;
        WaitUntil([&] {
          sqlite3* db = nullptr;
          sqlite3_open_v2(ToUtf8(StateFilePath(kHistoryFileName)).c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
          how.clear();
          sqlite3_exec(db, "SELECT how FROM runs ORDER BY id", [](void* how, int, char** v, char**) {
            return *static_cast<std::string*>(how) += v[0], 0;
          }, &how, nullptr);
          sqlite3_close(db);
          return how.size() >= value.size();
        });
        out.back() = "recorded: " + how;
      }
      if (key == "ctrl-h") {
        EXPECT_EQ(OpenHistoryWindow(*w), nullptr);
        Edit()->setFocus();
        QTest::keyClick(Edit(), Qt::Key_H, Qt::ControlModifier);
        const HistoryWindow* opened = OpenHistoryWindow(*w);
        out.push_back("entry: " + Edit()->text().toStdString());
        const bool visible = opened && opened->isVisible();
        out.push_back("shown: " + (visible ? opened->Target().toStdString() : "nothing"));
        for (size_t r = 0; opened && r < opened->Strip()->Rows(); ++r) {
          out.push_back("strip: " + opened->Strip()->RowText(r).toStdString() + "|");
          for (const auto& cell : opened->Strip()->Cells(r)) out.back() += "PFSN"[static_cast<int>(cell.state)];
        }
      }
    }
    EXPECT_THAT(out, testing::ElementsAreArray(expected));
    SetUnixNowHook(nullptr);
    daemons.reset();
    TearDown();  // the history window goes with the main window
    WriteBytes(dir.file("velkorERR1.log"), "");
    recorder.notices.clear();
    recorder.silent = false;
    SetUp();
  }
}

}  // namespace
