#include "ui/historywindow.h"

#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "app/appstate.h"
#include "diag/notices.h"
#include "util/clock.h"

namespace {

constexpr int kRowHeight = 18;
constexpr int kLabelWidth = 190;
constexpr int kMaxCellWidth = 12;
constexpr int kCellGap = 2;

QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }

QString When(int64_t unix) {
  return QDateTime::fromSecsSinceEpoch(unix).toString(QStringLiteral("yyyy/MM/dd HH:mm"));
}

QColor StateColour(StripState s) {
  switch (s) {
    case StripState::Passed: return QColor(0x2e, 0xa0, 0x43);
    case StripState::Failed: return QColor(0xd0, 0x30, 0x30);
    case StripState::Stopped: return QColor(0x90, 0x90, 0x90);
    case StripState::NotRun: break;
  }
  return QColor(0xe4, 0xe4, 0xe4);
}

// 1, 2 or 5 times a power of ten, at least `v`.
double NiceCeiling(double v) {
  if (v <= 0) return 1;
  const double p = std::pow(10.0, std::floor(std::log10(v)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p >= v * (1 - 1e-12)) return m * p;
  return 10 * p;
}

}  // namespace

QColor CheckColour(int index) {
  static const QColor colours[] = {QColor(0x1f, 0x77, 0xb4), QColor(0xff, 0x7f, 0x0e), QColor(0x2c, 0xa0, 0x2c),
                                   QColor(0xd6, 0x27, 0x28), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
                                   QColor(0xe3, 0x77, 0xc2), QColor(0x7f, 0x7f, 0x7f)};
  return colours[static_cast<size_t>(index) % (sizeof colours / sizeof colours[0])];
}

// ---- the strip ----------------------------------------------------------------

HistoryStrip::HistoryStrip(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("HistoryStrip"));
  setMinimumHeight(kRowHeight);
}

void HistoryStrip::SetHistory(const TargetHistory& history) {
  m_history = history;
  Lay();
  updateGeometry();
  update();
}

QString HistoryStrip::RowText(size_t check) const {
  const CheckHistory& c = m_history.checks.at(check);
  const QString uptime = c.runs == 0 ? QStringLiteral("—") : QString::number(c.Uptime(), 'f', 1) + QStringLiteral(" %");
  return Q(c.label) + QStringLiteral("   ") + uptime;
}

QSize HistoryStrip::sizeHint() const {
  return {kLabelWidth + 40 * (kMaxCellWidth + kCellGap), static_cast<int>(m_history.checks.size() + 1) * kRowHeight};
}

void HistoryStrip::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Lay();
}

void HistoryStrip::Lay() {
  m_cells.clear();
  for (size_t row = 0; row < m_history.checks.size(); ++row) {
    const std::vector<StripCell>& strip = m_history.checks[row].strip;
    std::vector<Cell> cells;
    const int room = std::max(0, width() - kLabelWidth - 4);
    const int n = static_cast<int>(strip.size());
    const int w = n == 0 ? kMaxCellWidth : std::clamp(room / n - kCellGap, 2, kMaxCellWidth);
    for (int i = 0; i < n; ++i) {
      const QRect r(kLabelWidth + i * (w + kCellGap), static_cast<int>(row) * kRowHeight + 3, w, kRowHeight - 6);
      cells.push_back({r, strip[static_cast<size_t>(i)].state});
    }
    m_cells.push_back(std::move(cells));
  }
}

void HistoryStrip::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().base());
  for (size_t row = 0; row < m_cells.size(); ++row) {
    const QRect text(4, static_cast<int>(row) * kRowHeight, kLabelWidth - 8, kRowHeight);
    p.setPen(CheckColour(static_cast<int>(row)));
    p.fillRect(QRect(text.left(), text.top() + 5, 8, 8), CheckColour(static_cast<int>(row)));
    p.setPen(palette().text().color());
    p.drawText(text.adjusted(12, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, RowText(row));
    for (const Cell& cell : m_cells[row]) p.fillRect(cell.rect, StateColour(cell.state));
  }
}

// ---- the chart ----------------------------------------------------------------

HistoryChart::HistoryChart(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("HistoryChart"));
  setMinimumHeight(160);
}

QSize HistoryChart::sizeHint() const { return {640, 240}; }

