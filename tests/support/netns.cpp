#include "support/netns.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

// A child that has not reported by then is stuck; it is ended.
constexpr unsigned kChildLimitSeconds = 60;
constexpr uid_t kNobody = 65534;

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool Run(const std::string& command) { return std::system(command.c_str()) == 0; }

}  // namespace

NetNamespace::NetNamespace() {
  static std::atomic<int> counter{0};
  m_name = "velkor-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  if (geteuid() != 0) return;
  Run("ip netns del " + m_name + " >/dev/null 2>&1");
  m_ok = Run("ip netns add " + m_name + " >/dev/null 2>&1") &&
         Run("ip -n " + m_name + " link set lo up >/dev/null 2>&1");
}

NetNamespace::~NetNamespace() {
  if (geteuid() == 0) Run("ip netns del " + m_name + " >/dev/null 2>&1");
}

bool NetNamespace::Exec(const std::string& command) const {
  return m_ok && Run("ip netns exec " + m_name + " sh -c " + Quote(command) + " >/dev/null 2>&1");
}

bool NetNamespace::LoadNftRules(const std::string& ruleset) const {
  return Exec("printf '%s\\n' " + Quote(ruleset) + " | nft -f -");
}

bool NetNamespace::OpenPingGroupRange() const {
  // The range is kept per namespace; this one is ours alone.
  return Exec("echo '0 2147483647' > /proc/sys/net/ipv4/ping_group_range");
}

std::string RunInChild(const std::string& netnsName, bool dropToNobody, const std::function<std::string()>& fn) {
  int fds[2];
  if (pipe(fds) != 0) return "child: no pipe";
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return "child: fork failed";
  }
  if (pid == 0) {
    close(fds[0]);
    alarm(kChildLimitSeconds);
    auto fail = [&](const char* what) {
      std::string text = std::string("child: ") + what;
      (void)!write(fds[1], text.data(), text.size());
      _exit(1);
    };
    if (!netnsName.empty()) {
      const int ns = open(("/run/netns/" + netnsName).c_str(), O_RDONLY | O_CLOEXEC);
      if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) fail("cannot enter the namespace");
      close(ns);
    }
    if (dropToNobody) {
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) fail("cannot drop root");
      if (setuid(0) == 0) fail("root came back");
    }
    const std::string text = fn();
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return "child: ended by signal " + std::to_string(WTERMSIG(status)) + " " + out;
  return out;
}
