#pragma once
// velkor-check's run: checks what the options mean together, takes the
// settings, runs the window's diagnosis through DiagRunner without a window
// and turns what it reported into the plugin output. The diagnosis itself
// is the core's; nothing here judges a reply.
#include <functional>
#include <string>
#include <vector>

#include "check/checkoptions.h"
#include "check/checkoutput.h"

// What the executable adds to a run.
struct CheckHooks {
  // Why the SMB library could not be loaded, or "" (asked after a run with --shares).
  std::function<std::u16string()> sharesLibraryFailure;
};

// Help, version, bad input or a whole run. Never ends the process; the
// time bound of --max-time is the caller's (main.cpp).
CheckOutcome RunCheckCommand(const CheckRequest& request, const CheckHooks& hooks = {});
// The command line parsed, then run.
CheckOutcome CheckCommand(const std::vector<std::string>& args, const CheckHooks& hooks = {});

// Who the command is and where its files go: the program name velkor-check
// (its logs are velkor-check1.log and velkor-checkERR1.log) in logDir.
void SetCheckIdentity(const std::u16string& logDir);
