#include "diag/history.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>

#include "diag/notices.h"
#include "util/codepage.h"

namespace {

// "VKRH": tells velkor's history from any other SQLite file.
constexpr int kApplicationId = 0x564B5248;
constexpr int kSchemaVersion = 1;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS runs(
  id INTEGER PRIMARY KEY, started INTEGER NOT NULL, target TEXT NOT NULL, target_key TEXT NOT NULL,
  passed INTEGER NOT NULL, seconds REAL NOT NULL, how INTEGER NOT NULL, stopped INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS runs_by_target ON runs(target_key, started);
CREATE INDEX IF NOT EXISTS runs_by_start ON runs(started);
CREATE TABLE IF NOT EXISTS checks(
  run INTEGER NOT NULL, seq INTEGER NOT NULL, label TEXT NOT NULL, service TEXT NOT NULL, port TEXT NOT NULL,
  passed INTEGER NOT NULL, seconds REAL NOT NULL, reason TEXT NOT NULL, cert_days INTEGER,
  PRIMARY KEY(run, seq)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS hours(
  target_key TEXT NOT NULL, label TEXT NOT NULL, hour INTEGER NOT NULL, runs INTEGER NOT NULL,
  passed INTEGER NOT NULL, sum_seconds REAL NOT NULL, max_seconds REAL NOT NULL,
  PRIMARY KEY(target_key, label, hour)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS downs(
  id INTEGER PRIMARY KEY, target_key TEXT NOT NULL, label TEXT NOT NULL, since INTEGER NOT NULL,
  until INTEGER, reason TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS downs_by_check ON downs(target_key, label, until);
)";

std::u16string U(const std::string& s) { return FromUtf8(s); }

// A prepared statement, finalized however the scope is left.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
  ~Stmt() { sqlite3_finalize(m_stmt); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  int rc() const { return m_rc; }
  Stmt& Bind(int i, int64_t v) {
    sqlite3_bind_int64(m_stmt, i, v);
    return *this;
  }
  Stmt& Bind(int i, double v) {
    sqlite3_bind_double(m_stmt, i, v);
    return *this;
  }
  Stmt& Bind(int i, const std::string& v) {
    sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& BindNull(int i) {
    sqlite3_bind_null(m_stmt, i);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() {
    if (m_rc != SQLITE_OK) return m_rc;
    return sqlite3_step(m_stmt);
  }
  void Reset() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
  }
  int64_t Int(int col) const { return sqlite3_column_int64(m_stmt, col); }
  double Real(int col) const { return sqlite3_column_double(m_stmt, col); }
  bool Null(int col) const { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }
  std::string Text(int col) const {
    const unsigned char* t = sqlite3_column_text(m_stmt, col);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(m_stmt, col)))
             : std::string();
  }

 private:
  sqlite3_stmt* m_stmt = nullptr;
  int m_rc = SQLITE_OK;
};

int64_t PragmaInt(sqlite3* db, const char* sql, int& rc) {
  Stmt s(db, sql);
  rc = s.Step();
  if (rc != SQLITE_ROW) return 0;
  rc = SQLITE_OK;
  return s.Int(0);
}

bool Damaged(int rc) {
  rc &= 0xFF;
  return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Bytes the database's pages hold; free pages are used again before the file grows.
int64_t UsedBytes(sqlite3* db) {
  int rc = SQLITE_OK;
  const int64_t pages = PragmaInt(db, "PRAGMA page_count", rc);
  const int64_t free = PragmaInt(db, "PRAGMA freelist_count", rc);
  const int64_t size = PragmaInt(db, "PRAGMA page_size", rc);
  return (pages - free) * size;
}

// PING, NetBIOS, then the services in the window's order, each by port.
int ServiceRank(const std::u16string& label) {
  static const std::u16string order[] = {u"PING", u"NetBIOS", u"SMTP", u"POP", u"FTP", u"HTTP"};
  const std::u16string word = label.substr(0, label.find(u' '));
  for (int i = 0; i < 6; ++i)
    if (word == order[i]) return i;
  return 6;
}

}  // namespace

// ---- HistoryStore -------------------------------------------------------------

HistoryStore::HistoryStore(std::string path, HistoryLimits limits, HistoryReport report)
    : m_path(std::move(path)), m_limits(limits), m_report(std::move(report)) {}

HistoryStore::~HistoryStore() { Close(); }

void HistoryStore::Close() {
  if (m_db) sqlite3_close_v2(m_db);
  m_db = nullptr;
}

void HistoryStore::Say(Problem p, const std::u16string& line) {
  if (!m_said.insert(p).second) return;
  if (m_report) m_report(line);
}

void HistoryStore::Cleared() { m_said.clear(); }

bool HistoryStore::Exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool HistoryStore::SetAside(const char* why) {
  Close();
  // "vkrHistory.db.damaged-1796512345", numbered on when that is taken.
  const std::string base = m_path + "." + why + "-" + std::to_string(std::time(nullptr));
  std::string aside = base;
  for (int n = 2; Exists(aside); ++n) aside = base + "-" + std::to_string(n);
  if (std::rename(m_path.c_str(), aside.c_str()) != 0) {
    Say(Problem::CannotOpen, u"Run history: " + U(m_path) + u" is " + U(why) +
                                 u" and cannot be set aside; runs are not recorded");
    return false;
  }
  // Its journal goes with it: it belongs to that file, not to the new one.
  for (const char* part : {"-wal", "-shm"})
    if (Exists(m_path + part)) std::rename((m_path + part).c_str(), (aside + part).c_str());
  if (m_report) m_report(u"Run history: " + U(m_path) + u" was " + U(why) + u"; set aside as " + U(aside) +
                         u", a new one is started");
  return true;
}

bool HistoryStore::Open() {
  // A damaged or foreign file is set aside and opening tried once more.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (OpenOnce()) return true;
    if (m_db) {
      // OpenOnce left it open: the file is damaged or not ours.
      int rc = SQLITE_OK;
      const int64_t id = PragmaInt(m_db, "PRAGMA application_id", rc);
      const char* why = Damaged(rc) || id == kApplicationId ? "damaged" : "foreign";
      if (!SetAside(why)) return false;
      continue;
    }
    return false;
  }
  return false;
}

// True when open; false and m_db open when the file is damaged or foreign;
// false and closed for any other failure (reported).
bool HistoryStore::OpenOnce() {
  if (m_db) return true;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(m_path.c_str(), &m_db, flags, nullptr);
  if (rc != SQLITE_OK) {
    Say(Problem::CannotOpen, u"Run history: cannot open " + U(m_path) + u" (" +
                                 U(m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc)) + u"); runs are not recorded");
    Close();
    return false;
  }
  sqlite3_busy_timeout(m_db, m_limits.busyMs);
  if (sqlite3_db_readonly(m_db, "main") == 1) {
    Say(Problem::ReadOnly, u"Run history: " + U(m_path) + u" is read-only; runs are not recorded");
    Close();
    return false;
  }
  const int64_t id = PragmaInt(m_db, "PRAGMA application_id", rc);
  if (Damaged(rc)) return false;
  if (rc != SQLITE_OK) return FailOpen(rc);
  const int64_t objects = PragmaInt(m_db, "SELECT count(*) FROM sqlite_master", rc);
  if (Damaged(rc)) return false;
  if (rc != SQLITE_OK) return FailOpen(rc);
  if (id != kApplicationId && (id != 0 || objects != 0)) return false;  // foreign
  if (id == kApplicationId) {
    Stmt check(m_db, "PRAGMA quick_check(1)");
    rc = check.Step();
    if (Damaged(rc) || (rc == SQLITE_ROW && check.Text(0) != "ok")) return false;
    if (rc != SQLITE_ROW) return FailOpen(rc);
  }
  {
    Stmt wal(m_db, "PRAGMA journal_mode=WAL");
    rc = wal.Step();
    if (rc != SQLITE_ROW) return FailOpen(rc);
  }
  // WAL with NORMAL loses at most the last records on a power cut, never the file.
  Exec("PRAGMA synchronous=NORMAL");
  Exec("PRAGMA journal_size_limit=4194304");
  if (id == 0) {
    rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr);
    const std::string ids = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                            "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
    if (rc == SQLITE_OK) rc = sqlite3_exec(m_db, ids.c_str(), nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      Exec("ROLLBACK");
      return FailOpen(rc);
    }
  }
  return true;
}

