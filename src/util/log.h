#pragma once
// The run log and the error log beside the program, and the single sink of
// error reports.
#include <cstdint>
#include <functional>
#include <string>

// Logs rotate into "...2.log" once "...1.log" exceeds this many bytes.
inline constexpr int64_t kLogRotateBytes = 2048000;

// Appends stamp + " *** " + message + CR LF to <dir>/<prefix>1.log.
// Its own failures go to the error log; the first one also shows a message
// box directly, later ones stay silent until a write succeeds again, and a
// run started by the monitoring tick shows none (see LogRun).
void WriteLog(const std::u16string& prefix, const std::u16string& message);

// Appends " " + stamp + " *** " + message + CR LF to <dir>/<name>ERR1.log.
// Never reports anything about itself and never throws.
void WriteErrorLog(const std::u16string& message) noexcept;

// Message box while SettingsMsgBoxFlag is raised, then the error log. Never
// throws: it is called from inside catch handlers.
void ReportError(const std::u16string& message) noexcept;

// When set, every write of either log goes through the hook: `write` sizes,
// rotates and appends the line; the hook runs it (under a lock shared with
// other processes, say) or leaves it out. errorLog tells the error log from
// the run log; message is the text as the writer was given it.
using LogWriteHook =
    std::function<void(bool errorLog, const std::u16string& message, const std::function<void()>& write)>;
void SetLogWriteHook(LogWriteHook hook);  // empty: every write runs as it is

// While set (not -1), both logs are opened and rotated by their names in the
// directory open as dirFd (openat, renameat), not by their paths: a log
// directory others may rename things in is looked up once. The descriptor
// stays the caller's; -1 goes back to the paths.
void SetLogDirectoryFd(int dirFd);

// Forgets the error-log prefix, so the next write takes the program name
// again (tests that move the program location).
void ResetErrorLogPrefix();

// One diagnosis run, for the length of the object. A rotation that failed is
// tried again only at the first write of the next run, not on every line;
// while an unattended run (started by the monitoring tick) lasts, log
// failures show no message box, since nobody is there to close it and the
// ticks would wait behind it.
class LogRun {
 public:
  explicit LogRun(bool unattended);
  ~LogRun();
  LogRun(const LogRun&) = delete;
  LogRun& operator=(const LogRun&) = delete;

 private:
  bool m_outerUnattended;
};
