// A velkor-check sweep against the real loopback peers, as a whole process:
//  1. N entries (default 1000), each SMTP, POP, FTP and HTTP on the peers,
//     with -j 16: hosts per second, the peak memory of the sweep (the sweep
//     and its running children: the sum of their proportional set sizes,
//     sampled), against a plain client doing the same dialogues from 16
//     threads. Loopback peers are CPU-bound, so the plain client is the
//     floor; the target is a ratio within 2.
//  2. The same entries through a relay in this process that holds every
//     chunk 25 ms each way (50 ms round trip), as real servers are farther
//     than loopback: hosts per second with -j 1, -j 16 and -j 64; the target
//     is -j 16 at least 10 times -j 1.
// Exits 1 when a sweep does not answer OK for every host or a target is
// missed.
//   build/bench/sweep_bench build/testpeers/tcp/ports.env [entries]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// ---- the sweep as a process, its memory sampled ----

long ProcKb(int pid, const char* file, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return 0;
}

struct SweepRun {
  double seconds = 0;
  long peakPssKb = 0;   // the sweep and its children together
  long peakRssKb = 0;   // the same, resident sizes (shared pages counted in each)
  int peakChildren = 0;
  int status = -1;
  std::string last;     // the summary line
};

SweepRun RunSweep(const std::string& list, int jobs, const std::string& outFile) {
  SweepRun r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string j = std::to_string(jobs);
  std::vector<const char*> argv{VELKOR_CHECK_BINARY, "--target-list", list.c_str(), "-j", j.c_str(), nullptr};
  pid_t pid = -1;
  const Clock::time_point start = Clock::now();
  if (posix_spawn(&pid, VELKOR_CHECK_BINARY, &actions, nullptr, const_cast<char**>(argv.data()), environ) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    const std::string children = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    while (!done) {
      long pss = ProcKb(pid, "smaps_rollup", "Pss:"), rss = ProcKb(pid, "status", "VmRSS:");
      std::ifstream in(children);
      int n = 0;
      for (int child; in >> child; ++n) {
        pss += ProcKb(child, "smaps_rollup", "Pss:");
        rss += ProcKb(child, "status", "VmRSS:");
      }
      r.peakPssKb = std::max(r.peakPssKb, pss);
      r.peakRssKb = std::max(r.peakRssKb, rss);
      r.peakChildren = std::max(r.peakChildren, n);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  int status = 0;
  waitpid(pid, &status, 0);
  r.seconds = SecondsSince(start);
  done = true;
  sampler.join();
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(outFile);
  for (std::string line; std::getline(in, line);) r.last = line;
  return r;
}

// ---- a plain client: the same dialogues, blocking sockets ----

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until a reply is complete (`done` looks at what came so far), or
// without `done` until the peer closes.
bool ReadReply(int fd, std::string& buf, bool (*done)(const std::string&)) {
  buf.clear();
  char chunk[4096];
  while (!done || !done(buf)) {
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return n == 0 && !done;
    buf.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

// The last complete line is "NNN " (SMTP, FTP: multi-line replies).
bool NumberedDone(const std::string& b) {
  if (b.size() < 2 || b.compare(b.size() - 2, 2, "\r\n") != 0) return false;
  const size_t start = b.rfind('\n', b.size() - 3);
  const std::string last = b.substr(start == std::string::npos ? 0 : start + 1);
  return last.size() >= 4 && last[3] == ' ';
}
bool LineDone(const std::string& b) { return b.find("\r\n") != std::string::npos; }

bool Dialogue(uint16_t port, bool greeting, const std::vector<std::pair<std::string, std::string>>& steps,
              bool (*done)(const std::string&), const std::string& greetingStart) {
  const int fd = Connect(port);
  if (fd < 0) return false;
  std::string reply;
  bool ok = !greeting || (ReadReply(fd, reply, done) && reply.rfind(greetingStart, 0) == 0);
  for (const auto& [line, expect] : steps) {
    if (!ok) break;
    ok = send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size()) &&
         ReadReply(fd, reply, expect.empty() ? nullptr : done) && reply.rfind(expect.empty() ? "HTTP/" : expect, 0) == 0;
  }
  close(fd);
  return ok;
}

struct Ports {
  uint16_t smtp, pop, ftp, http;
};

bool PlainHost(const Ports& p) {
  return Dialogue(p.smtp, true, {{"EHLO 127.0.0.1\r\n", "250"}, {"QUIT\r\n", "221"}}, NumberedDone, "220") &&
         Dialogue(p.pop, true, {{"USER bench\r\n", "+OK"}, {"QUIT\r\n", "+OK"}}, LineDone, "+OK") &&
         Dialogue(p.ftp, true, {{"USER bench\r\n", "331"}, {"QUIT\r\n", "221"}}, NumberedDone, "220") &&
         Dialogue(p.http, false, {{"GET / HTTP/1.0\r\n\r\n", ""}}, NumberedDone, "");
}

double PlainClient(const Ports& p, int hosts, int threads) {
  std::atomic<int> next{0}, failed{0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&] {
      while (next++ < hosts)
        if (!PlainHost(p)) ++failed;
    });
  for (std::thread& t : pool) t.join();
  if (failed) {
    std::fprintf(stderr, "plain client: %d hosts failed\n", failed.load());
    std::exit(1);
  }
  return SecondsSince(start);
}

// ---- the relay: every chunk held 25 ms each way ----

class Relay {
 public:
  Relay(std::vector<uint16_t> upstream, std::chrono::milliseconds hold) : m_hold(hold) {
    for (uint16_t up : upstream) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int one = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof sa;
      bind(fd, reinterpret_cast<sockaddr*>(&sa), len);
      listen(fd, 1024);
      getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
      m_listeners.push_back({fd, up});
      m_ports.push_back(ntohs(sa.sin_port));
    }
    m_thread = std::thread([this] { Loop(); });
  }
  ~Relay() {
    m_stop = true;
    m_thread.join();
    for (auto& [fd, up] : m_listeners) close(fd);
  }
  const std::vector<uint16_t>& ports() const { return m_ports; }

 private:
  // One direction of a connection: chunks (an empty one is the end) and when each is due.
  struct Way {
    int from, to;
    std::deque<std::pair<Clock::time_point, std::string>> held;
    bool readEnd = false;  // the end has been read (and is held)
    bool done = false;     // the end has been passed on
  };
  struct Conn {
    Way up, down;
  };

  void Loop() {
    std::vector<std::unique_ptr<Conn>> conns;
    while (!m_stop) {
      std::vector<pollfd> fds;
      for (auto& [fd, up] : m_listeners) fds.push_back({fd, POLLIN, 0});
      std::vector<Way*> ways;
      Clock::time_point next = Clock::now() + std::chrono::milliseconds(50);
      for (auto& c : conns)
        for (Way* w : {&c->up, &c->down}) {
          if (!w->held.empty()) next = std::min(next, w->held.front().first);
          if (w->readEnd) continue;
          fds.push_back({w->from, POLLIN, 0});
          ways.push_back(w);
        }
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
      poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait)));
      const Clock::time_point now = Clock::now();
      for (size_t i = 0; i < m_listeners.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        const int client = accept4(m_listeners[i].first, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        const int server = Connect(m_listeners[i].second);
        if (server < 0) {
          close(client);
          continue;
        }
        const int one = 1;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        conns.push_back(std::make_unique<Conn>(Conn{{client, server, {}}, {server, client, {}}}));
      }
      for (size_t i = 0; i < ways.size(); ++i) {
        if (!(fds[m_listeners.size() + i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[65536];
        const ssize_t n = recv(ways[i]->from, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        ways[i]->held.emplace_back(now + m_hold, n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string());
        if (n <= 0) ways[i]->readEnd = true;
      }
      for (auto& c : conns)
        for (Way* w : {&c->up, &c->down})
          while (!w->held.empty() && w->held.front().first <= now) {
            const std::string& chunk = w->held.front().second;
            if (chunk.empty()) {
              shutdown(w->to, SHUT_WR);
              w->done = true;
            } else {
              send(w->to, chunk.data(), chunk.size(), MSG_NOSIGNAL);  // small replies: the buffer takes them
            }
            w->held.pop_front();
          }
      std::erase_if(conns, [](const std::unique_ptr<Conn>& c) {
        if (!c->up.done || !c->down.done) return false;
        close(c->up.from);
        close(c->up.to);
        return true;
      });
    }
    for (auto& c : conns) {
      close(c->up.from);
      close(c->up.to);
    }
  }

  std::chrono::milliseconds m_hold;
  std::vector<std::pair<int, uint16_t>> m_listeners;  // listening socket, peer port
  std::vector<uint16_t> m_ports;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

std::string WriteList(const std::string& path, const Ports& p, int entries) {
  std::ofstream out(path);
  out << "# sweep_bench: every entry the same four services\n";
  for (int i = 0; i < entries; ++i)
    out << "127.0.0.1:" << p.smtp << ":" << p.pop << ":" << p.ftp << ":" << p.http << "\n";
  return path;
}

bool Passed(const SweepRun& r, int entries) {
  const std::string want = "VELKOR SWEEP OK - " + std::to_string(entries) + " of " + std::to_string(entries) +
                           " hosts passed";
  if (r.status == 0 && r.last == want) return true;
  std::fprintf(stderr, "sweep exited with %d: %s\n", r.status, r.last.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ports.env [entries]\n", argv[0]);
    return 2;
  }
  std::map<std::string, int> env;
  std::ifstream in(argv[1]);
  for (std::string line; std::getline(in, line);)
    if (const size_t eq = line.find('='); eq != std::string::npos) env[line.substr(0, eq)] = std::atoi(&line[eq + 1]);
  const Ports peers{static_cast<uint16_t>(env["SMTP_PORT"]), static_cast<uint16_t>(env["POP_PORT"]),
                    static_cast<uint16_t>(env["FTP_PORT"]), static_cast<uint16_t>(env["HTTP_PORT"])};
  if (!peers.smtp || !peers.pop || !peers.ftp || !peers.http) {
    std::fprintf(stderr, "%s names no SMTP_PORT, POP_PORT, FTP_PORT, HTTP_PORT; are the peers running?\n", argv[1]);
    return 2;
  }
  const int entries = argc > 2 ? std::max(16, std::atoi(argv[2])) : 1000;
  char dir[] = "/tmp/sweep_bench.XXXXXX";
  if (!mkdtemp(dir)) return 2;
  const std::string base = dir;
  bool ok = true;

  // 1. Loopback: the sweep and the plain client take turns, twice; the better of each.
  const std::string list = WriteList(base + "/loopback.ini", peers, entries);
  SweepRun best;
  double plain = 1e9;
  for (int round = 0; round < 2; ++round) {
    const SweepRun r = RunSweep(list, 16, base + "/out");
    ok = Passed(r, entries) && ok;
    if (best.seconds == 0 || r.seconds < best.seconds) best = r;
    best.peakPssKb = std::max(best.peakPssKb, r.peakPssKb);
    best.peakRssKb = std::max(best.peakRssKb, r.peakRssKb);
    plain = std::min(plain, PlainClient(peers, entries, 16));
  }
  const double sweepRate = entries / best.seconds, plainRate = entries / plain;
  std::printf("loopback, %d entries (SMTP, POP, FTP, HTTP each), -j 16: %.0f hosts/s; plain client, 16 threads: "
              "%.0f hosts/s; ratio %.2f (target within 2)\n",
              entries, sweepRate, plainRate, plainRate / sweepRate);
  std::printf("  peak memory of the sweep and its %d children: %.1f MiB proportional, %.1f MiB resident summed\n",
              best.peakChildren, best.peakPssKb / 1024.0, best.peakRssKb / 1024.0);
  if (plainRate / sweepRate > 2) ok = false;

  // 2. 50 ms round trip through the relay: 8 rounds of hosts for each job count.
  Relay relay({peers.smtp, peers.pop, peers.ftp, peers.http}, std::chrono::milliseconds(25));
  const Ports far{relay.ports()[0], relay.ports()[1], relay.ports()[2], relay.ports()[3]};
  std::map<int, double> rate;
  for (int jobs : {1, 16, 64}) {
    const int n = 8 * jobs;
    const SweepRun r = RunSweep(WriteList(base + "/far.ini", far, n), jobs, base + "/out");
    ok = Passed(r, n) && ok;
    rate[jobs] = n / r.seconds;
    std::printf("50 ms round trip, %d entries, -j %d: %.1f hosts/s (%.2f s per host and job)\n", n, jobs, rate[jobs],
                r.seconds * jobs / n);
  }
  std::printf("  -j 16 over -j 1: %.1f times (target at least 10); -j 64 over -j 1: %.1f times\n", rate[16] / rate[1],
              rate[64] / rate[1]);
  if (rate[16] / rate[1] < 10) ok = false;
  std::filesystem::remove_all(base);
  return ok ? 0 : 1;
}