bool HistoryStore::FailOpen(int rc) {
  // Half set up (locked while the schema was made, say): opened afresh next time.
  Fail(rc, "open");
  Close();
  return false;
}

bool HistoryStore::Fail(int rc, const char* what) {
  const int primary = rc & 0xFF;
  const std::u16string message = m_db ? U(sqlite3_errmsg(m_db)) : U(sqlite3_errstr(rc));
  if (primary == SQLITE_FULL) {
    Say(Problem::Full, u"Run history: the disk is full; runs are not recorded until there is room (" + U(m_path) + u")");
  } else if (primary == SQLITE_READONLY) {
    Say(Problem::ReadOnly, u"Run history: " + U(m_path) + u" cannot be written (" + message + u"); runs are not recorded");
    Close();
  } else if (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_PERM) {
    Say(Problem::CannotOpen, u"Run history: cannot " + U(what) + u" " + U(m_path) + u" (" + message +
                                 u"); runs are not recorded");
    Close();  // tried again at the next run
  } else {
    Say(Problem::Other, u"Run history: " + U(what) + u" failed (" + message + u"): " + U(m_path));
  }
  return false;
}

bool HistoryStore::Record(const RunOutcome& run) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!Open()) return false;
    int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) {
      // Another process holds it: this run is not worth a longer wait.
      if (m_report)
        m_report(u"Run history: the database stayed locked for " + U(std::to_string(m_limits.busyMs)) +
                 u" ms; a run of " + run.target + u" is not recorded (" + U(m_path) + u")");
      return false;
    }
    auto step = [&](Stmt& s) {
      if (rc != SQLITE_OK) return;
      const int r = s.Step();
      rc = r == SQLITE_DONE || r == SQLITE_ROW ? SQLITE_OK : r;
    };
    const std::string key = ToUtf8(TargetKey(run.target));
    if (rc == SQLITE_OK) {
      Stmt ins(m_db, "INSERT INTO runs(started,target,target_key,passed,seconds,how,stopped) VALUES(?,?,?,?,?,?,?)");
      ins.Bind(1, run.startedUnix).Bind(2, ToUtf8(run.target)).Bind(3, key).Bind(4, int64_t{run.passed});
      ins.Bind(5, run.seconds).Bind(6, static_cast<int64_t>(run.start)).Bind(7, int64_t{run.stopped});
      step(ins);
    }
    const int64_t runId = sqlite3_last_insert_rowid(m_db);
    Stmt check(m_db, "INSERT INTO checks VALUES(?,?,?,?,?,?,?,?,?)");
    Stmt hour(m_db,
              "INSERT INTO hours VALUES(?1,?2,?3,1,?4,?5,?5) ON CONFLICT DO UPDATE SET runs=runs+1, "
              "passed=passed+?4, sum_seconds=sum_seconds+?5, max_seconds=max(max_seconds,?5)");
    Stmt openDown(m_db, "SELECT id FROM downs WHERE target_key=? AND label=? AND until IS NULL");
    Stmt newDown(m_db, "INSERT INTO downs(target_key,label,since,reason) VALUES(?,?,?,?)");
    Stmt endDown(m_db, "UPDATE downs SET until=? WHERE id=?");
    int64_t seq = 0;
    for (const RunCheckOutcome& c : run.checks) {
      if (rc != SQLITE_OK) break;
      const std::string label = ToUtf8(CheckLabel(c));
      check.Reset();
      check.Bind(1, runId).Bind(2, seq++).Bind(3, label).Bind(4, ToUtf8(c.service)).Bind(5, ToUtf8(c.port));
      check.Bind(6, int64_t{c.passed}).Bind(7, c.seconds).Bind(8, ToUtf8(c.reason));
      if (c.certDaysLeft) check.Bind(9, *c.certDaysLeft);
      else check.BindNull(9);
      step(check);
      // A stopped run's checks may have been cut short: they count for
      // neither the uptime nor the down periods.
      if (run.stopped) continue;
      hour.Reset();
      hour.Bind(1, key).Bind(2, label).Bind(3, run.startedUnix - run.startedUnix % 3600);
      hour.Bind(4, int64_t{c.passed}).Bind(5, c.passed ? c.seconds : 0.0);
      step(hour);
      if (rc != SQLITE_OK) break;
      openDown.Reset();
      openDown.Bind(1, key).Bind(2, label);
      const int found = openDown.Step();
      const int64_t downId = found == SQLITE_ROW ? openDown.Int(0) : 0;
      if (found != SQLITE_ROW && found != SQLITE_DONE) rc = found;
      if (!c.passed && downId == 0) {
        newDown.Reset();
        newDown.Bind(1, key).Bind(2, label).Bind(3, run.startedUnix).Bind(4, ToUtf8(c.reason));
        step(newDown);
      } else if (c.passed && downId != 0) {
        endDown.Reset();
        endDown.Bind(1, run.startedUnix).Bind(2, downId);
        step(endDown);
      }
    }
    if (rc == SQLITE_OK) rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      Exec("ROLLBACK");
      if (Damaged(rc) && attempt == 0) {
        if (SetAside("damaged")) continue;
        return false;
      }
      return Fail(rc, "record");
    }
    PruneSize();
    Cleared();
    return true;
  }
  return false;
}

