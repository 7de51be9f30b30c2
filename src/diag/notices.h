#pragma once
// The desktop notices' memory: which checks changed between a run and the
// previous finished run against the same target, a check that went from
// passing to failing or back, and for how long a recovered check was down.
// The states survive a restart in a small file in the state directory, so a
// recovery after a restart is still noticed.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "diag/runrecord.h"

inline constexpr char16_t kNoticeStateFileName[] = u"vkrNotice.dat";

struct CheckChange {
  std::u16string label;     // "SMTP 587t"
  bool recovered = false;   // failing to passing; otherwise passing to failing
  std::u16string reason;    // a failure's reason, where the run has one
  int64_t downSeconds = 0;  // a recovery: from the first failed run to this one
};

// Targets are compared as typed, letters without regard to case.
std::u16string TargetKey(const std::u16string& target);

class CheckStateBook {
 public:
  // Compares a finished run with the previous finished run of its target and
  // keeps its states. A stopped run compares and keeps nothing. A check that
  // was not run in the previous run, or has no state yet, is no change.
  std::vector<CheckChange> Apply(const RunOutcome& run);
  // UTF-8 lines; Parse skips lines it cannot read.
  std::string Serialize() const;
  void Parse(std::string_view text);

 private:
  struct CheckState {
    bool passed = false;
    int64_t since = 0;   // start of the first run in this state
    int64_t seenRun = 0; // the target's run number when it was last run
  };
  std::map<std::u16string, int64_t> m_runs;  // target key -> finished runs so far
  std::map<std::pair<std::u16string, std::u16string>, CheckState> m_checks;
};

// The book in its file: read on first use, written after every run that
// changed it. A file that cannot be read or written costs only the memory
// across a restart.
class CheckStateStore {
 public:
  explicit CheckStateStore(std::u16string path) : m_path(std::move(path)) {}
  std::vector<CheckChange> Apply(const RunOutcome& run);

 private:
  std::u16string m_path;
  bool m_loaded = false;
  CheckStateBook m_book;
};

struct NoticeText {
  std::u16string summary;
  std::u16string body;
};
// One notice for all changes of one run.
NoticeText ComposeNotice(const std::u16string& target, const std::vector<CheckChange>& changes);
// "45 秒", "12 分", "3 時間 5 分", "2 日 4 時間".
std::u16string DurationText(int64_t seconds);
