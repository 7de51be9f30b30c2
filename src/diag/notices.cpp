#include "diag/notices.h"

#include <charconv>

#include "util/codepage.h"
#include "util/fileutil.h"
#include "util/xcommon.h"

namespace {

std::u16string Lower(std::u16string s) {
  for (char16_t& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return s;
}

std::u16string Num(int64_t n) {
  const std::string s = std::to_string(n);
  return std::u16string(s.begin(), s.end());
}

// Tabs and line ends cannot come from an entry or a label; kept out anyway so
// that a line always reads back as it was written.
std::string Field(const std::u16string& text) {
  std::string s = ToUtf8(text);
  for (char& c : s)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return s;
}

bool ToInt(std::string_view s, int64_t& out) {
  const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc{} && r.ptr == s.data() + s.size();
}

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return parts;
}

constexpr std::string_view kHeader = "# velkor check states 1";

}  // namespace

std::u16string TargetKey(const std::u16string& target) { return Lower(target); }

std::vector<CheckChange> CheckStateBook::Apply(const RunOutcome& run) {
  std::vector<CheckChange> changes;
  if (run.stopped) return changes;
  const std::u16string target = TargetKey(run.target);
  int64_t& runs = m_runs[target];
  const int64_t previous = runs;
  ++runs;
  for (const RunCheckOutcome& check : run.checks) {
    const std::u16string label = CheckLabel(check);
    auto [it, fresh] = m_checks.try_emplace({target, label});
    CheckState& state = it->second;
    const bool comparable = !fresh && previous > 0 && state.seenRun == previous;
    if (fresh || state.passed != check.passed) {
      if (comparable) {
        CheckChange change;
        change.label = label;
        change.recovered = check.passed;
        if (check.passed)
          change.downSeconds = run.startedUnix - state.since;
        else
          change.reason = check.reason;
        changes.push_back(std::move(change));
      }
      // A new state counts from this run, whether or not it was a change.
      state.passed = check.passed;
      state.since = run.startedUnix;
    }
    state.seenRun = runs;
  }
  return changes;
}

std::string CheckStateBook::Serialize() const {
  std::string out(kHeader);
  out += '\n';
  for (const auto& [target, runs] : m_runs) out += "T\t" + Field(target) + "\t" + std::to_string(runs) + "\n";
  for (const auto& [key, s] : m_checks)
    out += "C\t" + Field(key.first) + "\t" + Field(key.second) + "\t" + (s.passed ? "1" : "0") + "\t" +
           std::to_string(s.since) + "\t" + std::to_string(s.seenRun) + "\n";
  return out;
}

void CheckStateBook::Parse(std::string_view text) {
  m_runs.clear();
  m_checks.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    const std::vector<std::string_view> f = SplitTabs(line);
    int64_t a = 0, b = 0, c = 0;
    if (f.size() == 3 && f[0] == "T" && ToInt(f[2], a)) {
      m_runs[FromUtf8(f[1])] = a;
    } else if (f.size() == 6 && f[0] == "C" && (f[3] == "0" || f[3] == "1") && ToInt(f[4], b) && ToInt(f[5], c)) {
      m_checks[{FromUtf8(f[1]), FromUtf8(f[2])}] = CheckState{f[3] == "1", b, c};
    }
  }
}

std::vector<CheckChange> CheckStateStore::Apply(const RunOutcome& run) {
  if (!m_loaded) {
    m_loaded = true;
    std::vector<uint8_t> bytes;
    if (ReadFileBytes(m_path, bytes)) m_book.Parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  std::vector<CheckChange> changes = m_book.Apply(run);
  if (!run.stopped) {
    const std::string text = m_book.Serialize();
    WriteFileBytes(m_path, std::vector<uint8_t>(text.begin(), text.end()), 0600);
  }
  return changes;
}

std::u16string DurationText(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  if (seconds < 60) return Num(seconds) + u" 秒";
  const int64_t minutes = seconds / 60;
  if (minutes < 60) return Num(minutes) + u" 分";
  const int64_t hours = minutes / 60;
  if (hours < 24) return Num(hours) + u" 時間 " + Num(minutes % 60) + u" 分";
  return Num(hours / 24) + u" 日 " + Num(hours % 24) + u" 時間";
}

NoticeText ComposeNotice(const std::u16string& target, const std::vector<CheckChange>& changes) {
  NoticeText n;
  size_t failed = 0;
  for (const CheckChange& c : changes)
    if (!c.recovered) ++failed;
  n.summary = target + (failed == 0 ? u"： 復旧しました" : u"： 異常があります");
  for (const CheckChange& c : changes) {
    if (!n.body.empty()) n.body += u"\n";
    if (c.recovered)
      n.body += c.label + u" 【復旧】 停止していた時間： " + DurationText(c.downSeconds);
    else
      n.body += c.label + u" 【異常】" + (c.reason.empty() ? u"" : u" " + c.reason);
  }
  return n;
}
