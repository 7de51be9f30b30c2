// The run history at its fullest: 90 days of one-minute runs with six checks
// in one database. Prints the time to record a run, the database's size, the
// time to open the history window on it and to switch its spans.
//   QT_QPA_PLATFORM=offscreen build/bench/history_bench [days] [directory]
//   build/bench/history_bench --shot FILE.png
// The directory (default: a new one under /tmp) keeps the database, so that
// a second run can skip the filling. --shot fills a week into a new
// directory and saves a picture of the window on it (the user guide's).
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QPixmap>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "diag/history.h"
#include "ui/historywindow.h"
#include "util/codepage.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

constexpr int64_t kNow = 1795996800;

// One run a minute; now and then a check fails for a while, with a reason.
RunOutcome RunAt(int64_t at, int64_t minute) {
  static const char16_t* services[] = {u"PING", u"NetBIOS", u"SMTP", u"POP", u"FTP", u"HTTP"};
  static const char16_t* ports[] = {u"", u"", u"25", u"110", u"21", u"443s"};
  RunOutcome r;
  r.target = u"mailsv.example.org";
  r.startedUnix = at;
  r.start = RunStart::Tick;
  r.byTick = true;
  r.passed = true;
  for (int i = 0; i < 6; ++i) {
    RunCheckOutcome c;
    c.service = services[i];
    c.port = ports[i];
    // Down for ten minutes every 997 minutes, a different check each time.
    c.passed = !(minute % 997 < 10 && (minute / 997) % 6 == i);
    // Each service its own pace, slower by day than by night, with some noise.
    static const double pace[] = {0.0005, 0.012, 0.020, 0.008, 0.015, 0.035};
    const double daily = 1 + 0.4 * std::sin(static_cast<double>(minute % 1440) * 2 * M_PI / 1440);
    c.seconds = pace[i] * daily + 0.0002 * static_cast<double>((minute * 7 + i * 13) % 50);
    if (!c.passed) c.reason = u"connection refused";
    if (i == 5) c.certDaysLeft = 60 - minute / 1440;
    r.passed = r.passed && c.passed;
    r.seconds += c.seconds;
    r.checks.push_back(std::move(c));
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const bool shot = argc > 2 && std::string(argv[1]) == "--shot";
  const int days = shot ? 7 : argc > 1 ? std::atoi(argv[1]) : 90;
  std::string dir;
  if (argc > 2 && !shot) {
    dir = argv[2];
  } else {
    char tmp[] = "/tmp/velkor-history-bench-XXXXXX";
    if (!mkdtemp(tmp)) return 1;
    dir = tmp;
  }
  const std::string db = dir + "/vkrHistory.db";
  if (!std::filesystem::exists(db)) {
    HistoryStore store(db, {}, [](const std::u16string& line) { std::fprintf(stderr, "%s\n", ToUtf8(line).c_str()); });
    const int64_t runs = static_cast<int64_t>(days) * 1440;
    std::vector<double> each;
    const Clock::time_point all = Clock::now();
    for (int64_t m = 0; m < runs; ++m) {
      const Clock::time_point t = Clock::now();
      store.Record(RunAt(kNow - (runs - m) * 60, m));
      if (m % 97 == 0) each.push_back(MsSince(t));
    }
    std::printf("filled %lld runs in %.1f s; recording one run: median %.3f ms\n", static_cast<long long>(runs),
                MsSince(all) / 1000, Median(each));
  }
  // Closed: the journal is folded into the file, whose size is the figure.
  std::printf("database: %.1f MB (%lld bytes)\n", static_cast<double>(std::filesystem::file_size(db)) / 1e6,
              static_cast<long long>(std::filesystem::file_size(db)));

  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  if (shot) {
    HistoryWindow w(db, [] { return kNow; });
    w.resize(900, 720);
    w.SetSpan(HistorySpan::Week);
    w.show();
    QApplication::processEvents();
    const bool saved = w.grab().save(QString::fromUtf8(argv[2]));
    std::filesystem::remove_all(dir);
    return saved ? 0 : 1;
  }
  std::vector<double> opens;
  std::vector<std::vector<double>> switches(4);
  for (int round = 0; round < 5; ++round) {
    const Clock::time_point t = Clock::now();
    HistoryWindow w(db, [] { return kNow; });
    w.show();
    QApplication::processEvents();
    opens.push_back(MsSince(t));
    for (HistorySpan span : {HistorySpan::Hour, HistorySpan::Week, HistorySpan::Days90, HistorySpan::Day}) {
      const Clock::time_point s = Clock::now();
      w.SetSpan(span);
      QApplication::processEvents();
      switches[static_cast<size_t>(span)].push_back(MsSince(s));
    }
  }
  std::printf("opening the window (span: a day): median %.1f ms, slowest %.1f ms\n", Median(opens),
              *std::max_element(opens.begin(), opens.end()));
  const char* names[] = {"an hour", "a day", "a week", "90 days"};
  for (size_t i = 0; i < 4; ++i)
    std::printf("switching to %s: median %.1f ms, slowest %.1f ms\n", names[i], Median(switches[i]),
                *std::max_element(switches[i].begin(), switches[i].end()));
  return 0;
}
