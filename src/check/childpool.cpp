#include "check/childpool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// SIGCHLD wakes the poll through this pipe (the self-pipe idiom).
int g_childSignalPipe[2] = {-1, -1};

void OnChildSignal(int) {
  const int saved = errno;
  const char byte = 0;
  (void)!write(g_childSignalPipe[1], &byte, 1);
  errno = saved;
}

struct Slot {
  size_t index = 0;
  pid_t pid = -1;
  int fd = -1;  // the read end of the child's output; -1 once at its end
  Clock::time_point start;
  std::string output;
  ChildEnd::How killedFor = ChildEnd::How::Exited;  // Exited: not killed
};

// Reads what the child has written so far; closes at its end. False when
// the output passed the limit.
bool Drain(Slot& s, size_t limit) {
  char buf[65536];
  while (s.fd >= 0) {
    const ssize_t n = read(s.fd, buf, sizeof buf);
    if (n > 0) {
      if (s.output.size() + static_cast<size_t>(n) > limit) return false;
      s.output.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    close(s.fd);  // end of the output, or an error that ends it
    s.fd = -1;
  }
  return true;
}

void Kill(Slot& s, ChildEnd::How why) {
  if (s.killedFor != ChildEnd::How::Exited) return;
  kill(s.pid, SIGKILL);
  s.killedFor = why;
}

class Pool {
 public:
  Pool(const ChildPoolLimits& limits, const std::function<void(size_t)>& body,
       const std::function<bool(size_t, ChildEnd&&)>& ended)
      : m_limits(limits), m_body(body), m_ended(ended) {}

  void Run(size_t count) {
    if (pipe2(g_childSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      for (size_t i = 0; i < count && Report(i, ChildEnd{ChildEnd::How::NotStarted, errno, {}, 0}); ++i) {
      }
      return;
    }
    struct sigaction action {};
    action.sa_handler = OnChildSignal;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&action.sa_mask);
    sigaction(SIGCHLD, &action, &m_oldAction);

    size_t next = 0;
    const size_t jobs = static_cast<size_t>(std::max(1, m_limits.jobs));
    while (true) {
      while (!m_stopped && m_slots.size() < jobs && next < count) Start(next++);
      if (m_slots.empty()) break;
      Wait();
    }

    sigaction(SIGCHLD, &m_oldAction, nullptr);
    for (int& fd : g_childSignalPipe) {
      close(fd);
      fd = -1;
    }
  }

 private:
  bool Report(size_t index, ChildEnd&& end) {
    if (m_stopped) return false;
    if (!m_ended(index, std::move(end))) {
      m_stopped = true;
      for (Slot& s : m_slots) Kill(s, ChildEnd::How::Signalled);
    }
    return !m_stopped;
  }

  void Start(size_t index) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      Report(index, ChildEnd{ChildEnd::How::NotStarted, errno, {}, 0});
      return;
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
      // The child: none of the parent's pipes, its output into its own.
      sigaction(SIGCHLD, &m_oldAction, nullptr);
      for (int fd : g_childSignalPipe) close(fd);
      for (const Slot& s : m_slots)
        if (s.fd >= 0) close(s.fd);
      close(out[0]);
      if (out[1] != STDOUT_FILENO) {
        dup2(out[1], STDOUT_FILENO);
        close(out[1]);
      }
      // A sweep that is ended leaves none of its checks running.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      m_body(index);
      _exit(127);
    }
    const int error = errno;
    close(out[1]);
    if (pid < 0) {
      close(out[0]);
      Report(index, ChildEnd{ChildEnd::How::NotStarted, error, {}, 0});
      return;
    }
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
    m_slots.push_back(Slot{index, pid, out[0], Clock::now(), {}, ChildEnd::How::Exited});
  }

  // One wait in poll() for output, an end or the next time limit, and what
  // follows from it.
  void Wait() {
    std::vector<pollfd> fds{{g_childSignalPipe[0], POLLIN, 0}};
    const Clock::time_point now = Clock::now();
    const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(m_limits.seconds));
    int timeoutMs = -1;
    for (Slot& s : m_slots) {
      if (s.fd >= 0) fds.push_back({s.fd, POLLIN, 0});
      if (s.killedFor != ChildEnd::How::Exited) continue;
      const double left = std::chrono::duration<double, std::milli>(s.start + limit - now).count();
      const int ms = static_cast<int>(std::clamp(std::ceil(left), 0.0, 3.6e6));
      timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
    }
    if (poll(fds.data(), fds.size(), timeoutMs) < 0) return;  // EINTR: look again

    size_t at = 1;
    for (Slot& s : m_slots) {
      if (s.fd < 0) continue;
      if (fds[at++].revents != 0 && !Drain(s, m_limits.outputBytes)) Kill(s, ChildEnd::How::OutputTooLarge);
    }
    if (fds[0].revents != 0) Reap();
    const Clock::time_point after = Clock::now();
    for (Slot& s : m_slots)
      if (after - s.start >= limit) Kill(s, ChildEnd::How::OverTime);
  }

  // Every child that has ended, with the rest of its output.
  void Reap() {
    char bytes[256];
    while (read(g_childSignalPipe[0], bytes, sizeof bytes) > 0) {
    }
    for (size_t k = 0; k < m_slots.size();) {
      int status = 0;
      if (waitpid(m_slots[k].pid, &status, WNOHANG) != m_slots[k].pid) {
        ++k;
        continue;
      }
      Slot s = std::move(m_slots[k]);
      m_slots.erase(m_slots.begin() + static_cast<std::ptrdiff_t>(k));
      // Everything it wrote is in the pipe by now; the end of the pipe may
      // not come, as a process it started may still hold it.
      if (!Drain(s, m_limits.outputBytes)) s.killedFor = ChildEnd::How::OutputTooLarge;
      if (s.fd >= 0) close(s.fd);
      ChildEnd end;
      end.seconds = std::chrono::duration<double>(Clock::now() - s.start).count();
      if (s.killedFor != ChildEnd::How::Exited) {
        end.how = s.killedFor;
        end.code = SIGKILL;
      } else if (WIFEXITED(status)) {
        end.how = ChildEnd::How::Exited;
        end.code = WEXITSTATUS(status);
      } else {
        end.how = ChildEnd::How::Signalled;
        end.code = WTERMSIG(status);
      }
      end.output = std::move(s.output);
      Report(s.index, std::move(end));
    }
  }

  const ChildPoolLimits& m_limits;
  const std::function<void(size_t)>& m_body;
  const std::function<bool(size_t, ChildEnd&&)>& m_ended;
  struct sigaction m_oldAction {};
  std::vector<Slot> m_slots;
  bool m_stopped = false;
};

}  // namespace

void RunInChildren(size_t count, const ChildPoolLimits& limits, const std::function<void(size_t)>& body,
                   const std::function<bool(size_t, ChildEnd&&)>& ended) {
  Pool(limits, body, ended).Run(count);
}
