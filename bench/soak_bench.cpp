// Soak: diagnosis runs back to back, each started by the monitoring tick,
// against the real loopback peers (tests/peers/tcp-peers-start.sh).
//
//   soak_bench PORTS_FILE [RUNS] [TICK_MS]
//
// RUNS defaults to 2000. The one-minute tick is shortened to TICK_MS
// (default 2) with an interval of 2, so every second tick is due and starts
// a run through DiagRunner::TimerInterval_Timer, as the window's timer does.
// Each run checks SMTP, POP, FTP and HTTP on port lists that hold every peer,
// the postfix that refuses EHLO at once (reported, then HELO), and a closed
// port per list (refused at once): every run fails without meeting a
// time-out, writes the last-error log and starts no error script. The error
// log starts 200000 bytes short of its limit, filled with earlier reports,
// so that both logs rotate during the soak.
//
// After the first 100 runs and at the end it prints resident memory, open
// descriptors, threads and child processes, then the rotations of the run
// log and the error log. Exits 1 when descriptors, threads or children
// differ, memory grew by more than 2 MB, a rotation was not exact (the first
// file past the limit by more than its last record, or a record lost), a run
// differed from the first one, or a log write failed; 2 on bad arguments.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "app/appstate.h"
#include "diag/diagrun.h"
#include "diag/headlesswindow.h"
#include "diag/targetlist.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/log.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFirstSample = 100;   // runs before the first measurement
constexpr long kMaxGrowthKb = 2048;  // resident memory growth allowed after it
// The error log grows by under 200 bytes a run: it starts with this many
// bytes of earlier reports, as a log an operator has kept for a while, so
// that it rotates during the soak too.
constexpr uintmax_t kEarlierErrorBytes = kLogRotateBytes - 200000;

// SMTP, POP, FTP and HTTP of 127.0.0.1, with the monitoring counter's text kept.
class SoakWindow : public HeadlessWindow {
 public:
  SoakWindow() : HeadlessWindow(u"127.0.0.1", u"127.0.0.1", {false, false, true, true, true, true}) {}
  void PutCurrentTimeoutInfo() override { m_timeoutInfo = TimeoutInfoText(MinuteCounter(), SystemSettings.Interval); }
  const std::u16string& TimeoutInfo() const { return m_timeoutInfo; }
  // Headers and verdict lines of the last run, without their time stamps.
  std::vector<std::u16string> Outline() const {
    std::vector<std::u16string> out;
    for (auto item : ResultItems()) {
      if (item.size() > 22 && item[19] == u' ' && item[20] == u'*') item = item.substr(22);
      if (item.find(u"チャレンジ") != std::u16string::npos || item.rfind(u"---- ", 0) == 0 ||
          item.find(u"- - -") != std::u16string::npos)
        out.push_back(item);
    }
    return out;
  }

 private:
  std::u16string m_timeoutInfo;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uintmax_t SizeOf(const fs::path& path) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  return ec ? 0 : size;
}

// One rotating log pair: notices each rotation between two ticks and checks
// that the first file went over exactly at its limit and lost nothing.
class LogWatch {
 public:
  LogWatch(const std::string& dir, const std::string& prefix, bool errorLog)
      : m_current(dir + "/" + prefix + "1.log"), m_previous(dir + "/" + prefix + "2.log"), m_errorLog(errorLog) {}

  void AfterTick() {
    const uintmax_t size = SizeOf(m_current);
    if (size < m_size) Rotated();
    if (m_size == 0 || size < m_size) m_head = ReadFile(m_current).substr(0, 64);
    m_size = size;
  }
  // Records in every generation seen, the current file included.
  long Records() const { return m_records + CountRecords(ReadFile(m_current)); }
  long StartLines() const { return m_startLines + Count(ReadFile(m_current), kStartLine); }
  int Rotations() const { return m_rotations; }
  uintmax_t Bytes() const { return m_bytes + SizeOf(m_current); }
  uintmax_t LargestOvershoot() const { return m_overshoot; }
  const std::vector<std::string>& Problems() const { return m_problems; }

 private:
  static constexpr char kStartLine[] = " *** velkor :  - - -  Start  - - - \r\n";

  // A time stamp "yyyy/mm/dd hh:nn:ss *** " at i (after one blank in the error log).
  bool StampAt(const std::string& s, size_t i) const {
    if (m_errorLog && (i >= s.size() || s[i++] != ' ')) return false;
    static const char kShape[] = "dddd/dd/dd dd:dd:dd *** ";
    if (i + sizeof kShape - 1 > s.size()) return false;
    for (size_t k = 0; k + 1 < sizeof kShape; ++k) {
      const char c = s[i + k];
      if (kShape[k] == 'd' ? (c < '0' || c > '9') : c != kShape[k]) return false;
    }
    return true;
  }
  bool RecordAt(const std::string& s, size_t i) const {
    return (i == 0 || (i >= 2 && s[i - 2] == '\r' && s[i - 1] == '\n')) && StampAt(s, i);
  }
  long CountRecords(const std::string& s) const {
    long n = s.empty() ? 0 : RecordAt(s, 0);
    for (size_t i = s.find("\r\n"); i != std::string::npos; i = s.find("\r\n", i + 2)) n += RecordAt(s, i + 2);
    return n;
  }
  static long Count(const std::string& s, const std::string& what) {
    long n = 0;
    for (size_t i = s.find(what); i != std::string::npos; i = s.find(what, i + what.size())) ++n;
    return n;
  }

