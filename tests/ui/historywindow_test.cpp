// The history window on a planted database, offscreen: the strip, the uptime,
// the down periods and the chart's points as drawn; and the main window's
// runs reaching the history, opened with Ctrl+H.
#include "ui/historywindow.h"

#include <sqlite3.h>

#include "support/mainwindowfixture.h"
#include "ui/diagwiring.h"
#include "util/appfiles.h"
#include "util/clock.h"

namespace {

constexpr int64_t kNow = 1795996800;  // a whole day

std::string States(const HistoryStrip& strip, size_t row) {
  std::string s;
  for (const auto& cell : strip.Cells(row)) s += "PFSN"[static_cast<int>(cell.state)];
  return s;
}

class HistoryWindowTest : public ::testing::Test {
 protected:
  // SMTP up, down (refused), up, down (timed out), up; PING throughout; then a stopped run, and a run of another
  // target.
  void SetUp() override {
    {
      HistoryStore store(dir.file("h.db"), {}, nullptr);
      auto check = [](const char16_t* service, const char16_t* port, bool passed, double s, const char16_t* why) {
        return RunCheckOutcome{service, port, passed, s, why, std::nullopt};
      };
      const bool smtp[] = {true, true, false, false, true, true, false, true};
      for (int i = 0; i < 8; ++i) {
        const char16_t* why = i == 6 ? u"connect timed out after 10 s" : smtp[i] ? u"" : u"connection refused";
        store.Record({.target = u"mailsv", .startedUnix = kNow - 3000 + i * 300,
                      .checks = {check(u"PING", u"", true, 0.05, u""),
                                 check(u"SMTP", u"25", smtp[i], 0.1 * (i + 1), why)}});
      }
      store.Record({.target = u"mailsv", .startedUnix = kNow - 300, .stopped = true,
                    .checks = {check(u"SMTP", u"25", false, 9, u"")}});
      store.Record({.target = u"other", .startedUnix = kNow - 60, .checks = {check(u"HTTP", u"80", true, 0.2, u"")}});
    }
    win = std::make_unique<HistoryWindow>(dir.file("h.db"), [] { return kNow; });
    win->resize(900, 700);
    win->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(win.get()));
  }
  TempDir dir;
  std::unique_ptr<HistoryWindow> win;
};

}  // namespace

TEST_F(HistoryWindowTest, StripUptimeAndDownPeriodsOfTheChosenTarget) {
  EXPECT_EQ(win->TargetBox()->count(), 2);
  EXPECT_EQ(win->Target(), QStringLiteral("other"));  // the latest run's target first
  ASSERT_TRUE(win->SetTarget(u"MAILSV"));
  win->SetSpan(HistorySpan::Hour);
  const HistoryStrip& strip = *win->Strip();
  ASSERT_EQ(strip.Rows(), 2u);
  EXPECT_EQ(strip.RowText(0), QStringLiteral("PING   100.0 %"));
  EXPECT_EQ(strip.RowText(1), QStringLiteral("SMTP 25   62.5 %"));  // 5 of 8; the stopped run not counted
  EXPECT_EQ(States(strip, 0), "PPPPPPPPS");
  EXPECT_EQ(States(strip, 1), "PPFFPPFPS");
  // Cells side by side, oldest on the left, within the widget, centred in their 18-pixel row.
  const auto& cells = strip.Cells(1);
  for (size_t i = 1; i < cells.size(); ++i) EXPECT_GT(cells[i].rect.left(), cells[i - 1].rect.right());
  EXPECT_LE(cells.back().rect.right(), strip.width());
  EXPECT_EQ(cells.front().rect.top(), 18 + 3);
  EXPECT_EQ(cells.front().rect.height(), 18 - 6);

  QTableWidget* downs = win->Downs();
  ASSERT_EQ(downs->rowCount(), 2);
  ASSERT_EQ(downs->columnCount(), 5);
  auto row = [&](int r) {
    QStringList cols;
    for (int c = 0; c < downs->columnCount(); ++c) cols << downs->item(r, c)->text();
    return cols.join(QStringLiteral(" | "));
  };
  auto at = [](int64_t t) { return QDateTime::fromSecsSinceEpoch(t).toString(QStringLiteral("yyyy/MM/dd HH:mm")); };
  EXPECT_EQ(row(0), QStringLiteral("SMTP 25 | %1 | %2 | 5 分 | connect timed out after 10 s")
                        .arg(at(kNow - 1200), at(kNow - 900)));
  EXPECT_EQ(row(1), QStringLiteral("SMTP 25 | %1 | %2 | 10 分 | connection refused").arg(at(kNow - 2400), at(kNow - 1800)));

  // A span with no runs of the target: no uptime to show, the strip stays.
  win->SetTarget(u"other");
  win->SetSpan(HistorySpan::Hour);
  EXPECT_EQ(strip.RowText(0), QStringLiteral("HTTP 80   100.0 %"));
}