void HistoryStore::Prune(int64_t now) {
  if (!Open()) return;
  const int64_t cutoff = now - m_limits.keepSeconds;
  int rc = sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    Fail(rc, "prune");
    return;
  }
  Stmt c(m_db, "DELETE FROM checks WHERE run IN (SELECT id FROM runs WHERE started < ?)");
  Stmt r(m_db, "DELETE FROM runs WHERE started < ?");
  Stmt h(m_db, "DELETE FROM hours WHERE hour + 3600 <= ?");
  Stmt d(m_db, "DELETE FROM downs WHERE until IS NOT NULL AND until < ?");
  for (Stmt* s : {&c, &r, &h, &d}) {
    if (rc != SQLITE_OK) break;
    s->Bind(1, cutoff);
    const int step = s->Step();
    rc = step == SQLITE_DONE ? SQLITE_OK : step;
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    Exec("ROLLBACK");
    Fail(rc, "prune");
    return;
  }
  PruneSize();
}

void HistoryStore::PruneSize() {
  if (!m_db || UsedBytes(m_db) <= m_limits.maxBytes) return;
  int rc = SQLITE_OK;
  const int64_t runs = PragmaInt(m_db, "SELECT count(*) FROM runs", rc);
  // A twentieth at a time, down to nine tenths of the limit, so that the
  // next few runs fit in the pages freed without the file growing.
  const int64_t batch = std::max<int64_t>(1, runs / 20);
  for (int round = 0; round < 40 && UsedBytes(m_db) > m_limits.maxBytes * 9 / 10; ++round) {
    if (sqlite3_exec(m_db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return;
    Stmt oldest(m_db, "SELECT id, started FROM runs ORDER BY id LIMIT 1 OFFSET ?");
    oldest.Bind(1, batch - 1);
    int64_t lastId = 0, lastStart = 0;
    if (oldest.Step() == SQLITE_ROW) {
      lastId = oldest.Int(0);
      lastStart = oldest.Int(1);
    } else {
      Stmt newest(m_db, "SELECT max(id), max(started) FROM runs");
      if (newest.Step() == SQLITE_ROW && !newest.Null(0)) {
        lastId = newest.Int(0);
        lastStart = newest.Int(1);
      }
    }
    if (lastId == 0) {
      Exec("ROLLBACK");
      return;
    }
    Stmt c(m_db, "DELETE FROM checks WHERE run <= ?");
    Stmt r(m_db, "DELETE FROM runs WHERE id <= ?");
    Stmt h(m_db, "DELETE FROM hours WHERE hour + 3600 <= ?");
    Stmt d(m_db, "DELETE FROM downs WHERE until IS NOT NULL AND until <= ?");
    c.Bind(1, lastId);
    r.Bind(1, lastId);
    h.Bind(1, lastStart);
    d.Bind(1, lastStart);
    bool ok = true;
    for (Stmt* s : {&c, &r, &h, &d}) ok = ok && s->Step() == SQLITE_DONE;
    if (!ok || sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
      Exec("ROLLBACK");
      return;
    }
  }
}

// ---- HistoryRecorder ----------------------------------------------------------

HistoryRecorder::HistoryRecorder(std::string path, HistoryLimits limits, HistoryReport report,
                                 std::function<int64_t()> now)
    : m_store(std::move(path), limits, std::move(report)), m_busy(true) {
  if (!now) now = [] { return static_cast<int64_t>(std::time(nullptr)); };
  m_thread = std::thread([this, limits, now] {
    using Steady = std::chrono::steady_clock;
    m_store.Prune(now());
    const auto every = std::chrono::seconds(std::max<int64_t>(1, limits.pruneEverySeconds));
    Steady::time_point nextPrune = Steady::now() + every;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_busy = false;
    m_idle.notify_all();
    while (true) {
      m_wake.wait_until(lock, nextPrune, [this] { return m_stop || !m_queue.empty(); });
      while (!m_queue.empty()) {
        RunOutcome run = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        m_store.Record(run);
        lock.lock();
        m_busy = false;
      }
      m_idle.notify_all();
      if (m_stop) break;
      if (Steady::now() >= nextPrune) {
        m_busy = true;
        lock.unlock();
        m_store.Prune(now());
        lock.lock();
        m_busy = false;
        nextPrune = Steady::now() + every;
      }
    }
  });
}

HistoryRecorder::~HistoryRecorder() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
}

void HistoryRecorder::Record(RunOutcome run) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(run));
  }
  m_wake.notify_all();
}

