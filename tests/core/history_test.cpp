// The run history on real SQLite files: what a run leaves in it, what the
// window reads back, the limits at their edges, and every way the file or
// its directory can let the history down without a run noticing.
#include "diag/history.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "support/tempdir.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kNow = 1795996800;  // a fixed "now", a whole day
constexpr int64_t kDay = 86400;

RunCheckOutcome Check(std::u16string service, std::u16string port, bool passed, double seconds,
                      std::u16string reason = u"", std::optional<int64_t> days = std::nullopt) {
  RunCheckOutcome c;
  c.service = std::move(service);
  c.port = std::move(port);
  c.passed = passed;
  c.seconds = seconds;
  c.reason = std::move(reason);
  c.certDaysLeft = days;
  return c;
}

RunOutcome MakeRun(int64_t started, std::vector<RunCheckOutcome> checks, std::u16string target = u"MailSv",
               bool stopped = false, RunStart how = RunStart::Tick) {
  RunOutcome r;
  r.target = std::move(target);
  r.startedUnix = started;
  r.seconds = 1.5;
  r.stopped = stopped;
  r.start = how;
  r.byTick = how == RunStart::Tick;
  r.passed = !stopped;
  for (const auto& c : checks) r.passed = r.passed && c.passed;
  r.checks = std::move(checks);
  return r;
}

RunOutcome SmtpRun(int64_t started, bool passed = true, double seconds = 0.25) {
  return MakeRun(started, {Check(u"SMTP", u"25", passed, seconds, passed ? u"" : u"connection refused")});
}

// Rows of a query on the file, fields joined by "|".
std::vector<std::string> Query(const std::string& path, const std::string& sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return {"!open"};
  }
  sqlite3_exec(
      db, sql.c_str(),
      [](void* out, int n, char** values, char**) {
        std::string row;
        for (int i = 0; i < n; ++i) row += (i ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
        static_cast<std::vector<std::string>*>(out)->push_back(row);
        return 0;
      },
      &rows, nullptr);
  sqlite3_close(db);
  return rows;
}

struct Lines {
  std::vector<std::u16string> lines;
  HistoryReport sink() {
    return [this](const std::u16string& l) { lines.push_back(l); };
  }
  std::string joined() const {
    std::string all;
    for (const auto& l : lines) all += ToUtf8(l) + "\n";
    return all;
  }
};

std::vector<std::string> AsideFiles(const TempDir& dir, const std::string& kind) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().filename().string().rfind("h.db." + kind + "-", 0) == 0) found.push_back(e.path().string());
  return found;
}

}  // namespace

