#pragma once
// velkor-check's run: checks what the options mean together, takes the
// settings, runs the window's diagnosis through DiagRunner without a window
// and turns what it reported into the plugin output. The diagnosis itself
// is the core's; nothing here judges a reply.
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "check/checkoptions.h"
#include "check/checkoutput.h"

// The lock that commands writing one log directory take turns under: a file
// of velkor-check's own there (0600), used only when it belongs to this
// user. All waits for it in one command add up to at most this long; after
// that, or when the lock cannot be used, the command writes no more log
// lines, answers all the same and says so after its check lines.
inline constexpr char kLogLockName[] = "velkor-check.lock";
inline constexpr int kLogLockWaitMs = 1000;

// What the executable adds to a run.
struct CheckHooks {
  // Why the SMB library could not be loaded, or "" (asked after a run with --shares).
  std::function<std::u16string()> sharesLibraryFailure;
  // A sweep's progress goes here (a terminal), or nowhere when -1.
  int progressFd = -1;
  // The bound of all waits for the log lock in one command.
  int logLockWaitMs = kLogLockWaitMs;
  // When set, what is left of that bound, shared by the runs of one command
  // (a sweep's hosts, each in a process of its own: shared memory).
  std::atomic<int>* logLockLeftMs = nullptr;
  // How much of finished hosts' output a sweep keeps in memory (kSweepHeldMemoryBytes).
  size_t sweepHeldMemoryBytes = size_t{1} << 20;
};

// A run's outcome and, when checks ran, what they reported.
struct CheckRunResult {
  CheckOutcome outcome;
  std::optional<CheckRunReport> run;
};

// Help, version, bad input or a whole run of one host. Never ends the
// process; the time bound of --max-time is the caller's.
CheckRunResult RunCheck(const CheckRequest& request, const CheckHooks& hooks = {});
// The same, or a sweep (--target-list, checksweep.h), which writes its
// hosts' lines itself as they come in and leaves only its bad input here.
CheckOutcome RunCheckCommand(const CheckRequest& request, const CheckHooks& hooks = {});
// The command line parsed, then run.
CheckOutcome CheckCommand(const std::vector<std::string>& args, const CheckHooks& hooks = {});

// What every run of the request would refuse before its checks (the log
// directory, the settings file), so that a sweep says it once: "" when
// nothing.
std::string SharedInputProblem(const CheckRequest& request);

// Who the command is and where its files go: the program name velkor-check
// (its logs are velkor-check1.log and velkor-checkERR1.log) in logDir.
void SetCheckIdentity(const std::u16string& logDir);
