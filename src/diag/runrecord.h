#pragma once
// What one finished run found, check by check, for the parts of the program
// that look back on runs (the desktop notices) rather than at the result list.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct RunCheckOutcome {
  std::u16string service;  // "PING", "NetBIOS", "SMTP", "POP", "FTP", "HTTP"
  std::u16string port;     // as written in the entry, TLS suffix included; empty for PING and NetBIOS
  bool passed = false;
  double seconds = 0;
  std::u16string reason;   // why it failed, where the check says
  std::optional<int64_t> certDaysLeft;  // a TLS check whose certificate has an end date
};

// What started a run: the Diag button, Enter in the target box or the
// monitoring tick.
enum class RunStart { Diag, Enter, Tick };

struct RunOutcome {
  std::u16string target;     // the host part of the entry, as typed
  int64_t startedUnix = 0;   // seconds since the epoch
  double seconds = 0;
  bool passed = false;       // the overall verdict
  bool stopped = false;      // ended by the operator before its checks were done
  bool byTick = false;       // started by the monitoring tick
  RunStart start = RunStart::Diag;
  std::vector<RunCheckOutcome> checks;
};

// "PING", "NetBIOS" or "SMTP 587t": how a check is named across runs.
std::u16string CheckLabel(const RunCheckOutcome& check);
