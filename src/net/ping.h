#pragma once
// The ICMP echo probe: one fixed 20-byte echo request, then about a second of
// polls for the datagram that answers it.
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "net/ip6literal.h"

// Ten polls a tenth of a second apart: a live host has about one second to
// answer, which is plenty on a LAN and keeps a dead host's check short.
inline constexpr int kPingPolls = 10;
inline constexpr int kPingPollSliceMs = 100;

struct PingOptions {
  int polls = kPingPolls;
  int pollSliceMs = kPingPollSliceMs;
};

// Statuses: 0 alive, 1 destination unreachable, 999 some other answer,
// 10 time-out, -1 no socket (library start, version, ICMP socket), -2 the
// non-blocking switch failed, -3 the send failed (or the host is unknown).
// message and dump are written only for the statuses that have them.
int16_t PingCheck(const std::u16string& host, bool& alive, std::u16string& message, std::u16string& dump,
                  const PingOptions& options = {});

// The Internet checksum (RFC 1071) of the first length bytes of data, high
// byte first into result.
void IcmpCheckSum(std::span<const uint8_t> data, int16_t length, uint8_t (&result)[2]);

// True when a received datagram (IPv4 header first) answers our echo request
// to target (identifier 0, sequence 0): an echo reply from the target, or an
// ICMP error quoting that request. kernelFiltered: the socket receives only
// what belongs to it (the datagram path), so replies from the target and
// errors need no identifier check. Addresses in network byte order.
bool IcmpAnswersRequest(std::span<const uint8_t> datagram, uint32_t from, uint32_t target, bool kernelFiltered);

// The status PingCheck answers for a received datagram: 0 (echo reply),
// 1 (destination unreachable) or 999 (another ICMP error), or nothing when
// the datagram is not the answer to our request (IcmpAnswersRequest).
std::optional<int16_t> IcmpReplyStatus(std::span<const uint8_t> datagram, uint32_t from, uint32_t target,
                                       bool kernelFiltered);

// The ICMPv6 counterparts, on the message as a raw ICMPv6 socket reads it (no
// IP header): an echo reply (129) from the target, or an ICMPv6 error quoting
// our echo request to target (identifier 0, sequence 0). Statuses as for
// their IPv4 counterparts: 0 echo reply, 1 destination unreachable (type 1)
// and packet too big (2, IPv4's "fragmentation needed"), 999 time exceeded
// (3) and parameter problem (4).
bool Icmp6AnswersRequest(std::span<const uint8_t> message, const Ip6Address& from, const Ip6Address& target,
                         bool kernelFiltered);
std::optional<int16_t> Icmp6ReplyStatus(std::span<const uint8_t> message, const Ip6Address& from,
                                        const Ip6Address& target, bool kernelFiltered);
