#pragma once
// The history window (Ctrl+H in the main window): for one target, a strip
// of the recent runs per check with its uptime over the chosen span, the
// periods each check was down and why, and a chart of its answer times.
// The strip and the chart are drawn here with QPainter; each keeps what it
// drew (cells, points) for the tests to read.
#include <QColor>
#include <QPointF>
#include <QRect>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "diag/history.h"

class QComboBox;
class QLabel;
class QTableWidget;

// The colour each check's line has in the chart (and its label in the strip).
QColor CheckColour(int index);

// One row per check: its label and uptime, then a cell per recent run.
class HistoryStrip : public QWidget {
 public:
  explicit HistoryStrip(QWidget* parent = nullptr);
  void SetHistory(const TargetHistory& history);
  struct Cell {
    QRect rect;
    StripState state;
  };
  // The cells of row `check` as drawn, oldest first.
  const std::vector<Cell>& Cells(size_t check) const { return m_cells.at(check); }
  size_t Rows() const { return m_cells.size(); }
  // The row's text: "SMTP 25   99.5 %" ("—" for a span without runs).
  QString RowText(size_t check) const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Lay();
  TargetHistory m_history;
  std::vector<std::vector<Cell>> m_cells;
};

// The answer times of the span: a line per check over a time axis.
class HistoryChart : public QWidget {
 public:
  explicit HistoryChart(QWidget* parent = nullptr);
  void SetHistory(const TargetHistory& history);
  struct Series {
    QString label;
    QColor colour;
    std::vector<QPointF> points;  // in the widget's coordinates
  };
  const std::vector<Series>& Drawn() const { return m_series; }
  QRectF PlotArea() const { return m_plot; }
  double TopSeconds() const { return m_top; }  // the y axis' upper end
  // The y axis' labels, bottom up ("0 s" to the upper end, in quarters), and the span's ends under the x axis.
  QStringList AxisLabels() const;
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Lay();
  TargetHistory m_history;
  std::vector<Series> m_series;
  QRectF m_plot;
  double m_top = 1;
};

class HistoryWindow : public QWidget {
 public:
  // `now` gives the span's end (tests and the benchmark fix it).
  explicit HistoryWindow(std::string dbPath, std::function<int64_t()> now = nullptr, QWidget* parent = nullptr);
  ~HistoryWindow() override;

  // Reads the database again: its targets, then the chosen one's history.
  void Reload();
  void SetSpan(HistorySpan span);
  HistorySpan Span() const;
  // Chooses a target by its name (any case); false when it has no runs.
  bool SetTarget(const std::u16string& target);
  QString Target() const;

  HistoryStrip* Strip() const { return m_strip; }
  HistoryChart* Chart() const { return m_chart; }
  QTableWidget* Downs() const { return m_downs; }
  QLabel* Status() const { return m_status; }
  QComboBox* TargetBox() const { return m_target; }
  QComboBox* SpanBox() const { return m_span; }

 private:
  void Load();

  std::string m_path;
  std::function<int64_t()> m_now;
  std::unique_ptr<HistoryReader> m_reader;
  QComboBox* m_target = nullptr;
  QComboBox* m_span = nullptr;
  QLabel* m_status = nullptr;
  HistoryStrip* m_strip = nullptr;
  HistoryChart* m_chart = nullptr;
  QTableWidget* m_downs = nullptr;
};
