#pragma once
// Starting the error script and waiting for it.
#include <cstdint>
#include <string>
#include <vector>

struct ShellWaitOptions {
  int startPauseMs = 500;  // pause after the start, before the first poll
  int pollSleepMs = 1;     // sleep between two polls
};

// Starts `program` with `args` as separate arguments (no shell parses them),
// lets the message loop run, pauses, then polls until the process ends with
// status 0 or `pollLimit` polls have passed (a limit of 0 or less: no limit).
// An executable file is started directly; a file that is not executable (or
// whose start fails with ENOEXEC) runs as `/bin/sh program args...`. A start
// failure is reported ("SYSTEM-ERROR： ShellWaitERR： ", bare number, layout C)
// and the wait ends after the pause. A file that another user could have
// changed or swapped (not owned by this user or root, writable by group or
// others, or below a directory, on its path or its real path up to /, that
// belongs to another user or that group or others may write, unless it is
// sticky and root's) is not started: the refusal is reported the same way,
// with number 7003, the file or directory and the reason. Children are always
// reaped: one thread reaps every child still running when its wait gave up.
void ShellWait(const std::u16string& program, const std::vector<std::u16string>& args, int32_t pollLimit,
               const ShellWaitOptions& options = {});
