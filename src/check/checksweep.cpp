#include "check/checksweep.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "check/checkjson.h"
#include "check/checkprocess.h"
#include "check/childpool.h"
#include "diag/targetlist.h"
#include "util/codepage.h"
#include "util/fileutil.h"

namespace {

using Clock = std::chrono::steady_clock;

// A child gets this long after --max-time before it is killed: its own time
// bound answers at --max-time, and its answer is the better one.
constexpr double kChildGraceSeconds = 2;

// Progress is redrawn at most this often, not for every host.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

constexpr std::string_view kPrefix = "VELKOR ";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find('\n', pos);
    if (lf == std::string::npos) lf = text.size();
    lines.push_back(text.substr(pos, lf - pos));
    pos = lf + 1;
  }
  return lines;
}

// "OK - 4 of 4 checks passed | ..." from the one-host status line.
std::string WithoutPrefix(const std::string& statusLine) {
  return statusLine.rfind(kPrefix, 0) == 0 ? statusLine.substr(kPrefix.size()) : statusLine;
}

// "4 of 4 checks passed": the status line's text alone.
std::string StatusText(const std::string& statusLine, CheckExit status) {
  std::string t = WithoutPrefix(statusLine);
  const std::string state = std::string(CheckStateWord(status)) + " - ";
  if (t.rfind(state, 0) == 0) t.erase(0, state.size());
  // A "|" of any other text is shown as "¦": the first is the separator.
  if (const size_t bar = t.find(" | "); bar != std::string::npos) t.resize(bar);
  return t;
}

// A port as JSON: the number when it is one, else the text.
std::string JsonPort(const std::string& port) {
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) return JsonString(port);
  const size_t first = port.find_first_not_of('0');
  return first == std::string::npos ? "0" : port.substr(first);
}

const char* JsonTls(TlsMode tls) {
  switch (tls) {
    case TlsMode::Implicit: return "\"implicit\"";
    case TlsMode::StartTls: return "\"starttls\"";
    default: return "null";
  }
}

// What a TLS check's certificate showed, and what that adds to its verdict;
// null when no handshake was made.
std::string CertificateJson(const CheckRecord& c, const CheckRequest& r) {
  if (!c.tlsFound || !c.tlsFound->handshake) return "null";
  const TlsFindings& f = *c.tlsFound;
  std::vector<std::string> reasons;
  for (const std::string& reason : CertificateReasons(c, r)) reasons.push_back(JsonString(reason));
  JsonObject o;
  o.String("protocol", f.version)
      .Value("verified", f.chainVerified ? "true" : "false")
      .Value("verify_error", f.chainVerified ? "null" : JsonString(f.verifyError))
      .Value("name_matches", f.nameMatches ? "true" : "false")
      .Value("expired", f.expired ? "true" : "false")
      .Value("not_yet_valid", f.notYetValid ? "true" : "false")
      .Value("days_left", f.hasExpiry && !f.expired ? std::to_string(f.daysLeft) : "null")
      .Value("reasons", JsonArray(reasons));
  return o.Text();
}

std::string CheckJson(const CheckRecord& c, const CheckRequest& r) {
  std::vector<std::string> reports;
  for (const std::u16string& report : c.reports) reports.push_back(JsonString(report));
  JsonObject o;
  o.String("service", c.name.substr(0, c.name.find(' ')))
      .Value("port", c.port.empty() ? "null" : JsonPort(c.port))
      .Value("tls", JsonTls(c.tls))
      .Value("address", c.address.empty() ? "null" : JsonString(c.address))
      .String("verdict", CheckStateWord(CheckStateOf(c, r)))
      .Value("passed", c.passed ? "true" : "false")
      .Value("seconds", JsonSeconds(c.seconds));
  const std::optional<std::string> reason = CheckReason(c, r);
  o.Value("reason", reason ? JsonString(*reason) : "null")
      .String("transcript", CheckTranscript(c))
      .Value("reports", JsonArray(reports));
  if (c.tls != TlsMode::None) o.Value("certificate", CertificateJson(c, r));
  return o.Text();
}

