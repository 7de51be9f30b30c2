#include "net/icmpsocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/errqueue.h>
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

uint16_t InternetChecksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i < length; i += 2) {
    sum += static_cast<uint32_t>(data[i]) << 8;
    if (i + 1 < length) sum += data[i + 1];
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

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
  Put16(h + 10, InternetChecksum(h, kIpHeaderBytes));
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
  Put16(icmp + 2, InternetChecksum(icmp, icmpLength));
  return d;
}

IcmpSocket::~IcmpSocket() { Close(); }

bool IcmpSocket::Open() {
  Close();
  m_fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (m_fd >= 0) {
    m_kind = IcmpSocketKind::Raw;
    return true;
  }
  m_lastError = errno;
  if (m_lastError != EPERM && m_lastError != EACCES) return false;

  m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (m_fd < 0) {
    m_lastError = errno;
    // Neither is allowed: the helper that holds cap_net_raw does the exchange.
    if (const int error = m_helper.Start(IcmpHelperPath(), kIcmpFamilyIPv4); error != 0) {
      m_lastError = error;
      return false;
    }
    m_kind = IcmpSocketKind::Helper;
    return true;
  }
  m_kind = IcmpSocketKind::Datagram;
  // Without IP_RECVERR an ICMP error answering our request is dropped by the
  // kernel: a host reporting "unreachable" would look silent.
  const int on = 1;
  if (::setsockopt(m_fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0 ||
      ::setsockopt(m_fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) != 0 ||
      ::setsockopt(m_fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on) != 0 ||
      ::setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
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
  if (m_kind == IcmpSocketKind::Helper) return SendThroughHelper(message, address);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  const ssize_t n = ::sendto(m_fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (n < 0) {
    m_lastError = errno;
    return -1;
  }
  return static_cast<int>(n);
}

int IcmpSocket::SendThroughHelper(std::span<const uint8_t> message, uint32_t address) {
  // The helper builds the echo request itself: only its identifier,
  // sequence and payload are ours to give.
  if (message.size() < kIcmpHeaderBytes || message[0] != 8 || message[1] != 0 ||
      message.size() - kIcmpHeaderBytes > kIcmpHelperMaxPayload) {
    m_lastError = EINVAL;
    return -1;
  }
  IcmpHelperRequest request{};
  request.family = kIcmpFamilyIPv4;
  std::memcpy(request.address, &address, 4);
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

int IcmpSocket::RecvFrom(std::span<uint8_t> buffer, uint32_t& from) {
  if (m_kind == IcmpSocketKind::Helper) {
    const int n = m_helper.Receive(buffer, from, m_lastError);
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
