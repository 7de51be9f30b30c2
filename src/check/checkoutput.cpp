#include "check/checkoutput.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "diag/resultreport.h"
#include "net/failphrase.h"
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

// What a TLS check's certificate adds to its state, and why.
struct CertVerdict {
  CheckExit state = CheckExit::Ok;
  std::vector<std::string> reasons;
  void Add(CheckExit s, std::string reason) {
    state = std::max(state, s);
    reasons.push_back(std::move(reason));
  }
};

CertVerdict CertOf(const CheckRecord& c, const CheckRequest& r) {
  CertVerdict v;
  if (!c.tlsFound || !c.tlsFound->handshake) return v;
  const TlsFindings& f = *c.tlsFound;
  // A protocol below TLS 1.2 is no matter of trust: --no-verify does not waive it.
  const std::string oldProtocol = f.oldProtocol ? "old protocol " + ToUtf8(f.version) : "";
  // Outside its validity period the check itself fails; --no-verify does not excuse it.
  if (f.expired || f.notYetValid) {
    v.Add(CheckExit::Critical, f.expired ? "certificate expired" : "certificate not yet valid");
    if (!oldProtocol.empty()) v.Add(CheckExit::Warning, oldProtocol);
    return v;
  }
  if (!r.noVerify && !f.chainVerified) v.Add(CheckExit::Warning, "certificate not verified");
  if (!r.noVerify && !f.nameMatches) v.Add(CheckExit::Warning, "certificate name does not match");
  if (!oldProtocol.empty()) v.Add(CheckExit::Warning, oldProtocol);
  if (r.certDays && f.hasExpiry && f.daysLeft < r.certDays->warning) {
    const std::string left =
        "certificate expires in " + std::to_string(f.daysLeft) + (f.daysLeft == 1 ? " day" : " days");
    v.Add(f.daysLeft < r.certDays->critical ? CheckExit::Critical : CheckExit::Warning, left);
  }
  return v;
}

CheckExit CheckState(const CheckRecord& c, const CheckRequest& r) {
  return std::max(StateOf(WhyOf(c, r)), CertOf(c, r).state);
}

std::string Join(const std::vector<std::string>& parts, const std::string& between) {
  std::string all;
  for (const std::string& p : parts) all += (all.empty() ? "" : between) + p;
  return all;
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

// The first line a server sent: transcripts hold the commands ("> ", the
// HTTP request with its header lines up to its blank line) and the TLS
// lines too.
std::u16string FirstReplyLine(const std::u16string& text) {
  bool inRequest = false;
  for (const std::u16string& line : Lines(text)) {
    if (line.rfind(u"> ", 0) == 0) {
      inRequest = line.rfind(u"> GET ", 0) == 0;
      continue;
    }
    if (inRequest) {
      inRequest = !line.empty();
      continue;
    }
    if (line.find_first_not_of(u" \t") != std::u16string::npos && !IsTlsInfoLine(line)) return line;
  }
  return {};
}

// A failed check's reason, and whether it came from the core (rather than
// the certificate or the check's own text).
struct Failure {
  std::string text;
  bool fromCore = true;
};

Failure FailureOf(const CheckRecord& c, const CheckRequest& r) {
  if (!c.statusMismatch.empty()) return {c.statusMismatch};
  if (c.failure.kind == FailKind::EveryAddressFailed && !c.tried.empty()) {
    std::string each;
    for (const AddressTried& t : c.tried)
      each += (each.empty() ? "" : ", ") + PluginText(t.address) + " (" + FailurePhrase(t.reason) + ")";
    return {FailurePhrase(c.failure) + ": " + each};
  }
  if (c.failure.kind != FailKind::None) return {FailurePhrase(c.failure)};
  const std::vector<std::string> cert = CertOf(c, r).reasons;
  if (!cert.empty()) return {Join(cert, ", "), false};
  // Ping and the share list say it in their own (English) words.
  const std::u16string first = FirstReplyLine(c.message);
  if (!first.empty()) return {PluginText(first), false};
  if (!c.reports.empty()) return {PluginText(FirstLine(c.reports.front())), false};
  return {"no reply", false};
}

// "SMTP 25: OK - passed in 0.000812 s: 220 mail.example.org ESMTP"
// "SMTP 25: CRITICAL - failed in 0.000038 s: connection refused"
std::string CheckLine(const CheckRecord& c, const CheckRequest& r) {
  const Why why = WhyOf(c, r);
  std::string line = c.name + ": " + CheckStateWord(CheckState(c, r)) + " - " + (c.passed ? "passed" : "failed") +
                     " in " + Seconds(c.seconds) + " s";
  if (why == Why::OverCritical) line += ", over the critical time of " + r.critical->text + " s";
  if (why == Why::OverWarning) line += ", over the warning time of " + r.warning->text + " s";
  for (const std::string& reason : CertOf(c, r).reasons) line += ", " + reason;
  const std::u16string first = FirstReplyLine(c.message);
  const Failure failure = c.passed ? Failure{} : FailureOf(c, r);
  if (!c.passed && (failure.fromCore || first.empty())) {
    line += ": " + failure.text;
  } else if (!first.empty()) {
    line += ": " + PluginText(first);
  }
  return line;
}

std::string NameList(const std::vector<const CheckRecord*>& checks) {
  std::string list;
  for (const CheckRecord* c : checks) list += (list.empty() ? "" : ", ") + c->name;
  return list;
}

// "HTTP 443s (certificate not verified), SMTP 25 (connection refused)"
std::string NamesWithReasons(const std::vector<const CheckRecord*>& checks, const CheckRequest& r) {
  std::string list;
  for (const CheckRecord* c : checks) {
    const std::string reason = c->passed ? Join(CertOf(*c, r).reasons, ", ") : FailureOf(*c, r).text;
    list += (list.empty() ? "" : ", ") + c->name + (reason.empty() ? "" : " (" + reason + ")");
  }
  return list;
}

std::string PerfItem(const std::string& label, double seconds, const CheckRequest& r) {
  return "'" + label + "'=" + Seconds(seconds) + "s;" + (r.warning ? r.warning->text : "") + ";" +
         (r.critical ? r.critical->text : "") + ";0";
}

}  // namespace