int DefaultJobs() {
  cpu_set_t set;
  const int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : sysconf(_SC_NPROCESSORS_ONLN);
  return std::clamp(cpus, 1, kMaxJobs);
}

// The state of a host whose process did not answer for itself.
std::string ChildFailure(const ChildEnd& end, const CheckRequest& r) {
  switch (end.how) {
    case ChildEnd::How::Signalled:
      return "its check process was ended by signal " + std::to_string(end.code) + " (" + strsignal(end.code) + ")";
    case ChildEnd::How::OverTime:
      return "its check process was still running " + r.maxTime.text + " s (--max-time) plus " +
             std::to_string(static_cast<int>(kChildGraceSeconds)) + " s later and was killed";
    case ChildEnd::How::OutputTooLarge:
      return "its check process wrote more than " + std::to_string(kMaxChildOutputBytes >> 20) +
             " MiB and was killed";
    case ChildEnd::How::NotStarted:
      return std::string("no check process could be started (") + std::strerror(end.code) + ")";
    case ChildEnd::How::Exited: break;
  }
  return "its check process ended with status " + std::to_string(end.code) + " and no result";
}

// "host done of total" on the terminal, redrawn in place.
class Progress {
 public:
  Progress(int fd, size_t total) : m_fd(fd), m_total(total) {}
  void Show(size_t done, bool now) {
    if (m_fd < 0) return;
    const Clock::time_point t = Clock::now();
    if (!now && m_shown && t - m_last < kProgressInterval) return;
    m_last = t;
    m_shown = true;
    Write("\rvelkor-check: " + std::to_string(done) + " of " + std::to_string(m_total) + " hosts done\033[K");
  }
  void Clear() {
    if (m_fd < 0 || !m_shown) return;
    m_shown = false;
    Write("\r\033[K");
  }

 private:
  void Write(const std::string& text) {
    // A terminal that went away costs only the progress.
    if (write(m_fd, text.data(), text.size()) < 0 && errno != EINTR) m_fd = -1;
  }
  int m_fd;
  size_t m_total;
  bool m_shown = false;
  Clock::time_point m_last;
};

}  // namespace

std::string ReadSweepList(const std::string& file, std::vector<SweepHost>& hosts) {
  const std::string what = "--target-list " + file;
  struct stat st {};
  int error = 0;
  {
    const UniqueFd fd = OpenExisting(file, O_RDONLY, st, error);
    if (!fd.ok()) {
      if (error == ENOENT) return what + ": not found";
      if (error == kNotRegularFile) return what + ": cannot be read (not a regular file)";
      return what + ": cannot be read (" + std::strerror(error) + ")";
    }
  }
  if (st.st_size > kMaxReadBytes)
    return what + ": cannot be read (larger than " + std::to_string(kMaxReadBytes >> 20) + " MiB)";
  // The window's reader: a file of fewer than 2 bytes holds no entry. One
  // entry past the limit is enough to refuse; no more are made.
  std::u16string text;
  std::vector<std::u16string> entries;
  std::vector<size_t> lines;
  if (ReadWholeFile(FromUtf8(file), text)) entries = ParseTargetList(std::move(text), &lines, kMaxSweepEntries + 1);
  if (entries.empty()) return what + ": no entries";
  if (entries.size() > kMaxSweepEntries) return what + ": more than " + std::to_string(kMaxSweepEntries) + " entries";
  hosts.clear();
  for (size_t i = 0; i < entries.size(); ++i) hosts.push_back(SweepHost{lines[i], std::move(entries[i]), {}});
  return "";
}

HeldOutputs::HeldOutputs(size_t count, size_t memoryBytes, std::string directory)
    : m_held(count), m_memoryBytes(memoryBytes), m_directory(std::move(directory)) {}

HeldOutputs::~HeldOutputs() {
  if (m_fd >= 0) close(m_fd);
}

