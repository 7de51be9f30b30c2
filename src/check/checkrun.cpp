#include "check/checkrun.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>

#include "app/appstate.h"
#include "app/commandline.h"
#include "app/paramdialogmodel.h"
#include "app/settings.h"
#include "check/checksweep.h"
#include "diag/diagrun.h"
#include "diag/headlesswindow.h"
#include "diag/targetlist.h"
#include "net/cmdsession.h"
#include "net/failreason.h"
#include "net/hostaddr.h"
#include "net/smbshares.h"
#include "util/appfiles.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/log.h"
#include "util/xcommon.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPing = 0, kShares = 1;

std::string UpperAscii8(std::string text) {
  for (char& ch : text)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  return text;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The main window as a run sees it, minus the window: the result list is
// kept in memory, the ticks are the command's.

// Every error report of the run, as the window would box or log it.
class ReportCollector {
 public:
  void Add(const std::u16string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.push_back(text);
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports.size();
  }
  std::vector<std::u16string> Since(size_t first) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_reports.begin() + static_cast<std::ptrdiff_t>(std::min(first, m_reports.size())), m_reports.end()};
  }

 private:
  std::mutex m_mutex;
  std::vector<std::u16string> m_reports;
};

// Several commands may write the same log directory at once (a scheduler
// runs many checks in parallel): each write and rotation holds an exclusive
// lock, so no line is lost between a rename and a write of another process.
// The lock is a file of our own, never the directory: anyone who may open a
// directory may lock it, and would stall every check. A lock file another
// user owns (planted to be held) is not used, and the waits of one command
// are bounded in all: a check always answers, its log lines may be lost.
class LogLock {
 public:
  // shared: what is left of the bound for the whole command, when the run is
  // one of several (else this run's own).
  LogLock(int dirFd, int waitMs, std::atomic<int>* shared)
      : m_dirFd(dirFd), m_own(std::max(waitMs, 0)), m_leftMs(shared ? *shared : m_own) {}
  ~LogLock() {
    if (m_fd >= 0) close(m_fd);
  }
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;

  // True with the lock held; false (the line is not to be written) once the
  // lock could not be had.
  bool Take() {
    if (!m_why.empty()) return false;
    if (m_fd < 0 && !Open()) return false;
    for (;;) {
      if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) return true;
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK || m_leftMs.load() <= 0) {
        m_why = errno == EWOULDBLOCK ? "lock held by another command for " + std::to_string(m_waitedMs) + " ms"
                                     : "lock: " + std::string(std::strerror(errno));
        return false;
      }
      const int slice = std::min(m_leftMs.load(), kSliceMs);
      const Clock::time_point before = Clock::now();
      SleepMs(slice);
      const int waited = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count());
      m_leftMs -= std::max(waited, 1);
      m_waitedMs += std::max(waited, 1);
    }
  }
  void Give() { flock(m_fd, LOCK_UN); }
  void Skipped() { ++m_skipped; }
  // "" or the line saying which log lines were not written and why.
  std::string Note() const {
    if (m_skipped == 0) return "";
    return "Log: " + std::to_string(m_skipped) + " log line" + (m_skipped == 1 ? "" : "s") +
           " not written (" + m_why + ")";
  }

 private:
  static constexpr int kSliceMs = 5;

  bool Open() {
    m_fd = openat(m_dirFd, kLogLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat st {};
    if (m_fd < 0) {
      m_why = std::string(kLogLockName) + ": " + (errno == ELOOP ? "not a regular file" : std::strerror(errno));
    } else if (fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      m_why = std::string(kLogLockName) + ": not a regular file";
    } else if (st.st_uid != geteuid()) {
      m_why = std::string(kLogLockName) + " owned by uid " + std::to_string(st.st_uid) + ", not this user";
    } else {
      return true;
    }
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    return false;
  }

  int m_dirFd;
  int m_fd = -1;
  std::atomic<int> m_own;
  std::atomic<int>& m_leftMs;
  int m_waitedMs = 0;
  size_t m_skipped = 0;
  std::string m_why;
};

