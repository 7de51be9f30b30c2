// Which checks changed between a run and the previous finished run of its
// target, across a restart too, and the notice that says so. The cases are
// in tests/data/notices-changes.cases.
#include "diag/notices.h"

#include <gtest/gtest.h>

#include <optional>

#include "support/casefile.h"
#include "support/tempdir.h"
#include "util/codepage.h"

namespace {

using Strings = std::vector<std::string>;

// A value split into words the way Case::words splits a key's first one.
Strings WordsOf(const std::string& raw) { return Case{"", "", {{"w", raw}}}.words("w"); }

// "mx stopped SMTP:25:F PING::P": the target, then the checks (a failed one's reason is "why").
RunOutcome Outcome(const Strings& words, int64_t at) {
  RunOutcome o{FromUtf8(words.at(0)), at, 0.5, false, false, false, RunStart::Diag, {}};
  for (size_t i = 1; i < words.size(); ++i) {
    const size_t a = words[i].find(':'), b = words[i].rfind(':');
    o.stopped = o.stopped || a == std::string::npos;
    if (a == std::string::npos) continue;
    const bool passed = words[i].substr(b + 1) == "P";
    o.checks.push_back({FromUtf8(words[i].substr(0, a)), FromUtf8(words[i].substr(a + 1, b - a - 1)), passed, 0.1,
                        passed ? u"" : u"why", {}});
  }
  return o;
}

// "SMTP 25 down why" / "SMTP 25 up 2000": the changes of a run in one line.
std::string Said(const std::vector<CheckChange>& changes) {
  std::string s;
  for (const CheckChange& c : changes) {
    s += (s.empty() ? "" : "; ") + ToUtf8(c.label);
    s += c.recovered ? " up " + std::to_string(c.downSeconds) : " down " + ToUtf8(c.reason);
  }
  return s;
}

// Each case's run: lines go through one state file, its change: lines make a notice, its seconds: a duration.
TEST(Notices, ChangesTheNoticeThatSaysThemAndHowLong) {
  for (const Case& c : LoadCases("notices-changes.cases")) {
    CASE_TRACE(c);
    TempDir dir;
    if (c.has("file")) WriteBytes(dir.file("vkrNotice.dat"), c.get("file"));
    std::optional<CheckStateStore> store;
    std::vector<CheckChange> changes;
    int64_t at = 0;
    for (const auto& [key, raw] : c.fields) {
      const Strings w = WordsOf(raw);
      if (key == "change")
        changes.push_back({FromUtf8(w.at(0)), w.at(1) == "up", FromUtf8(w.at(2)), std::stoll(w.at(3))});
      if (key == "run" && (!store || c.has("restart"))) store.emplace(dir.file16("vkrNotice.dat"));
      if (key == "run") changes = store->Apply(Outcome(w, at += 1000));
    }
    if (c.has("run")) EXPECT_EQ(Said(changes), c.get("said"));
    const NoticeText n = ComposeNotice(FromUtf8(c.get("target")), changes);
    if (c.has("target")) EXPECT_EQ(ToUtf8(n.summary + u"|" + n.body), c.get("summary") + "|" + c.get("body"));
    if (c.has("seconds")) EXPECT_EQ(ToUtf8(DurationText(c.number("seconds"))), c.get("text"));
  }
}

}  // namespace