std::string HeldOutputs::DefaultDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// The file has no name from the start where the file system allows it, so
// that nothing is left behind by a sweep that is killed.
std::string HeldOutputs::OpenFile() {
  int fd = open(m_directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    std::string name = m_directory + "/velkor-check-sweep.XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) unlink(name.c_str());
  }
  if (fd < 0) return std::strerror(errno);
  m_fd = fd;
  return "";
}

std::string HeldOutputs::Hold(size_t i, std::string&& block, bool inMemory) {
  Held& h = m_held[i];
  if (inMemory || m_inMemory + block.size() <= m_memoryBytes) {
    m_inMemory += block.size();
    h = Held{State::Memory, std::move(block), 0, 0};
    return "";
  }
  std::string error = m_fd < 0 ? OpenFile() : "";
  for (size_t done = 0; error.empty() && done < block.size();) {
    const ssize_t n = pwrite(m_fd, block.data() + done, block.size() - done, static_cast<off_t>(m_end + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) error = n < 0 ? std::strerror(errno) : "nothing written";
    else done += static_cast<size_t>(n);
  }
  if (!error.empty()) {
    h = Held{};
    return "its output could not be kept for its turn (temporary file in " + m_directory + ": " + error + ")";
  }
  h = Held{State::File, {}, m_end, block.size()};
  m_end += block.size();
  return "";
}

std::string HeldOutputs::Take(size_t i, std::string& why) {
  Held h = std::exchange(m_held[i], Held{});
  why.clear();
  if (h.state == State::Memory) {
    m_inMemory -= h.text.size();
    return std::move(h.text);
  }
  if (h.state == State::None) return "";
  std::string block(h.length, '\0');
  for (size_t done = 0; done < block.size();) {
    const ssize_t n = pread(m_fd, block.data() + done, block.size() - done, static_cast<off_t>(h.offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = "its output could not be read back (temporary file in " + m_directory + ": " +
            (n < 0 ? std::strerror(errno) : "cut short") + ")";
      return "";
    }
    done += static_cast<size_t>(n);
  }
  return block;
}

std::string SweepHostBlock(const SweepHost& host, const CheckRunResult& result, double seconds,
                           const CheckRequest& r) {
  const CheckOutcome& outcome = result.outcome;
  const std::vector<std::string> lines = Lines(outcome.text);
  const std::string statusLine = lines.empty() ? "" : lines.front();
  if (!r.json) {
    std::string block = PluginText(host.entry) + " " + WithoutPrefix(statusLine) + "\n";
    if (r.verbose)
      for (size_t i = 1; i < lines.size(); ++i) block += (lines[i].empty() ? "" : "  ") + lines[i] + "\n";
    else if (result.run && !result.run->logNote.empty())
      block += "  " + result.run->logNote + "\n";  // lost log lines are said even in the short form
    return block;
  }
  std::vector<std::string> checks;
  if (result.run)
    for (const CheckRecord& c : result.run->checks) checks.push_back(CheckJson(c, r));
  JsonObject o;
  o.Value("line", host.line != 0 ? std::to_string(host.line) : "null")
      .String("host", EntryHostName(host.entry))
      .String("entry", host.entry)
      .String("verdict", CheckStateWord(outcome.status))
      .Value("exit", std::to_string(static_cast<int>(outcome.status)))
      .String("text", StatusText(statusLine, outcome.status))
      .Value("seconds", JsonSeconds(result.run ? result.run->seconds : seconds))
      .Value("checks", JsonArray(checks));
  if (result.run && !result.run->logNote.empty()) o.String("log", result.run->logNote);
  return o.Text() + "\n";
}

std::string OneHostJson(const CheckRequest& r, const CheckRunResult& result, double seconds) {
  const std::string entry = r.entry ? *r.entry : r.host.value_or("");
  return SweepHostBlock(SweepHost{0, FromUtf8(entry), {}}, result, seconds, r);
}

// The note is one line after the block, behind a character that no block
// holds (its texts show control characters as blanks or escape them).
constexpr char kNoteMark = '\x1e';

std::string SweepNote(const CheckRunResult& result, const CheckRequest& r) {
  if (!result.run || result.outcome.status != CheckExit::Warning) return "";
  std::vector<std::string> reasons;
  for (const CheckRecord& c : result.run->checks)
    for (const std::string& reason : WarningReasons(c, r))
      if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) reasons.push_back(reason);
  std::string note;
  for (const std::string& reason : reasons) note += (note.empty() ? "" : ", ") + reason;
  return std::string(1, kNoteMark) + PluginText(FromUtf8(note)) + "\n";
}

void TakeSweepNote(std::string& output, SweepHost& host) {
  if (output.size() < 2 || output.back() != '\n') return;
  const size_t lineStart = output.find_last_of('\n', output.size() - 2);
  const size_t at = lineStart == std::string::npos ? 0 : lineStart + 1;
  if (output[at] != kNoteMark) return;
  host.warnings = output.substr(at + 1, output.size() - at - 2);
  output.resize(at);
}

CheckExit WorstSweepStatus(const std::vector<CheckExit>& statuses) {
  // Rank in the sweep's order: an UNKNOWN host does not hide a WARNING one.
  auto rank = [](CheckExit s) {
    switch (s) {
      case CheckExit::Critical: return 3;
      case CheckExit::Warning: return 2;
      case CheckExit::Unknown: return 1;
      default: return 0;
    }
  };
  CheckExit worst = CheckExit::Ok;
  for (CheckExit s : statuses)
    if (rank(s) > rank(worst)) worst = s;
  return worst;
}

CheckOutcome SweepSummary(const std::vector<SweepHost>& hosts, const std::vector<CheckExit>& statuses, double seconds,
                          const CheckRequest& r) {
  const CheckExit worst = WorstSweepStatus(statuses);
  const std::string of = " of " + std::to_string(hosts.size()) + " hosts ";
  std::string text;
  size_t counts[4] = {};
  for (CheckExit s : statuses) ++counts[static_cast<int>(s) & 3];
  const std::pair<CheckExit, const char*> groups[] = {{CheckExit::Critical, "failed"},
                                                      {CheckExit::Warning, "with a warning"},
                                                      {CheckExit::Unknown, "unknown"}};
  for (const auto& [state, what] : groups) {
    std::string names;
    size_t listed = 0;
    for (size_t i = 0; i < hosts.size() && i < statuses.size(); ++i) {
      if (statuses[i] != state || ++listed > kSummaryGroupEntries) continue;
      names += (names.empty() ? "" : ", ") + PluginText(hosts[i].entry);
      if (state == CheckExit::Warning && !hosts[i].warnings.empty()) names += " (" + hosts[i].warnings + ")";
    }
    if (listed > kSummaryGroupEntries) names += " and " + std::to_string(listed - kSummaryGroupEntries) + " more";
    if (names.empty()) continue;
    text += (text.empty() ? "" : "; ") + std::to_string(counts[static_cast<int>(state)]) + of + what + ": " + names;
  }
  if (text.empty()) text = std::to_string(statuses.size()) + of + "passed";
  if (!r.json) return CheckOutcome{worst, "VELKOR SWEEP " + std::string(CheckStateWord(worst)) + " - " + text + "\n"};
  JsonObject o;
  o.String("summary", text)
      .String("verdict", CheckStateWord(worst))
      .Value("exit", std::to_string(static_cast<int>(worst)))
      .Value("hosts", std::to_string(hosts.size()))
      .Value("ok", std::to_string(counts[0]))
      .Value("warning", std::to_string(counts[1]))
      .Value("critical", std::to_string(counts[2]))
      .Value("unknown", std::to_string(counts[3]))
      .Value("seconds", JsonSeconds(seconds));
  return CheckOutcome{worst, o.Text() + "\n"};
}

CheckOutcome RunSweep(const CheckRequest& r, const CheckHooks& hooks) {
  const Clock::time_point start = Clock::now();
  if (r.host || r.entry || r.AnyPortOption())
    return BadInputOutcome("--target-list does not go with -H/--hostname, -E/--entry or the port options");
  std::vector<SweepHost> hosts;
  if (std::string wrong = ReadSweepList(*r.targetList, hosts); !wrong.empty()) return BadInputOutcome(wrong);
  if (std::string wrong = SharedInputProblem(r); !wrong.empty()) return BadInputOutcome(wrong);
  // Each host's run is the one-host run of its entry.
  CheckRequest each = r;
  each.targetList.reset();
  each.jobs.reset();
  each.json = false;
  each.entryFromList = true;

  // Finished hosts wait for their turn behind a slow one: their output is bounded in memory.
  HeldOutputs blocks(hosts.size(), hooks.sweepHeldMemoryBytes, HeldOutputs::DefaultDirectory());
  std::vector<CheckExit> statuses(hosts.size(), CheckExit::Unknown);
  size_t written = 0, ended = 0;
  bool outputGone = false;
  const bool stdoutIsTerminal = isatty(STDOUT_FILENO);
  Progress progress(hooks.progressFd, hosts.size());
  progress.Show(0, true);

  // The hosts' waits for the log lock come out of one bound for the sweep.
  CheckHooks hostHooks = hooks;
  void* shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared != MAP_FAILED) hostHooks.logLockLeftMs = new (shared) std::atomic<int>(std::max(hooks.logLockWaitMs, 0));

  auto body = [&](size_t i) {
    if (hooks.progressFd >= 0) close(hooks.progressFd);
    each.entry = ToUtf8(hosts[i].entry);
    const CheckOutcome timedOut{CheckExit::Unknown, TimedOutLine(r.maxTime.text)};
    StartCheckTimeBound(r.maxTime.value, SweepHostBlock(hosts[i], {timedOut, std::nullopt}, r.maxTime.value, r));
    const Clock::time_point begin = Clock::now();
    const CheckRunResult result = RunCheck(each, hostHooks);
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    FinishCheckProcess(SweepHostBlock(hosts[i], result, seconds, r) + SweepNote(result, r), result.outcome.status);
  };
  auto onEnd = [&](size_t i, ChildEnd&& end) {
    ++ended;
    const bool answered = end.how == ChildEnd::How::Exited && end.code >= 0 && end.code <= 3 &&
                          !end.output.empty() && end.output.back() == '\n';
    auto unknown = [&](size_t host, const std::string& why, double seconds) {
      statuses[host] = CheckExit::Unknown;
      return SweepHostBlock(hosts[host], {BadInputOutcome(why), std::nullopt}, seconds, r);
    };
    if (answered) TakeSweepNote(end.output, hosts[i]);
    std::string block = answered ? std::move(end.output) : unknown(i, ChildFailure(end, r), end.seconds);
    if (answered) statuses[i] = static_cast<CheckExit>(end.code);
    // Due at once: written without being held.
    const bool due = i == written;
    if (!due) {
      if (std::string why = blocks.Hold(i, std::move(block)); !why.empty()) {
        // The one line that says so is small; it waits in memory.
        blocks.Hold(i, unknown(i, why, end.seconds), true);
      }
    }
    auto emit = [&](const std::string& text) {
      if (!outputGone && !WriteStandardOutput(text)) outputGone = true;
    };
    // Out in the list's order: whatever is due now that this one is in.
    if ((due || (written < hosts.size() && blocks.Holds(written))) && stdoutIsTerminal) progress.Clear();
    if (due) emit(block), ++written;
    for (; written < hosts.size() && blocks.Holds(written); ++written) {
      std::string why;
      const std::string text = blocks.Take(written, why);
      emit(why.empty() ? text : unknown(written, why, 0));
    }
    progress.Show(ended, false);
    return !outputGone;
  };
  RunInChildren(hosts.size(), ChildPoolLimits{r.jobs.value_or(DefaultJobs()), r.maxTime.value + kChildGraceSeconds},
                body, onEnd);
  if (shared != MAP_FAILED) munmap(shared, sizeof(std::atomic<int>));
  progress.Clear();
  if (outputGone) return CheckOutcome{CheckExit::Unknown, ""};
  return SweepSummary(hosts, statuses, std::chrono::duration<double>(Clock::now() - start).count(), r);
}
