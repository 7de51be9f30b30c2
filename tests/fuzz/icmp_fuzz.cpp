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
#include <type_traits>
#include <vector>

#include "fuzz.h"
#include "net/icmphelper/icmpexchange.h"
#include "net/icmpsocket.h"
#include "net/ping.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The one's-complement sum of a header or message that carries its checksum:
// 0xFFFF when the checksum is right.
uint16_t Sum(std::span<const uint8_t> d) {
  uint32_t sum = 0;
  for (size_t i = 0; i < d.size(); i += 2) sum += d[i] << 8 | (i + 1 < d.size() ? d[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

bool IsError(uint8_t type) { return type == 3 || type == 4 || type == 11 || type == 12; }

// Identifier and sequence 0: our request's.
bool Ours(const uint8_t* echo) { return std::all_of(echo + 4, echo + 8, [](uint8_t b) { return b == 0; }); }

// The status of a datagram or ICMPv6 message, classified from a buffer of exactly its bytes.
template <class Address>
std::optional<int16_t> Status(const Bytes& d, const Address& from, const Address& target, bool filtered) {
  const std::unique_ptr<uint8_t[]> exact(new uint8_t[d.size()]);
  std::copy(d.begin(), d.end(), exact.get());
  const std::span<const uint8_t> bytes(exact.get(), d.size());
  std::optional<int16_t> status;
  if constexpr (std::is_same_v<Address, uint32_t>) status = IcmpReplyStatus(bytes, from, target, filtered);
  else status = Icmp6ReplyStatus(bytes, from, target, filtered);
  FUZZ_CHECK(status == std::nullopt || *status == 0 || *status == 1 || *status == 999);
  return status;
}

// What a message of type means: ICMPv6 errors get their IPv4 counterparts' statuses.
std::optional<int16_t> StatusOfType(uint8_t type, bool six) {
  if (type == (six ? 129 : 0)) return 0;
  if (six ? type == 1 || type == 2 : type == 3) return 1;
  if (six ? type == 3 || type == 4 : IsError(type)) return 999;
  return std::nullopt;
}

Ip6Address Six(uint32_t word) {
  Ip6Address a{0x20, 0x01, 0x0d, 0xb8};
  std::memcpy(&a[12], &word, 4);
  return a;
}

}  // namespace

void Fuzz(FuzzInput in) {
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
  const Bytes bytes(rest.begin(), rest.end());
  const Ip6Address from6 = Six(r.sender), to6 = Six(target);

  if (form == 0 || form == 3) {  // raw: what a raw socket read (IPv4: header first; ICMPv6: the message alone)
    const bool six = form == 3;
    const std::optional<int16_t> raw = six ? Status(bytes, from6, to6, false) : Status(bytes, r.sender, target, false);
    // The helper hands back exactly what the root path takes for the answer to our request (identifier and
    // sequence 0), so both paths give the same statuses.
    FUZZ_CHECK(raw.has_value() == (six ? IcmpHelperAnswers6(bytes.data(), bytes.size(), from6.data(), to6.data(), 0, 0)
                                       : IcmpHelperAnswers(bytes.data(), bytes.size(), r.sender, target, 0, 0)));
    if (raw) {
      const size_t ihl = six ? 0 : (bytes[0] & 15) * 4u;
      FUZZ_CHECK(six || (bytes[0] >> 4 == 4 && bytes[9] == 1));
      FUZZ_CHECK(bytes.size() >= ihl + 8 && raw == StatusOfType(bytes[ihl], six));
      FUZZ_CHECK(*raw != 0 || (r.sender == target && Ours(&bytes[ihl])));
      // What answers a raw socket answers the datagram socket, which the kernel has already filtered.
      FUZZ_CHECK(raw == (six ? Status(bytes, from6, to6, true) : Status(bytes, r.sender, target, true)));
    }
  } else if (form == 1) {  // datagram path, an ICMP message: a header in front of it
    const Bytes d = RawFormOfReply(bytes, r);
    FUZZ_CHECK(d.size() == bytes.size() + 20 && std::equal(bytes.begin(), bytes.end(), d.begin() + 20));
    FUZZ_CHECK(Sum({d.data(), 20}) == 0xFFFF);
    const bool classified = bytes.size() >= 8 && (bytes[0] != 0 || r.sender == target);
    FUZZ_CHECK(Status(d, r.sender, target, true) == (classified ? StatusOfType(bytes[0], false) : std::nullopt));
  } else if (form == 4) {  // ICMPv6, datagram path: an error-queue entry quoting our message
    const Icmp6Received r6{Six(r.localAddress), from6, r.errorType, r.errorCode, r.errorInfo};
    const Bytes d = RawFormOfError6(bytes, r6, to6, sendTtl);
    FUZZ_CHECK(d.size() == bytes.size() + 48 && std::equal(bytes.begin(), bytes.end(), d.begin() + 48));
    FUZZ_CHECK(d[8] >> 4 == 6 && d[14] == 58 && std::equal(to6.begin(), to6.end(), d.begin() + 32));
    // Its checksum is right over the pseudo-header (sender, our address, length, next header 58).
    Bytes summed(from6.begin(), from6.end());
    summed.insert(summed.end(), r6.localAddress.begin(), r6.localAddress.end());
    summed.insert(summed.end(), {0, static_cast<uint8_t>(d.size() >> 16), static_cast<uint8_t>(d.size() >> 8),
                                 static_cast<uint8_t>(d.size()), 0, 0, 0, 58});
    summed.insert(summed.end(), d.begin(), d.end());
    FUZZ_CHECK(Sum(summed) == 0xFFFF);
    const bool reply = r.errorType == 129, classified = !reply || from6 == to6;
    FUZZ_CHECK(Status(d, from6, to6, true) == (classified ? StatusOfType(r.errorType, true) : std::nullopt));
    // A raw socket takes an error for our answer only when it quotes our echo request to the target.
    const bool ours = reply ? from6 == to6 && Ours(d.data())
                            : r.errorType >= 1 && r.errorType <= 4 && bytes.size() >= 8 && bytes[0] == 128 &&
                                  Ours(bytes.data());
    FUZZ_CHECK(Status(d, from6, to6, false).has_value() == ours);
  } else {  // datagram path, an error-queue entry quoting our message
    const Bytes d = RawFormOfError(bytes, r, target, sendTtl);
    FUZZ_CHECK(d.size() == bytes.size() + 48 && std::equal(bytes.begin(), bytes.end(), d.begin() + 48));
    FUZZ_CHECK(Sum({d.data(), 20}) == 0xFFFF && Sum({d.data() + 28, 20}) == 0xFFFF);
    FUZZ_CHECK(Sum({d.data() + 20, d.size() - 20}) == 0xFFFF);
    const bool classified = r.errorType != 0 || r.sender == target;
    FUZZ_CHECK(Status(d, r.sender, target, true) == (classified ? StatusOfType(r.errorType, false) : std::nullopt));
    // A raw socket takes an error for our answer only when it quotes our echo request to the target.
    const bool ours = r.errorType == 0 ? r.sender == target
                                       : IsError(r.errorType) && bytes.size() >= 8 && bytes[0] == 8 &&
                                             Ours(bytes.data());
    FUZZ_CHECK(Status(d, r.sender, target, false).has_value() == ours);
  }
}
