// The run history on real SQLite files: what a run leaves in it, what the
// window reads back, the limits at their edges, and every way the file or
// its directory can let the history down without a run noticing.
#include "diag/history.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "support/tempdir.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

constexpr int64_t kNow = 1795996800;  // a fixed "now", a whole day
constexpr int64_t kDay = 86400;

RunCheckOutcome Check(std::u16string service, std::u16string port, bool passed, double seconds,
                      std::u16string reason = u"", std::optional<int64_t> days = std::nullopt) {
  return {std::move(service), std::move(port), passed, seconds, std::move(reason), days};
}

RunOutcome MakeRun(int64_t started, std::vector<RunCheckOutcome> checks, std::u16string target = u"MailSv",
                   bool stopped = false, RunStart how = RunStart::Tick) {
  RunOutcome r{std::move(target), started, 1.5, !stopped, stopped, how == RunStart::Tick, how, std::move(checks)};
  for (const auto& c : r.checks) r.passed = r.passed && c.passed;
  return r;
}

RunOutcome SmtpRun(int64_t started, bool passed = true, double seconds = 0.25) {
  return MakeRun(started, {Check(u"SMTP", u"25", passed, seconds, passed ? u"" : u"connection refused")});
}

// Rows of a query on the file, fields joined by "|".
Strings Query(const std::string& path, const std::string& sql) {
  Strings rows;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const auto add = [](void* out, int n, char** values, char**) {
    std::string row;
    for (int i = 0; i < n; ++i) row += (i ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
    static_cast<Strings*>(out)->push_back(row);
    return 0;
  };
  if (sqlite3_exec(db, sql.c_str(), add, &rows, nullptr) != SQLITE_OK) rows = {"!" + std::string(sqlite3_errmsg(db))};
  sqlite3_close(db);
  return rows;
}

std::string Count(const std::string& path, const std::string& table) {
  return Query(path, "SELECT count(*) FROM " + table).at(0);
}

// The lines a store says, each ended by "\n".
HistoryReport Into(std::string& said) {
  return [&said](const std::u16string& line) { said += ToUtf8(line) + "\n"; };
}
int LinesIn(const std::string& said) { return static_cast<int>(std::count(said.begin(), said.end(), '\n')); }

// A check's history in one line: label, strip ("PFSN") with its first and last start before kNow, passed/runs,
// the down periods and the chart's points (seconds before kNow: answer time).
std::string Shown(const CheckHistory& c) {
  auto ago = [](int64_t at) { return std::to_string(kNow - at); };
  std::string s = ToUtf8(c.label) + " ";
  for (const StripCell& cell : c.strip) s += "PFSN"[static_cast<int>(cell.state)];
  if (!c.strip.empty()) s += " " + ago(c.strip.front().started) + ".." + ago(c.strip.back().started);
  s += " " + std::to_string(c.passed) + "/" + std::to_string(c.runs);
  for (const DownPeriod& d : c.downs) s += ", down " + ago(d.from) + ".." + ago(d.until) + " " + ToUtf8(d.reason);
  for (const ChartPoint& p : c.points) s += ", " + ago(p.at) + ": " + testing::PrintToString(p.seconds);
  return s;
}

}  // namespace

// Each kind of check, as the run handed it over, and the run's own fields.
TEST(HistoryStore, RecordsARunWithEveryKindOfCheck) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  std::string said;
  HistoryStore store(db, {}, Into(said));
  const std::vector<RunCheckOutcome> checks = {
      Check(u"PING", u"", true, 0.001), Check(u"NetBIOS", u"", false, 2, u"no share list"),
      Check(u"SMTP", u"587t", true, 0.2, u"", 41), Check(u"POP", u"995s", true, 0.3, u"", -2),
      Check(u"FTP", u"21", false, 10, u"no reply to USER within 10 s"), Check(u"HTTP", u"80", true, 0.05),
      Check(u"HTTP", u"443s", true, 0.06, u"", 90)};
  ASSERT_TRUE(store.Record(MakeRun(kNow - 60, checks, u"Mail-1", false, RunStart::Enter)));
  ASSERT_TRUE(store.Record(MakeRun(kNow, {Check(u"PING", u"", true, 0.002)}, u"mail-1", true, RunStart::Diag)));
  EXPECT_EQ(said, "");
  EXPECT_EQ(Query(db, "SELECT started, target, target_key, passed, how, stopped FROM runs ORDER BY id"),
            (Strings{std::to_string(kNow - 60) + "|Mail-1|mail-1|0|1|0",
                     std::to_string(kNow) + "|mail-1|mail-1|0|0|1"}));
  EXPECT_EQ(Query(db, "SELECT label, service, port, passed, seconds, reason, cert_days FROM checks WHERE run=1"),
            (Strings{"PING|PING||1|0.001||NULL", "NetBIOS|NetBIOS||0|2.0|no share list|NULL",
                     "SMTP 587t|SMTP|587t|1|0.2||41", "POP 995s|POP|995s|1|0.3||-2",
                     "FTP 21|FTP|21|0|10.0|no reply to USER within 10 s|NULL", "HTTP 80|HTTP|80|1|0.05||NULL",
                     "HTTP 443s|HTTP|443s|1|0.06||90"}));
  EXPECT_EQ(Query(db, "PRAGMA journal_mode"), Strings{"wal"});
  // The targets as last typed, one per target whatever its letters' case.
  EXPECT_EQ(HistoryReader(db).Targets(), std::vector<std::u16string>{u"mail-1"});
}

