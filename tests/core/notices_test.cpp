// Which checks changed between a run and the previous finished run of its
// target, across a restart too, and the notice that says so.
#include "diag/notices.h"

#include <gtest/gtest.h>

#include <optional>

#include "support/tempdir.h"
#include "util/codepage.h"

namespace {

struct Check { const char16_t* service; const char16_t* port; bool passed; };
struct RunOf { const char16_t* target; std::vector<Check> checks; bool stopped = false; };

RunOutcome Outcome(const RunOf& r, int64_t at) {
  RunOutcome o{r.target, at, 0.5, false, r.stopped, false, RunStart::Diag, {}};
  for (const Check& c : r.checks) o.checks.push_back({c.service, c.port, c.passed, 0.1, c.passed ? u"" : u"why", {}});
  return o;
}

// "SMTP 25 down why" / "SMTP 25 up 2000": the changes of a run in one line.
std::u16string Said(const std::vector<CheckChange>& changes) {
  std::u16string s;
  for (const CheckChange& c : changes) {
    if (!s.empty()) s += u"; ";
    s += c.label + (c.recovered ? u" up " + FromUtf8(std::to_string(c.downSeconds)) : u" down " + c.reason);
  }
  return s;
}

const Check kSmtpUp{u"SMTP", u"25", true}, kSmtpDown{u"SMTP", u"25", false}, kPingUp{u"PING", u"", true};

// Runs start 1000 s apart; the last run's changes are compared. restart: the program starts again before each
// run, so what it compares with is what the file kept; file: what the file holds before the first run.
TEST(CheckStateStore, ChangesAgainstThePreviousFinishedRunOfTheSameTarget) {
  const struct {
    const char* name;
    std::vector<RunOf> runs;
    std::u16string said;
    bool restart = false;
    std::string file = "";
  } rows[] = {
      {"fail", {{u"mx", {kSmtpUp}}, {u"mx", {kSmtpDown}}}, u"SMTP 25 down why"},
      {"recover with the time since the first failed run",
       {{u"mx", {kSmtpUp}}, {u"mx", {kSmtpDown}}, {u"mx", {kSmtpDown}}, {u"mx", {kSmtpUp}}}, u"SMTP 25 up 2000"},
      {"no change", {{u"mx", {kSmtpDown}}, {u"mx", {kSmtpDown}}}, u""},
      {"first run", {{u"mx", {kSmtpDown}}}, u""},
      {"several changes in one run",
       {{u"mx", {{u"PING", u"", true}, {u"NetBIOS", u"", false}, {u"HTTP", u"443s", false}, kSmtpUp}},
        {u"mx", {{u"PING", u"", false}, {u"NetBIOS", u"", true}, {u"HTTP", u"443s", true}, kSmtpUp}}},
       u"PING down why; NetBIOS up 1000; HTTP 443s up 1000"},
      {"not run last time", {{u"mx", {kSmtpUp}}, {u"mx", {{u"POP", u"110", true}}}, {u"mx", {kSmtpDown}}}, u""},
      {"a stopped run neither changes nor counts",
       {{u"mx", {kSmtpUp}}, {u"mx", {kSmtpDown}, true}, {u"mx", {kSmtpUp}}}, u""},
      {"stopped itself", {{u"mx", {kSmtpUp}}, {u"mx", {kSmtpDown}, true}}, u""},
      {"names without regard to case", {{u"Mail.Example", {kSmtpUp}}, {u"mail.example", {kSmtpDown}}},
       u"SMTP 25 down why"},
      {"another target's runs in between",
       {{u"a", {kSmtpUp}}, {u"b", {kSmtpDown}}, {u"b", {kSmtpDown}}, {u"a", {kSmtpDown}}}, u"SMTP 25 down why"},
      {"a TLS suffix is another check", {{u"mx", {{u"SMTP", u"587", true}}}, {u"mx", {{u"SMTP", u"587t", false}}}},
       u""},
      {"a failure and a recovery across restarts",
       {{u"mx", {kSmtpUp, kPingUp}}, {u"mx", {kSmtpDown, kPingUp}}, {u"mx", {kSmtpUp, kPingUp}}}, u"SMTP 25 up 1000",
       true},
      {"a damaged file is a book without states", {{u"mx", {kSmtpDown}}}, u"", false, "C\tmx\tSMTP 25\t2\tx\n\t\t\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    if (!row.file.empty()) WriteBytes(dir.file("vkrNotice.dat"), row.file);
    std::optional<CheckStateStore> store;
    std::vector<CheckChange> last;
    int64_t at = 0;
    for (const RunOf& run : row.runs) {
      if (!store || row.restart) store.emplace(dir.file16("vkrNotice.dat"));
      last = store->Apply(Outcome(run, at += 1000));
    }
    EXPECT_EQ(Said(last), row.said);
  }
}

TEST(Notice, SaysEachChangeAndHowLongARecoveredCheckWasDown) {
  const NoticeText n = ComposeNotice(u"mx.example", {{u"SMTP 587t", false, u"connection refused", 0},
                                                     {u"PING", true, u"", 3720}});
  EXPECT_EQ(n.summary, u"mx.example： 異常があります");
  EXPECT_EQ(n.body, u"SMTP 587t 【異常】 connection refused\nPING 【復旧】 停止していた時間： 1 時間 2 分");
  EXPECT_EQ(ComposeNotice(u"mx", {{u"PING", true, u"", 30}}).summary, u"mx： 復旧しました");
  const struct { int64_t seconds; std::u16string text; } durations[] = {
      {-5, u"0 秒"}, {59, u"59 秒"}, {60, u"1 分"}, {3599, u"59 分"},
      {3600, u"1 時間 0 分"}, {86399, u"23 時間 59 分"}, {86400, u"1 日 0 時間"}};
  for (const auto& d : durations) EXPECT_EQ(DurationText(d.seconds), d.text) << d.seconds;
}

}  // namespace