  void Rotated() {
    ++m_rotations;
    const std::string old = ReadFile(m_previous);
    const uintmax_t limit = static_cast<uintmax_t>(kLogRotateBytes);
    // Where the last record begins: what the last write before the rotation appended.
    size_t lastStart = old.size() > 2 ? old.size() - 2 : 0;
    while (lastStart > 0 && !RecordAt(old, lastStart)) --lastStart;
    const std::string name = m_previous.filename().string() + " at rotation " + std::to_string(m_rotations);
    if (old.size() <= limit)
      m_problems.push_back(name + ": " + std::to_string(old.size()) + " bytes, not past the limit");
    if (lastStart > limit)
      m_problems.push_back(name + ": past the limit by more than its last record (" + std::to_string(lastStart) +
                           " bytes before it)");
    if (old.size() < m_size || old.substr(0, m_head.size()) != m_head)
      m_problems.push_back(name + ": not the first file as it was (" + std::to_string(old.size()) + " bytes, had " +
                           std::to_string(m_size) + ")");
    if (old.size() > limit) m_overshoot = std::max<uintmax_t>(m_overshoot, old.size() - limit);
    m_records += CountRecords(old);
    m_bytes += old.size();
    m_startLines += Count(old, kStartLine);
  }

  fs::path m_current, m_previous;
  bool m_errorLog;
  uintmax_t m_size = 0;
  std::string m_head;  // first bytes of the current generation
  int m_rotations = 0;
  long m_records = 0, m_startLines = 0;  // in the generations rotated out
  uintmax_t m_overshoot = 0;
  uintmax_t m_bytes = 0;  // in the generations rotated out
  std::vector<std::string> m_problems;
};

struct Sample {
  long rssKb = 0;
  int fds = 0, threads = 0, children = 0;
};

Sample Measure() {
  Sample s;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) s.rssKb = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) s.threads = std::atoi(line.c_str() + 8);
  }
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) (void)e, ++s.fds;
  const std::string me = std::to_string(getpid());
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string pid = e.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = ReadFile(e.path() / "stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    // After ") ": state, then the parent's pid.
    const size_t ppid = stat.find(' ', close + 2);
    if (ppid != std::string::npos && stat.compare(ppid + 1, me.size() + 1, me + " ") == 0) ++s.children;
  }
  return s;
}

void Print(const char* when, int runs, const Sample& s) {
  std::printf("%-10s %5d runs: resident %6ld kB, descriptors %d, threads %d, child processes %d\n", when, runs, s.rssKb,
              s.fds, s.threads, s.children);
}

