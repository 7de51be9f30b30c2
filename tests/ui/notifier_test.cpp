// Desktop notices on a private session bus of the test's own (a dbus-daemon
// whose configuration lists no service directories, so nothing is started by
// activation), with a recording notification service on it, and once with a
// real notification daemon (dunst under Xvfb).
#include <signal.h>
#include <unistd.h>

#include <QtDBus>
#include <fstream>

#include "support/mainwindowfixture.h"
#include "ui/diagwiring.h"
#include "ui/notifier.h"
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

struct PrivateBus {
  PrivateBus() {
    std::ofstream(dir.file("bus.conf"))
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:dir="
        << dir.path()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    const auto out = Lines("dbus-daemon --config-file=" + dir.file("bus.conf") + " --nofork --print-address=1 >" +
                           dir.file("address") + " 2>/dev/null & echo $!", 1);
    if (out.size() == 1) pid = std::atoi(out[0].c_str());
    for (int i = 0; i < 100 && address.find(',') == std::string::npos; ++i) {
      usleep(50000);
      std::getline(std::ifstream(dir.file("address")) >> std::ws, address);
    }
  }
  ~PrivateBus() {
    if (pid > 0) kill(pid, SIGTERM);
  }
  TempDir dir;
  std::string address;
  pid_t pid = 0;
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
  static void SetUpTestSuite() { bus = new PrivateBus; }
  static void TearDownTestSuite() { delete bus, bus = nullptr; }
  void SetUp() override {
    MainWindowTest::SetUp();
    ASSERT_FALSE(bus->address.empty()) << "dbus-daemon did not start (package dbus-daemon)";
    setenv("DBUS_SESSION_BUS_ADDRESS", bus->address.c_str(), 1);
    service = QDBusConnection::connectToBus(QString::fromStdString(bus->address), "svc");
    ASSERT_TRUE(service.isConnected());
    ASSERT_TRUE(service.registerVirtualObject("/org/freedesktop/Notifications", &recorder));
    ASSERT_TRUE(service.registerService("org.freedesktop.Notifications"));
  }
  void TearDown() override {
    service.unregisterService("org.freedesktop.Notifications");
    service.unregisterObject("/org/freedesktop/Notifications");
    QDBusConnection::disconnectFromBus("svc");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    MainWindowTest::TearDown();
  }
  static PrivateBus* bus;
  RecordingService recorder;
  QDBusConnection service{QString()};
};
PrivateBus* NoticesTest::bus = nullptr;

TEST_F(NoticesTest, AnswersFailuresAndTheirOneErrorLogLine) {
  const struct {
    const char* name;
    std::function<void(NoticesTest&)> before;
    bool ok;
    int waitAtLeastMs;
  } rows[] = {
      {"delivered", [](NoticesTest&) {}, true, 0},
      {"a service that never answers is dropped after 2 s", [](NoticesTest& t) { t.recorder.silent = true; }, false,
       kNoticeCallTimeoutMs - 100},
      {"no service on the bus", [](NoticesTest& t) { t.service.unregisterService("org.freedesktop.Notifications"); },
       false, 0},
      {"no bus: the variable unset", [](NoticesTest&) { unsetenv("DBUS_SESSION_BUS_ADDRESS"); }, false, 0},
      {"no bus: nothing listens there",
       [](NoticesTest&) { setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1); }, false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    row.before(*this);
    for (int twice = 0; twice < 2; ++twice) {
      DesktopNotifier notifier;
      std::optional<bool> answer;
      notifier.SetAnswered([&](bool ok, const QString&) { answer = ok; });
      QElapsedTimer clock;
      clock.start();
      notifier.Notify("mx： 異常があります", "SMTP 25 【異常】");
      EXPECT_LT(clock.elapsed(), 500) << "Notify returns at once";
      WaitUntil([&] { return answer.has_value(); });
      ASSERT_TRUE(answer.has_value());
      EXPECT_EQ(*answer, row.ok);
      EXPECT_GE(clock.elapsed(), row.waitAtLeastMs);
    }
    if (row.ok) {
      EXPECT_EQ(recorder.notices.value(0), "mx： 異常があります|SMTP 25 【異常】");
    }
    // One line per start of the program: here, per notifier.
    const std::u16string log = Text("velkorERR1.log");
    int lines = 0;
    for (size_t at = 0; (at = log.find(u"デスクトップ通知を出せません", at)) != std::u16string::npos; ++at) ++lines;
    EXPECT_EQ(lines, row.ok ? 0 : 2);
    if (!row.ok) {
      EXPECT_FALSE(QDBusConnection(QStringLiteral("velkor-notices")).isConnected());
    }
    TearDown();
    WriteBytes(dir.file("velkorERR1.log"), "");
    recorder.notices.clear();
    recorder.silent = false;
    SetUp();
  }
}

