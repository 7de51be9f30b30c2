// velkor-icmp: one ICMP echo exchange for the program that started it, as
// ping does it. The install grants this file cap_net_raw; the program runs
// it when it cannot open an ICMP socket itself. The protocol is in
// icmpexchange.h.
//
// The raw socket never leaves this process: a socket handed out would let
// its holder forge any IPv4 packet (IP_HDRINCL) and read every ICMP or
// ICMPv6 packet of the host. So the caller names only the target, identifier, sequence and
// a bounded payload; the helper builds and sends the one echo request itself
// and hands back only the answer to it. Kept to a few system calls on
// purpose: it reads no environment, no file and no argument, loads nothing
// beyond the C library (which ignores the environment's loader settings in a
// process with a file capability), drops the capability as soon as the
// socket is open, talks only over standard input (a Unix SEQPACKET socket),
// exits when the caller hangs up, and exits after answering.
#include <errno.h>
#include <linux/capability.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "net/icmphelper/icmpexchange.h"

namespace {

// A helper still alive after this many seconds is ended by the kernel,
// whatever it waits for (the longest wait allowed, and then some).
constexpr unsigned kLifetimeSeconds = kIcmpHelperMaxWaitMs / 1000 + 5;

// Clears every capability set of this process.
void DropCapabilities() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capset, &header, data);
}

