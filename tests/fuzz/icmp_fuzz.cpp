// The ICMP reply classifier, in its raw form (a whole IPv4 datagram as a raw
// socket reads it) and its datagram form (an ICMP message or an error-queue
// entry, rebuilt into that datagram by the socket layer, then classified);
// and the same for ICMPv6 (the message alone, as a raw ICMPv6 socket reads
// it, and an error-queue entry rebuilt into that message). The IPv6
// addresses are 2001:db8:: with the IPv4 fields' words as their last four
// bytes.
// Input: the form, a flags byte, the receive's fields, the addresses, then the
// datagram, message or quoted request.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz.h"
#include "net/icmphelper/icmpexchange.h"
#include "net/icmpsocket.h"
#include "net/ping.h"

namespace {

// The one's-complement sum of a header or message that carries its checksum:
// 0xFFFF when the checksum is right.
uint16_t Sum(std::span<const uint8_t> d) {
  uint32_t sum = 0;
  for (size_t i = 0; i < d.size(); i += 2) sum += d[i] << 8 | (i + 1 < d.size() ? d[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

bool IsError(uint8_t type) { return type == 3 || type == 4 || type == 11 || type == 12; }

// The status of a datagram, classified from a buffer of exactly its bytes.
std::optional<int16_t> Status(const std::vector<uint8_t>& d, uint32_t from, uint32_t target, bool filtered) {
  const std::unique_ptr<uint8_t[]> exact(new uint8_t[d.size()]);
  std::copy(d.begin(), d.end(), exact.get());
  const std::optional<int16_t> status = IcmpReplyStatus({exact.get(), d.size()}, from, target, filtered);
  FUZZ_CHECK(status == std::nullopt || *status == 0 || *status == 1 || *status == 999);
  return status;
}

// The ICMPv6 counterpart of Status.
std::optional<int16_t> Status6(const std::vector<uint8_t>& m, const Ip6Address& from, const Ip6Address& target,
                               bool filtered) {
  const std::unique_ptr<uint8_t[]> exact(new uint8_t[m.size()]);
  std::copy(m.begin(), m.end(), exact.get());
  const std::optional<int16_t> status = Icmp6ReplyStatus({exact.get(), m.size()}, from, target, filtered);
  FUZZ_CHECK(status == std::nullopt || *status == 0 || *status == 1 || *status == 999);
  return status;
}

std::optional<int16_t> StatusOfType6(uint8_t type) {
  if (type == 129) return 0;
  if (type == 1 || type == 2) return 1;
  if (type == 3 || type == 4) return 999;
  return std::nullopt;
}

Ip6Address Six(uint32_t word) {
  Ip6Address a{0x20, 0x01, 0x0d, 0xb8};
  std::memcpy(&a[12], &word, 4);
  return a;
}

std::optional<int16_t> StatusOfType(uint8_t type) {
  if (type == 0) return 0;
  if (type == 3) return 1;
  if (IsError(type)) return 999;
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t form = in.Byte() % 5, flags = in.Byte();
  IcmpReceived r;
  r.ttl = in.Byte();
  r.tos = in.Byte();
  r.errorType = in.Byte();
  r.errorCode = in.Byte();
  r.errorInfo = in.Word();
  r.localAddress = in.Word();
  const uint32_t target = in.Word();
  r.sender = flags & 1 ? target : in.Word();
  const int sendTtl = in.Byte();
  const std::string_view rest = in.Rest();
  const std::vector<uint8_t> bytes(rest.begin(), rest.end());

  if (form == 0) {  // raw: what a raw socket read
    const std::optional<int16_t> raw = Status(bytes, r.sender, target, false);
    // The helper hands back exactly what the root path takes for the answer to our request (identifier and
    // sequence 0), so both paths give the same statuses.
    FUZZ_CHECK(IcmpHelperAnswers(bytes.data(), bytes.size(), r.sender, target, 0, 0) == raw.has_value());
    if (raw) {
      const size_t ihl = (bytes[0] & 15) * 4u;
      FUZZ_CHECK(bytes[0] >> 4 == 4 && bytes[9] == 1 && bytes.size() >= ihl + 8);
      FUZZ_CHECK(raw == StatusOfType(bytes[ihl]));
      FUZZ_CHECK(*raw != 0 || (r.sender == target && std::all_of(&bytes[ihl + 4], &bytes[ihl + 8], [](uint8_t b) { return b == 0; })));
      // What answers a raw socket answers the datagram socket, which the kernel has already filtered.
      FUZZ_CHECK(Status(bytes, r.sender, target, true) == raw);
    }
  } else if (form == 1) {  // datagram path, an ICMP message: a header in front of it
    const std::vector<uint8_t> d = RawFormOfReply(bytes, r);
    FUZZ_CHECK(d.size() == bytes.size() + 20 && std::equal(bytes.begin(), bytes.end(), d.begin() + 20));
    FUZZ_CHECK(Sum({d.data(), 20}) == 0xFFFF);
    const bool classified = bytes.size() >= 8 && (bytes[0] != 0 || r.sender == target);
    FUZZ_CHECK(Status(d, r.sender, target, true) == (classified ? StatusOfType(bytes[0]) : std::nullopt));
  } else if (form == 3) {  // ICMPv6, raw: the message alone
    const Ip6Address from = Six(r.sender), to = Six(target);
    const std::optional<int16_t> raw = Status6(bytes, from, to, false);
    FUZZ_CHECK(IcmpHelperAnswers6(bytes.data(), bytes.size(), from.data(), to.data(), 0, 0) == raw.has_value());
    if (raw) {
      FUZZ_CHECK(bytes.size() >= 8 && raw == StatusOfType6(bytes[0]));
      FUZZ_CHECK(*raw != 0 || (from == to && std::all_of(&bytes[4], &bytes[8], [](uint8_t b) { return b == 0; })));
      FUZZ_CHECK(Status6(bytes, from, to, true) == raw);
    }
  } else if (form == 4) {  // ICMPv6, datagram path: an error-queue entry quoting our message
    Icmp6Received r6;
    r6.localAddress = Six(r.localAddress);
    r6.sender = Six(r.sender);
    r6.errorType = r.errorType;
    r6.errorCode = r.errorCode;
    r6.errorInfo = r.errorInfo;
    const Ip6Address to = Six(target);
    const std::vector<uint8_t> d = RawFormOfError6(bytes, r6, to, sendTtl);
    FUZZ_CHECK(d.size() == bytes.size() + 48 && std::equal(bytes.begin(), bytes.end(), d.begin() + 48));
    FUZZ_CHECK(d[8] >> 4 == 6 && d[14] == 58 && std::equal(to.begin(), to.end(), d.begin() + 32));
    // Its checksum is right over the pseudo-header (sender, our address, length, next header 58).
    std::vector<uint8_t> summed(r6.sender.begin(), r6.sender.end());
    summed.insert(summed.end(), r6.localAddress.begin(), r6.localAddress.end());
    summed.insert(summed.end(), {0, static_cast<uint8_t>(d.size() >> 16), static_cast<uint8_t>(d.size() >> 8),
                                 static_cast<uint8_t>(d.size()), 0, 0, 0, 58});
    summed.insert(summed.end(), d.begin(), d.end());
    FUZZ_CHECK(Sum(summed) == 0xFFFF);
    const bool classified = r6.errorType != 129 || r6.sender == to;
    FUZZ_CHECK(Status6(d, r6.sender, to, true) == (classified ? StatusOfType6(r6.errorType) : std::nullopt));
    // A raw socket takes an error for our answer only when it quotes our echo request to the target.
    const bool ours = r6.errorType == 129 ? false
                                          : r6.errorType >= 1 && r6.errorType <= 4 && bytes.size() >= 8 &&
                                                bytes[0] == 128 &&
                                                std::all_of(&bytes[4], &bytes[8], [](uint8_t b) { return b == 0; });
    FUZZ_CHECK(Status6(d, r6.sender, to, false).has_value() == (ours || (r6.errorType == 129 && r6.sender == to &&
                                                                         d[4] == 0 && d[5] == 0 && d[6] == 0 &&
                                                                         d[7] == 0)));
  } else {  // datagram path, an error-queue entry quoting our message
    const std::vector<uint8_t> d = RawFormOfError(bytes, r, target, sendTtl);
    FUZZ_CHECK(d.size() == bytes.size() + 48 && std::equal(bytes.begin(), bytes.end(), d.begin() + 48));
    FUZZ_CHECK(Sum({d.data(), 20}) == 0xFFFF && Sum({d.data() + 28, 20}) == 0xFFFF);
    FUZZ_CHECK(Sum({d.data() + 20, d.size() - 20}) == 0xFFFF);
    const bool classified = r.errorType != 0 || r.sender == target;
    FUZZ_CHECK(Status(d, r.sender, target, true) == (classified ? StatusOfType(r.errorType) : std::nullopt));
    // A raw socket takes an error for our answer only when it quotes our echo request to the target.
    const bool ours = r.errorType == 0 ? r.sender == target
                                       : IsError(r.errorType) && bytes.size() >= 8 && bytes[0] == 8 &&
                                             std::all_of(&bytes[4], &bytes[8], [](uint8_t b) { return b == 0; });
    FUZZ_CHECK(Status(d, r.sender, target, false).has_value() == ours);
  }
  return 0;
}
