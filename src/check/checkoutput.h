#pragma once
// What velkor-check prints and the exit status it answers: the plugins'
// status line with performance data, one line per check, and with -v the
// transcripts and error reports. UTF-8, LF line ends.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check/checkoptions.h"
#include "net/probes.h"

// The exit statuses of a monitoring plugin.
enum class CheckExit : int {
  Ok = 0,        // every check passed within the thresholds
  Warning = 1,   // a check passed but took longer than -w, or its certificate warns
  Critical = 2,  // a check failed, took longer than -c, or its certificate has fewer days than --cert-days C
  Unknown = 3,   // bad input, or the command's own time-out
};

// One check of a run as the command saw it.
struct CheckRecord {
  std::string name;   // "SMTP 25", "SMTP 587t", "PING", "SHARES"
  std::string label;  // performance label: "smtp_25", "smtp_587t", "ping", "shares"
  bool passed = false;
  double seconds = 0;
  std::u16string message;               // the check's own text (reply transcript, listing)
  std::vector<std::u16string> reports;  // error reports made while it ran
  std::string service;                  // "smtp", "pop", "ftp", "http", "ping", "shares"
  std::string port;                     // the port's number as written, without its suffix ("" for PING, SHARES)
  TlsMode tls = TlsMode::None;
  std::optional<TlsFindings> tlsFound;  // what the TLS of a TLS check found
};

// Everything one run leaves for the output.
struct CheckRunReport {
  std::vector<CheckRecord> checks;
  double seconds = 0;                        // the whole command
  std::vector<std::u16string> resultItems;   // the result list, as the window shows it
  std::vector<std::u16string> errorReports;  // every report, as the window would box or log it
};

struct CheckOutcome {
  CheckExit status = CheckExit::Unknown;
  std::string text;  // the whole standard output
};

CheckOutcome FormatCheckOutcome(const CheckRunReport& run, const CheckRequest& request);
// One check's state: CRITICAL when it failed, took longer than -c or its
// certificate has fewer days left than --cert-days C; WARNING when longer
// than -w, or its certificate warns; else OK.
CheckExit CheckStateOf(const CheckRecord& check, const CheckRequest& request);
// What a TLS check's certificate adds to its state: "certificate expired",
// "certificate not yet valid", "certificate not verified", "certificate name
// does not match", "old protocol TLSv1", "certificate expires in N days";
// none for other checks.
std::vector<std::string> CertificateReasons(const CheckRecord& check, const CheckRequest& request);
// "OK", "WARNING", "CRITICAL", "UNKNOWN".
const char* CheckStateWord(CheckExit status);
// Bad input: one line saying what is wrong.
CheckOutcome BadInputOutcome(const std::string& what);
// The command's own time-out (--max-time).
std::string TimedOutLine(const std::string& seconds);

// A text from a server or a file made fit for one line of plugin output:
// UTF-8, "|" shown as "¦" (so it cannot start the performance data), other
// line ends and control characters as blanks.
std::string PluginText(std::u16string_view text);
