// What a finished run leaves behind. The run history on real SQLite files:
// what a run leaves in it, what the window reads back, the limits at their
// edges, and every way the file or its directory can let the history down
// without a run noticing. And the notice state file beside it: which checks
// changed since the last run of a target, and the notice that says so. The
// cases are steps in tests/data/history-store.cases and notices-changes.cases,
// run by one engine.
#include "diag/history.h"
#include "diag/notices.h"

#include <gmock/gmock.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "support/casefile.h"
#include "support/tempdir.h"
#include "support/unprivileged.h"
#include "util/clock.h"
#include "util/codepage.h"

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

constexpr int64_t kNow = 1795996800;  // a fixed "now", a whole day

// A value split into words the way Case::words splits a key's first one.
Strings WordsOf(const std::string& raw) { return Case{"", "", {{"w", raw}}}.words("w"); }

// "60 Mail-1 enter,stopped PING::P:0.001 SMTP:587t:F:0.2:refused:41", as the cases write a run.
RunOutcome RunOf(const std::string& raw) {
  const Strings w = WordsOf(raw);
  const RunStart how = w.at(2).starts_with("enter") ? RunStart::Enter
                       : w[2].starts_with("diag")   ? RunStart::Diag
                                                    : RunStart::Tick;
  const bool stopped = w[2].ends_with(",stopped");
  RunOutcome r{FromUtf8(w[1]), kNow - std::stoll(w[0]), 1.5, !stopped, stopped, how == RunStart::Tick, how, {}};
  for (size_t i = 3; i < w.size(); ++i) {
    std::string f[6];
    std::istringstream in(w[i]);
    for (std::string& part : f) std::getline(in, part, ':');
    const std::optional<int64_t> days = f[5].empty() ? std::nullopt : std::optional(std::stoll(f[5]));
    r.checks.push_back({FromUtf8(f[0]), FromUtf8(f[1]), f[2] == "P", std::stod(f[3]), FromUtf8(f[4]), days});
    r.passed = r.passed && f[2] == "P";
  }
  return r;
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

// A check's history as the cases' shown: and point: lines write it, added to out.
void Shown(const CheckHistory& c, Strings& out) {
  auto ago = [](int64_t at) { return std::to_string(kNow - at); };
  std::string s = "shown: " + ToUtf8(c.label) + " ";
  for (const StripCell& cell : c.strip) s += "PFSN"[static_cast<int>(cell.state)];
  if (!c.strip.empty()) s += " " + ago(c.strip.front().started) + ".." + ago(c.strip.back().started);
  s += " " + std::to_string(c.passed) + "/" + std::to_string(c.runs) + " " + testing::PrintToString(c.Uptime()) + " %";
  for (const DownPeriod& d : c.downs) s += ", down " + ago(d.from) + ".." + ago(d.until) + " " + ToUtf8(d.reason);
  out.push_back(s);
  for (const ChartPoint& p : c.points) {
    out.push_back("point: " + ago(p.at) + " " + testing::PrintToString(p.seconds));
    if (p.runs != 1 || p.maxSeconds != p.seconds)
      out.back() += " (" + std::to_string(p.runs) + " runs, slowest " + testing::PrintToString(p.maxSeconds) + ")";
  }
}

// One case in a directory of its own: each step's line, then what it showed.
struct Bench {
  Bench(const std::string& home, const std::string& file) : dir(home), db(home + "/" + file) {}
  // The store and the recorder close the file after this, on the tmpfs even once it is detached.
  ~Bench() {
    sqlite3_close(other);
    if (mounted) ::umount2(dir.c_str(), MNT_DETACH);
  }
  Strings Steps(const Case& c, size_t from);
  const std::string dir, db;
  std::string said, before;
  const HistoryReport say = [this](const std::u16string& line) { said += ToUtf8(line) + "\n"; };
  std::unique_ptr<HistoryStore> store = std::make_unique<HistoryStore>(db, HistoryLimits{}, say);
  std::atomic<int64_t> now{kNow};  // the recorder's clock, read on its worker until the recorder is gone
  std::unique_ptr<HistoryRecorder> recorder;
  std::optional<CheckStateStore> states;  // the notice state file's, read at its first run
  std::vector<CheckChange> changes;       // what notice: tells, from change: steps
  sqlite3* other = nullptr;
  int64_t locked = 0;
  bool mounted = false;
};

Strings Bench::Steps(const Case& c, size_t from) {
  static const std::map<std::string, HistorySpan> spans{{"hour", HistorySpan::Hour}, {"day", HistorySpan::Day},
                                                        {"week", HistorySpan::Week}, {"days90", HistorySpan::Days90}};
  static const std::set<std::string> shown{"row",  "shown",  "point",   "said",    "refused",
                                           "file", "target", "buckets", "dropped", "unreadable",
                                           "changed", "summary", "body", "text"};
  static const std::regex time("\\.(damaged|foreign)-[0-9]+");
  Strings out;
  for (size_t i = from; i < c.fields.size(); ++i) {
    const auto& [key, raw] = c.fields[i];
    const std::string value = Unescape(raw);
    if (shown.contains(key)) continue;
    out.push_back(key + ": " + raw);
    if (key == "run" && before.empty()) before = ReadBytes(db);
    if (key == "run" && !store->Record(RunOf(raw))) out.push_back("refused: ");
    if (key == "runs") {
      const size_t count = raw.find(' '), ago = raw.find(' ', count + 1);
      int refused = 0;
      for (int64_t n = 0; n < std::stoll(raw); ++n) {
        const RunOutcome run = RunOf(std::to_string(std::stoll(raw.substr(count)) - n) + raw.substr(ago));
        if (recorder)
          recorder->Record(run);
        else
          refused += !store->Record(run);
      }
      if (refused) out.push_back("refused: " + std::to_string(refused));
    }
    if (key == "limit")
      store = std::make_unique<HistoryStore>(db, HistoryLimits{.maxBytes = std::stoll(value)}, say);
    if (key == "recorder") {
      recorder = std::make_unique<HistoryRecorder>(db, HistoryLimits{.pruneEverySeconds = std::stoll(value)}, nullptr,
                                                   [this] { return now.load(); });
      recorder->WaitIdle();
    }
    if (key == "close-recorder") recorder.reset();
    if (key == "clock") now = kNow + std::stoll(value);
    if (key == "restart" || (key == "state" && !states)) states.emplace(FromUtf8(dir + "/vkrNotice.dat"));
    if (key == "state")
      for (const CheckChange& ch : states->Apply(RunOf(raw)))
        out.push_back("changed: " + ToUtf8(ch.label) +
                      (ch.recovered ? " up " + std::to_string(ch.downSeconds) : " down " + ToUtf8(ch.reason)));
    if (key == "change") {
      const Strings w = WordsOf(raw);
      changes.push_back({FromUtf8(w.at(0)), w.at(1) == "up", FromUtf8(w.at(2)), std::stoll(w.at(3))});
    }
    if (key == "notice") {
      const NoticeText n = ComposeNotice(FromUtf8(value), changes);
      out.push_back("summary: " + Escape(ToUtf8(n.summary)));
      out.push_back("body: " + Escape(ToUtf8(n.body)));
    }
    if (key == "duration") out.push_back("text: " + ToUtf8(DurationText(std::stoll(value))));
    if (key == "write") WriteBytes(dir + "/" + value.substr(0, value.find(' ')), value.substr(value.find(' ') + 1));
    if (key == "open") store->Open();
    if (key == "prune") store->Prune(kNow + std::stoll(value));
    if (key == "poll") {
      // Asked again until it gives the rows written after it (5 s at most): a worker's doing comes in its own time.
      Strings rows;
      for (size_t k = i + 1; k < c.fields.size() && c.fields[k].first == "row"; ++k)
        rows.push_back(Unescape(c.fields[k].second));
      for (int n = 0; n < 500 && Query(db, value) != rows; ++n) usleep(10000);
    }
    if (key == "sql" || key == "poll")
      for (const std::string& row : Query(db, value)) out.push_back("row: " + row);
    if (key == "load") {
      const Strings w = WordsOf(raw);
      const int64_t at = kNow + (w.size() > 3 ? std::stoll(w[3]) : 0);
      const TargetHistory h = HistoryReader(db).Load(FromUtf8(w.at(0)), spans.at(w.at(1)), at, std::stoi(w.at(2)));
      out.push_back("buckets: " + std::to_string(h.bucketSeconds));
      for (const CheckHistory& check : h.checks) Shown(check, out);
    }
    if (key == "targets")
      for (const std::u16string& t : HistoryReader(db).Targets()) out.push_back("target: " + ToUtf8(t));
    if (key == "other") {
      sqlite3_open(db.c_str(), &other);
      sqlite3_exec(other, value.c_str(), nullptr, nullptr, nullptr);
      locked = MonotonicMs();
    }
    if (key == "close-other") {
      sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
      sqlite3_close(std::exchange(other, nullptr));
    }
    if (key == "waited" && MonotonicMs() - locked < std::stoll(value))
      out.push_back("only: " + std::to_string(MonotonicMs() - locked));
    if (key == "plant" && value == "text") WriteBytes(db, std::string(5000, 'x'));
    if (key == "plant" && value == "empty") WriteBytes(db, "");
    if (key == "plant" && value == "symlink") WriteBytes(db + "-target", ""), fs::create_symlink(db + "-target", db);
    if (key == "plant" && value == "scrambled") {
      // Keep the header, scramble the pages behind it.
      std::string bytes = ReadBytes(db);
      for (size_t at = 4096 + 100; at < bytes.size(); at += 7) bytes[at] = static_cast<char>(0xA5);
      WriteBytes(db, bytes);
    }
    if (key == "hourly") {
      // Two runs an hour, 0.1 s and 0.3 s: in an hour ending in 0 the slow one fails, in one ending in 5 both do.
      for (int64_t hour = kNow - std::stoll(value) * 3600; hour < kNow; hour += 3600) {
        const std::string fast = (hour / 3600) % 10 == 5 ? "F:0.1:connection\\srefused" : "P:0.1";
        const std::string slow = (hour / 3600) % 5 == 0 ? "F:0.3:connection\\srefused" : "P:0.3";
        store->Record(RunOf(std::to_string(kNow - hour - 60) + " MailSv tick SMTP:25:" + fast));
        store->Record(RunOf(std::to_string(kNow - hour - 1800) + " MailSv tick SMTP:25:" + slow));
      }
    }
    if (key == "mount") mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + value).c_str()) == 0;
    if (key == "mount" && !mounted) return {"skipped: cannot mount a tmpfs"};
    if (key == "plant" && value == "filler") WriteBytes(dir + "/filler", std::string(1024 * 1024, 'f'));
    if (key == "remove") fs::remove(dir + "/" + value);
    if (key == "fill") {
      // Failed runs with long reasons until this many are dropped (4000 at most); what was recorded reads back.
      int recorded = 0, dropped = 0;
      for (int n = 0; n < 4000 && dropped < std::stoi(value); ++n) {
        const std::string reason = std::string(300, 'r') + std::to_string(n);
        const bool kept = store->Record(RunOf(std::to_string(10000 - n) + " MailSv tick SMTP:25:F:0.25:" + reason));
        (kept ? recorded : dropped)++;
      }
      const TargetHistory h = HistoryReader(db).Load(u"mailsv", HistorySpan::Day, kNow);
      out.push_back("dropped: " + std::to_string(dropped) + (recorded > 10 ? " after more than ten" : ""));
      if (h.checks.empty() || h.checks[0].runs != recorded) out.push_back("unreadable: ");
    }
    if (key == "files") {
      std::set<std::string> files;  // in their names' order
      for (const auto& e : fs::directory_iterator(dir))
        files.insert("file: " + std::regex_replace(e.path().filename().string(), time, ".$1-<time>") +
                        (!before.empty() && ReadBytes(e.path().string()) == before ? " as it was" : ""));
      out.insert(out.end(), files.begin(), files.end());
    }
    // What the store said, its set-aside files' times left out.
    for (size_t at; (at = said.find('\n')) != std::string::npos; said.erase(0, at + 1))
      out.push_back("said: " + std::regex_replace(said.substr(0, at), time, ".$1-<time>"));
    if (key == "as nobody") {
      ::chmod(fs::path(dir).parent_path().c_str(), 0755);
      ::chmod(dir.c_str(), 0755);
      std::string rest = AsNobody([&] {
        std::string lines;
        for (const std::string& line : Steps(c, i + 1)) lines += line + "\n";
        return lines;
      });
      for (size_t at; (at = rest.find('\n')) != std::string::npos; rest.erase(0, at + 1))
        out.push_back(rest.substr(0, at));
      if (!rest.empty()) out.push_back(rest);
      break;
    }
  }
  return out;
}

// Each case of a file under tests/data in a directory of its own: its steps and what they showed, against the case.
void RunCases(const std::string& file) {
  TempDir dir;
  const std::string home = dir.file("case");
  for (const Case& c : LoadCases(file, {{"DIR", home}, {"DB", home + "/h.db"}})) {
    CASE_TRACE(c);
    fs::remove_all(home);
    fs::create_directory(home);
    Bench bench(home, c.get("history", "h.db"));
    const Strings out = bench.Steps(c, 0);
    if (out == Strings{"skipped: cannot mount a tmpfs"}) continue;
    Strings expected;
    for (const auto& [key, raw] : c.fields) expected.push_back(key + ": " + raw);
    EXPECT_THAT(out, testing::ElementsAreArray(expected));
  }
}

}  // namespace

// What runs leave in the file, what the window reads back, what a spoiled file, another process or a full disk
// does to the history, the size limit and the recorder's worker.
TEST(HistoryStore, StepsOfEachCase) { RunCases("history-store.cases"); }

// Which checks a run changed, against the last finished run of its target, and the notice that says so.
TEST(Notices, StepsOfEachCase) { RunCases("notices-changes.cases"); }
