// The history window on a planted database, offscreen: the strip, the uptime,
// the down periods and the chart's points as drawn. (The main window's runs
// reaching it, opened with Ctrl+H, are in notifier_test.cpp.)
#include "ui/historywindow.h"

#include <gmock/gmock.h>

#include <map>
#include <sstream>

#include "support/casefile.h"
#include "support/mainwindowfixture.h"

namespace {

constexpr int64_t kNow = 1795996800;  // a whole day
using Strings = std::vector<std::string>;

// "3000 mailsv stopped SMTP:25:F:0.3:refused", as the cases write a run.
RunOutcome RunOf(const std::string& raw) {
  const Strings w = Case{"", "", {{"w", raw}}}.words("w");
  RunOutcome r{.target = FromUtf8(w.at(1)), .startedUnix = kNow - std::stoll(w[0]), .stopped = w.at(2) == "stopped"};
  for (size_t i = r.stopped ? 3 : 2; i < w.size(); ++i) {
    std::string f[5];
    std::istringstream in(w[i]);
    for (std::string& part : f) std::getline(in, part, ':');
    r.checks.push_back({FromUtf8(f[0]), FromUtf8(f[1]), f[2] == "P", std::stod(f[3]), FromUtf8(f[4]), std::nullopt});
  }
  return r;
}

}  // namespace

// What the window shows of a planted history; the cases are in tests/data/history-window.cases.
TEST(HistoryWindowTest, WhatTheWindowShows) {
  TempDir dir;
  // The down periods' times are local: the cases write them as in UTC.
  setenv("TZ", "UTC", 1);
  tzset();
  const std::vector<Case> cases = LoadCases("history-window.cases");
  {
    HistoryStore store(dir.file("h.db"), {}, nullptr);
    const Case planted = CasesOf(cases, "planted").at(0);
    for (const auto& [key, raw] : planted.fields) ASSERT_TRUE(store.Record(RunOf(raw)));
  }
  WriteBytes(dir.file("text.db"), std::string(3000, 'x'));
  const std::map<std::string, HistorySpan> spans{{"hour", HistorySpan::Hour}, {"day", HistorySpan::Day},
                                                 {"week", HistorySpan::Week}, {"days90", HistorySpan::Days90}};
  for (const Case& c : cases) {
    if (c.name == "planted") continue;
    CASE_TRACE(c);
    HistoryWindow win(dir.file(c.get("history", "h") + ".db"), [] { return kNow; });
    win.resize(900, 700);
    win.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&win));
    // What the window shows, in the order the cases write it; the steps as they are written.
    Strings out{"targets: "};
    for (int i = 0; i < win.TargetBox()->count(); ++i)
      out[0] += (i ? " " : "") + win.TargetBox()->itemText(i).toStdString();
    EXPECT_EQ(win.Target(), win.TargetBox()->itemText(0));
    for (const auto& [key, raw] : c.fields) {
      if (key == "target") EXPECT_TRUE(win.SetTarget(FromUtf8(Unescape(raw))));
      if (key == "span") win.SetSpan(spans.at(raw));
      if (key == "history" || key == "target" || key == "span") out.push_back(key + ": " + raw);
    }
    if (win.Status()->isVisible()) out.push_back("status: " + win.Status()->text().toStdString());
    const HistoryStrip& strip = *win.Strip();
    for (size_t r = 0; r < strip.Rows(); ++r) {
      const auto& cells = strip.Cells(r);
      out.push_back("strip: " + strip.RowText(r).toStdString() + "|");
      // Side by side, oldest on the left, within the widget, centred in their 18-pixel row.
      for (size_t i = 0; i < cells.size(); ++i) {
        out.back() += "PFSN"[static_cast<int>(cells[i].state)];
        EXPECT_TRUE(i == 0 || cells[i].rect.left() > cells[i - 1].rect.right());
        EXPECT_LE(cells[i].rect.right(), strip.width());
        EXPECT_EQ(cells[i].rect.top(), 18 * static_cast<int>(r) + 3);
        EXPECT_EQ(cells[i].rect.height(), 18 - 6);
      }
    }
    for (int r = 0; r < win.Downs()->rowCount(); ++r) {
      out.push_back("down: ");
      for (int col = 0; col < win.Downs()->columnCount(); ++col)
        out.back() += (col ? "|" : "") + win.Downs()->item(r, col)->text().toStdString();
    }
    const HistoryChart& chart = *win.Chart();
    const QRectF plot = chart.PlotArea();
    EXPECT_TRUE(QRectF(chart.rect()).contains(plot));
    out.push_back("top: " + QString::number(chart.TopSeconds()).toStdString());
    // Each point back in the span's seconds before now and in answer seconds.
    const double span = SpanSeconds(win.Span());
    for (const auto& series : chart.Drawn())
      for (const QPointF& p : series.points)
        out.push_back(QStringLiteral("point: %1 %2 %3")
                          .arg(span * (1 - (p.x() - plot.left()) / plot.width()), 0, 'g', 7)
                          .arg(chart.TopSeconds() * (plot.bottom() - p.y()) / plot.height(), 0, 'g', 6)
                          .arg(series.label)
                          .toStdString());
    Strings expected;
    for (const auto& [key, raw] : c.fields) expected.push_back(key + ": " + Unescape(raw));
    EXPECT_THAT(out, testing::ElementsAreArray(expected));
  }
}
