#include "net/icmpsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "net/icmphelper.h"

namespace {

constexpr size_t kIpHeaderBytes = 20;
constexpr size_t kIcmpHeaderBytes = 8;
constexpr int kDefaultTtl = 64;
// Room for one ICMP message read from the socket (the largest IPv4 datagram).
constexpr size_t kMaxMessageBytes = 65535;

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v & 0xFF);
}

// An IPv4 header without options, as the kernel would have put it in front of
// an ICMP message. Addresses in network byte order.
void WriteIpHeader(uint8_t* h, size_t totalLength, int ttl, uint8_t tos, uint32_t source, uint32_t destination) {
  std::memset(h, 0, kIpHeaderBytes);
  h[0] = 0x45;
  h[1] = tos;
  Put16(h + 2, static_cast<uint16_t>(std::min<size_t>(totalLength, 0xFFFF)));
  h[8] = static_cast<uint8_t>(ttl);
  h[9] = IPPROTO_ICMP;
  std::memcpy(h + 12, &source, 4);
  std::memcpy(h + 16, &destination, 4);
  Put16(h + 10, InternetChecksum({h, kIpHeaderBytes}));
}

// What the control messages of one receive tell about the packet.
struct PacketInfo {
  int ttl = kDefaultTtl;
  uint8_t tos = 0;
  uint32_t localAddress = 0;
  const sock_extended_err* error = nullptr;
  uint32_t offender = 0;
};

PacketInfo ReadControl(msghdr& msg) {
  PacketInfo info;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IP) continue;
    if (c->cmsg_type == IP_TTL) {
      int ttl;
      std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
      info.ttl = ttl;
    } else if (c->cmsg_type == IP_TOS) {
      info.tos = *CMSG_DATA(c);
    } else if (c->cmsg_type == IP_PKTINFO) {
      in_pktinfo pi;
      std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
      info.localAddress = pi.ipi_addr.s_addr;
    } else if (c->cmsg_type == IP_RECVERR) {
      info.error = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
      const sockaddr* off = SO_EE_OFFENDER(info.error);
      if (off->sa_family == AF_INET) {
        info.offender = reinterpret_cast<const sockaddr_in*>(off)->sin_addr.s_addr;
      }
    }
  }
  return info;
}

// Copies what fits of a built datagram into the caller's buffer.
int Deliver(const std::vector<uint8_t>& datagram, std::span<uint8_t> buffer) {
  const size_t n = std::min(datagram.size(), buffer.size());
  std::copy_n(datagram.begin(), n, buffer.begin());
  return static_cast<int>(n);
}

}  // namespace