// What the window reads for one target: the strip (stopped runs included),
// the uptime and the down periods with their reasons (stopped runs left out),
// and the answer times of the passing checks.
TEST(HistoryReader, StripUptimeDownsAndPointsOfAPlantedDatabase) {
  TempDir dir;
  HistoryStore store(dir.file("h.db"), {}, nullptr);
  // SMTP: up, down twice (refused, then timed out), up; PING throughout; one stopped run.
  const bool smtp[] = {true, true, false, false, true, true, false, true};
  for (int i = 0; i < 8; ++i) {
    const std::u16string why = smtp[i] ? u"" : i == 6 ? u"connect timed out after 10 s" : u"connection refused";
    ASSERT_TRUE(store.Record(MakeRun(kNow - 3000 + i * 300, {Check(u"PING", u"", true, 0.01 * (i + 1)),
                                                             Check(u"SMTP", u"25", smtp[i], 0.1 * (i + 1), why)})));
  }
  ASSERT_TRUE(store.Record(MakeRun(kNow - 300, {Check(u"SMTP", u"25", false, 9)}, u"mailsv", true)));
  ASSERT_TRUE(store.Record(SmtpRun(kNow - 5 * kDay)));  // outside the hour and the day
  ASSERT_TRUE(store.Record(MakeRun(kNow - 60, {Check(u"PING", u"", false, 1)}, u"other")));

  const TargetHistory h = HistoryReader(dir.file("h.db")).Load(u"MAILSV", HistorySpan::Hour, kNow, 5);
  ASSERT_EQ(h.checks.size(), 2u);
  // The stopped run ran no PING: still shown stopped. One point per passing run, at its start.
  EXPECT_EQ(Shown(h.checks[0]), "PING PPPPS 1800..300 8/8, 3000: 0.01, 2700: 0.02, 2400: 0.03, 2100: 0.04, "
                                "1800: 0.05, 1500: 0.06, 1200: 0.07, 900: 0.08");
  EXPECT_EQ(Shown(h.checks[1]), "SMTP 25 PPFPS 1800..300 5/8, down 1200..900 connect timed out after 10 s, "
                                "down 2400..1800 connection refused, 3000: 0.1, 2700: 0.2, 1800: 0.5, 1500: 0.6, "
                                "900: 0.8");
  EXPECT_DOUBLE_EQ(h.checks[1].Uptime(), 62.5);
}