// The window's runs: a failure and a recovery are told, a run that changed
// nothing is not, and a service that never answers does not hold up a run.
TEST_F(NoticesTest, TheWindowTellsAChangeAfterItsRun) {
  bool smtpAnswers = true;
  DiagRunner* runner = nullptr;
  Open([&] {
    DiagChecks checks;
    checks.smtp = [&](auto&, auto&, TlsMode, auto&) { return smtpAnswers; };
    runner = &InstallDiagRunner(*w, checks);
  });
  for (int i = 0; i < kServiceCount; ++i) w->SetChkServiceValue(i, i == 2 ? 1 : 0);
  Edit()->setText("Mail.Example");
  const struct {
    bool answers;
    bool silentService;
    const char* told;  // what the service has heard after the run
  } runs[] = {
      {true, false, ""},                                                  // first run: nothing to compare
      {false, false, "Mail.Example： 異常があります|SMTP 25 【異常】"},    // failed
      {false, false, ""},                                                 // no change
      {true, false, "Mail.Example： 復旧しました|SMTP 25 【復旧】 停止していた時間： 2 分"},
      {false, true, "Mail.Example： 異常があります|SMTP 25 【異常】"},    // heard, never answered
  };
  int64_t now = 1'800'000'000;
  SetUnixNowHook([&now] { return now += 60; });  // a run a minute
  for (const auto& r : runs) {
    recorder.notices.clear();
    recorder.silent = r.silentService;
    smtpAnswers = r.answers;
    QElapsedTimer clock;
    clock.start();
    runner->CmdDiag_Click();
    EXPECT_LT(clock.elapsed(), 1000) << "a run never waits for the notice";
    if (*r.told) WaitUntil([&] { return !recorder.notices.isEmpty(); });
    QTest::qWait(500);  // and nothing more comes
    EXPECT_EQ(recorder.notices.join("").toStdString(), r.told);
  }
  SetUnixNowHook(nullptr);
}

// A real notification daemon accepts what the window sends.
TEST_F(NoticesTest, ARealNotificationDaemonTakesTheNotice) {
  service.unregisterService("org.freedesktop.Notifications");
  const auto xvfb = Lines("sh -c 'Xvfb -displayfd 3 -nolisten tcp 3>&1 1>/dev/null 2>&1 & echo $!' ", 2);
  ASSERT_EQ(xvfb.size(), 2u) << "Xvfb did not start";
  struct Ends {  // the daemons go however the test ends
    std::vector<pid_t> pids;
    ~Ends() {
      for (pid_t p : pids) kill(p, SIGTERM);
    }
  } daemons{{std::atoi(xvfb[0].c_str())}};
  const auto dunst = Lines("DISPLAY=:" + xvfb[1] + " dunst >/dev/null 2>&1 & echo $!", 1);
  ASSERT_EQ(dunst.size(), 1u);
  daemons.pids.push_back(std::atoi(dunst[0].c_str()));
  WaitUntil([&] { return service.interface()->isServiceRegistered("org.freedesktop.Notifications").value(); }, 10000);
  DesktopNotifier notifier;
  std::optional<bool> answer;
  QString why;
  notifier.SetAnswered([&](bool ok, const QString& w) { answer = ok, why = w; });
  notifier.Notify("mx： 異常があります", "SMTP 25 【異常】 connection refused");
  WaitUntil([&] { return answer.has_value(); });
  ASSERT_TRUE(answer.has_value());
  EXPECT_TRUE(*answer) << why.toStdString();
}

}  // namespace