uint16_t InternetChecksum(std::span<const uint8_t> data) {
  uint32_t sum = 0;
  for (size_t i = 0; i < data.size(); i += 2) {
    sum += static_cast<uint32_t>(data[i]) << 8;
    if (i + 1 < data.size()) sum += data[i + 1];
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

std::vector<uint8_t> RawFormOfReply(std::span<const uint8_t> message, const IcmpReceived& r) {
  message = message.first(std::min(message.size(), kMaxMessageBytes));  // no datagram is longer
  std::vector<uint8_t> d(kIpHeaderBytes + message.size());
  WriteIpHeader(d.data(), d.size(), r.ttl, r.tos, r.sender, r.localAddress);
  std::copy(message.begin(), message.end(), d.begin() + kIpHeaderBytes);
  return d;
}

std::vector<uint8_t> RawFormOfError(std::span<const uint8_t> quoted, const IcmpReceived& r, uint32_t target,
                                    int sendTtl) {
  quoted = quoted.first(std::min(quoted.size(), kMaxMessageBytes));
  const size_t icmpLength = kIcmpHeaderBytes + kIpHeaderBytes + quoted.size();
  std::vector<uint8_t> d(kIpHeaderBytes + icmpLength, 0);
  WriteIpHeader(d.data(), d.size(), r.ttl, r.tos, r.sender, r.localAddress);
  uint8_t* icmp = d.data() + kIpHeaderBytes;
  icmp[0] = r.errorType;
  icmp[1] = r.errorCode;
  if (r.errorType == 3 && r.errorCode == 4) {
    Put16(icmp + 6, static_cast<uint16_t>(r.errorInfo));  // next-hop MTU
  } else if (r.errorType == 12) {
    icmp[4] = static_cast<uint8_t>(r.errorInfo);  // pointer to the bad octet
  }
  WriteIpHeader(icmp + kIcmpHeaderBytes, kIpHeaderBytes + quoted.size(), sendTtl, 0, r.localAddress, target);
  std::copy(quoted.begin(), quoted.end(), icmp + kIcmpHeaderBytes + kIpHeaderBytes);
  Put16(icmp + 2, InternetChecksum({icmp, icmpLength}));
  return d;
}

std::vector<uint8_t> RawFormOfError6(std::span<const uint8_t> quoted, const Icmp6Received& r, const Ip6Address& target,
                                     int sendHops) {
  constexpr size_t kIp6HeaderBytes = 40;
  quoted = quoted.first(std::min(quoted.size(), kMaxMessageBytes - kIcmpHeaderBytes - kIp6HeaderBytes));
  std::vector<uint8_t> d(kIcmpHeaderBytes + kIp6HeaderBytes + quoted.size(), 0);
  d[0] = r.errorType;
  d[1] = r.errorCode;
  if (r.errorType == ICMP6_PACKET_TOO_BIG || r.errorType == ICMP6_PARAM_PROB) {
    const uint32_t info = htonl(r.errorInfo);  // the MTU, or the pointer to the bad octet
    std::memcpy(&d[4], &info, 4);
  }
  uint8_t* h = d.data() + kIcmpHeaderBytes;  // the quoted IPv6 header of our request
  h[0] = 0x60;
  Put16(h + 4, static_cast<uint16_t>(quoted.size()));
  h[6] = IPPROTO_ICMPV6;
  h[7] = static_cast<uint8_t>(sendHops);
  std::copy(r.localAddress.begin(), r.localAddress.end(), h + 8);
  std::copy(target.begin(), target.end(), h + 24);
  std::copy(quoted.begin(), quoted.end(), h + kIp6HeaderBytes);
  // The checksum covers the pseudo-header: source, destination, length, next header.
  std::vector<uint8_t> summed(40);
  std::copy(r.sender.begin(), r.sender.end(), summed.begin());
  std::copy(r.localAddress.begin(), r.localAddress.end(), summed.begin() + 16);
  const uint32_t length = htonl(static_cast<uint32_t>(d.size()));
  std::memcpy(&summed[32], &length, 4);
  summed[39] = IPPROTO_ICMPV6;
  summed.insert(summed.end(), d.begin(), d.end());
  Put16(&d[2], InternetChecksum(summed));
  return d;
}

IcmpSocket::~IcmpSocket() { Close(); }

bool IcmpSocket::Open(int family) {
  Close();
  const bool v6 = family == AF_INET6;
  m_family = v6 ? AF_INET6 : AF_INET;
  const int protocol = v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP};
  m_fd = ::socket(m_family, SOCK_RAW | SOCK_CLOEXEC, protocol);
  if (m_fd >= 0) {
    m_kind = IcmpSocketKind::Raw;
    if (!v6) return true;
    // Echo replies and the errors that may quote our request, nothing else:
    // neighbour discovery and other ICMPv6 traffic stay out of the wait.
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    for (const int type : {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED,
                           ICMP6_PARAM_PROB})
      ICMP6_FILTER_SETPASS(type, &filter);
    if (::setsockopt(m_fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) == 0) return true;
    m_lastError = errno;
    Close();
    return false;
  }
  m_lastError = errno;
  if (m_lastError != EPERM && m_lastError != EACCES) return false;

  m_fd = ::socket(m_family, SOCK_DGRAM | SOCK_CLOEXEC, protocol);
  if (m_fd < 0) {
    m_lastError = errno;
    // Neither is allowed: the helper that holds cap_net_raw does the exchange.
    if (const int error = m_helper.Start(IcmpHelperPath(), v6 ? kIcmpFamilyIPv6 : kIcmpFamilyIPv4); error != 0) {
      m_lastError = error;
      return false;
    }
    m_kind = IcmpSocketKind::Helper;
    return true;
  }
  m_kind = IcmpSocketKind::Datagram;
  return OpenDatagram(m_family);
}

bool IcmpSocket::OpenDatagram(int family) {
  // Without IP_RECVERR an ICMP error answering our request is dropped by the
  // kernel: a host reporting "unreachable" would look silent.
  const int on = 1;
  const bool set =
      family == AF_INET6
          ? ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on) == 0 &&
                ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) == 0
          : ::setsockopt(m_fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0 &&
                ::setsockopt(m_fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) == 0 &&
                ::setsockopt(m_fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on) == 0 &&
                ::setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
  if (!set) {
    m_lastError = errno;
    Close();
    return false;
  }
  return true;
}