// Long spans come from the hourly buckets: the mean and the slowest per
// bucket, the uptime summed over them; a bucket without a pass has no point.
TEST(HistoryReader, LongSpansAreBucketed) {
  TempDir dir;
  HistoryStore store(dir.file("h.db"), {}, nullptr);
  // Two runs an hour for three days: 0.1 s and 0.3 s; every tenth hour the slow one fails, every tenth hour but
  // five both do.
  int runs = 0, passed = 0, hoursWithAPass = 0;
  for (int64_t hour = kNow - 72 * 3600; hour < kNow; hour += 3600) {
    const bool slowFails = (hour / 3600) % 10 == 0, bothFail = (hour / 3600) % 10 == 5;
    ASSERT_TRUE(store.Record(SmtpRun(hour + 60, !bothFail, 0.1)));
    ASSERT_TRUE(store.Record(SmtpRun(hour + 1800, !slowFails && !bothFail, 0.3)));
    runs += 2;
    passed += bothFail ? 0 : slowFails ? 1 : 2;
    hoursWithAPass += !bothFail;
  }
  HistoryReader reader(dir.file("h.db"));
  const struct { HistorySpan span; int64_t bucket; size_t points; int64_t runs; } rows[] = {
      {HistorySpan::Week, 3600, size_t(hoursWithAPass), runs}, {HistorySpan::Days90, 6 * 3600, 12, runs},
      {HistorySpan::Day, 0, 0, 48}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bucket);
    const TargetHistory h = reader.Load(u"mailsv", row.span, kNow);
    ASSERT_EQ(h.checks.size(), 1u);
    EXPECT_EQ(h.bucketSeconds, row.bucket);
    EXPECT_EQ(h.checks[0].runs, row.runs);
    if (row.bucket == 0) continue;
    EXPECT_EQ(h.checks[0].passed, passed);
    EXPECT_EQ(h.checks[0].points.size(), row.points);
    for (const ChartPoint& p : h.checks[0].points) {
      EXPECT_EQ(p.at % row.bucket, 0);
      // An hour whose slow run failed has only the fast one to show.
      const bool slowFailed = row.bucket == 3600 && (p.at / 3600) % 10 == 0;
      EXPECT_DOUBLE_EQ(p.maxSeconds, slowFailed ? 0.1 : 0.3);
      EXPECT_GE(p.seconds, 0.1 - 1e-9);
      EXPECT_LE(p.seconds, 0.2 + 1e-9);
    }
  }
}

// Older than 90 days goes, 90 days to the second stays; at start and once a
// day. The worker writes everything queued before it ends.
TEST(HistoryStore, PrunesByAgeAtTheEdgeAtStartAndOnceADay) {
  TempDir dir;
  const std::string db = dir.file("h.db");
  HistoryStore store(db, {}, nullptr);
  const int64_t keep = 90 * kDay;
  for (int64_t age : {keep + 1, keep, int64_t{10}}) ASSERT_TRUE(store.Record(SmtpRun(kNow - age, age != keep + 1)));
  store.Prune(kNow);
  EXPECT_EQ(Query(db, "SELECT started FROM runs ORDER BY started"),
            (Strings{std::to_string(kNow - keep), std::to_string(kNow - 10)}));
  EXPECT_EQ(Count(db, "checks"), "2");
  // The pruned run's down period ended with the next run: gone with it only once that is pruned too.
  EXPECT_EQ(Count(db, "downs"), "1");
  store.Prune(kNow + 1);
  EXPECT_EQ(Count(db, "runs"), "1");
  EXPECT_EQ(Count(db, "downs"), "0");

  // The worker prunes when it starts, then writes what was queued.
  ASSERT_TRUE(store.Record(SmtpRun(kNow - keep - 5)));
  {
    HistoryRecorder recorder(db, {}, nullptr, [] { return kNow; });
    for (int i = 0; i < 50; ++i) recorder.Record(SmtpRun(kNow - 100 + i));
  }
  EXPECT_EQ(Count(db, "runs"), "51");

  // And again after its period (shrunk to a second here), with no run in between.
  std::atomic<int64_t> now{kNow};
  HistoryRecorder recorder(db, {.pruneEverySeconds = 1}, nullptr, [&now] { return now.load(); });
  recorder.WaitIdle();
  EXPECT_EQ(Count(db, "runs"), "51");
  now = kNow + 90 * kDay;  // the runs left are now 90 days and 10 to 100 seconds old
  std::string left;
  for (int i = 0; i < 500 && left != "0"; ++i) {
    usleep(10000);
    left = Count(db, "runs");
  }
  EXPECT_EQ(left, "0");
}

