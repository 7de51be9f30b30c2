// velkor-icmp: opens one raw ICMP socket and hands it to the program that
// started it, then exits. The install grants this file cap_net_raw; the
// program runs it when it cannot open an ICMP socket itself.
//
// Kept to a few system calls on purpose: it reads no environment, no file and
// no argument, loads nothing beyond the C library (which ignores the
// environment's loader settings in a process with a file capability), drops
// the capability as soon as the socket is open, and hands the socket only
// over standard input, which must be a Unix socket.
#include <errno.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Clears every capability set of this process.
void DropCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capset, &header, data);
}

bool StdinIsUnixSocket() {
  int domain = 0;
  socklen_t len = sizeof domain;
  return getsockopt(0, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX;
}

}  // namespace

int main() {
  const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  int code = fd < 0 ? errno : 0;
  DropCapabilities();
  if (!StdinIsUnixSocket()) return 2;

  // The answer: our errno, and the socket when there is one.
  iovec iov{&code, sizeof code};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (fd >= 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
  }
  if (sendmsg(0, &msg, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof code)) return 3;
  return fd < 0 ? 1 : 0;
}
