#include "net/icmphelper.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "util/appfiles.h"
#include "util/clock.h"
#include "util/codepage.h"
#include "util/hooks.h"

namespace {

// What the helper sends: its errno (0 when the socket comes along).
int32_t ReceiveAnswer(int channel, int& fd) {
  int32_t code = EPROTO;
  iovec iov{&code, sizeof code};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t n = ::recvmsg(channel, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
  if (n != static_cast<ssize_t>(sizeof code)) return n < 0 ? errno : EPROTO;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  }
  return code;
}

// Only a raw IPv4 ICMP socket is taken.
bool IsRawIcmpSocket(int fd) {
  int domain = 0, type = 0, protocol = 0;
  socklen_t len = sizeof domain;
  if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return false;
  len = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return false;
  len = sizeof protocol;
  if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) != 0) return false;
  return domain == AF_INET && type == SOCK_RAW && protocol == IPPROTO_ICMP;
}

}  // namespace

int OpenIcmpThroughHelper(const std::u16string& helperPath, int& error, int timeoutMs) {
  int channel[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
    error = errno;
    return -1;
  }
  // The helper gets its end of the channel as standard input, an empty
  // environment, and nothing else of ours (our descriptors are close-on-exec).
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, channel[1], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const std::string path = ToUtf8(helperPath);
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  char* envp[] = {nullptr};
  pid_t pid = -1;
  const int started = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  ::close(channel[1]);
  if (started != 0) {
    ::close(channel[0]);
    error = started;
    return -1;
  }

  int fd = -1;
  error = ETIMEDOUT;
  const int64_t deadline = MonotonicMs() + std::max(timeoutMs, 0);
  for (;;) {
    pollfd p{channel[0], POLLIN, 0};
    const int64_t left = deadline - MonotonicMs();
    if (::poll(&p, 1, static_cast<int>(std::clamp<int64_t>(left, 0, kIcmpHelperSliceMs))) > 0) {
      error = ReceiveAnswer(channel[0], fd);
      break;
    }
    if (left <= 0) break;
    DoEvents();
  }
  ::close(channel[0]);
  // The helper exits right after answering; one that did not answer is ended.
  if (error == ETIMEDOUT) ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (fd >= 0 && (error != 0 || !IsRawIcmpSocket(fd))) {
    ::close(fd);
    fd = -1;
    if (error == 0) error = EPROTO;
  }
  if (fd < 0 && error == 0) error = EPROTO;
  return fd;
}

std::u16string IcmpHelperPath() { return HelperFilePath(kIcmpHelperName); }

std::u16string IcmpEnableHint() {
  return u"To enable ICMP: setcap cap_net_raw+ep " + IcmpHelperPath() +
         u" (as root), or add your group to net.ipv4.ping_group_range.";
}