void HistoryRecorder::WaitIdle() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_idle.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

// ---- HistoryReader ------------------------------------------------------------

int64_t SpanSeconds(HistorySpan span) {
  switch (span) {
    case HistorySpan::Hour: return 3600;
    case HistorySpan::Day: return 86400;
    case HistorySpan::Week: return 7 * 86400;
    case HistorySpan::Days90: return 90LL * 86400;
  }
  return 86400;
}

HistoryReader::HistoryReader(std::string path) {
  if (!Exists(path)) {
    m_problem = u"まだ実行の記録がありません。";
    return;
  }
  int rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, nullptr);
  int64_t id = 0;
  if (rc == SQLITE_OK) id = PragmaInt(m_db, "PRAGMA application_id", rc);
  if (rc != SQLITE_OK || id != kApplicationId) {
    m_problem = rc != SQLITE_OK ? u"履歴を読めません： " + U(m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc))
                                : u"履歴のファイルが velkor のものではありません。";
    sqlite3_close_v2(m_db);
    m_db = nullptr;
  }
}

HistoryReader::~HistoryReader() {
  if (m_db) sqlite3_close_v2(m_db);
}

std::vector<std::u16string> HistoryReader::Targets() {
  std::vector<std::u16string> targets;
  if (!m_db) return targets;
  Stmt s(m_db, "SELECT target FROM runs WHERE id IN (SELECT max(id) FROM runs GROUP BY target_key) ORDER BY id DESC");
  while (s.Step() == SQLITE_ROW) targets.push_back(U(s.Text(0)));
  return targets;
}

