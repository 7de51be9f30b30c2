// The memory of a velkor-check sweep of 100,000 entries (default) whose
// first entry hangs until --max-time while the rest finish: every other
// host's output has to wait for the first one's turn. The first entry's SMTP
// port is a listening socket nobody accepts from (no greeting comes); the
// others' is a closed loopback port (each check fails at once). A short
// sweep of the closed port first gives the rate, and --max-time is set to
// three times as long as the whole list would take at that rate, so that the
// first host is still hanging when the last of the others ends.
// Reported: the sweep's peak resident memory (the parent alone: sampled
// VmHWM, and ru_maxrss from wait4), the output's size, the time. The target
// is a peak under 100 MB; exits 1 when it is missed or the output is not
// the list in order.
// Exits 1 as well when the others were not all done before the first host's
// turn (the machine slower than the estimate: give --max-time).
//   build/bench/sweep_memory_bench [entries] [jobs] [max-time]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kTargetPeakKb = 100 * 1000;  // 100 MB

int Listen(uint16_t* port, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
    std::perror("listen");
    std::exit(1);
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

long StatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return 0;
}

struct Run {
  double seconds = 0;
  long peakHwmKb = 0;    // sampled VmHWM of the sweep's process
  long maxRssKb = 0;     // ru_maxrss of wait4
  double othersDoneAt = -1;  // the last time more than one check process ran (the hanging host's)
  int status = -1;
  std::vector<std::string> lines;
  size_t outBytes = 0;
};

Run Sweep(const std::string& list, int jobs, const std::string& maxTime, const std::string& outFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string j = std::to_string(jobs), waits = std::to_string(2 * std::stoi(maxTime));
  // Each wait outlasts --max-time: the hanging host ends by that bound, not by its reply wait.
  std::vector<const char*> argv{VELKOR_CHECK_BINARY, "--target-list", list.c_str(), "-j", j.c_str(),
                                "-t", waits.c_str(), "--max-time", maxTime.c_str(), nullptr};
  pid_t pid = -1;
  const Clock::time_point start = Clock::now();
  if (posix_spawn(&pid, VELKOR_CHECK_BINARY, &actions, nullptr, const_cast<char**>(argv.data()), environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  Run r;
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    const std::string children = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    while (!done) {
      r.peakHwmKb = std::max(r.peakHwmKb, StatusKb(pid, "VmHWM:"));
      std::ifstream in(children);
      int n = 0;
      for (int child; in >> child;) ++n;
      if (n > 1) r.othersDoneAt = std::chrono::duration<double>(Clock::now() - start).count();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  done = true;
  sampler.join();
  r.maxRssKb = usage.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(outFile);
  for (std::string line; std::getline(in, line);) r.lines.push_back(line), r.outBytes += line.size() + 1;
  return r;
}

std::string Entry(uint16_t port) { return "127.0.0.1:" + std::to_string(port) + ":-:-:-"; }

}  // namespace

int main(int argc, char** argv) {
  const size_t entries = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const int jobs = argc > 2 ? std::atoi(argv[2]) : 16;
  uint16_t hanging = 0, closed = 0;
  const int hangFd = Listen(&hanging, 4);  // never accepted from
  close(Listen(&closed, 1));
  const std::string dir = std::filesystem::temp_directory_path() / ("velkor-sweep-memory-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto write = [&](const std::string& name, size_t count, bool hangFirst) {
    std::ofstream out(dir + "/" + name);
    for (size_t i = 0; i < count; ++i) out << Entry(i == 0 && hangFirst ? hanging : closed) << "\n";
    return dir + "/" + name;
  };

  // The rate of the closed port alone.
  const size_t probe = std::min<size_t>(2000, entries);
  const Run rate = Sweep(write("probe", probe, false), jobs, "30", dir + "/probe.out");
  const double perSecond = static_cast<double>(probe) / rate.seconds;
  // Other work on the machine slows a long sweep more than the short one: three times the estimate, or as given.
  const int maxTime = argc > 3 ? std::atoi(argv[3])
                               : static_cast<int>(std::ceil(static_cast<double>(entries) / perSecond * 3)) + 10;
  std::printf("calibration: %zu hosts of a closed port in %.1f s (%.0f hosts/s, -j %d); --max-time %d\n", probe,
              rate.seconds, perSecond, jobs, maxTime);

  const Run r = Sweep(write("list", entries, true), jobs, std::to_string(maxTime), dir + "/list.out");
  bool ok = r.lines.size() == entries + 1 && r.status == 2;  // CRITICAL: the closed port's hosts
  if (ok) ok = r.lines.front() == Entry(hanging) + " UNKNOWN - timed out after " + std::to_string(maxTime) + " s";
  for (size_t i = 1; ok && i < entries; ++i) ok = r.lines[i].rfind(Entry(closed) + " CRITICAL - ", 0) == 0;
  const long peakKb = std::max(r.peakHwmKb, r.maxRssKb);
  // A sample's interval short of the turn: the last other host ended before the first one's.
  const bool heldAll = r.othersDoneAt >= 0 && r.othersDoneAt < maxTime - 0.5;
  std::printf("the other hosts were done after %.1f s, the first host's turn came at %d s: %s\n", r.othersDoneAt,
              maxTime, heldAll ? "every other host's output was held" : "NOT all held (give a larger --max-time)");
  std::printf("sweep of %zu entries, -j %d: %.1f s, %zu lines (%.1f MiB of output), exit %d\n", entries, jobs,
              r.seconds, r.lines.size(), static_cast<double>(r.outBytes) / (1 << 20), r.status);
  std::printf("peak resident memory of the sweep: %.1f MB (VmHWM sampled %.1f MB, ru_maxrss %.1f MB); target under "
              "100 MB: %s\n",
              peakKb / 1000.0, r.peakHwmKb / 1000.0, r.maxRssKb / 1000.0, peakKb < kTargetPeakKb ? "met" : "MISSED");
  if (!ok) std::printf("the output is not the list in order: first line '%s'\n", r.lines.empty() ? "" : r.lines[0].c_str());
  close(hangFd);
  std::filesystem::remove_all(dir);
  return ok && heldAll && peakKb < kTargetPeakKb ? 0 : 1;
}