// The chart draws each passing run where its start and answer time fall; the
// long spans draw one point per bucket, at its middle.
TEST_F(HistoryWindowTest, ChartPointsAsDrawn) {
  ASSERT_TRUE(win->SetTarget(u"mailsv"));
  win->SetSpan(HistorySpan::Hour);
  const HistoryChart& chart = *win->Chart();
  ASSERT_EQ(chart.Drawn().size(), 2u);
  EXPECT_EQ(chart.Drawn()[1].label, QStringLiteral("SMTP 25"));
  EXPECT_DOUBLE_EQ(chart.TopSeconds(), 1.0);  // 0.8 s at most, rounded up to 1
  const QRectF plot = chart.PlotArea();
  EXPECT_TRUE(QRectF(chart.rect()).contains(plot));
  const struct {
    int64_t at;
    double seconds;
  } expected[] = {{kNow - 3000, 0.1}, {kNow - 2700, 0.2}, {kNow - 1800, 0.5}, {kNow - 1500, 0.6}, {kNow - 900, 0.8}};
  const auto& points = chart.Drawn()[1].points;
  ASSERT_EQ(points.size(), 5u);
  for (size_t i = 0; i < points.size(); ++i) {
    EXPECT_NEAR(points[i].x(), plot.left() + plot.width() * (3600 - (kNow - expected[i].at)) / 3600.0, 1e-6);
    EXPECT_NEAR(points[i].y(), plot.bottom() - plot.height() * expected[i].seconds, 1e-6);
  }

  win->SetSpan(HistorySpan::Days90);
  const auto& bucketed = chart.Drawn()[1].points;
  // All eight runs fall in one six-hour bucket ending at "now": one point at
  // the bucket's middle, the mean of the five passing runs.
  ASSERT_EQ(bucketed.size(), 1u);
  const double span = 90.0 * 86400;
  EXPECT_NEAR(bucketed[0].x(), plot.left() + plot.width() * (span - 6 * 3600 + 3 * 3600) / span, 1e-6);
  EXPECT_DOUBLE_EQ(chart.TopSeconds(), 0.5);  // the mean 0.44 s, rounded up
  EXPECT_NEAR(bucketed[0].y(), plot.bottom() - plot.height() * (0.1 + 0.2 + 0.5 + 0.6 + 0.8) / 5 / 0.5, 1e-6);
  EXPECT_EQ(win->Strip()->RowText(1), QStringLiteral("SMTP 25   62.5 %"));

  // A file that is not a database, or none, leaves the window usable, saying why.
  WriteBytes(dir.file("bad.db"), std::string(3000, 'x'));
  for (const char* name : {"bad.db", "missing.db"}) {
    HistoryWindow w(dir.file(name), [] { return kNow; });
    w.show();
    EXPECT_TRUE(w.Status()->isVisible()) << name;
    EXPECT_FALSE(w.Status()->text().isEmpty()) << name;
    EXPECT_EQ(w.Strip()->Rows(), 0u) << name;
    w.SetSpan(HistorySpan::Week);  // and nothing breaks
  }
}

// The main window's runs reach the history with how they started (Enter first, then the Diag button), and Ctrl+H
// opens the window on them, also from the target box (a line edit's own Ctrl+H must not take the key).
using HistoryFromTheMainWindow = MainWindowTest;
TEST_F(HistoryFromTheMainWindow, RunsAreRecordedAndCtrlHOpensTheWindow) {
  Open([this] {
    DiagChecks c;
    c.smtp = [](auto&, auto&, TlsMode, auto&) { return false; };
    c.pop = [](auto&, auto&, TlsMode, auto&, auto&, auto&) { return true; };
    c.ftp = [](auto&, auto&, TlsMode, auto&, auto&, auto&) { return true; };
    c.http = [](auto&, auto&, TlsMode, auto&) { return true; };
    InstallDiagRunner(*w, c);
  });
  Edit()->setText(QStringLiteral("mailsv"));
  QTest::keyClick(Edit(), Qt::Key_Return);
  QCoreApplication::processEvents();
  QTest::mouseClick(Child("CmdDiag"), Qt::LeftButton);
  QCoreApplication::processEvents();
  // Written on the history's own thread: wait for both runs (at most 5 s).
  const std::string db = ToUtf8(StateFilePath(kHistoryFileName));
  size_t runs = 0;
  for (int i = 0; i < 500 && runs < 2; ++i) {
    QTest::qWait(10);
    const TargetHistory h = HistoryReader(db).Load(u"mailsv", HistorySpan::Hour, UnixNow() + 1);
    runs = h.checks.empty() ? 0 : h.checks.front().strip.size();
  }
  ASSERT_EQ(runs, 2u);
  EXPECT_EQ(OpenHistoryWindow(*w), nullptr);
  Edit()->setFocus();
  QTest::keyClick(Edit(), Qt::Key_H, Qt::ControlModifier);
  EXPECT_EQ(Edit()->text(), QStringLiteral("mailsv"));
  HistoryWindow* hw = OpenHistoryWindow(*w);
  ASSERT_NE(hw, nullptr);
  EXPECT_TRUE(hw->isVisible());
  EXPECT_EQ(hw->Target(), QStringLiteral("mailsv"));
  ASSERT_EQ(hw->Strip()->Rows(), 4u);  // SMTP, POP, FTP and HTTP
  EXPECT_EQ(hw->Strip()->RowText(0), QStringLiteral("SMTP 25   0.0 %"));
  EXPECT_EQ(States(*hw->Strip(), 0), "FF");
  EXPECT_EQ(States(*hw->Strip(), 1), "PP");
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  std::string how;
  sqlite3_exec(raw, "SELECT how FROM runs ORDER BY id", [](void* out, int, char** v, char**) {
    return *static_cast<std::string*>(out) += v[0], 0;
  }, &how, nullptr);
  sqlite3_close(raw);
  EXPECT_EQ(how, "10");
  w.reset();  // the history window goes with the main window
}
