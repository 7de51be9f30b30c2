#include "net/icmphelper.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "util/appfiles.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/stop.h"

int IcmpHelperExchange::Start(const std::u16string& helperPath, uint8_t family, int timeoutMs) {
  End();
  int channel[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) return errno;
  // The helper gets its end of the channel as standard input, an empty
  // environment, and nothing else of ours (our descriptors are close-on-exec).
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, channel[1], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const std::string path = ToUtf8(helperPath);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  char* envp[] = {nullptr};
  const int started = ::posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  ::close(channel[1]);
  m_channel = channel[0];
  if (started != 0) {
    m_pid = -1;
    End();
    return started;
  }
  const IcmpHelperOpen open{family};
  if (::send(m_channel, &open, sizeof open, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof open)) {
    const int error = errno;
    End();
    return error;
  }
  const int error = Await(kIcmpStageOpened, timeoutMs);
  if (error != 0) End();
  return error;
}

int IcmpHelperExchange::Send(const IcmpHelperRequest& request, int timeoutMs) {
  if (!Running() || m_sent) return EINVAL;
  m_sent = true;
  if (::send(m_channel, &request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) return errno;
  return Await(kIcmpStageSent, timeoutMs);
}

// Waits for the helper's answer of one stage, polling in slices and letting
// the message loop run. 0 or the errno it carries (ETIMEDOUT when none came).
int IcmpHelperExchange::Await(uint8_t stage, int timeoutMs) {
  const int64_t deadline = MonotonicMs() + std::max(timeoutMs, 0);
  for (;;) {
    pollfd p{m_channel, POLLIN, 0};
    const int64_t left = deadline - MonotonicMs();
    if (::poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left, 0, kIcmpHelperSliceMs))) > 0) {
      IcmpHelperAnswer head{};
      const ssize_t n = ::recv(m_channel, &head, sizeof head, MSG_DONTWAIT | MSG_TRUNC);
      if (n < 0) return errno;
      if (n != static_cast<ssize_t>(sizeof head) || head.stage != stage) return EPROTO;
      return head.error;
    }
    if (left <= 0) return ETIMEDOUT;
    DoEvents();
    if (StopRequested()) return ECANCELED;  // the run was stopped: no more waiting for the helper
  }
}

int IcmpHelperExchange::Receive(std::span<uint8_t> buffer, uint8_t (&from)[16], int& error) {
  error = EAGAIN;
  if (!Running() || !m_sent) return -1;
  std::vector<uint8_t> message(sizeof(IcmpHelperAnswer) + kIcmpHelperMaxDatagram);
  const ssize_t n = ::recv(m_channel, message.data(), message.size(), MSG_DONTWAIT);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) error = errno;
    return -1;
  }
  IcmpHelperAnswer head{};
  if (static_cast<size_t>(n) < sizeof head) {
    End();  // hung up (0) or not the helper's answer: no answer will come
    return -1;
  }
  std::memcpy(&head, message.data(), sizeof head);
  End();  // one answer per exchange
  if (head.stage != kIcmpStageAnswer || head.error != 0) return -1;
  std::memcpy(from, head.from, sizeof from);
  const size_t size = std::min(static_cast<size_t>(n) - sizeof head, buffer.size());
  std::copy_n(message.begin() + sizeof head, size, buffer.begin());
  return static_cast<int>(size);
}

void IcmpHelperExchange::End() {
  if (m_channel >= 0) ::close(m_channel);
  m_channel = -1;
  m_sent = false;
  if (m_pid > 0) {
    // It exits by itself once we hang up; ending it is quicker and sure.
    ::kill(m_pid, SIGKILL);
    while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  m_pid = -1;
}

std::u16string IcmpHelperPath() { return HelperFilePath(kIcmpHelperName); }

std::u16string IcmpEnableHint() {
  return u"To enable ICMP: setcap cap_net_raw+ep " + IcmpHelperPath() +
         u" (as root), or add your group to net.ipv4.ping_group_range.";
}
