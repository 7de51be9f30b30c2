#pragma once
// The run log and the error log beside the program, and the single sink of
// error reports.
#include <cstdint>
#include <functional>
#include <string>

// Logs rotate into "...2.log" once "...1.log" exceeds this many bytes.
inline constexpr int64_t kLogRotateBytes = 2048000;

// Appends stamp + " *** " + message + CR LF to <dir>/<prefix>1.log.
// Its own failures (other than a missing file) show a message box directly.
void WriteLog(const std::u16string& prefix, const std::u16string& message);

// Appends " " + stamp + " *** " + message + CR LF to <dir>/<name>ERR1.log.
// Never reports anything about itself.
void WriteErrorLog(const std::u16string& message);

// Message box while SettingsMsgBoxFlag is raised, then the error log.
void ReportError(const std::u16string& message);

// When set, every write of either log goes through the hook: `write` sizes,
// rotates and appends the line; the hook runs it (under a lock shared with
// other processes, say) or leaves it out. errorLog tells the error log from
// the run log; message is the text as the writer was given it.
using LogWriteHook =
    std::function<void(bool errorLog, const std::u16string& message, const std::function<void()>& write)>;
void SetLogWriteHook(LogWriteHook hook);  // empty: every write runs as it is

// Forgets the error-log prefix, so the next write takes the program name
// again (tests that move the program location).
void ResetErrorLogPrefix();