// The size limit's edges on copies of one history of 200 runs: at the limit nothing goes; one byte over, the
// oldest go until at most nine tenths of it is used; a limit whose nine tenths is just what that left stops there
// too. Recording past a limit keeps the file within it (and a few pages of the run that crossed it).
TEST(HistoryStore, SizeLimitAtItsEdgesAndWhileRecording) {
  TempDir dir;
  const std::string db = dir.file("h.db"), copy = dir.file("copy.db");
  {
    HistoryStore store(db, {}, nullptr);
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(store.Record(SmtpRun(kNow - 10000 + i)));
  }
  auto used = [](const std::string& path) {
    return int64_t{std::stoll(Query(path, "SELECT (page_count - freelist_count) * page_size FROM pragma_page_count, "
                                  "pragma_freelist_count, pragma_page_size").at(0))};
  };
  const int64_t full = used(db);
  auto pruned = [&](int64_t maxBytes) {  // runs left, bytes used
    fs::copy_file(db, copy, fs::copy_options::overwrite_existing);
    HistoryStore(copy, {.maxBytes = maxBytes}, nullptr).Prune(kNow);
    return std::pair{std::stoi(Count(copy, "runs")), used(copy)};
  };
  EXPECT_EQ(pruned(full), std::pair(200, full));
  const auto [left, leftBytes] = pruned(full - 1);
  EXPECT_LT(left, 200);
  EXPECT_LE(leftBytes, (full - 1) * 9 / 10);
  EXPECT_EQ(Query(copy, "SELECT max(started) FROM runs"), Strings{std::to_string(kNow - 10000 + 199)});
  EXPECT_EQ(pruned((leftBytes * 10 + 8) / 9), std::pair(left, leftBytes));

  {
    HistoryStore store(db, {.maxBytes = full}, nullptr);
    for (int i = 200; i < 2000; ++i) ASSERT_TRUE(store.Record(SmtpRun(kNow - 10000 + i)));
  }
  EXPECT_LE(static_cast<int64_t>(fs::file_size(db)), full + 4 * 4096);
  EXPECT_GT(used(db), full / 2);
  EXPECT_EQ(Query(db, "SELECT max(started), min(started) > " + std::to_string(kNow - 10000 + 200) + " FROM runs"),
            Strings{std::to_string(kNow - 10000 + 1999) + "|1"});
}

// A database another process holds is waited for 100 ms, then the run is dropped with a line each time; locked
// while it is first set up, nothing half made is kept. The next run after the lock is recorded.
TEST(HistoryStore, LockedDatabaseDropsTheRunWithALine) {
  // setUp: a run recorded before the lock
  const struct { const char* lock; bool setUp; int dropped; int64_t waitMs; const char* said; } rows[] = {
      {"BEGIN IMMEDIATE", true, 2, 2 * 90, "locked for 100 ms; a run of MailSv is not recorded"},
      {"BEGIN EXCLUSIVE", false, 1, 0, "open failed (database is locked)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lock);
    TempDir dir;
    const std::string db = dir.file("h.db");
    std::string said;
    WriteBytes(db, "");
    HistoryStore store(db, {}, Into(said));
    if (row.setUp) {
      ASSERT_TRUE(store.Record(SmtpRun(kNow - 10)));
    }
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, row.lock, nullptr, nullptr, nullptr), SQLITE_OK);
    const int64_t began = MonotonicMs();
    for (int i = 0; i < row.dropped; ++i) EXPECT_FALSE(store.Record(SmtpRun(kNow - 5 + i)));
    EXPECT_GE(MonotonicMs() - began, row.waitMs);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_TRUE(store.Record(SmtpRun(kNow)));
    EXPECT_EQ(Count(db, "runs"), row.setUp ? "2" : "1");
    EXPECT_EQ(LinesIn(said), row.dropped) << said;
    EXPECT_NE(said.find(row.said), std::string::npos) << said;
  }
}

