#pragma once
// How a velkor-check process ends: its output written once, then _exit with
// the status, whether the run or the time bound of --max-time gets there
// first. A sweep's children end the same way, into their pipes.
#include <string>

#include "check/checkoutput.h"

// Writes all of `text` to standard output; false when it could not (the
// reader went away).
bool WriteStandardOutput(const std::string& text);

// Writes `text` to standard output and ends the process with `status`; when
// the time bound has already taken the output, waits to be ended by it.
[[noreturn]] void FinishCheckProcess(const std::string& text, CheckExit status);

// After `seconds`, unless the output is taken by then, writes `text` and
// ends the process with UNKNOWN. _exit: threads still waiting on a peer
// must not hold the process.
void StartCheckTimeBound(double seconds, std::string text);
