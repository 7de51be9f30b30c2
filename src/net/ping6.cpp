// ICMPv6 answers to the echo probe (ping.h).
#include "net/icmphelper/icmpexchange.h"
#include "net/ping.h"

bool Icmp6AnswersRequest(std::span<const uint8_t> m, const Ip6Address& from, const Ip6Address& target,
                         bool kernelFiltered) {
  if (m.size() < 8) return false;
  if (kernelFiltered) {
    // The datagram socket hands over only its own replies (identifier
    // rewritten to its own) and errors about its own requests.
    if (m[0] == kIcmp6EchoReply) return from == target;
    return icmpexchange::IsError6(m[0]);
  }
  // The raw socket takes exactly what the helper would hand back for our
  // request: the two paths must never disagree.
  return IcmpHelperAnswers6(m.data(), m.size(), from.data(), target.data(), 0, 0);
}

std::optional<int16_t> Icmp6ReplyStatus(std::span<const uint8_t> m, const Ip6Address& from, const Ip6Address& target,
                                        bool kernelFiltered) {
  if (!Icmp6AnswersRequest(m, from, target, kernelFiltered)) return std::nullopt;
  if (m[0] == kIcmp6EchoReply) return 0;
  // Destination unreachable, and packet too big, which IPv4 reports as a
  // destination unreachable too (fragmentation needed).
  if (m[0] == 1 || m[0] == 2) return 1;
  return 999;
}