std::vector<std::string> WarningReasons(const CheckRecord& c, const CheckRequest& r) {
  std::vector<std::string> reasons;
  if (!c.passed) return reasons;
  if (WhyOf(c, r) == Why::OverWarning) reasons.push_back("over the warning time of " + r.warning->text + " s");
  const CertVerdict cert = CertOf(c, r);
  if (cert.state == CheckExit::Warning) reasons.insert(reasons.end(), cert.reasons.begin(), cert.reasons.end());
  return reasons;
}

std::optional<std::string> CheckReason(const CheckRecord& c, const CheckRequest& r) {
  if (!c.passed) return FailureOf(c, r).text;
  std::vector<std::string> reasons;
  const Why why = WhyOf(c, r);
  if (why == Why::OverCritical) reasons.push_back("over the critical time of " + r.critical->text + " s");
  if (why == Why::OverWarning) reasons.push_back("over the warning time of " + r.warning->text + " s");
  for (const std::string& reason : CertOf(c, r).reasons) reasons.push_back(reason);
  if (reasons.empty()) return std::nullopt;
  return Join(reasons, ", ");
}

std::u16string CheckTranscript(const CheckRecord& c) {
  if (!c.message.empty() || c.target.empty()) return c.message;
  return CheckResultBlock(c.target, c.passed, c.message);
}

void ApplyExpectedStatus(CheckRecord& c, const CheckExpectStatus& expected) {
  if (c.service != "http" || !c.passed) return;
  // "HTTP/1.1 500 Internal Server Error": the code after the version.
  const std::u16string& line = c.httpStatus;
  const size_t blank = line.find(u' ');
  std::u16string status = blank == std::u16string::npos ? u"" : line.substr(blank + 1);
  while (!status.empty() && status.front() == u' ') status.erase(0, 1);
  int code = 0;
  auto digit = [](char16_t ch) { return ch >= u'0' && ch <= u'9'; };
  if (status.size() >= 3 && std::all_of(status.begin(), status.begin() + 3, digit) &&
      (status.size() == 3 || status[3] == u' '))
    code = (status[0] - u'0') * 100 + (status[1] - u'0') * 10 + (status[2] - u'0');
  if (code != 0 && expected.Accepts(code)) return;
  c.passed = false;
  c.statusMismatch = (code != 0 ? "status " + PluginText(status) : "no status in " + Quoted(line)) + ", expected " +
                     expected.text;
}

const char* CheckStateWord(CheckExit s) {
  switch (s) {
    case CheckExit::Ok: return "OK";
    case CheckExit::Warning: return "WARNING";
    case CheckExit::Critical: return "CRITICAL";
    default: return "UNKNOWN";
  }
}

CheckExit CheckStateOf(const CheckRecord& check, const CheckRequest& request) { return CheckState(check, request); }

std::vector<std::string> CertificateReasons(const CheckRecord& check, const CheckRequest& request) {
  return CertOf(check, request).reasons;
}

std::string PluginText(std::u16string_view text) { return OneLineText(text); }

CheckOutcome FormatCheckOutcome(const CheckRunReport& run, const CheckRequest& r) {
  std::vector<const CheckRecord*> failed, overCritical, overWarning, certCritical, certWarning;
  CheckExit status = CheckExit::Ok;
  for (const CheckRecord& c : run.checks) {
    const Why why = WhyOf(c, r);
    if (why == Why::Failed) failed.push_back(&c);
    if (why == Why::OverCritical) overCritical.push_back(&c);
    if (why == Why::OverWarning) overWarning.push_back(&c);
    const CheckExit cert = c.passed ? CertOf(c, r).state : CheckExit::Ok;
    if (cert == CheckExit::Critical) certCritical.push_back(&c);
    if (cert == CheckExit::Warning) certWarning.push_back(&c);
    status = std::max(status, CheckState(c, r));
  }
  const std::string of = " of " + std::to_string(run.checks.size()) + " checks ";
  std::string summary;
  auto add = [&](const std::vector<const CheckRecord*>& which, const std::string& what) {
    if (which.empty()) return;
    summary += (summary.empty() ? "" : "; ") + std::to_string(which.size()) + of + what + ": " + NameList(which);
  };
  if (!failed.empty())
    summary = std::to_string(failed.size()) + of + "failed: " + NamesWithReasons(failed, r);
  add(overCritical, "over the critical time of " + (r.critical ? r.critical->text : "") + " s");
  if (status == CheckExit::Warning) add(overWarning, "over the warning time of " + (r.warning ? r.warning->text : "") + " s");
  // Checks that passed, with what their certificates say.
  std::vector<std::string> certParts;
  if (!certCritical.empty())
    certParts.push_back(std::to_string(certCritical.size()) + " critical: " + NamesWithReasons(certCritical, r));
  if (!certWarning.empty())
    certParts.push_back(std::to_string(certWarning.size()) + " with a warning: " + NamesWithReasons(certWarning, r));
  if (summary.empty()) {
    summary = std::to_string(run.checks.size()) + of + "passed";
    if (!certParts.empty()) summary += ", " + Join(certParts, "; ");
  } else if (!certParts.empty()) {
    summary += "; " + Join(certParts, "; ");
  }

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
  if (!run.logNote.empty()) text += run.logNote + "\n";
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