// Hooks of the core pointed at this run, and back when it ends (tests run
// several commands in one process).
class RunHooks {
 public:
  RunHooks(ReportCollector& reports, int logDirFd, int lockWaitMs, std::atomic<int>* lockLeftMs = nullptr)
      : m_lock(logDirFd, lockWaitMs, lockLeftMs) {
    SetLogDirectoryFd(logDirFd);
    SetLogWriteHook([this, &reports, logDirFd](bool errorLog, const std::u16string& message,
                                               const std::function<void()>& write) {
      if (errorLog) reports.Add(message);
      if (logDirFd < 0) return;  // no --log-dir: nothing is written
      if (!m_lock.Take()) return m_lock.Skipped();
      write();
      m_lock.Give();
    });
    SetMessageBoxHook([&reports](const std::u16string& text, const std::u16string&) { reports.Add(text); });
    SetDoEventsHook(nullptr);
  }
  ~RunHooks() {
    SetLogWriteHook(nullptr);
    SetMessageBoxHook(nullptr);
    SetLogDirectoryFd(-1);
  }
  RunHooks(const RunHooks&) = delete;
  RunHooks& operator=(const RunHooks&) = delete;

  std::string LogNote() const { return m_lock.Note(); }

 private:
  LogLock m_lock;
};

// Runs each real check and notes what it answered, how long it took and
// what its TLS found.
DiagChecks RecordingChecks(std::vector<CheckRecord>& records, ReportCollector& reports) {
  auto found = std::make_shared<std::optional<TlsFindings>>();
  const DiagChecks real = DiagChecks::Real([found](const TlsFindings& f) { *found = f; });
  DiagChecks c = real;
  auto timed = [&records, &reports, found](std::string service, std::optional<std::u16string> port, TlsMode tls,
                                           auto&& check, std::u16string& message, const std::u16string& target) {
    std::string name = UpperAscii8(service), label = service, number;
    if (port) {
      number = ToUtf8(xNullTrim(*port));
      name += " " + number + ToUtf8(PortSuffix(tls));
      label += "_" + number + ToUtf8(PortSuffix(tls));
    }
    found->reset();
    ClearFailReason();
    const size_t firstReport = reports.Count();
    const Clock::time_point start = Clock::now();
    const bool passed = check();
    CheckRecord record;
    record.name = std::move(name);
    record.label = std::move(label);
    record.passed = passed;
    record.seconds = SecondsSince(start);
    record.message = message;
    record.reports = reports.Since(firstReport);
    record.service = std::move(service);
    record.port = std::move(number);
    record.tls = tls;
    record.tlsFound = *found;
    record.target = target;
    if (!passed) record.failure = LastFailReason();
    record.httpStatus = LastHttpStatusLine();
    record.address = LastConnectAddress();
    if (!passed && record.failure.kind == FailKind::EveryAddressFailed) record.tried = LastAddressesTried();
    records.push_back(std::move(record));
    return passed;
  };
  const std::optional<std::u16string> none;
  c.ping = [real, timed, none](std::u16string& host, bool& alive, std::u16string& message) {
    return timed("ping", none, TlsMode::None, [&] { return real.ping(host, alive, message); }, message, host);
  };
  c.shares = [real, timed, none](std::u16string& server, std::u16string& listing) {
    return timed("shares", none, TlsMode::None, [&] { return real.shares(server, listing); }, listing, server);
  };
  c.smtp = [real, timed](std::u16string& h, std::u16string& p, TlsMode t, std::u16string& m) {
    return timed("smtp", p, t, [&] { return real.smtp(h, p, t, m); }, m, h);
  };
  c.pop = [real, timed](std::u16string& h, std::u16string& p, TlsMode t, std::u16string& u, std::u16string& pw,
                        std::u16string& m) { return timed("pop", p, t, [&] { return real.pop(h, p, t, u, pw, m); }, m, h); };
  c.ftp = [real, timed](std::u16string& h, std::u16string& p, TlsMode t, std::u16string& u, std::u16string& pw,
                        std::u16string& m) { return timed("ftp", p, t, [&] { return real.ftp(h, p, t, u, pw, m); }, m, h); };
  c.http = [real, timed](std::u16string& h, std::u16string& p, TlsMode t, std::u16string& m) {
    return timed("http", p, t, [&] { return real.http(h, p, t, m); }, m, h);
  };
  return c;
}

