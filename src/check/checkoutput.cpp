#include "check/checkoutput.h"

#include <algorithm>
#include <cstdio>

#include "util/codepage.h"

namespace {

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6f", s);
  return buf;
}

// Why a check has its state; the worst reason wins.
enum class Why { Passed, OverWarning, OverCritical, Failed };

Why WhyOf(const CheckRecord& c, const CheckRequest& r) {
  if (!c.passed) return Why::Failed;
  if (r.critical && c.seconds > r.critical->value) return Why::OverCritical;
  if (r.warning && c.seconds > r.warning->value) return Why::OverWarning;
  return Why::Passed;
}

CheckExit StateOf(Why why) {
  switch (why) {
    case Why::Passed: return CheckExit::Ok;
    case Why::OverWarning: return CheckExit::Warning;
    default: return CheckExit::Critical;
  }
}

// The lines of a text, without their line ends.
std::vector<std::u16string> Lines(const std::u16string& text) {
  std::vector<std::u16string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find(u'\n', pos);
    if (lf == std::u16string::npos) lf = text.size();
    std::u16string line = text.substr(pos, lf - pos);
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    lines.push_back(std::move(line));
    pos = lf + 1;
  }
  return lines;
}

std::u16string FirstLine(const std::u16string& text) {
  for (const std::u16string& line : Lines(text))
    if (line.find_first_not_of(u" \t") != std::u16string::npos) return line;
  return {};
}

// The first line a server sent: transcripts hold the commands too ("> ").
std::u16string FirstReplyLine(const std::u16string& text) {
  for (const std::u16string& line : Lines(text))
    if (line.find_first_not_of(u" \t") != std::u16string::npos && line.rfind(u"> ", 0) != 0) return line;
  return {};
}

// "SMTP 25: OK - passed in 0.000812 s: 220 mail.example.org ESMTP"
std::string CheckLine(const CheckRecord& c, const CheckRequest& r) {
  const Why why = WhyOf(c, r);
  std::string line = c.name + ": " + CheckStateWord(StateOf(why)) + " - " + (c.passed ? "passed" : "failed") + " in " +
                     Seconds(c.seconds) + " s";
  if (why == Why::OverCritical) line += ", over the critical time of " + r.critical->text + " s";
  if (why == Why::OverWarning) line += ", over the warning time of " + r.warning->text + " s";
  const std::u16string first = FirstReplyLine(c.message);
  if (!first.empty()) {
    line += ": " + PluginText(first);
  } else if (!c.passed) {
    line += ": no reply";
    if (!c.reports.empty()) line += " (" + PluginText(FirstLine(c.reports.front())) + ")";
  }
  return line;
}

std::string NameList(const std::vector<const CheckRecord*>& checks) {
  std::string list;
  for (const CheckRecord* c : checks) list += (list.empty() ? "" : ", ") + c->name;
  return list;
}

std::string PerfItem(const std::string& label, double seconds, const CheckRequest& r) {
  return "'" + label + "'=" + Seconds(seconds) + "s;" + (r.warning ? r.warning->text : "") + ";" +
         (r.critical ? r.critical->text : "") + ";0";
}

}  // namespace

const char* CheckStateWord(CheckExit s) {
  switch (s) {
    case CheckExit::Ok: return "OK";
    case CheckExit::Warning: return "WARNING";
    case CheckExit::Critical: return "CRITICAL";
    default: return "UNKNOWN";
  }
}

CheckExit CheckStateOf(const CheckRecord& check, const CheckRequest& request) {
  return StateOf(WhyOf(check, request));
}

std::string PluginText(std::u16string_view text) {
  std::u16string t(text);
  for (char16_t& ch : t) {
    if (ch == u'|') ch = u'\u00A6';
    else if (ch < 0x20 || ch == 0x7F) ch = u' ';
  }
  return ToUtf8(t);
}

CheckOutcome FormatCheckOutcome(const CheckRunReport& run, const CheckRequest& r) {
  std::vector<const CheckRecord*> failed, overCritical, overWarning;
  CheckExit status = CheckExit::Ok;
  for (const CheckRecord& c : run.checks) {
    const Why why = WhyOf(c, r);
    if (why == Why::Failed) failed.push_back(&c);
    if (why == Why::OverCritical) overCritical.push_back(&c);
    if (why == Why::OverWarning) overWarning.push_back(&c);
    status = std::max(status, StateOf(why));
  }
  const std::string of = " of " + std::to_string(run.checks.size()) + " checks ";
  std::string summary;
  auto add = [&](const std::vector<const CheckRecord*>& which, const std::string& what) {
    if (which.empty()) return;
    summary += (summary.empty() ? "" : "; ") + std::to_string(which.size()) + of + what + ": " + NameList(which);
  };
  add(failed, "failed");
  add(overCritical, "over the critical time of " + (r.critical ? r.critical->text : "") + " s");
  if (status == CheckExit::Warning) add(overWarning, "over the warning time of " + (r.warning ? r.warning->text : "") + " s");
  if (summary.empty()) summary = std::to_string(run.checks.size()) + of + "passed";

  // Labels are unique, so that a port named twice keeps both figures.
  std::string perf;
  std::vector<std::string> seen;
  for (const CheckRecord& c : run.checks) {
    std::string label = c.label;
    for (int n = 2; std::find(seen.begin(), seen.end(), label) != seen.end(); ++n) label = c.label + "_" + std::to_string(n);
    seen.push_back(label);
    perf += PerfItem(label, c.seconds, r) + " ";
  }
  perf += "'time'=" + Seconds(run.seconds) + "s;;;0";

  std::string text = std::string("VELKOR ") + CheckStateWord(status) + " - " + PluginText(FromUtf8(summary)) + " | " + perf + "\n";
  for (const CheckRecord& c : run.checks) text += CheckLine(c, r) + "\n";
  if (r.verbose) {
    text += "Transcript:\n";
    for (const std::u16string& item : run.resultItems)
      for (const std::u16string& line : Lines(item)) text += PluginText(line) + "\n";
    if (!run.errorReports.empty()) text += "Error reports:\n";
    for (const std::u16string& report : run.errorReports)
      for (const std::u16string& line : Lines(report)) text += PluginText(line) + "\n";
  }
  return CheckOutcome{status, std::move(text)};
}

CheckOutcome BadInputOutcome(const std::string& what) {
  return CheckOutcome{CheckExit::Unknown, "VELKOR UNKNOWN - " + PluginText(FromUtf8(what)) + "\n"};
}

std::string TimedOutLine(const std::string& seconds) {
  return "VELKOR UNKNOWN - timed out after " + PluginText(FromUtf8(seconds)) + " s\n";
}
