#pragma once
// velkor-check --target-list: every entry of a target list, each host's
// one-host run unchanged in a child process of its own (childpool.h), -j at
// a time. The hosts' lines come out in the list's order as soon as all
// before them are done, then a summary; the exit status is the worst of the
// hosts', CRITICAL before WARNING before UNKNOWN before OK.
#include <string>
#include <vector>

#include "check/checkoptions.h"
#include "check/checkoutput.h"
#include "check/checkrun.h"

// One host of a sweep: its line in the list file (from 1; 0 for the one
// host of -H or -E), the entry as the list holds it and, once its run has
// ended with a WARNING, why ("certificate not verified").
struct SweepHost {
  size_t line = 0;
  std::u16string entry;
  std::string warnings;
};

// A summary group lists at most this many entries, then "and N more".
inline constexpr size_t kSummaryGroupEntries = 10;

// The entries of a target list file, read as the window reads
// VKRTARGET.INI, with their line numbers; "" or the line that says what is
// wrong with the file.
std::string ReadSweepList(const std::string& file, std::vector<SweepHost>& hosts);

// What a sweep prints for one host: the entry and the one-host status line
// (with -v the rest of that output below, indented), or with --json one
// object on one line. `seconds` stands in for the run's time when no check
// ran.
std::string SweepHostBlock(const SweepHost& host, const CheckRunResult& result, double seconds,
                           const CheckRequest& request);

// --json for one host (-H, -E): the sweep's object of that host ("line" null).
std::string OneHostJson(const CheckRequest& request, const CheckRunResult& result, double seconds);

// What a host's process adds after its block for the sweep's summary (its
// warning reasons), and how the sweep takes it off again: the block alone
// is written, the reasons go into host.warnings.
std::string SweepNote(const CheckRunResult& result, const CheckRequest& request);
void TakeSweepNote(std::string& output, SweepHost& host);

// The worst of the hosts' statuses in the sweep's order.
CheckExit WorstSweepStatus(const std::vector<CheckExit>& statuses);

// The summary line (or object) and the sweep's exit status.
CheckOutcome SweepSummary(const std::vector<SweepHost>& hosts, const std::vector<CheckExit>& statuses, double seconds,
                          const CheckRequest& request);

// The whole sweep. Writes each host's block to standard output as it comes
// due; answers the summary, or one line of bad input.
CheckOutcome RunSweep(const CheckRequest& request, const CheckHooks& hooks);