// What the file or its directory can let the history down with. A damaged or foreign file is renamed aside
// untouched, said once, and a new history begins with the very run that found it, also when the damage shows
// only as a run is written. What the program may not write (as nobody: root ignores mode bits) is said once,
// nothing is recorded or moved, and the run goes on (Record returns at once).
TEST(HistoryStore, DamagedForeignAndUnwritableFiles) {
  using Plant = std::function<void(const std::string&)>;
  sqlite3* other = nullptr;
  // Statements run by another process's connection, left open.
  auto held = [&other](const char* statements) -> Plant {
    return [&other, statements](const std::string& p) {
      sqlite3_open(p.c_str(), &other);
      sqlite3_exec(other, statements, nullptr, nullptr, nullptr);
    };
  };
  const Plant none = [](const std::string&) {}, oneRun = [](const std::string& p) {
    HistoryStore(p, {}, nullptr).Record(SmtpRun(kNow - 100));
  };
  const Plant cutShort = [](const std::string& p) {
    {
      HistoryStore s(p, {}, nullptr);
      for (int i = 0; i < 300; ++i) s.Record(SmtpRun(kNow - 1000 + i));
    }
    std::string bytes = ReadBytes(p);
    // Keep the header, scramble the pages behind it.
    for (size_t i = 4096 + 100; i < bytes.size(); i += 7) bytes[i] = static_cast<char>(0xA5);
    WriteBytes(p, bytes);
  };
  const struct { const char* name; const char* file; Plant plant; const char* aside; bool whileOpen; } rows[] = {
      {"text file", "h.db", [](const std::string& p) { WriteBytes(p, std::string(5000, 'x')); }, "damaged", false},
      {"cut short history", "h.db", cutShort, "damaged", false},
      {"another program's database", "h.db", held("CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES('keep me')"),
       "foreign", false},
      // Another connection keeps the journal beside it.
      {"a table pointing past the file's end, planted once it is open", "h.db",
       held("PRAGMA writable_schema=ON; UPDATE sqlite_master SET rootpage=9999 WHERE name='checks'; "
            "PRAGMA schema_version=999; PRAGMA wal_checkpoint(TRUNCATE)"),
       "damaged", true},
      {"is read-only; runs are not recorded", "h.db", oneRun, nullptr, false},
      {"cannot open ", "h.db", none, nullptr, false},  // the state directory not writable
      {"cannot open ", "gone/h.db", none, nullptr, false},
      {"cannot open ", "link.db",
       [](const std::string& p) { WriteBytes(p + "-target", ""), fs::create_symlink(p + "-target", p); }, nullptr,
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + row.file);
    TempDir dir;
    const std::string db = dir.file(row.file);
    if (!row.whileOpen) row.plant(db);
    ::chmod(dir.path().c_str(), 0755);
    const std::string before = ReadBytes(db);
    auto record = [&] {
      std::string said;
      HistoryStore store(db, {}, Into(said));
      if (row.whileOpen && store.Open()) row.plant(db);
      const int recorded = store.Record(SmtpRun(kNow)) + store.Record(SmtpRun(kNow + 60));
      return std::to_string(recorded) + " " + said;
    };
    const std::string out = row.aside ? record() : AsNobody(record);
    EXPECT_EQ(LinesIn(out), 1) << out;
    Strings aside;
    for (const auto& e : fs::directory_iterator(dir.path()))
      if (e.path().filename().string().starts_with("h.db.")) aside.push_back(e.path().string());
    if (!row.aside) {
      EXPECT_EQ(out.substr(0, 2), "0 ");
      EXPECT_NE(out.find(row.name), std::string::npos) << out;
      EXPECT_EQ(ReadBytes(db), before);
      EXPECT_EQ(aside, Strings{});
      continue;
    }
    EXPECT_EQ(out.substr(0, 2), "2 ");
    std::sort(aside.begin(), aside.end());
    ASSERT_FALSE(aside.empty());
    EXPECT_TRUE(row.whileOpen || ReadBytes(aside[0]) == before);  // never deleted, never changed
    // A journal goes with its file: it belongs to that one, not to the new one.
    EXPECT_EQ(fs::exists(aside[0] + "-wal"), row.whileOpen);
    EXPECT_NE(out.find(std::string(" was ") + row.aside + "; set aside as " + aside[0]), std::string::npos) << out;
    EXPECT_EQ(Count(db, "runs"), "2");
    sqlite3_close(std::exchange(other, nullptr));
  }
}

// A full disk: the runs that do not fit are dropped, said once; what was
// recorded stays readable, and recording resumes once there is room.
TEST(HistoryStore, FullDiskIsSaidOnceAndTheHistoryStaysReadable) {
  TempDir dir;
  const std::string mnt = dir.file("small");
  fs::create_directory(mnt);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=2m") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
  const std::unique_ptr<const char, void (*)(const char*)> unmount(mnt.c_str(), [](const char* p) {
    ::umount2(p, MNT_DETACH);
  });
  const std::string db = mnt + "/h.db";
  WriteBytes(mnt + "/filler", std::string(1024 * 1024, 'f'));
  std::string said;
  HistoryStore store(db, {}, Into(said));
  int recorded = 0, dropped = 0;
  for (int i = 0; i < 4000 && dropped < 20; ++i) {
    RunOutcome run = SmtpRun(kNow - 10000 + i, false);
    run.checks[0].reason = std::u16string(300, u'r') + FromUtf8(std::to_string(i));
    (store.Record(run) ? recorded : dropped)++;
  }
  EXPECT_GT(recorded, 10);
  EXPECT_EQ(dropped, 20);
  EXPECT_EQ(LinesIn(said), 1) << said;
  EXPECT_NE(said.find("the disk is full"), std::string::npos);
  HistoryReader reader(db);
  ASSERT_TRUE(reader.Ok());
  EXPECT_EQ(reader.Load(u"mailsv", HistorySpan::Day, kNow).checks.at(0).runs, recorded);
  // Room again: the next run is recorded.
  fs::remove(mnt + "/filler");
  EXPECT_TRUE(store.Record(SmtpRun(kNow)));
}
