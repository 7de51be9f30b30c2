#pragma once
// What velkor-check prints and the exit status it answers: the plugins'
// status line with performance data, one line per check, and with -v the
// transcripts and error reports. UTF-8, LF line ends.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check/checkoptions.h"
#include "net/failphrase.h"
#include "net/failreason.h"
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
  std::u16string target;                // the host as the window names it in the check's block
  FailReason failure;                   // what the core saw when the check failed (kind None: nothing)
  std::u16string httpStatus;            // an HTTP check's status line
  std::string statusMismatch;           // --expect-status: why the status fails the check
  std::u16string address;               // the address the connect used ("" when none was tried)
  std::vector<AddressTried> tried;      // a host whose every address failed: each with its reason
};

// Everything one run leaves for the output.
struct CheckRunReport {
  std::vector<CheckRecord> checks;
  double seconds = 0;                        // the whole command
  std::vector<std::u16string> resultItems;   // the result list, as the window shows it
  std::vector<std::u16string> errorReports;  // every report, as the window would box or log it
  std::string logNote;  // "" or why log lines of the run were not written (a line after the check lines)
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
// Why a check is not OK, one short English phrase each, joined by ", ": a
// failed check's reason ("connection refused"), else its warnings and
// critical limits ("over the warning time of 1 s", "certificate not
// verified"); nullopt for a check that passed without either.
std::optional<std::string> CheckReason(const CheckRecord& check, const CheckRequest& request);
// What put a check that passed into WARNING: a time over -w, a certificate, an old protocol.
std::vector<std::string> WarningReasons(const CheckRecord& check, const CheckRequest& request);
// The transcript as the window shows the check: its block when the check
// left no text of its own ("［応答なし］"), else the check's text.
std::u16string CheckTranscript(const CheckRecord& check);
// --expect-status: fails an HTTP check whose status is not in the list.
void ApplyExpectedStatus(CheckRecord& check, const CheckExpectStatus& expected);

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