void HistoryChart::SetHistory(const TargetHistory& history) {
  m_history = history;
  Lay();
  update();
}

void HistoryChart::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Lay();
}

void HistoryChart::Lay() {
  m_plot = QRectF(60, 10, std::max(10, width() - 72), std::max(10, height() - 36));
  double highest = 0;
  for (const CheckHistory& c : m_history.checks)
    for (const ChartPoint& p : c.points) highest = std::max(highest, p.seconds);
  m_top = NiceCeiling(highest);
  m_series.clear();
  const double span = static_cast<double>(std::max<int64_t>(1, m_history.spanEnd - m_history.spanStart));
  for (size_t i = 0; i < m_history.checks.size(); ++i) {
    const CheckHistory& c = m_history.checks[i];
    Series s{Q(c.label), CheckColour(static_cast<int>(i)), {}};
    s.points.reserve(c.points.size());
    for (const ChartPoint& p : c.points) {
      // A bucket's point stands at its middle.
      const double at = static_cast<double>(p.at - m_history.spanStart) + m_history.bucketSeconds / 2.0;
      const double x = m_plot.left() + std::clamp(at / span, 0.0, 1.0) * m_plot.width();
      const double y = m_plot.bottom() - std::clamp(p.seconds / m_top, 0.0, 1.0) * m_plot.height();
      s.points.emplace_back(x, y);
    }
    m_series.push_back(std::move(s));
  }
}

void HistoryChart::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().base());
  p.setRenderHint(QPainter::Antialiasing);
  const QColor grid = palette().mid().color();
  p.setPen(QPen(grid, 1));
  p.drawRect(m_plot);
  for (int i = 1; i < 4; ++i) {
    const double y = m_plot.bottom() - m_plot.height() * i / 4;
    p.drawLine(QPointF(m_plot.left(), y), QPointF(m_plot.right(), y));
  }
  p.setPen(palette().text().color());
  const QFontMetrics fm(font());
  const QStringList labels = AxisLabels();
  for (int i = 0; i <= 4; ++i) {
    const double y = m_plot.bottom() - m_plot.height() * i / 4;
    p.drawText(QRectF(0, y - fm.height() / 2.0, m_plot.left() - 4, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
               labels[i]);
  }
  const QRectF axis(m_plot.left(), m_plot.bottom() + 2, m_plot.width(), fm.height() + 4);
  p.drawText(axis, Qt::AlignLeft | Qt::AlignTop, labels[5]);
  p.drawText(axis, Qt::AlignRight | Qt::AlignTop, labels[6]);
  // A polyline of thin lines: a day's 1440 runs stroked as one wide,
  // smoothed path would take the raster engine a second.
  p.setRenderHint(QPainter::Antialiasing, false);
  for (const Series& s : m_series) {
    p.setPen(QPen(s.colour, 1));
    if (s.points.size() == 1) p.drawEllipse(s.points.front(), 2, 2);
    p.drawPolyline(s.points.data(), static_cast<int>(s.points.size()));
  }
}

QStringList HistoryChart::AxisLabels() const {
  QStringList labels;
  for (int i = 0; i <= 4; ++i) labels << QString::number(m_top * i / 4, 'g', 3) + QStringLiteral(" s");
  return labels << When(m_history.spanStart) << When(m_history.spanEnd);
}

// ---- the window ---------------------------------------------------------------

