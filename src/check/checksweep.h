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

// One host of a sweep: its place among the list's entries (from 1) and the
// entry as the list holds it.
struct SweepHost {
  size_t line = 0;
  std::u16string entry;
};

// The entries of a target list file, read as the window reads
// VKRTARGET.INI; "" or the line that says what is wrong with the file.
std::string ReadSweepList(const std::string& file, std::vector<std::u16string>& entries);

// What a sweep prints for one host: the entry and the one-host status line
// (with -v the rest of that output below, indented), or with --json one
// object on one line. `seconds` stands in for the run's time when no check
// ran.
std::string SweepHostBlock(const SweepHost& host, const CheckRunResult& result, double seconds,
                           const CheckRequest& request);

// The worst of the hosts' statuses in the sweep's order.
CheckExit WorstSweepStatus(const std::vector<CheckExit>& statuses);

// The summary line (or object) and the sweep's exit status.
CheckOutcome SweepSummary(const std::vector<SweepHost>& hosts, const std::vector<CheckExit>& statuses, double seconds,
                          const CheckRequest& request);

// The whole sweep. Writes each host's block to standard output as it comes
// due; answers the summary, or one line of bad input.
CheckOutcome RunSweep(const CheckRequest& request, const CheckHooks& hooks);