void IcmpSocket::Close() {
  m_helper.End();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_kind = IcmpSocketKind::None;
  m_family = 0;
}

int IcmpSocket::SetNonBlocking(bool on) {
  if (m_kind == IcmpSocketKind::Helper) return 0;  // its answer is always read without blocking
  const int flags = ::fcntl(m_fd, F_GETFL);
  if (flags < 0 || ::fcntl(m_fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) != 0) {
    m_lastError = errno;
    return -1;
  }
  return 0;
}

int IcmpSocket::SendTo(std::span<const uint8_t> message, uint32_t address) {
  return SendToAddress(message, &address, sizeof address);
}

int IcmpSocket::SendTo(std::span<const uint8_t> message, const Ip6Address& address) {
  return SendToAddress(message, address.data(), address.size());
}

// address: 4 bytes for a socket of IPv4, 16 for one of IPv6.
int IcmpSocket::SendToAddress(std::span<const uint8_t> message, const void* address, size_t addressBytes) {
  if (addressBytes != (m_family == AF_INET6 ? 16u : 4u)) {
    m_lastError = EAFNOSUPPORT;
    return -1;
  }
  if (m_kind == IcmpSocketKind::Helper) return SendThroughHelper(message, address, addressBytes);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_addr, address, std::min(addressBytes, sizeof to.sin_addr));
  sockaddr_in6 to6{};
  to6.sin6_family = AF_INET6;
  std::memcpy(&to6.sin6_addr, address, std::min(addressBytes, sizeof to6.sin6_addr));
  const bool v6 = m_family == AF_INET6;
  const ssize_t n = ::sendto(m_fd, message.data(), message.size(), 0,
                             v6 ? reinterpret_cast<const sockaddr*>(&to6) : reinterpret_cast<const sockaddr*>(&to),
                             v6 ? sizeof to6 : sizeof to);
  if (n < 0) {
    m_lastError = errno;
    return -1;
  }
  return static_cast<int>(n);
}

int IcmpSocket::SendThroughHelper(std::span<const uint8_t> message, const void* address, size_t addressBytes) {
  // The helper builds the echo request itself: only its identifier,
  // sequence and payload are ours to give.
  const uint8_t echoRequest = m_family == AF_INET6 ? kIcmp6EchoRequest : 8;
  if (message.size() < kIcmpHeaderBytes || message[0] != echoRequest || message[1] != 0 ||
      message.size() - kIcmpHeaderBytes > kIcmpHelperMaxPayload) {
    m_lastError = EINVAL;
    return -1;
  }
  IcmpHelperRequest request{};
  request.family = m_family == AF_INET6 ? kIcmpFamilyIPv6 : kIcmpFamilyIPv4;
  std::memcpy(request.address, address, std::min(addressBytes, sizeof request.address));
  request.identifier = static_cast<uint16_t>(message[4] << 8 | message[5]);
  request.sequence = static_cast<uint16_t>(message[6] << 8 | message[7]);
  request.waitMs = static_cast<uint32_t>(std::clamp<int>(m_helperWaitMs, 0, kIcmpHelperMaxWaitMs));
  request.payloadLength = static_cast<uint16_t>(message.size() - kIcmpHeaderBytes);
  std::copy(message.begin() + kIcmpHeaderBytes, message.end(), request.payload);
  if (const int error = m_helper.Send(request); error != 0) {
    m_lastError = error;
    return -1;
  }
  return static_cast<int>(message.size());
}

int IcmpSocket::RecvThroughHelper(std::span<uint8_t> buffer, uint8_t (&from)[16]) {
  return m_helper.Receive(buffer, from, m_lastError);
}

