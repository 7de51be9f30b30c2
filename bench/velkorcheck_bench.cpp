// Whole-process time of one velkor-check doing SMTP, POP, FTP and HTTP on the
// loopback peers, against check_smtp, check_pop, check_ftp and check_http of
// the monitoring plugins run one after another on the same peers. Rounds
// interleave the two (which goes first alternates); prints both medians and
// the ratio, and the time velkor-check spends outside its checks: the whole
// process less its own 'time' perfdata (start-up, output and end). Exits
// non-zero when a check fails.
//   build/bench/velkorcheck_bench build/testpeers/tcp/ports.env [rounds] [plugin dir]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

// Runs a command with its output thrown away (or, given `out`, kept there);
// its exit status.
int RunQuietly(const std::vector<std::string>& args, std::string* out = nullptr) {
  int pipeFds[2] = {-1, -1};
  if (out && pipe(pipeFds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(out ? pipeFds[1] : null, 1);
    dup2(null, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (out) {
    close(pipeFds[1]);
    char buf[4096];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) out->append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Milliseconds the commands take one after another; exits on a failure.
// Given `out`, the output is kept there (the reading adds no wait: the
// process's end closes the pipe).
double TimeCommands(const std::vector<std::vector<std::string>>& commands, std::string* out = nullptr) {
  const auto start = std::chrono::steady_clock::now();
  for (const auto& c : commands) {
    if (const int status = RunQuietly(c, out); status != 0) {
      std::fprintf(stderr, "%s exited with %d; are the peers running?\n", c[0].c_str(), status);
      std::exit(1);
    }
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The 'time' perfdata of a velkor-check output, in milliseconds.
double PerfdataTimeMs(const std::string& out) {
  const size_t at = out.find("'time'=");
  if (at == std::string::npos) {
    std::fprintf(stderr, "velkor-check printed no 'time' perfdata\n");
    std::exit(1);
  }
  return std::atof(out.c_str() + at + 7) * 1000;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ports.env [rounds] [plugin dir]\n", argv[0]);
    return 2;
  }
  std::map<std::string, std::string> port;
  std::ifstream in(argv[1]);
  for (std::string line; std::getline(in, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos) port[line.substr(0, eq)] = line.substr(eq + 1);
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 50;
  const std::string plugins = argc > 3 ? argv[3] : "/usr/lib/nagios/plugins";
  if (access((plugins + "/check_smtp").c_str(), X_OK) != 0) {
    std::fprintf(stderr, "%s/check_smtp is missing (Debian: monitoring-plugins-basic)\n", plugins.c_str());
    return 2;
  }
  const std::string host = "127.0.0.1";
  const std::vector<std::vector<std::string>> velkor{
      {VELKOR_CHECK_BINARY, "-H", host, "--smtp", port["SMTP_PORT"], "--pop", port["POP_PORT"], "--ftp",
       port["FTP_PORT"], "--http", port["HTTP_PORT"]}};
  const std::vector<std::vector<std::string>> plugin{
      {plugins + "/check_smtp", "-H", host, "-p", port["SMTP_PORT"]},
      {plugins + "/check_pop", "-H", host, "-p", port["POP_PORT"]},
      {plugins + "/check_ftp", "-H", host, "-p", port["FTP_PORT"]},
      {plugins + "/check_http", "-H", host, "-p", port["HTTP_PORT"]}};

  std::vector<double> ours, theirs, outside, checks;
  auto runOurs = [&] {
    std::string out;
    const double whole = TimeCommands(velkor, &out);
    ours.push_back(whole);
    checks.push_back(PerfdataTimeMs(out));
    outside.push_back(whole - checks.back());
  };
  for (int i = 0; i < rounds; ++i) {
    if (i % 2 == 0) {
      runOurs();
      theirs.push_back(TimeCommands(plugin));
    } else {
      theirs.push_back(TimeCommands(plugin));
      runOurs();
    }
  }
  const double a = Median(ours), b = Median(theirs);
  std::printf("velkorcheck_bench: %d rounds; velkor-check (SMTP, POP, FTP, HTTP in one process) median %.2f ms; "
              "check_smtp, check_pop, check_ftp, check_http one after another median %.2f ms; ratio %.2f "
              "(target: at most 0.60)\n",
              rounds, a, b, a / b);
  std::printf("  velkor-check's own 'time' median %.2f ms; outside its checks (whole less 'time') median %.2f ms "
              "(target: at most 3.00)\n",
              Median(checks), Median(outside));
  return 0;
}