// A port on 127.0.0.1 that refuses connections: bound, never listening, and
// held for the whole soak so that nobody else can listen on it.
uint16_t ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return 0;
  return ntohs(a.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORTS_FILE [RUNS] [TICK_MS]\n", argv[0]);
    return 2;
  }
  std::map<std::string, std::string> ports;
  std::ifstream in(argv[1]);
  for (std::string line; std::getline(in, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos) ports[line.substr(0, eq)] = line.substr(eq + 1);
  for (const char* key : {"SMTP_PORT", "SMTP_NOEHLO_PORT", "POP_PORT", "FTP_PORT", "FTP_BANNER_PORT", "HTTP_PORT"})
    if (ports[key].empty()) {
      std::fprintf(stderr, "no %s in %s: are the peers running (tests/peers/tcp-peers-start.sh)?\n", key, argv[1]);
      return 2;
    }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 2000;
  const int tickMs = argc > 3 ? std::atoi(argv[3]) : 2;
  if (runs <= kFirstSample || tickMs < 0) {
    std::fprintf(stderr, "RUNS must be more than %d, TICK_MS at least 0\n", kFirstSample);
    return 2;
  }
  std::string closed[4];
  for (auto& port : closed) port = std::to_string(ClosedPort());

  char dir[] = "/tmp/velkor-soak-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  SetProgramLocation(FromUtf8(dir), u"velkor");
  auto list = [](std::initializer_list<std::string> items) {
    std::string s;
    for (const auto& i : items) s += (s.empty() ? "" : ",") + i;
    return FromUtf8(s);
  };
  SystemSettings.SmtpPort = list({ports["SMTP_PORT"], ports["SMTP_NOEHLO_PORT"], closed[0]});
  SystemSettings.PopPort = list({ports["POP_PORT"], closed[1]});
  SystemSettings.FtpPort = list({ports["FTP_PORT"], ports["FTP_BANNER_PORT"], closed[2]});
  SystemSettings.HttpPort = list({ports["HTTP_PORT"], closed[3]});
  SystemSettings.UserName = u"velkorsoak";
  SystemSettings.Password = u"unused";
  SystemSettings.Interval = u"2";
  SystemSettings.RunBat = u"0";
  int writeFailures = 0;  // with the settings flag down, only a failed log write shows a box
  SetMessageBoxHook([&](const std::u16string&, const std::u16string&) { ++writeFailures; });

  {
    std::ofstream earlier(std::string(dir) + "/velkorERR1.log", std::ios::binary);
    for (long n = 1, size = 0; size < static_cast<long>(kEarlierErrorBytes); ++n) {
      const std::string line = " " + ToUtf8(TimeStamp()) + " *** an earlier report, number " + std::to_string(n);
      earlier << line << "\r\n";
      size += static_cast<long>(line.size()) + 2;
    }
  }
  SoakWindow window;
  DiagRunner runner(window);
  LogWatch runLog(dir, "velkor", false), errorLog(dir, "velkorERR", true);
  runLog.AfterTick();
  errorLog.AfterTick();
  const long earlierReports = errorLog.Records();
  const uintmax_t earlierBytes = errorLog.Bytes();
  std::vector<std::string> problems;
  std::vector<std::u16string> outline;
  long errorRecordsPerRun = -1;
  Sample first;
  const int64_t start = MonotonicMs();
  for (long tick = 1; window.Runs() < runs; ++tick) {
    SleepMs(tickMs);
    const int before = window.Runs();
    runner.TimerInterval_Timer();
    const bool ran = window.Runs() != before;
    // Every second tick is due: it runs, then shows the counter back at 0.
    if (ran != (tick % 2 == 0) || window.TimeoutInfo() != (ran ? u"0 / 2 回" : u"1 / 2 回")) {
      problems.push_back("tick " + std::to_string(tick) + ": " + (ran ? "ran" : "did not run") + ", counter shows " +
                         ToUtf8(window.TimeoutInfo()));
      break;
    }
    runLog.AfterTick();
    errorLog.AfterTick();
    if (!ran) continue;
    if (window.Runs() == 1) {
      outline = window.Outline();
      errorRecordsPerRun = errorLog.Records() - earlierReports;
    } else if (window.Outline() != outline) {
      problems.push_back("run " + std::to_string(window.Runs()) + " differs from the first run");
      break;
    }
    if (window.Runs() == kFirstSample) Print("after", kFirstSample, first = Measure());
  }
  const double seconds = (MonotonicMs() - start) / 1000.0;
  const Sample last = Measure();
  Print("at the end", window.Runs(), last);

  if (last.fds != first.fds) problems.push_back("open descriptors changed");
  if (last.threads != first.threads) problems.push_back("threads changed");
  if (last.children != first.children) problems.push_back("child processes changed");
  if (last.rssKb - first.rssKb > kMaxGrowthKb)
    problems.push_back("resident memory grew by " + std::to_string(last.rssKb - first.rssKb) + " kB");
  if (writeFailures) problems.push_back(std::to_string(writeFailures) + " log writes failed");
  if (!fs::exists(fs::path(dir) / "vkrLastErr.log")) problems.push_back("no last-error log after the failed runs");
  for (const LogWatch* log : {&runLog, &errorLog})
    problems.insert(problems.end(), log->Problems().begin(), log->Problems().end());
  // Nothing lost across the rotations: one start line per run in the run
  // log, the same number of reports per run in the error log.
  if (runLog.StartLines() != window.Runs())
    problems.push_back("run log holds " + std::to_string(runLog.StartLines()) + " start lines for " +
                       std::to_string(window.Runs()) + " runs");
  if (errorLog.Records() != earlierReports + errorRecordsPerRun * window.Runs())
    problems.push_back("error log holds " + std::to_string(errorLog.Records() - earlierReports) + " reports, " +
                       std::to_string(errorRecordsPerRun) + " per run expected");

  std::printf("%d runs in %.1f s (%.1f ms a run, its two ticks of %d ms included), %ld error reports a run\n",
              window.Runs(), seconds, seconds * 1000 / window.Runs(), tickMs, errorRecordsPerRun);
  for (const auto& [name, log, earlier] :
       {std::tuple{"run log", &runLog, uintmax_t{0}}, std::tuple{"error log", &errorLog, earlierBytes}})
    std::printf("%-9s %4lld bytes a run, %d rotations at %lld bytes, largest excess at a rotation %ju bytes\n", name,
                static_cast<long long>(log->Bytes() - earlier) / window.Runs(), log->Rotations(),
                static_cast<long long>(kLogRotateBytes), log->LargestOvershoot());
  for (const auto& p : problems) std::printf("FAILED: %s\n", p.c_str());
  std::printf("%s\n", problems.empty() ? "soak passed" : "soak FAILED");
  std::error_code ec;
  fs::remove_all(dir, ec);
  return problems.empty() ? 0 : 1;
}
