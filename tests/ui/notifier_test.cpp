// The window side of a run's end, offscreen, on a private session bus of the
// test's own (a dbus-daemon whose configuration lists no service directories,
// so nothing is started by activation) with a recording notification service
// on it, and once with a real notification daemon (dunst under Xvfb): desktop
// notices; the main window's runs, told on that bus and recorded in the
// history that Ctrl+H opens; and the history window on planted histories (the
// strip, the uptime, the down periods and the chart's points as drawn). The
// cases are steps in tests/data/notices-desktop.cases and
// history-window.cases, run by one engine.
#include <gmock/gmock.h>
#include <signal.h>
#include <sqlite3.h>

#include <QtDBus>

#include "support/mainwindowfixture.h"
#include "ui/historywindow.h"
#include "ui/notifier.h"
#include "util/appfiles.h"

namespace {

constexpr int64_t kNow = 1795996800;  // the planted histories' "now", a whole day
using Strings = std::vector<std::string>;

// "3000 mailsv stopped SMTP:25:F:0.3:refused", as the cases write a run.
RunOutcome RunOf(const std::string& raw) {
  const Strings w = Case{"", "", {{"w", raw}}}.words("w");
  RunOutcome r{.target = FromUtf8(w.at(1)), .startedUnix = kNow - std::stoll(w[0]), .stopped = w.at(2) == "stopped",
               .checks = {}};
  for (size_t i = r.stopped ? 3 : 2; i < w.size(); ++i) {
    const QStringList f = QString::fromStdString(w[i]).split(':');
    r.checks.push_back({f[0].toStdU16String(), f[1].toStdU16String(), f[2] == "P", f[3].toDouble(),
                        f.value(4).toStdU16String(), std::nullopt});
  }
  return r;
}

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

class WindowSteps : public MainWindowTest {
 public:
  // A dbus-daemon of the suite's own, configured by tests/data/notices-bus.cases.
  static void SetUpTestSuite() {
    std::string conf;
    for (const std::string& line : LoadCases("notices-bus.cases", {{"DIR", busDir.path()}}).at(0).all("line"))
      conf += line + "\n";
    WriteBytes(busDir.file("bus.conf"), conf);
    QProcess daemon;
    const QString config = QString::fromStdString(busDir.file("bus.conf"));
    daemon.start("dbus-daemon", {"--fork", "--print-address=1", "--print-pid=1", "--config-file=" + config});
    daemon.waitForFinished();
    bus = QString::fromUtf8(daemon.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
  }
  static void TearDownTestSuite() {
    if (bus.size() == 2) kill(bus[1].toInt(), SIGTERM);
  }
  void SetUp() override {
    MainWindowTest::SetUp();
    ASSERT_EQ(bus.size(), 2) << "dbus-daemon did not start (package dbus-daemon)";
    setenv("DBUS_SESSION_BUS_ADDRESS", bus[0].toUtf8().constData(), 1);
    service = QDBusConnection::connectToBus(bus[0], "svc");
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
  void RunCases(const std::string& file);
  static inline TempDir busDir;
  static inline QStringList bus;  // its address and its daemon's pid
  RecordingService recorder;
  QDBusConnection service{QString()};
};

// Each case's steps and what they showed, against the case; after each, the bus, the service and the error log are
// as at the start again, and a history of the case's own is left behind.
void WindowSteps::RunCases(const std::string& file) {
  setenv("TZ", "UTC", 1);  // the down periods' local times, as the cases write them
  tzset();
  static const std::map<std::string, HistorySpan> spans{{"hour", HistorySpan::Hour}, {"day", HistorySpan::Day},
                                                        {"week", HistorySpan::Week}, {"days90", HistorySpan::Days90}};
  static const std::set<std::string> shown{"answered", "heard",  "logged", "told", "entry", "targets",
                                           "status",   "strip", "down",   "top",  "axis", "point"};
  for (const Case& c : LoadCases(file)) {
    CASE_TRACE(c);
    QProcess xvfb, dunst;
    int64_t now = 1'800'000'000;
    qint64 waited = INT64_MAX;
    std::unique_ptr<HistoryWindow> own;
    HistoryWindow* win = nullptr;
    Strings out, expected;
    for (size_t i = 0; i < c.fields.size(); ++i) {
      const std::string& key = c.fields[i].first;
      const std::string value = Unescape(c.fields[i].second);
      expected.push_back(key + ": " + value);
      if (!shown.contains(key)) out.push_back(expected.back());
      if (key == "before") {
        recorder.silent = value == "silent";
        if (value == "unregister") service.unregisterService("org.freedesktop.Notifications");
        if (value == "unset") unsetenv("DBUS_SESSION_BUS_ADDRESS");
        if (value.starts_with("address ")) setenv("DBUS_SESSION_BUS_ADDRESS", value.substr(8).c_str(), 1);
      }
      if (key == "before" && value == "dunst") {
        // Xvfb, and dunst on it in the recording service's place (unregistered before), until the case ends.
        xvfb.start("Xvfb", {"-displayfd", "1", "-nolisten", "tcp"});
        EXPECT_TRUE(xvfb.waitForReadyRead(10000)) << "Xvfb did not start";
        dunst.setEnvironment(QProcess::systemEnvironment() << "DISPLAY=:" + QString(xvfb.readLine().trimmed()));
        dunst.start("dunst", {});
        WaitUntil([&] { return service.interface()->isServiceRegistered("org.freedesktop.Notifications").value(); },
                  10000);
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
        if (const int lines = Logged("デスクトップ通知を出せません", "velkorERR1.log"))
          out.push_back("logged: " + std::to_string(lines));
        EXPECT_FALSE(QDBusConnection(QStringLiteral("velkor-notices")).isConnected());
      }
      if (key == "waited" && waited < std::stoll(value)) out.push_back("only: " + std::to_string(waited));
      if (key == "window") {
        Open([&] { InstallDiagRunner(*w, NotingChecks()); });
        Edit()->setText(QString::fromStdString(value));
        SetUnixNowHook([&now] { return now += 60; });  // a run a minute
      }
      if (key == "run") {
        recorder.notices.clear();
        recorder.silent = value.ends_with("silent");
        smtpFails = !value.starts_with("P");
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
        win = OpenHistoryWindow(*w);
        out.push_back("entry: " + Edit()->text().toStdString());
        EXPECT_TRUE(win && win->isVisible());
      }
      if (key == "plant") {
        EXPECT_TRUE(HistoryStore(dir.file(c.where + ".db"), {}, nullptr).Record(RunOf(c.fields[i].second)));
      }
      if (key == "open") {
        if (value == "text") WriteBytes(dir.file("text.db"), std::string(3000, 'x'));
        const std::string db = dir.file(value == "planted" ? c.where + ".db" : value + ".db");
        own = std::make_unique<HistoryWindow>(db, [] { return kNow; });
        own->resize(900, 700);
        own->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(own.get()));
        win = own.get();
      }
      if (!win) continue;
      if (key == "open" || key == "ctrl-h") {
        out.push_back("targets: ");
        for (int t = 0; t < win->TargetBox()->count(); ++t)
          out.back() += (t ? " " : "") + win->TargetBox()->itemText(t).toStdString();
        EXPECT_EQ(win->Target(), win->TargetBox()->itemText(0));
      }
      if (key == "target") {
        EXPECT_TRUE(win->SetTarget(FromUtf8(value)));
      }
      if (key == "span") win->SetSpan(spans.at(value));
      if (key == "show" && value == "strip") {
        if (win->Status()->isVisible()) out.push_back("status: " + win->Status()->text().toStdString());
        const HistoryStrip& strip = *win->Strip();
        for (size_t r = 0; r < strip.Rows(); ++r) {
          const auto& cells = strip.Cells(r);
          out.push_back("strip: " + strip.RowText(r).toStdString() + "|");
          // Side by side, oldest on the left, within the widget, centred in their 18-pixel row.
          for (size_t n = 0; n < cells.size(); ++n) {
            out.back() += "PFSN"[static_cast<int>(cells[n].state)];
            EXPECT_TRUE(n == 0 || cells[n].rect.left() > cells[n - 1].rect.right());
            EXPECT_LE(cells[n].rect.right(), strip.width());
            EXPECT_EQ(cells[n].rect.top(), 18 * static_cast<int>(r) + 3);
            EXPECT_EQ(cells[n].rect.height(), 18 - 6);
          }
        }
      }
      for (int r = 0; key == "show" && value == "downs" && r < win->Downs()->rowCount(); ++r) {
        out.push_back("down: ");
        for (int col = 0; col < win->Downs()->columnCount(); ++col)
          out.back() += (col ? "|" : "") + win->Downs()->item(r, col)->text().toStdString();
      }
      if (key == "show" && value == "chart") {
        const HistoryChart& chart = *win->Chart();
        const QRectF plot = chart.PlotArea();
        EXPECT_TRUE(QRectF(chart.rect()).contains(plot));
        out.push_back("top: " + QString::number(chart.TopSeconds()).toStdString());
        out.push_back("axis: " + chart.AxisLabels().join(" | ").toStdString());
        // Each point back in the span's seconds before now and in answer seconds.
        for (const auto& series : chart.Drawn())
          for (const QPointF& p : series.points)
            out.push_back(QStringLiteral("point: %1 %2 %3")
                              .arg(SpanSeconds(win->Span()) * (1 - (p.x() - plot.left()) / plot.width()), 0, 'g', 7)
                              .arg(chart.TopSeconds() * (plot.bottom() - p.y()) / plot.height(), 0, 'g', 6)
                              .arg(series.label)
                              .toStdString());
      }
    }
    EXPECT_THAT(out, testing::ElementsAreArray(expected));
    SetUnixNowHook(nullptr);
    dunst.close();
    xvfb.close();
    TearDown();  // a history window the main window opened goes with it
    WriteBytes(dir.file("velkorERR1.log"), "");
    recorder.notices.clear();
    recorder.silent = false;
    SetUp();
  }
}

}  // namespace

// Notices straight from a notifier, and from the main window's runs, which also reach the history.
TEST_F(WindowSteps, DesktopNotices) { RunCases("notices-desktop.cases"); }

// What the history window shows of a planted history.
TEST_F(WindowSteps, HistoryWindow) { RunCases("history-window.cases"); }