TargetHistory HistoryReader::Load(const std::u16string& target, HistorySpan span, int64_t now, int stripRuns) {
  TargetHistory h;
  h.target = target;
  h.spanEnd = now;
  h.spanStart = now - SpanSeconds(span);
  if (!m_db) return h;
  const std::string key = ToUtf8(TargetKey(target));
  std::map<std::u16string, CheckHistory> byLabel;

  // The strip: the latest runs, whatever the span.
  struct RunRow {
    int64_t id, started;
    bool stopped;
  };
  std::vector<RunRow> recent;
  {
    Stmt s(m_db, "SELECT id, started, stopped FROM runs WHERE target_key=? ORDER BY started DESC, id DESC LIMIT ?");
    s.Bind(1, key).Bind(2, int64_t{stripRuns});
    while (s.Step() == SQLITE_ROW) recent.push_back({s.Int(0), s.Int(1), s.Int(2) != 0});
    std::reverse(recent.begin(), recent.end());
  }
  std::map<std::pair<int64_t, std::u16string>, bool> verdicts;
  {
    Stmt s(m_db, "SELECT label, passed FROM checks WHERE run=?");
    for (const RunRow& r : recent) {
      s.Reset();
      s.Bind(1, r.id);
      while (s.Step() == SQLITE_ROW) {
        const std::u16string label = U(s.Text(0));
        byLabel[label].label = label;
        verdicts[{r.id, label}] = s.Int(1) != 0;
      }
    }
  }

  // Uptime and answer times: each run for the short spans, hourly buckets
  // (six hours to a point over 90 days) for the long ones.
  if (span == HistorySpan::Hour || span == HistorySpan::Day) {
    Stmt s(m_db,
           "SELECT c.label, r.started, c.passed, c.seconds FROM runs r JOIN checks c ON c.run = r.id "
           "WHERE r.target_key=? AND r.started >= ? AND r.started <= ? AND r.stopped = 0 ORDER BY r.started, c.seq");
    s.Bind(1, key).Bind(2, h.spanStart).Bind(3, now);
    while (s.Step() == SQLITE_ROW) {
      const std::u16string label = U(s.Text(0));
      CheckHistory& c = byLabel[label];
      c.label = label;
      ++c.runs;
      if (s.Int(2) != 0) {
        ++c.passed;
        c.points.push_back({s.Int(1), s.Real(3), s.Real(3), 1});
      }
    }
  } else {
    h.bucketSeconds = span == HistorySpan::Week ? 3600 : 6 * 3600;
    Stmt s(m_db,
           "SELECT label, hour, runs, passed, sum_seconds, max_seconds FROM hours "
           "WHERE target_key=? AND hour >= ? AND hour <= ? ORDER BY hour");
    s.Bind(1, key).Bind(2, h.spanStart - h.spanStart % 3600).Bind(3, now);
    while (s.Step() == SQLITE_ROW) {
      const std::u16string label = U(s.Text(0));
      CheckHistory& c = byLabel[label];
      c.label = label;
      const int64_t passed = s.Int(3);
      c.runs += s.Int(2);
      c.passed += passed;
      if (passed == 0) continue;
      const int64_t at = s.Int(1) - s.Int(1) % h.bucketSeconds;
      if (c.points.empty() || c.points.back().at != at) c.points.push_back({at, 0, 0, 0});
      ChartPoint& p = c.points.back();
      // The mean kept as a sum until the bucket is done.
      p.seconds += s.Real(4);
      p.maxSeconds = std::max(p.maxSeconds, s.Real(5));
      p.runs += passed;
    }
    for (auto& [label, c] : byLabel)
      for (ChartPoint& p : c.points)
        if (p.runs > 0) p.seconds /= static_cast<double>(p.runs);
  }

  {
    Stmt s(m_db,
           "SELECT label, since, until, reason FROM downs WHERE target_key=? AND (until IS NULL OR until >= ?) "
           "AND since <= ? ORDER BY since DESC, id DESC");
    s.Bind(1, key).Bind(2, h.spanStart).Bind(3, now);
    while (s.Step() == SQLITE_ROW) {
      const std::u16string label = U(s.Text(0));
      CheckHistory& c = byLabel[label];
      c.label = label;
      c.downs.push_back({s.Int(1), s.Null(2) ? 0 : s.Int(2), U(s.Text(3))});
    }
  }

  for (auto& [label, c] : byLabel) {
    for (const RunRow& r : recent) {
      StripCell cell{r.started, StripState::NotRun};
      const auto it = verdicts.find({r.id, label});
      if (r.stopped) cell.state = StripState::Stopped;
      else if (it != verdicts.end()) cell.state = it->second ? StripState::Passed : StripState::Failed;
      c.strip.push_back(cell);
    }
    h.checks.push_back(std::move(c));
  }
  std::stable_sort(h.checks.begin(), h.checks.end(), [](const CheckHistory& a, const CheckHistory& b) {
    const int ra = ServiceRank(a.label), rb = ServiceRank(b.label);
    return ra != rb ? ra < rb : a.label < b.label;
  });
  return h;
}