int IcmpSocket::RecvFrom(std::span<uint8_t> buffer, uint32_t& from) {
  if (m_family != AF_INET) {
    m_lastError = EAFNOSUPPORT;
    return -1;
  }
  if (m_kind == IcmpSocketKind::Helper) {
    uint8_t sender[16] = {};
    const int n = RecvThroughHelper(buffer, sender);
    if (n >= 0) std::memcpy(&from, sender, 4);
    return n;
  }
  if (m_kind == IcmpSocketKind::Raw) {
    sockaddr_in sender{};
    socklen_t len = sizeof sender;
    const ssize_t n = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &len);
    if (n < 0) {
      m_lastError = errno;
      return -1;
    }
    from = sender.sin_addr.s_addr;
    return static_cast<int>(n);
  }
  if (m_kind != IcmpSocketKind::Datagram) {
    m_lastError = EBADF;
    return -1;
  }
  // Errors first: reading the queue also clears the pending socket error
  // that would otherwise fail the next ordinary receive. Queue entries that
  // are not ICMP errors (local send failures) are passed over.
  for (int round = 0; round < 2; ++round) {
    for (;;) {
      bool skipped = false;
      const int n = RecvQueuedError(buffer, from, skipped);
      if (n >= 0) return n;
      if (!skipped) break;
    }
    const int n = RecvReply(buffer, from);
    if (n >= 0) return n;
    // An error that arrived between the two reads fails the receive with its
    // errno; it is waiting on the queue, so look there once more.
    if (m_lastError == EAGAIN || m_lastError == EWOULDBLOCK || m_lastError == EINTR) break;
  }
  return -1;
}

int IcmpSocket::RecvQueuedError(std::span<uint8_t> buffer, uint32_t& from, bool& skipped) {
  std::vector<uint8_t> quoted(kMaxMessageBytes);
  sockaddr_in target{};
  alignas(cmsghdr) std::array<uint8_t, 512> control{};
  iovec iov{quoted.data(), quoted.size()};
  msghdr msg{};
  msg.msg_name = &target;
  msg.msg_namelen = sizeof target;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.data();
  msg.msg_controllen = control.size();
  const ssize_t n = ::recvmsg(m_fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) {
    m_lastError = errno;
    return -1;
  }
  const PacketInfo info = ReadControl(msg);
  if (!info.error || info.error->ee_origin != SO_EE_ORIGIN_ICMP) {
    skipped = true;
    m_lastError = EAGAIN;
    return -1;
  }
  quoted.resize(static_cast<size_t>(n));

  // Our own send TTL, as the quoted header carried it.
  int sendTtl = kDefaultTtl;
  socklen_t ttlLen = sizeof sendTtl;
  ::getsockopt(m_fd, IPPROTO_IP, IP_TTL, &sendTtl, &ttlLen);

  const IcmpReceived received{info.ttl,           info.tos,           info.localAddress, info.offender,
                              info.error->ee_type, info.error->ee_code, info.error->ee_info};
  const std::vector<uint8_t> d = RawFormOfError(quoted, received, target.sin_addr.s_addr, sendTtl);
  from = info.offender;
  return Deliver(d, buffer);
}

int IcmpSocket::RecvReply(std::span<uint8_t> buffer, uint32_t& from) {
  std::vector<uint8_t> message(kMaxMessageBytes);
  sockaddr_in sender{};
  alignas(cmsghdr) std::array<uint8_t, 256> control{};
  iovec iov{message.data(), message.size()};
  msghdr msg{};
  msg.msg_name = &sender;
  msg.msg_namelen = sizeof sender;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.data();
  msg.msg_controllen = control.size();
  const ssize_t n = ::recvmsg(m_fd, &msg, 0);
  if (n < 0) {
    m_lastError = errno;
    return -1;
  }
  const PacketInfo info = ReadControl(msg);
  const IcmpReceived received{info.ttl, info.tos, info.localAddress, sender.sin_addr.s_addr};
  const std::vector<uint8_t> d = RawFormOfReply(std::span(message).first(static_cast<size_t>(n)), received);
  from = sender.sin_addr.s_addr;
  return Deliver(d, buffer);
}