HistoryWindow::HistoryWindow(std::string dbPath, std::function<int64_t()> now, QWidget* parent)
    : QWidget(parent, Qt::Window), m_path(std::move(dbPath)), m_now(now ? std::move(now) : [] { return UnixNow(); }) {
  setObjectName(QStringLiteral("FrmHistory"));
  setWindowTitle(Q(GetAppTitle()) + QStringLiteral(" - 履歴"));
  m_target = new QComboBox(this);
  m_target->setObjectName(QStringLiteral("CmbHistoryTarget"));
  m_target->setMinimumContentsLength(24);
  m_span = new QComboBox(this);
  m_span->setObjectName(QStringLiteral("CmbHistorySpan"));
  m_span->addItems({QStringLiteral("1 時間"), QStringLiteral("1 日"), QStringLiteral("1 週間"), QStringLiteral("90 日")});
  m_span->setCurrentIndex(static_cast<int>(HistorySpan::Day));
  m_status = new QLabel(this);
  m_status->setObjectName(QStringLiteral("LblHistoryStatus"));
  m_strip = new HistoryStrip(this);
  m_chart = new HistoryChart(this);
  m_downs = new QTableWidget(0, 5, this);
  m_downs->setObjectName(QStringLiteral("TblHistoryDowns"));
  m_downs->setHorizontalHeaderLabels({QStringLiteral("チェック"), QStringLiteral("停止"), QStringLiteral("復旧"),
                                      QStringLiteral("期間"), QStringLiteral("理由")});
  m_downs->horizontalHeader()->setStretchLastSection(true);
  m_downs->verticalHeader()->setVisible(false);
  m_downs->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_downs->setSelectionBehavior(QAbstractItemView::SelectRows);

  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(QStringLiteral("対象："), this));
  top->addWidget(m_target, 1);
  top->addWidget(new QLabel(QStringLiteral("期間："), this));
  top->addWidget(m_span);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(m_status);
  layout->addWidget(new QLabel(QStringLiteral("最近の実行と稼働率（緑：正常　赤：異常　灰：中止）"), this));
  layout->addWidget(m_strip);
  layout->addWidget(new QLabel(QStringLiteral("応答時間"), this));
  layout->addWidget(m_chart, 2);
  layout->addWidget(new QLabel(QStringLiteral("停止していた期間"), this));
  layout->addWidget(m_downs, 1);
  resize(820, 640);

  connect(m_span, &QComboBox::currentIndexChanged, this, [this] { Load(); });
  connect(m_target, &QComboBox::currentIndexChanged, this, [this] { Load(); });
  Reload();
}

HistoryWindow::~HistoryWindow() = default;

void HistoryWindow::Reload() {
  m_reader = std::make_unique<HistoryReader>(m_path);
  const QString chosen = m_target->currentText();
  {
    const QSignalBlocker block(m_target);
    m_target->clear();
    for (const std::u16string& t : m_reader->Targets()) m_target->addItem(Q(t));
    const int again = m_target->findText(chosen, Qt::MatchFixedString);
    m_target->setCurrentIndex(again >= 0 ? again : 0);
  }
  Load();
}

void HistoryWindow::SetSpan(HistorySpan span) { m_span->setCurrentIndex(static_cast<int>(span)); }

HistorySpan HistoryWindow::Span() const { return static_cast<HistorySpan>(std::max(0, m_span->currentIndex())); }

bool HistoryWindow::SetTarget(const std::u16string& target) {
  const int i = m_target->findText(Q(target), Qt::MatchFixedString);
  if (i < 0) return false;
  m_target->setCurrentIndex(i);
  return true;
}

QString HistoryWindow::Target() const { return m_target->currentText(); }

void HistoryWindow::Load() {
  TargetHistory h;
  const int64_t now = m_now();
  if (!m_reader->Ok()) {
    m_status->setText(Q(m_reader->Problem()));
  } else if (m_target->count() == 0) {
    m_status->setText(QStringLiteral("まだ実行の記録がありません。"));
  } else {
    h = m_reader->Load(m_target->currentText().toStdU16String(), Span(), now);
    m_status->setText(QString());
  }
  if (h.spanEnd == 0) {
    h.spanEnd = now;
    h.spanStart = now - SpanSeconds(Span());
  }
  m_status->setVisible(!m_status->text().isEmpty());
  m_strip->SetHistory(h);
  m_chart->SetHistory(h);
  m_downs->setRowCount(0);
  for (const CheckHistory& c : h.checks) {
    for (const DownPeriod& d : c.downs) {
      const int row = m_downs->rowCount();
      m_downs->insertRow(row);
      const int64_t end = d.until != 0 ? d.until : now;
      const QStringList cells = {Q(c.label), When(d.from),
                                 d.until != 0 ? When(d.until) : QStringLiteral("（停止中）"),
                                 Q(DurationText(end - d.from)), Q(d.reason)};
      for (int col = 0; col < cells.size(); ++col) m_downs->setItem(row, col, new QTableWidgetItem(cells[col]));
    }
  }
  m_downs->sortItems(1, Qt::DescendingOrder);
  m_downs->resizeColumnsToContents();
}
