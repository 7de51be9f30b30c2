#pragma once
// The history of the window's runs: every finished or stopped run, check by
// check, in an SQLite database in the state directory, and what the history
// window reads back out of it.
//
// The database is kept for the window alone: nothing in it is needed for a
// run, so nothing about it may stop one. A database that cannot be opened,
// read or written costs the records, never the run or the window: each
// problem is reported once (one error-log line), a damaged or foreign file is
// renamed aside (never deleted) and a new one started where that can be.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/runrecord.h"

struct sqlite3;

inline constexpr char16_t kHistoryFileName[] = u"vkrHistory.db";

// Fixed limits; tests shrink them.
struct HistoryLimits {
  int64_t keepSeconds = 90LL * 86400;        // older runs are pruned
  int64_t maxBytes = 200LL * 1000 * 1000;    // the oldest runs go first past this
  int busyMs = 100;                          // a locked database is waited for this long
  int64_t pruneEverySeconds = 86400;         // pruned at start and then this often
};

// One line for the error log.
using HistoryReport = std::function<void(const std::u16string& line)>;

// The writing side: one connection, used by one thread at a time.
class HistoryStore {
 public:
  HistoryStore(std::string path, HistoryLimits limits, HistoryReport report);
  ~HistoryStore();
  HistoryStore(const HistoryStore&) = delete;
  HistoryStore& operator=(const HistoryStore&) = delete;

  // Writes one run; false when it was dropped (and said why, once).
  bool Record(const RunOutcome& run);
  // Drops runs older than the age limit, then the oldest past the size limit.
  void Prune(int64_t now);
  // Opened (or opened again) on first use; false while it cannot be.
  bool Open();
  const std::string& Path() const { return m_path; }

 private:
  enum class Problem { CannotOpen, ReadOnly, Full, Other };
  bool OpenOnce();
  bool SetAside(const char* why);
  void Close();
  void Say(Problem p, const std::u16string& line);
  void Cleared();
  bool Fail(int rc, const char* what);  // handles a failed step; always false
  bool FailOpen(int rc);                // the same, and closed
  bool Exec(const char* sql);
  void PruneSize();

  std::string m_path;
  HistoryLimits m_limits;
  HistoryReport m_report;
  sqlite3* m_db = nullptr;
  std::set<Problem> m_said;
  bool m_readOnly = false;
};

// Writes runs on a worker thread, so a run never waits for the database; the
// worker also prunes at its start and once a day. `now` (the wall clock when
// not given) is the age limit's end; it is called on the worker, so it is not
// the process's clock hook, which belongs to the window's thread.
class HistoryRecorder {
 public:
  HistoryRecorder(std::string path, HistoryLimits limits, HistoryReport report,
                  std::function<int64_t()> now = nullptr);
  ~HistoryRecorder();  // writes what is queued, then ends the worker
  HistoryRecorder(const HistoryRecorder&) = delete;
  HistoryRecorder& operator=(const HistoryRecorder&) = delete;

  void Record(RunOutcome run);
  // Tests and the benchmark: returns once everything queued is written.
  void WaitIdle();

 private:
  void Work();

  HistoryStore m_store;
  std::mutex m_mutex;
  std::condition_variable m_wake, m_idle;
  std::deque<RunOutcome> m_queue;
  bool m_busy = false;
  bool m_stop = false;
  std::thread m_thread;
};

// ---- reading it back ------------------------------------------------------

enum class HistorySpan { Hour, Day, Week, Days90 };
int64_t SpanSeconds(HistorySpan span);

enum class StripState { Passed, Failed, Stopped, NotRun };

struct StripCell {
  int64_t started = 0;
  StripState state = StripState::NotRun;
};

struct DownPeriod {
  int64_t from = 0;   // the first failed run
  int64_t until = 0;  // the next passing run; 0 while still down
  std::u16string reason;
};

// One point of the answer-time chart: one run, or one bucket of runs.
struct ChartPoint {
  int64_t at = 0;          // the run's start, or the bucket's
  double seconds = 0;      // the answer time; a bucket's mean
  double maxSeconds = 0;   // a bucket's slowest (a run: its own)
  int64_t runs = 1;
};

struct CheckHistory {
  std::u16string label;            // "SMTP 587t"
  std::vector<StripCell> strip;    // the recent runs, oldest first
  int64_t runs = 0;                // in the span, stopped runs left out
  int64_t passed = 0;
  std::vector<DownPeriod> downs;   // overlapping the span, latest first
  std::vector<ChartPoint> points;  // passed checks' answer times, oldest first
  double Uptime() const { return runs == 0 ? 0 : 100.0 * static_cast<double>(passed) / static_cast<double>(runs); }
};

struct TargetHistory {
  std::u16string target;
  int64_t spanStart = 0, spanEnd = 0;
  int64_t bucketSeconds = 0;  // 0: one point per run
  std::vector<CheckHistory> checks;
};

// The reading side: its own connection (the window's thread), read-only.
class HistoryReader {
 public:
  explicit HistoryReader(std::string path);
  ~HistoryReader();
  HistoryReader(const HistoryReader&) = delete;
  HistoryReader& operator=(const HistoryReader&) = delete;

  bool Ok() const { return m_db != nullptr; }
  // Why there is nothing to read ("" when there is).
  const std::u16string& Problem() const { return m_problem; }
  // The targets, as last typed, most recently run first.
  std::vector<std::u16string> Targets();
  TargetHistory Load(const std::u16string& target, HistorySpan span, int64_t now, int stripRuns = 40);

 private:
  sqlite3* m_db = nullptr;
  std::u16string m_problem;
};
