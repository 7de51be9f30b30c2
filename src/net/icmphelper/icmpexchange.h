#pragma once
// What the program and the ICMP helper (velkor-icmp) say to each other, and
// which packets the helper may hand back. Shared by both sides; plain C++
// with nothing beyond the C library, since the helper links nothing else.
//
// The helper holds cap_net_raw and never gives its socket away. Over a Unix
// SEQPACKET socket on its standard input it takes, in this order:
//   1. IcmpHelperOpen: the address family. It opens its raw socket for that
//      family (ICMP or ICMPv6), drops the capability and answers (stage
//      Opened, errno).
//   2. IcmpHelperRequest: one echo request to one address. It sends it
//      (stage Sent, errno), waits for its answer up to the request's time-out
//      (at most kIcmpHelperMaxWaitMs) and answers once (stage Answer): the
//      matching echo reply or an ICMP error quoting its own request, as a raw
//      socket reads it (IPv4: header first; IPv6: the ICMPv6 message alone,
//      since a raw ICMPv6 socket delivers no IP header); ETIMEDOUT when none
//      came.
// Then it exits. It exits as well when the caller hangs up.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

// Families of the request.
inline constexpr uint8_t kIcmpFamilyIPv4 = 4;
inline constexpr uint8_t kIcmpFamilyIPv6 = 6;

// The longest payload behind the echo header the helper sends: room for
// every probe, too little to make the helper a packet cannon.
inline constexpr size_t kIcmpHelperMaxPayload = 256;
// The longest wait a request may ask for.
inline constexpr uint32_t kIcmpHelperMaxWaitMs = 30000;
// The longest datagram the helper hands back (IPv4's limit).
inline constexpr size_t kIcmpHelperMaxDatagram = 65535;

struct IcmpHelperOpen {
  uint8_t family;
};

struct IcmpHelperRequest {
  uint8_t family;
  uint8_t reserved[3];
  uint8_t address[16];  // network byte order; IPv4: the first four bytes
  uint16_t identifier;  // host byte order, written big-endian into the echo header
  uint16_t sequence;
  uint32_t waitMs;
  uint16_t payloadLength;
  uint8_t payload[kIcmpHelperMaxPayload];
};

enum : uint8_t { kIcmpStageOpened = 1, kIcmpStageSent = 2, kIcmpStageAnswer = 3 };

// The head of every answer; a stage Answer with error 0 carries the datagram
// behind it.
struct IcmpHelperAnswer {
  int32_t error;
  uint8_t stage;
  uint8_t reserved[3];
  uint8_t from[16];  // the host that answered (IPv4: first four bytes, IPv6: all)
};

namespace icmpexchange {

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// ICMP errors that quote the packet they report (the kernel's list).
inline bool IsError(uint8_t type) { return type == 3 || type == 4 || type == 11 || type == 12; }

// IPv4 header length, or 0 when the bytes are no IPv4 header with room for an
// ICMP header behind it.
inline size_t HeaderLength(const uint8_t* d, size_t n) {
  if (n < 20 || (d[0] >> 4) != 4) return 0;
  const size_t ihl = static_cast<size_t>(d[0] & 0x0F) * 4;
  return ihl < 20 || n < ihl + 8 ? 0 : ihl;
}

// ICMPv6 errors, which quote the packet they report: destination
// unreachable, packet too big, time exceeded, parameter problem.
inline bool IsError6(uint8_t type) { return type >= 1 && type <= 4; }

}  // namespace icmpexchange

// ICMPv6 message types of the echo exchange.
inline constexpr uint8_t kIcmp6EchoRequest = 128;
inline constexpr uint8_t kIcmp6EchoReply = 129;

// One host only: not "::", not a multicast group (ff00::/8), not an
// IPv4-mapped address. 16 bytes, network byte order.
inline bool IcmpHelperIsOneHost6(const uint8_t* a) {
  static const uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  bool unspecified = true;
  for (int i = 0; i < 16; ++i) unspecified = unspecified && a[i] == 0;
  return !unspecified && a[0] != 0xFF && memcmp(a, mapped, 12) != 0;
}

// True when an IPv4 datagram (as a raw socket reads it) answers the echo
// request with this identifier and sequence to target: an echo reply from the
// target, or an ICMP error quoting that request. Addresses in network byte
// order. The only packets the helper ever hands back.
inline bool IcmpHelperAnswers(const uint8_t* d, size_t n, uint32_t from, uint32_t target, uint16_t identifier,
                              uint16_t sequence) {
  using namespace icmpexchange;
  const size_t ihl = HeaderLength(d, n);
  if (ihl == 0 || d[9] != 1) return false;  // protocol 1: ICMP
  const uint8_t type = d[ihl];
  if (type == 0)
    return from == target && Get16(d + ihl + 4) == identifier && Get16(d + ihl + 6) == sequence;
  if (!IsError(type)) return false;
  const uint8_t* q = d + ihl + 8;
  const size_t qn = n - ihl - 8;
  const size_t qihl = HeaderLength(q, qn);
  if (qihl == 0 || q[9] != 1) return false;
  uint32_t quotedTarget;
  memcpy(&quotedTarget, q + 16, 4);
  return quotedTarget == target && q[qihl] == 8 && Get16(q + qihl + 4) == identifier &&
         Get16(q + qihl + 6) == sequence;
}

// The same for ICMPv6, on the message as a raw ICMPv6 socket reads it (no IP
// header): an echo reply from the target, or an ICMPv6 error whose quoted
// IPv6 header goes to the target and carries (directly, no extension header)
// the echo request with this identifier and sequence. Addresses: 16 bytes.
inline bool IcmpHelperAnswers6(const uint8_t* d, size_t n, const uint8_t* from, const uint8_t* target,
                               uint16_t identifier, uint16_t sequence) {
  using namespace icmpexchange;
  if (n < 8) return false;
  const uint8_t type = d[0];
  if (type == kIcmp6EchoReply)
    return memcmp(from, target, 16) == 0 && Get16(d + 4) == identifier && Get16(d + 6) == sequence;
  if (!IsError6(type) || n < 8 + 40 + 8) return false;
  const uint8_t* q = d + 8;  // the quoted IPv6 header, then our request
  return (q[0] >> 4) == 6 && q[6] == 58 && memcmp(q + 24, target, 16) == 0 && q[40] == kIcmp6EchoRequest &&
         Get16(q + 44) == identifier && Get16(q + 46) == sequence;
}