// One line of a report that may hold several.
std::string OneLine(const std::u16string& text) {
  std::u16string t;
  for (char16_t ch : text) {
    const bool blank = ch == u' ' || ch == u'\r' || ch == u'\n' || ch == u'\t';
    if (blank && (t.empty() || t.back() == u' ')) continue;
    t += blank ? u' ' : ch;
  }
  while (!t.empty() && t.back() == u' ') t.pop_back();
  return ToUtf8(t);
}

// The settings of the run: the file's when one is named, else the settings
// dialog's defaults. "" on success, else what is wrong.
std::string TakeSettings(const std::optional<std::string>& file, ReportCollector& reports) {
  // The dialog validates what it loaded last; a fresh load for every run.
  ParamDialog().Unload();
  SystemSettings = SystemSettingsRecord{};
  if (!file) return ParamDialog().CheckSetting() ? "" : "the default settings do not pass their own check";
  const std::string what = "settings file " + *file;
  struct stat st {};
  if (stat(file->c_str(), &st) != 0)
    return what + (errno == ENOENT ? ": not found" : ": cannot be read (" + std::string(std::strerror(errno)) + ")");
  if (!S_ISREG(st.st_mode)) return what + ": cannot be read (not a regular file)";
  const int fd = open(file->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return what + ": cannot be read (" + std::string(std::strerror(errno)) + ")";
  close(fd);
  SettingsFilePath = FromUtf8(*file);
  const size_t firstReport = reports.Count();
  if (LoadSystemSettings()) return "";
  const std::vector<std::u16string> complaints = reports.Since(firstReport);
  if (complaints.empty()) return what + ": empty";
  return what + ": " + OneLine(complaints.back());
}

void SetTimeouts(double seconds, AddressFamily family) {
  SessionOptions options = GetSessionOptions();
  options.family = family;
  const double whole = std::floor(seconds);
  options.timeoutSeconds = static_cast<int32_t>(whole);
  options.timeoutMicros = static_cast<int32_t>(std::lround((seconds - whole) * 1e6));
  options.replyWaitLimitMs = std::llround(seconds * 1000);
  SetSessionOptions(options);
  SetSmbListBoundMs(static_cast<int>(std::max<long long>(1, std::llround(seconds * 1000))));
}

// --log-dir opened (-1 without it); "" or what is wrong.
std::string OpenLogDir(const CheckRequest& r, int& fd) {
  fd = -1;
  if (!r.logDir) return "";
  fd = open(r.logDir->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return "--log-dir " + *r.logDir + ": not a directory (" + std::strerror(errno) + ")";
  return "";
}

}  // namespace

void SetCheckIdentity(const std::u16string& logDir) {
  // Logs go to --log-dir only; the ICMP helper stays where this copy's rule puts it.
  const std::u16string helpers = LocateOwnAppFiles().helperDir;
  SetProgramLocation(logDir.empty() ? u"." : logDir, u"velkor-check");
  AppFiles files = CurrentAppFiles();
  files.helperDir = helpers;
  SetAppFiles(std::move(files));
  ResetErrorLogPrefix();
  SettingsMsgBoxFlag = false;
}

CheckRunResult RunCheck(const CheckRequest& r, const CheckHooks& hooks) {
  const Clock::time_point start = Clock::now();
  auto bad = [](const std::string& what) { return CheckRunResult{BadInputOutcome(what), std::nullopt}; };
  if (r.action == CheckRequest::Action::Help) return {CheckOutcome{CheckExit::Ok, CheckHelpText()}, std::nullopt};
  // The version as commands print theirs; the window's caption keeps its own form.
  if (r.action == CheckRequest::Action::Version)
    return {CheckOutcome{CheckExit::Ok, VersionText("velkor-check")}, std::nullopt};
  if (r.jobs) return bad("-j/--jobs goes with --target-list only");
  if (r.entry && (r.host || r.AnyPortOption()))
    return bad("-E/--entry does not go with -H/--hostname or the port options");
  if (!r.entry && !r.host) return bad("no host: give -H HOST or -E ENTRY");
  if (r.ipv4Only && r.ipv6Only) return bad("-4 and -6 do not go together");

  std::u16string host;
  std::u16string boxText;
  if (r.entry) {
    const std::vector<std::u16string> entries = ParseTargetList(FromUtf8(*r.entry));
    if (entries.size() != 1) return bad("-E/--entry: '" + *r.entry + "' is not one target entry");
    boxText = entries.front();
    if (const EntryParts parts = SplitEntry(boxText); parts.malformed) {
      const std::string what = boxText.find(u']') == std::u16string::npos
                                   ? "has an unclosed bracket"
                                   : "has text between ']' and the next ':'";
      return bad(r.entryFromList ? "the entry " + what : "-E/--entry: '" + *r.entry + "' " + what);
    }
    host = EntryHostName(boxText);
    if (host.empty())
      return bad(r.entryFromList ? "the entry names no host" : "-E/--entry: '" + *r.entry + "' names no host");
  } else {
    if (!r.AnyPortOption() && !r.ping && !r.shares)
      return bad("no check selected: give --smtp, --pop, --ftp, --http, --ping or --shares");
    host = FromUtf8(*r.host);
    // The window's box holds an IPv6 address in brackets.
    boxText = IsIpv6AddressText(host) ? u"[" + host + u"]" : host;
  }

  int logDirFd = -1;
  if (std::string wrong = OpenLogDir(r, logDirFd); !wrong.empty()) return bad(wrong);
  struct FdCloser {
    int fd;
    ~FdCloser() {
      if (fd >= 0) close(fd);
    }
  } closeLogDir{logDirFd};
  SetCheckIdentity(r.logDir ? FromUtf8(*r.logDir) : u"");

  ReportCollector reports;
  RunHooks runHooks(reports, logDirFd, hooks.logLockWaitMs, hooks.logLockLeftMs);
  if (std::string wrong = TakeSettings(r.settingsFile, reports); !wrong.empty()) return bad(wrong);

  std::array<bool, kServiceCount> ticked{};
  if (r.entry) {
    ticked = ApplyTargetEntry(boxText, SystemSettings).ticked;
  } else {
    const std::pair<const std::optional<std::string>*, std::u16string SystemSettingsRecord::*> ports[] = {
        {&r.smtpPorts, &SystemSettingsRecord::SmtpPort},
        {&r.popPorts, &SystemSettingsRecord::PopPort},
        {&r.ftpPorts, &SystemSettingsRecord::FtpPort},
        {&r.httpPorts, &SystemSettingsRecord::HttpPort}};
    for (size_t i = 0; i < std::size(ports); ++i) {
      if (!*ports[i].first) continue;
      ticked[i + 2] = true;
      SystemSettings.*ports[i].second = FromUtf8(**ports[i].first);
    }
  }
  ticked[kPing] = r.ping;
  ticked[kShares] = r.shares;
  if (std::find(ticked.begin(), ticked.end(), true) == ticked.end())
    return bad(r.entryFromList ? "no check selected: the entry leaves every service out"
                               : "no check selected: -E/--entry '" + *r.entry + "' leaves every service out");
  if (r.user) SystemSettings.UserName = xNullTrim(FromUtf8(*r.user));
  const AddressFamily family = r.ipv4Only ? AddressFamily::V4 : r.ipv6Only ? AddressFamily::V6 : AddressFamily::Any;
  SetTimeouts(r.timeout.value, family);

  CheckRunReport run;
  // --each-address: the whole diagnosis once per address of the host, the
  // name kept (TLS names, HTTP Host) and the address pinned; a host without
  // addresses runs once, to fail with the lookup's reason.
  std::vector<std::optional<HostAddress>> passes{std::nullopt};
  bool sole = true;  // the name has no address besides the one checked
  if (r.eachAddress) {
    const ResolvedHost all = ResolveHostAddresses(host, family);
    if (!all.addresses.empty()) passes.assign(all.addresses.begin(), all.addresses.end());
    sole = passes.size() == 1 && !all.narrowed;
  }
  for (const std::optional<HostAddress>& address : passes) {
    const size_t first = run.checks.size();
    if (address) PinHostAddress(host, *address, sole);
    struct Unpin {
      ~Unpin() { UnpinHostAddress(); }
    } unpin;
    HeadlessWindow window(host, boxText, ticked);
    DiagRunner runner(window, RecordingChecks(run.checks, reports));
    runner.SetErrorActions(false);
    runner.CmdDiag_Click();
    // -v: each address's transcript under its address, as its lines are named.
    if (address) run.resultItems.push_back(u"[" + HostAddressText(*address) + u"]");
    const std::vector<std::u16string> items = window.ResultItems();
    run.resultItems.insert(run.resultItems.end(), items.begin(), items.end());
    if (!address) continue;
    const std::string text = ToUtf8(HostAddressText(*address));
    for (size_t k = first; k < run.checks.size(); ++k) {
      run.checks[k].name += " [" + text + "]";
      run.checks[k].label += "@[" + text + "]";
    }
  }

  if (r.expectStatus)
    for (CheckRecord& c : run.checks) ApplyExpectedStatus(c, *r.expectStatus);
  run.errorReports = reports.Since(0);
  if (r.shares && hooks.sharesLibraryFailure) {
    const std::u16string failure = hooks.sharesLibraryFailure();
    if (!failure.empty()) {
      run.errorReports.push_back(failure);
      for (CheckRecord& c : run.checks)
        if (c.service == "shares") {
          c.reports.insert(c.reports.begin(), failure);
          c.failure = FailReason{};  // the library's own words say why
        }
    }
  }
  run.seconds = SecondsSince(start);
  run.logNote = runHooks.LogNote();
  CheckOutcome outcome = FormatCheckOutcome(run, r);
  return {std::move(outcome), std::move(run)};
}

CheckOutcome RunCheckCommand(const CheckRequest& r, const CheckHooks& hooks) {
  if (r.targetList && r.action == CheckRequest::Action::Run) return RunSweep(r, hooks);
  if (!r.json || r.action != CheckRequest::Action::Run) return RunCheck(r, hooks).outcome;
  const Clock::time_point start = Clock::now();
  CheckRunResult result = RunCheck(r, hooks);
  if (!result.run) return result.outcome;  // bad input: its one line
  return CheckOutcome{result.outcome.status, OneHostJson(r, result, SecondsSince(start))};
}

std::string SharedInputProblem(const CheckRequest& r) {
  int logDirFd = -1;
  if (std::string wrong = OpenLogDir(r, logDirFd); !wrong.empty()) return wrong;
  if (logDirFd >= 0) close(logDirFd);
  ReportCollector reports;
  RunHooks runHooks(reports, -1, 0);
  return TakeSettings(r.settingsFile, reports);
}

CheckOutcome CheckCommand(const std::vector<std::string>& args, const CheckHooks& hooks) {
  const ParsedCommandLine parsed = ParseCheckCommandLine(args);
  if (!parsed.request) return BadInputOutcome(parsed.error);
  return RunCheckCommand(*parsed.request, hooks);
}
