#pragma once
// ICMP over IPv4, and ICMPv6, for the echo probe, on POSIX sockets.
//
// A raw ICMP socket needs root or CAP_NET_RAW. Where it is refused, the
// socket falls back to the unprivileged ICMP datagram socket (allowed for the
// groups in net.ipv4.ping_group_range). Either way a receive hands back what a
// raw socket reads: an IPv4 header, then the ICMP message. On the datagram
// path the kernel gives only the ICMP message of our own replies (identifier
// rewritten to the socket's), and ICMP errors answering our requests arrive
// on the socket's error queue; the layer puts an IPv4 header in front of the
// former and rebuilds the latter into the error datagram a raw socket would
// have read (outer header, ICMP error, quoted header, quoted request).
//
// ICMPv6 takes the same three paths. A raw ICMPv6 socket reads the ICMPv6
// message alone, with no IP header, so that is the form every ICMPv6
// receive hands back; an error off the datagram socket's queue is rebuilt
// into the message a raw socket would have read (ICMPv6 error, quoted IPv6
// header, quoted request). The raw socket carries an ICMP6_FILTER that lets
// only echo replies and errors in: neighbour discovery, router adverts and
// the like never reach the wait.
#include <sys/socket.h>

#include <cstdint>
#include <span>
#include <vector>

#include "net/icmphelper.h"
#include "net/ip6literal.h"

// What one receive on the datagram path told besides the bytes: what the
// raw-socket form of the datagram is built from. Addresses in network byte
// order.
struct IcmpReceived {
  int ttl = 64;
  uint8_t tos = 0;
  uint32_t localAddress = 0;
  uint32_t sender = 0;  // the host that answered, or that reported the error
  // An ICMP error off the error queue: its type, code and info word.
  uint8_t errorType = 0;
  uint8_t errorCode = 0;
  uint32_t errorInfo = 0;
};

// The Internet checksum (RFC 1071) of data: an odd last byte is paired with
// a zero byte. Every ICMP message this program builds is summed by it.
uint16_t InternetChecksum(std::span<const uint8_t> data);

// The raw-socket form of an ICMP message received on the datagram path: an
// IPv4 header in front of it. Messages are cut at 65535 bytes, the longest
// datagram.
std::vector<uint8_t> RawFormOfReply(std::span<const uint8_t> message, const IcmpReceived& received);
// The raw-socket form of an ICMP error about our message `quoted`, sent to
// target with the TTL sendTtl: outer header, the error's ICMP header, the
// quoted IPv4 header, the quoted message.
std::vector<uint8_t> RawFormOfError(std::span<const uint8_t> quoted, const IcmpReceived& received, uint32_t target,
                                    int sendTtl);

// What one receive of an ICMPv6 error on the datagram path told: the host
// that reported it, our own address it went to, and the error itself.
struct Icmp6Received {
  Ip6Address localAddress{};
  Ip6Address sender{};
  uint8_t errorType = 0;
  uint8_t errorCode = 0;
  uint32_t errorInfo = 0;
};

// The raw-socket form of an ICMPv6 error about our message `quoted`, sent to
// target with the hop limit sendHops: the error's ICMPv6 header (checksum
// over the IPv6 pseudo-header from sender to localAddress), the quoted IPv6
// header, the quoted message. Cut so that the whole stays within 65535 bytes.
std::vector<uint8_t> RawFormOfError6(std::span<const uint8_t> quoted, const Icmp6Received& received,
                                     const Ip6Address& target, int sendHops);

// Helper: no socket of ours; the helper (icmphelper.h) sends the one echo
// request and hands back only its answer, in the raw socket's form.
enum class IcmpSocketKind { None, Raw, Datagram, Helper };

class IcmpSocket {
 public:
  IcmpSocket() = default;
  ~IcmpSocket();
  IcmpSocket(const IcmpSocket&) = delete;
  IcmpSocket& operator=(const IcmpSocket&) = delete;

  // Raw socket first, the datagram socket when the raw one is refused (EPERM
  // or EACCES), and the helper (icmphelper.h) when the datagram socket is
  // refused too. family: AF_INET (ICMP) or AF_INET6 (ICMPv6). False when
  // none of them could be had.
  bool Open(int family = AF_INET);
  void Close();
  bool IsOpen() const { return m_fd >= 0 || m_helper.Running(); }
  IcmpSocketKind Kind() const { return m_kind; }
  // True when the kernel hands this socket only what belongs to it (the
  // datagram path): replies and errors need no identifier check.
  bool KernelFiltered() const { return m_kind == IcmpSocketKind::Datagram; }

  // 0 on success, -1 on failure.
  int SetNonBlocking(bool on);

  // How long the helper waits for the answer of what SendTo sends (the
  // caller's own wait): it ends then.
  void SetHelperWaitMs(int ms) { m_helperWaitMs = ms; }

  // Sends one ICMP message (header included) to the IPv4 address given in
  // network byte order. Returns the bytes sent, or -1. Through the helper,
  // only one echo request with a payload of at most kIcmpHelperMaxPayload
  // bytes is sent (EINVAL for anything else).
  int SendTo(std::span<const uint8_t> message, uint32_t address);
  // The same over ICMPv6 (a socket opened for AF_INET6). The kernel fills in
  // the checksum, whose pseudo-header holds the source it picks.
  int SendTo(std::span<const uint8_t> message, const Ip6Address& address);

  // Receives one datagram, IPv4 header first, cut to the buffer's size.
  // Returns the byte count, or -1 when nothing is waiting (non-blocking) or
  // the receive failed. from: the sender's address, network byte order.
  int RecvFrom(std::span<uint8_t> buffer, uint32_t& from);
  // The same over ICMPv6: the ICMPv6 message alone (no IP header).
  int RecvFrom(std::span<uint8_t> buffer, Ip6Address& from);

  // Waits up to ms milliseconds for something to read (a datagram or a
  // queued error). True when something is there.
  bool WaitReadable(int ms);

  // errno of the last failed call.
  int LastError() const { return m_lastError; }

 private:
  bool OpenDatagram(int family);
  int SendToAddress(std::span<const uint8_t> message, const void* address, size_t addressBytes);
  int SendThroughHelper(std::span<const uint8_t> message, const void* address, size_t addressBytes);
  int RecvThroughHelper(std::span<uint8_t> buffer, uint8_t (&from)[16]);
  int RecvQueuedError(std::span<uint8_t> buffer, uint32_t& from, bool& skipped);
  int RecvReply(std::span<uint8_t> buffer, uint32_t& from);
  int RecvQueuedError6(std::span<uint8_t> buffer, Ip6Address& from, bool& skipped);
  int RecvReply6(std::span<uint8_t> buffer, Ip6Address& from);

  int m_fd = -1;
  IcmpHelperExchange m_helper;
  int m_helperWaitMs = 1000;
  IcmpSocketKind m_kind = IcmpSocketKind::None;
  int m_family = 0;
  int m_lastError = 0;
};