bool StdinIsSeqPacketUnixSocket() {
  int domain = 0, type = 0;
  socklen_t len = sizeof domain;
  if (getsockopt(0, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return false;
  len = sizeof type;
  return getsockopt(0, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && domain == AF_UNIX && type == SOCK_SEQPACKET;
}

int64_t NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool Answer(int32_t error, uint8_t stage, const uint8_t* from = nullptr, const uint8_t* datagram = nullptr,
            size_t n = 0) {
  IcmpHelperAnswer head{};
  head.error = error;
  head.stage = stage;
  if (from) memcpy(head.from, from, sizeof head.from);
  iovec iov[2] = {{&head, sizeof head}, {const_cast<uint8_t*>(datagram), n}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = datagram ? 2 : 1;
  return sendmsg(0, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof head + n);
}

// Waits for one message of exactly `size` bytes from the caller. False when
// the caller hung up, sent something else, or took longer than waitMs.
bool Receive(void* into, size_t size, int waitMs) {
  pollfd p{0, POLLIN, 0};
  if (poll(&p, 1, waitMs) != 1 || !(p.revents & POLLIN)) return false;
  return recv(0, into, size, MSG_DONTWAIT | MSG_TRUNC) == static_cast<ssize_t>(size);
}

uint16_t Checksum(const uint8_t* data, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; i += 2) sum += static_cast<uint32_t>(data[i]) << 8 | (i + 1 < n ? data[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// One host only: no "any", broadcast or multicast address.
bool IsOneHost(uint32_t address) {
  const uint32_t a = ntohl(address);
  return a != 0 && a != 0xFFFFFFFF && (a >> 28) != 0xE;
}

}  // namespace

int main() {
  alarm(kLifetimeSeconds);
  if (!StdinIsSeqPacketUnixSocket()) {
    DropCapabilities();
    return 2;
  }
  IcmpHelperOpen open{};
  if (!Receive(&open, sizeof open, kIcmpHelperMaxWaitMs)) {
    DropCapabilities();
    return 3;
  }
  const bool v6 = open.family == kIcmpFamilyIPv6;
  int fd = -1;
  int error = EAFNOSUPPORT;
  if (open.family == kIcmpFamilyIPv4 || v6) {
    fd = v6 ? socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6)
            : socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    error = fd < 0 ? errno : 0;
  }
  DropCapabilities();
  if (!Answer(error, kIcmpStageOpened) || fd < 0) return 1;
  // Only echo replies and the errors that may quote a request reach us; for
  // ICMPv6 that keeps neighbour discovery and the like out of the wait.
  if (v6) {
    icmp6_filter filter6;
    ICMP6_FILTER_SETBLOCKALL(&filter6);
    static const int passed[] = {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED,
                                 ICMP6_PARAM_PROB};
    for (const int type : passed) ICMP6_FILTER_SETPASS(type, &filter6);
    setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter6, sizeof filter6);
  } else {
    icmp_filter filter{~(1u << ICMP_ECHOREPLY | 1u << ICMP_DEST_UNREACH | 1u << ICMP_SOURCE_QUENCH |
                         1u << ICMP_TIME_EXCEEDED | 1u << ICMP_PARAMETERPROB)};
    setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
  }

  IcmpHelperRequest request{};
  if (!Receive(&request, sizeof request, kIcmpHelperMaxWaitMs)) return 3;
  uint32_t target;
  memcpy(&target, request.address, 4);
  if (request.family != open.family || request.payloadLength > kIcmpHelperMaxPayload ||
      !(v6 ? IcmpHelperIsOneHost6(request.address) : IsOneHost(target))) {
    Answer(EINVAL, kIcmpStageSent);
    return 1;
  }

  uint8_t echo[8 + kIcmpHelperMaxPayload] = {v6 ? kIcmp6EchoRequest : uint8_t{8}, 0, 0, 0};
  echo[4] = static_cast<uint8_t>(request.identifier >> 8);
  echo[5] = static_cast<uint8_t>(request.identifier);
  echo[6] = static_cast<uint8_t>(request.sequence >> 8);
  echo[7] = static_cast<uint8_t>(request.sequence);
  memcpy(echo + 8, request.payload, request.payloadLength);
  const size_t length = 8 + request.payloadLength;
  if (!v6) {  // the kernel sums every ICMPv6 message itself (its pseudo-header has our source)
    const uint16_t sum = Checksum(echo, length);
    echo[2] = static_cast<uint8_t>(sum >> 8);
    echo[3] = static_cast<uint8_t>(sum);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = target;
  sockaddr_in6 to6{};
  to6.sin6_family = AF_INET6;
  memcpy(&to6.sin6_addr, request.address, 16);
  const sockaddr* toAddress = v6 ? reinterpret_cast<const sockaddr*>(&to6) : reinterpret_cast<const sockaddr*>(&to);
  const socklen_t toLength = v6 ? sizeof to6 : sizeof to;
  const int64_t deadline =
      NowMs() + (request.waitMs < kIcmpHelperMaxWaitMs ? request.waitMs : kIcmpHelperMaxWaitMs);
  if (sendto(fd, echo, length, 0, toAddress, toLength) != static_cast<ssize_t>(length)) {
    Answer(errno, kIcmpStageSent);
    return 1;
  }
  if (!Answer(0, kIcmpStageSent)) return 1;

  static uint8_t datagram[kIcmpHelperMaxDatagram];
  for (int64_t left; (left = deadline - NowMs()) > 0;) {
    // The caller's end: anything it does now (hanging up, most of all) ends us.
    pollfd p[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    if (poll(p, 2, static_cast<int>(left)) < 0 && errno != EINTR) return 1;
    if (p[1].revents) return 0;
    if (!(p[0].revents & POLLIN)) continue;
    sockaddr_in6 sender{};  // room for either family
    socklen_t senderLength = sizeof sender;
    const ssize_t n = recvfrom(fd, datagram, sizeof datagram, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sender),
                               &senderLength);
    if (n <= 0) continue;
    uint8_t from[16] = {};
    if (v6) {
      memcpy(from, &sender.sin6_addr, 16);
    } else {
      memcpy(from, &reinterpret_cast<const sockaddr_in*>(&sender)->sin_addr, 4);
    }
    uint32_t from4;
    memcpy(&from4, from, 4);
    const bool answers = v6 ? IcmpHelperAnswers6(datagram, static_cast<size_t>(n), from, request.address,
                                                 request.identifier, request.sequence)
                            : IcmpHelperAnswers(datagram, static_cast<size_t>(n), from4, target, request.identifier,
                                                request.sequence);
    if (answers) return Answer(0, kIcmpStageAnswer, from, datagram, static_cast<size_t>(n)) ? 0 : 1;
  }
  Answer(ETIMEDOUT, kIcmpStageAnswer);
  return 0;
}
