#include "util/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>

#include "util/appfiles.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/fileutil.h"
#include "util/hooks.h"
#include "util/xcommon.h"

namespace {

LogWriteHook& WriteHook() {
  static LogWriteHook hook;
  return hook;
}

// Runs one log write, through the hook when one is set.
void Write(bool errorLog, const std::u16string& message, const std::function<void()>& write) {
  if (WriteHook())
    WriteHook()(errorLog, message, write);
  else
    write();
}

std::u16string& ErrorLogPrefix() {
  static std::u16string prefix;
  return prefix;
}

// What one log (by the path of its current file) remembers between writes.
struct LogState {
  bool rotationFailed = false;  // failed in this run: the next try waits for the next run
  bool boxShown = false;        // a failure was shown: silent until a write succeeds again
};

std::map<std::string, LogState>& LogStates() {
  static std::map<std::string, LogState> states;
  return states;
}

bool& Unattended() {
  static bool unattended = false;
  return unattended;
}

// A step that failed: the file it could not write and the error.
struct Fault {
  std::string path;
  int error;
};

// Log failures are the program's own: its name is the source, and the file
// and the system's reason go into the description.
Failure FaultFailure(const Fault& f) {
  const int32_t number = f.error == ENOENT || f.error == ENOTDIR ? ErrNo::FileNotFound : ErrNo::FileAccess;
  return Failure{number, AppName(),
                 ErrorDescription(number) + u" " + FromUtf8(f.path) + u" (" + FileErrorText(f.error) + u")"};
}

// A failed run-log write goes to the error log; a box only for the first
// one since the last good write, and never while nobody is there.
void ReportLogFault(LogState& state, const Fault& f) {
  const std::u16string report = BuildErrorReport(u"", FaultFailure(f), NumberForm::Signed, ReportLayout::A);
  if (!Unattended() && !state.boxShown) {
    state.boxShown = true;
    ShowMessageBox(report);
  }
  WriteErrorLog(report);
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

int& LogDirectoryFd() {
  static int fd = -1;
  return fd;
}

// Where a log file is opened and renamed: by its name in the log directory
// opened once, or by its full path. A directory swapped for another (or for
// a link) after it was opened cannot redirect a write.
struct LogPlace {
  int dirFd;
  std::string name;
};

LogPlace PlaceOf(const std::u16string& fileName, const std::string& fullPath) {
  if (LogDirectoryFd() >= 0) return {LogDirectoryFd(), ToUtf8(fileName)};
  return {AT_FDCWD, fullPath};
}

void WriteRotating(const std::u16string& prefix, const std::u16string& line, bool report) {
  const std::string current = ToUtf8(StateFilePath(prefix + u"1.log"));
  const std::string previous = ToUtf8(StateFilePath(prefix + u"2.log"));
  const LogPlace currentAt = PlaceOf(prefix + u"1.log", current), previousAt = PlaceOf(prefix + u"2.log", previous);
  const std::string bytes = ToAnsi(line);
  LogState& state = LogStates()[current];
  auto fail = [&](const std::string& path, int error) {
    if (report) ReportLogFault(state, Fault{path, error});
  };

  struct stat st;
  int error = 0;
  UniqueFd log = OpenExistingAt(currentAt.dirFd, currentAt.name, O_WRONLY | O_APPEND | O_CREAT, st, error);
  if (log.ok() && st.st_size > kLogRotateBytes && !state.rotationFailed) {
    // A rename needs no space and leaves the current file whole when it
    // fails (a directory in the older one's place, a directory we may not
    // write): then the current file takes the lines beyond the limit.
    if (::renameat(currentAt.dirFd, currentAt.name.c_str(), previousAt.dirFd, previousAt.name.c_str()) == 0) {
      const unsigned mode = st.st_mode & 07777;
      log = OpenExistingAt(currentAt.dirFd, currentAt.name, O_WRONLY | O_APPEND | O_CREAT, st, error);
      if (log.ok()) ::fchmod(log.get(), mode);  // the new file keeps the log's mode
    } else {
      state.rotationFailed = true;
      fail(previous, errno);
    }
  }
  if (!log.ok()) return fail(current, error);
  if (!WriteAll(log.get(), bytes)) return fail(current, errno);
  if (!log.close()) return fail(current, errno);
  state.boxShown = false;
}

}  // namespace

void WriteLog(const std::u16string& prefix, const std::u16string& message) {
  Write(false, message, [&] { WriteRotating(prefix, TimeStamp() + u" *** " + message + u"\r\n", true); });
}

void WriteErrorLog(const std::u16string& message) noexcept {
  try {
    if (xNullTrim(ErrorLogPrefix()).empty()) ErrorLogPrefix() = AppName() + u"ERR";
    std::u16string line(1, u' ');
    line += TimeStamp();
    line += u" *** ";
    line += message;
    line += u"\r\n";
    Write(true, message, [&] { WriteRotating(ErrorLogPrefix(), line, false); });
  } catch (...) {
    // Nowhere left to report to (no converter, no memory): the line is lost.
  }
}

void ReportError(const std::u16string& message) noexcept {
  try {
    if (AppMsgBoxFlag) ShowMessageBox(message);
  } catch (...) {
    // The box could not be shown; the error log still gets the report.
  }
  WriteErrorLog(message);
}

void SetLogWriteHook(LogWriteHook hook) { WriteHook() = std::move(hook); }

void ResetErrorLogPrefix() { ErrorLogPrefix().clear(); }

void SetLogDirectoryFd(int dirFd) { LogDirectoryFd() = dirFd; }

LogRun::LogRun(bool unattended) : m_outerUnattended(Unattended()) {
  Unattended() = unattended;
  for (auto& [path, state] : LogStates()) state.rotationFailed = false;
}

LogRun::~LogRun() { Unattended() = m_outerUnattended; }