// Each kind of check, as the run handed it over, and the run's own fields.
TEST(HistoryStore, RecordsARunWithEveryKindOfCheck) {
  TempDir dir;
  Lines said;
  HistoryStore store(dir.file("h.db"), {}, said.sink());
  RunOutcome run = MakeRun(kNow - 60,
                       {Check(u"PING", u"", true, 0.001), Check(u"NetBIOS", u"", false, 2, u"no share list"),
                        Check(u"SMTP", u"587t", true, 0.2, u"", 41), Check(u"POP", u"995s", true, 0.3, u"", -2),
                        Check(u"FTP", u"21", false, 10, u"no reply to USER within 10 s"),
                        Check(u"HTTP", u"80", true, 0.05), Check(u"HTTP", u"443s", true, 0.06, u"", 90)},
                       u"Mail-1", false, RunStart::Enter);
  ASSERT_TRUE(store.Record(run));
  ASSERT_TRUE(store.Record(MakeRun(kNow, {Check(u"PING", u"", true, 0.002)}, u"mail-1", true, RunStart::Diag)));
  EXPECT_EQ(said.joined(), "");
  const std::string db = dir.file("h.db");
  EXPECT_EQ(Query(db, "SELECT started, target, target_key, passed, how, stopped FROM runs ORDER BY id"),
            (std::vector<std::string>{std::to_string(kNow - 60) + "|Mail-1|mail-1|0|1|0",
                                      std::to_string(kNow) + "|mail-1|mail-1|0|0|1"}));
  EXPECT_EQ(Query(db, "SELECT label, service, port, passed, seconds, reason, cert_days FROM checks WHERE run=1"),
            (std::vector<std::string>{"PING|PING||1|0.001||NULL", "NetBIOS|NetBIOS||0|2.0|no share list|NULL",
                                      "SMTP 587t|SMTP|587t|1|0.2||41", "POP 995s|POP|995s|1|0.3||-2",
                                      "FTP 21|FTP|21|0|10.0|no reply to USER within 10 s|NULL",
                                      "HTTP 80|HTTP|80|1|0.05||NULL", "HTTP 443s|HTTP|443s|1|0.06||90"}));
  EXPECT_EQ(Query(db, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
  // The targets as last typed, one per target whatever its letters' case.
  HistoryReader reader(db);
  EXPECT_EQ(reader.Targets(), std::vector<std::u16string>{u"mail-1"});
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
    const int64_t at = kNow - 3000 + i * 300;
    ASSERT_TRUE(store.Record(MakeRun(at, {Check(u"PING", u"", true, 0.01 * (i + 1)),
                                      Check(u"SMTP", u"25", smtp[i], 0.1 * (i + 1),
                                            smtp[i] ? u"" : i == 6 ? u"connect timed out after 10 s"
                                                                   : u"connection refused")})));
  }
  ASSERT_TRUE(store.Record(MakeRun(kNow - 300, {Check(u"SMTP", u"25", false, 9)}, u"mailsv", true)));
  ASSERT_TRUE(store.Record(SmtpRun(kNow - 5 * kDay)));  // outside the hour and the day
  ASSERT_TRUE(store.Record(MakeRun(kNow - 60, {Check(u"PING", u"", false, 1)}, u"other")));

  HistoryReader reader(dir.file("h.db"));
  const TargetHistory h = reader.Load(u"MAILSV", HistorySpan::Hour, kNow, 5);
  ASSERT_EQ(h.checks.size(), 2u);
  EXPECT_EQ(h.checks[0].label, u"PING");
  EXPECT_EQ(h.checks[1].label, u"SMTP 25");
  auto states = [](const CheckHistory& c) {
    std::string s;
    for (const StripCell& cell : c.strip) s += "PFSN"[static_cast<int>(cell.state)];
    return s;
  };
  EXPECT_EQ(states(h.checks[0]), "PPPPS");  // the stopped run ran no PING: still shown stopped
  EXPECT_EQ(states(h.checks[1]), "PPFPS");
  EXPECT_EQ(h.checks[1].strip.front().started, kNow - 1800);
  EXPECT_EQ(h.checks[1].strip.back().started, kNow - 300);
  EXPECT_EQ(h.checks[0].runs, 8);
  EXPECT_EQ(h.checks[0].passed, 8);
  EXPECT_EQ(h.checks[1].runs, 8);
  EXPECT_EQ(h.checks[1].passed, 5);
  EXPECT_DOUBLE_EQ(h.checks[1].Uptime(), 62.5);
  ASSERT_EQ(h.checks[1].downs.size(), 2u);
  EXPECT_EQ(h.checks[1].downs[0].from, kNow - 1200);
  EXPECT_EQ(h.checks[1].downs[0].until, kNow - 900);
  EXPECT_EQ(h.checks[1].downs[0].reason, u"connect timed out after 10 s");
  EXPECT_EQ(h.checks[1].downs[1].from, kNow - 2400);
  EXPECT_EQ(h.checks[1].downs[1].until, kNow - 1800);
  EXPECT_EQ(h.checks[1].downs[1].reason, u"connection refused");
  // One point per passing run, at its start.
  std::vector<std::pair<int64_t, double>> points;
  for (const ChartPoint& p : h.checks[1].points) points.emplace_back(p.at, p.seconds);
  EXPECT_EQ(points, (std::vector<std::pair<int64_t, double>>{{kNow - 3000, 0.1 * 1},
                                                              {kNow - 2700, 0.1 * 2},
                                                              {kNow - 1800, 0.1 * 5},
                                                              {kNow - 1500, 0.1 * 6},
                                                              {kNow - 900, 0.1 * 8}}));
}

// Long spans come from the hourly buckets: the mean and the slowest per
// bucket, the uptime summed over them.
TEST(HistoryReader, LongSpansAreBucketed) {
  TempDir dir;
  HistoryStore store(dir.file("h.db"), {}, nullptr);
  // Two runs an hour for three days: 0.1 s and 0.3 s, every tenth hour failing once.
  int runs = 0, passed = 0;
  for (int64_t hour = kNow - 72 * 3600; hour < kNow; hour += 3600) {
    const bool fails = (hour / 3600) % 10 == 0;
    ASSERT_TRUE(store.Record(SmtpRun(hour + 60, true, 0.1)));
    ASSERT_TRUE(store.Record(SmtpRun(hour + 1800, !fails, 0.3)));
    runs += 2;
    passed += fails ? 1 : 2;
  }
  HistoryReader reader(dir.file("h.db"));
  struct Row {
    HistorySpan span;
    int64_t bucket;
    size_t points;
    int64_t runs;
  };
  for (const Row& row : {Row{HistorySpan::Week, 3600, 72, runs}, Row{HistorySpan::Days90, 6 * 3600, 12, runs},
                         Row{HistorySpan::Day, 0, 0, 48}}) {
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

// Older than 90 days goes, 90 days to the second stays; at start and once a day.
TEST(HistoryStore, PrunesByAgeAtTheEdge) {
  TempDir dir;
  HistoryStore store(dir.file("h.db"), {}, nullptr);
  const int64_t keep = 90 * kDay;
  ASSERT_TRUE(store.Record(SmtpRun(kNow - keep - 1, false)));
  ASSERT_TRUE(store.Record(SmtpRun(kNow - keep)));
  ASSERT_TRUE(store.Record(SmtpRun(kNow - 10)));
  store.Prune(kNow);
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT started FROM runs ORDER BY started"),
            (std::vector<std::string>{std::to_string(kNow - keep), std::to_string(kNow - 10)}));
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT count(*) FROM checks"), std::vector<std::string>{"2"});
  // The pruned run's down period ended with the next run: gone with it only once that is pruned too.
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT count(*) FROM downs"), std::vector<std::string>{"1"});
  store.Prune(kNow + 1);
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT count(*) FROM runs"), std::vector<std::string>{"1"});
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT count(*) FROM downs"), std::vector<std::string>{"0"});

  // The worker prunes when it starts.
  ASSERT_TRUE(store.Record(SmtpRun(kNow - keep - 5)));
  {
    HistoryRecorder recorder(dir.file("h.db"), {}, nullptr, [] { return kNow; });
    recorder.WaitIdle();
  }
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT count(*) FROM runs"), std::vector<std::string>{"1"});

  // And again after its period (shrunk to a second here), with no run in between.
  std::atomic<int64_t> now{kNow};
  HistoryLimits everySecond;
  everySecond.pruneEverySeconds = 1;
  HistoryRecorder recorder(dir.file("h.db"), everySecond, nullptr, [&now] { return now.load(); });
  recorder.WaitIdle();
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT count(*) FROM runs"), std::vector<std::string>{"1"});
  now = kNow + 90 * kDay;  // the run left is now 90 days and 10 seconds old
  std::vector<std::string> left;
  for (int i = 0; i < 500 && left != std::vector<std::string>{"0"}; ++i) {
    usleep(10000);
    left = Query(dir.file("h.db"), "SELECT count(*) FROM runs");
  }
  EXPECT_EQ(left, std::vector<std::string>{"0"});
}

// Past the size limit the oldest runs go; under it nothing does.
TEST(HistoryStore, KeepsUnderTheSizeLimitOldestFirst) {
  TempDir dir;
  HistoryLimits limits;
  limits.maxBytes = 256 * 1024;
  HistoryStore store(dir.file("h.db"), limits, nullptr);
  const std::string db = dir.file("h.db");
  int recorded = 0;
  auto fileBytes = [&] { return static_cast<int64_t>(fs::file_size(db)); };
  // Under the limit: every run stays.
  for (; recorded < 200; ++recorded) ASSERT_TRUE(store.Record(SmtpRun(kNow - 100000 + recorded)));
  ASSERT_LT(fileBytes(), limits.maxBytes);
  EXPECT_EQ(Query(db, "SELECT count(*) FROM runs"), std::vector<std::string>{"200"});
  // Well past it: the file stays within the limit (and a page or two of the
  // run that crossed it); the newest run is there, the first ones are not.
  int64_t largest = 0;
  for (; recorded < 6000; ++recorded) {
    ASSERT_TRUE(store.Record(SmtpRun(kNow - 100000 + recorded)));
    if (recorded % 50 == 0) {
      sqlite3* raw = nullptr;
      sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
      int64_t pages = 0;
      sqlite3_exec(raw, "PRAGMA page_count", [](void* p, int, char** v, char**) {
        *static_cast<int64_t*>(p) = std::stoll(v[0]);
        return 0;
      }, &pages, nullptr);
      sqlite3_close(raw);
      largest = std::max(largest, pages * 4096);
    }
  }
  EXPECT_LE(largest, limits.maxBytes + 4 * 4096);
  EXPECT_GT(largest, limits.maxBytes / 2);
  const std::vector<std::string> range = Query(db, "SELECT min(started), max(started), count(*) FROM runs");
  ASSERT_EQ(range.size(), 1u);
  EXPECT_EQ(range[0].substr(range[0].find('|') + 1, range[0].rfind('|') - range[0].find('|') - 1),
            std::to_string(kNow - 100000 + recorded - 1));
  EXPECT_GT(std::stoll(range[0].substr(0, range[0].find('|'))), kNow - 100000 + 200);
}

// A database another process holds is waited for 100 ms, then the run is
// dropped with one line; the next run is recorded again.
TEST(HistoryStore, LockedDatabaseDropsTheRunWithOneLine) {
  TempDir dir;
  Lines said;
  HistoryStore store(dir.file("h.db"), {}, said.sink());
  ASSERT_TRUE(store.Record(SmtpRun(kNow - 10)));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("h.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const int64_t began = MonotonicMs();
  EXPECT_FALSE(store.Record(SmtpRun(kNow - 5)));
  EXPECT_FALSE(store.Record(SmtpRun(kNow - 4)));
  const int64_t took = MonotonicMs() - began;
  EXPECT_GE(took, 2 * 90);
  EXPECT_LT(took, 5000);
  ASSERT_EQ(said.lines.size(), 2u);  // one line per dropped run
  EXPECT_NE(said.joined().find("locked for 100 ms; a run of MailSv is not recorded"), std::string::npos);
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_TRUE(store.Record(SmtpRun(kNow)));
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT count(*) FROM runs"), std::vector<std::string>{"2"});
}

// Locked while it is first set up: nothing half made is kept, and the next
// run sets it up and is recorded.
TEST(HistoryStore, LockedWhileBeingSetUpIsSetUpAtTheNextRun) {
  TempDir dir;
  Lines said;
  WriteBytes(dir.file("h.db"), "");
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(dir.file("h.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  HistoryStore store(dir.file("h.db"), {}, said.sink());
  EXPECT_FALSE(store.Record(SmtpRun(kNow - 5)));
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_TRUE(store.Record(SmtpRun(kNow)));
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT count(*) FROM runs"), std::vector<std::string>{"1"});
  ASSERT_EQ(said.lines.size(), 1u);
  EXPECT_NE(said.joined().find("open failed (database is locked)"), std::string::npos) << said.joined();
}

// A damaged or foreign file is renamed aside untouched, said once, and a new
// history begins with the very run that found it.
TEST(HistoryStore, DamagedOrForeignFileIsSetAsideAndANewOneStarted) {
  struct Row {
    const char* name;
    std::function<void(const std::string&)> plant;
    const char* kind;
  };
  const Row rows[] = {
      {"text file", [](const std::string& p) { WriteBytes(p, std::string(5000, 'x')); }, "damaged"},
      {"cut short history",
       [](const std::string& p) {
         {
           HistoryStore s(p, {}, nullptr);
           for (int i = 0; i < 300; ++i) s.Record(SmtpRun(kNow - 1000 + i));
         }
         std::string bytes = ReadBytes(p);
         // Keep the header, scramble the pages behind it.
         for (size_t i = 4096 + 100; i < bytes.size(); i += 7) bytes[i] = static_cast<char>(0xA5);
         WriteBytes(p, bytes);
       },
       "damaged"},
      {"another program's database",
       [](const std::string& p) {
         sqlite3* db = nullptr;
         sqlite3_open(p.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES('keep me')", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       },
       "foreign"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string db = dir.file("h.db");
    row.plant(db);
    fs::remove(db + "-wal");
    fs::remove(db + "-shm");
    const std::string before = ReadBytes(db);
    Lines said;
    HistoryStore store(db, {}, said.sink());
    EXPECT_TRUE(store.Record(SmtpRun(kNow)));
    EXPECT_TRUE(store.Record(SmtpRun(kNow + 60)));
    const std::vector<std::string> aside = AsideFiles(dir, row.kind);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadBytes(aside[0]), before);  // never deleted, never changed
    ASSERT_EQ(said.lines.size(), 1u);
    EXPECT_NE(said.joined().find(std::string(" was ") + row.kind + "; set aside as " + aside[0]), std::string::npos);
    EXPECT_EQ(Query(db, "SELECT count(*) FROM runs"), std::vector<std::string>{"2"});
  }
}

// Files and directories the program may not write: said once, nothing
// recorded, nothing moved, and the run goes on (Record returns at once).
TEST(HistoryStore, ReadOnlyFileUnwritableDirectoryAndLinkAreSaidOnce) {
  struct Row {
    const char* name;
    std::function<std::string(const TempDir&)> plant;  // the database's path
    const char* said;
  };
  const Row rows[] = {
      {"read-only file",
       [](const TempDir& d) {
         HistoryStore s(d.file("h.db"), {}, nullptr);
         s.Record(SmtpRun(kNow - 100));
         return d.file("h.db");
       },
       "is read-only; runs are not recorded"},
      {"state directory not writable", [](const TempDir& d) { return d.file("h.db"); }, "cannot open "},
      {"state directory missing", [](const TempDir& d) { return d.file("gone/h.db"); }, "cannot open "},
      {"symbolic link",
       [](const TempDir& d) {
         WriteBytes(d.file("elsewhere"), "");
         fs::create_symlink(d.file("elsewhere"), d.file("link.db"));
         return d.file("link.db");
       },
       "cannot open "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const std::string db = row.plant(dir);
    fs::remove(db + "-wal");
    fs::remove(db + "-shm");
    ::chmod(dir.path().c_str(), 0755);
    const std::string before = ReadBytes(db);
    const std::string out = AsNobody([&] {
      Lines said;
      HistoryStore store(db, {}, said.sink());
      const bool first = store.Record(SmtpRun(kNow));
      const bool second = store.Record(SmtpRun(kNow + 60));
      return std::string(first || second ? "recorded " : "") + std::to_string(said.lines.size()) + " " + said.joined();
    });
    EXPECT_EQ(out.substr(0, 2), "1 ");
    EXPECT_NE(out.find(row.said), std::string::npos) << out;
    EXPECT_EQ(ReadBytes(db), before);
    EXPECT_TRUE(AsideFiles(dir, "damaged").empty());
    EXPECT_TRUE(AsideFiles(dir, "foreign").empty());
  }
}

// A full disk: the runs that do not fit are dropped, said once; what was
// recorded stays readable, and recording resumes once there is room.
TEST(HistoryStore, FullDiskIsSaidOnceAndTheHistoryStaysReadable) {
  TempDir dir;
  const std::string mnt = dir.file("small");
  fs::create_directory(mnt);
  if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=2m") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mnt};
  const std::string db = mnt + "/h.db";
  WriteBytes(mnt + "/filler", std::string(1024 * 1024, 'f'));
  Lines said;
  {
    HistoryStore store(db, {}, said.sink());
    int recorded = 0, dropped = 0;
    for (int i = 0; i < 4000 && dropped < 20; ++i) {
      RunOutcome run = SmtpRun(kNow - 10000 + i, false);
      run.checks[0].reason = std::u16string(300, u'r') + FromUtf8(std::to_string(i));
      (store.Record(run) ? recorded : dropped)++;
    }
    EXPECT_GT(recorded, 10);
    EXPECT_EQ(dropped, 20);
    ASSERT_EQ(said.lines.size(), 1u) << said.joined();
    EXPECT_NE(said.joined().find("the disk is full"), std::string::npos);
    HistoryReader reader(db);
    ASSERT_TRUE(reader.Ok());
    EXPECT_EQ(reader.Load(u"mailsv", HistorySpan::Day, kNow).checks.at(0).runs, recorded);
    // Room again: the next run is recorded.
    fs::remove(mnt + "/filler");
    EXPECT_TRUE(store.Record(SmtpRun(kNow)));
  }
}

// The worker writes in the background and everything queued is written
// before it ends.
TEST(HistoryRecorder, WritesQueuedRunsOnItsThread) {
  TempDir dir;
  {
    HistoryRecorder recorder(dir.file("h.db"), {}, nullptr, [] { return kNow; });
    for (int i = 0; i < 50; ++i) recorder.Record(SmtpRun(kNow - 100 + i));
  }
  EXPECT_EQ(Query(dir.file("h.db"), "SELECT count(*) FROM runs"), std::vector<std::string>{"50"});
}