int IcmpSocket::RecvFrom(std::span<uint8_t> buffer, Ip6Address& from) {
  if (m_family != AF_INET6) {
    m_lastError = EAFNOSUPPORT;
    return -1;
  }
  if (m_kind == IcmpSocketKind::Helper) {
    uint8_t sender[16] = {};
    const int n = RecvThroughHelper(buffer, sender);
    if (n >= 0) std::copy(std::begin(sender), std::end(sender), from.begin());
    return n;
  }
  if (m_kind == IcmpSocketKind::Raw) return RecvReply6(buffer, from);
  if (m_kind != IcmpSocketKind::Datagram) {
    m_lastError = EBADF;
    return -1;
  }
  // As for IPv4: the error queue first, and once more after a receive that
  // an error arriving in between has failed.
  for (int round = 0; round < 2; ++round) {
    for (;;) {
      bool skipped = false;
      const int n = RecvQueuedError6(buffer, from, skipped);
      if (n >= 0) return n;
      if (!skipped) break;
    }
    const int n = RecvReply6(buffer, from);
    if (n >= 0) return n;
    if (m_lastError == EAGAIN || m_lastError == EWOULDBLOCK || m_lastError == EINTR) break;
  }
  return -1;
}

// One ICMPv6 message as it stands: the raw socket and the datagram socket
// both read it without an IP header.
int IcmpSocket::RecvReply6(std::span<uint8_t> buffer, Ip6Address& from) {
  sockaddr_in6 sender{};
  socklen_t len = sizeof sender;
  const ssize_t n = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &len);
  if (n < 0) {
    m_lastError = errno;
    return -1;
  }
  std::memcpy(from.data(), &sender.sin6_addr, 16);
  return static_cast<int>(std::min(static_cast<size_t>(n), buffer.size()));
}

int IcmpSocket::RecvQueuedError6(std::span<uint8_t> buffer, Ip6Address& from, bool& skipped) {
  std::vector<uint8_t> quoted(kMaxMessageBytes);
  sockaddr_in6 target{};
  alignas(cmsghdr) std::array<uint8_t, 512> control{};
  iovec iov{quoted.data(), quoted.size()};
  msghdr msg{};
  msg.msg_name = &target;
  msg.msg_namelen = sizeof target;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.data();
  msg.msg_controllen = control.size();
  const ssize_t n = ::recvmsg(m_fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
  if (n < 0) {
    m_lastError = errno;
    return -1;
  }
  Icmp6Received received;
  const sock_extended_err* error = nullptr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != IPPROTO_IPV6) continue;
    if (c->cmsg_type == IPV6_RECVERR) {
      error = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
      const sockaddr* off = SO_EE_OFFENDER(error);
      if (off->sa_family == AF_INET6)
        std::memcpy(received.sender.data(), &reinterpret_cast<const sockaddr_in6*>(off)->sin6_addr, 16);
    } else if (c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo pi;
      std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
      std::memcpy(received.localAddress.data(), &pi.ipi6_addr, 16);
    }
  }
  if (!error || error->ee_origin != SO_EE_ORIGIN_ICMP6) {
    skipped = true;
    m_lastError = EAGAIN;
    return -1;
  }
  quoted.resize(static_cast<size_t>(n));
  received.errorType = error->ee_type;
  received.errorCode = error->ee_code;
  received.errorInfo = error->ee_info;
  int sendHops = kDefaultTtl;
  socklen_t hopsLen = sizeof sendHops;
  ::getsockopt(m_fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, &sendHops, &hopsLen);
  Ip6Address to;
  std::memcpy(to.data(), &target.sin6_addr, 16);
  from = received.sender;
  return Deliver(RawFormOfError6(quoted, received, to, sendHops), buffer);
}

bool IcmpSocket::WaitReadable(int ms) {
  // Once the helper has answered, nothing more comes: the wait just passes.
  pollfd p{m_kind == IcmpSocketKind::Helper ? m_helper.Channel() : m_fd, POLLIN, 0};
  const int r = ::poll(&p, 1, std::max(ms, 0));
  if (r < 0) {
    m_lastError = errno;
    return false;
  }
  // A queued error shows as POLLERR.
  return r > 0 && (p.revents & (POLLIN | POLLERR)) != 0;
}
