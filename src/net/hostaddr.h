#pragma once
// Host text -> IPv4 address value (four bytes in network order in memory,
// read as a signed 32-bit number; 0 = not resolved) and dotted text.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

int32_t GetIPAddress(const std::u16string& host);
// True when host is written as an address (a dotted form GetIPAddress reads
// without a lookup); false for a name.
bool IsAddressText(const std::u16string& host);
std::u16string GetIPAddressText(const std::u16string& host);
std::u16string LongToBinText(const int32_t& value);
int32_t BinTextToLong(const std::u16string& digits);

// The name lookup behind GetIPAddress: takes the host name as CP932 bytes and
// answers the first IPv4 address in network byte order, or 0 when the name is
// unknown. It may block: GetIPAddress runs it on a worker and keeps the
// message loop running while it waits, for at most the lookup time-out.
using HostResolver = std::function<uint32_t(const std::string& name)>;
void SetHostResolver(HostResolver resolver);  // empty: the system resolver (IPv4 only)
void SetResolveTimeoutMs(int ms);             // default 30000

// The same lookup with the resolver's own answer: the address, or getaddrinfo's
// EAI_ error (EAI_NONAME: no such name; EAI_AGAIN and the rest: the lookup
// failed). A lookup set here replaces one set by SetHostResolver and back.
struct LookupAnswer {
  uint32_t address = 0;  // network byte order; 0 when error is set
  int error = 0;
};
using HostLookup = std::function<LookupAnswer(const std::string& name)>;
void SetHostLookup(HostLookup lookup);  // empty: the system resolver

// What the last GetIPAddress (or ResolveHostAddresses) of this thread found.
enum class LookupStatus {
  Address,    // the host was written as an address: no lookup
  Found,
  NotFound,   // EAI_NONAME, or a resolver that answered no address
  Failed,     // any other error, or no answer within the lookup time-out (error 0)
  NoAddress,  // the host has addresses, but none of the family asked for; error: that family, 4 or 6
};
struct LookupOutcome {
  LookupStatus status = LookupStatus::Address;
  int error = 0;
};
LookupOutcome LastLookupOutcome();

// ---- Both families --------------------------------------------------------
// GetIPAddress answers IPv4 only: an IPv6 address (written, or the only kind
// a name has) gives it 0 with LookupStatus::NoAddress (family 4), never a
// 32-bit value. What reaches IPv6 goes through the functions below.

enum class AddressFamily { Any, V4, V6 };

struct HostAddress {
  int family = 4;                    // 4 or 6
  std::array<uint8_t, 16> bytes{};   // network order; IPv4 in the first four
  bool operator==(const HostAddress&) const = default;
};

// "192.0.2.1", "2001:db8::25" (the shortest form, no brackets).
std::u16string HostAddressText(const HostAddress& address);
// A host and a port written together: "[2001:db8::25]:25" for an IPv6
// address, "host:25" for anything else.
std::u16string HostPortText(const std::u16string& host, const std::u16string& port);
// True when host is an IPv6 address (bare; "::1", "2001:db8::25").
bool IsIpv6AddressText(const std::u16string& host);

// Every address of a host, in the resolver's order, and how they were found
// (outcome as LastLookupOutcome has it, which is also set). An IPv4 address
// in any form GetIPAddress reads and an IPv6 address (bare or in brackets)
// are taken without a lookup; a name is looked up as GetIPAddress does (on a
// worker, the message loop running, within the lookup time-out), by the
// lookup of SetHostAddressLookup, or SetHostLookup, or the system resolver
// (both families). With V4 or V6 only that family counts: a host with
// addresses of the other family only answers none, status NoAddress. For the
// ICMP and TCP checks alike.
struct ResolvedHost {
  std::vector<HostAddress> addresses;
  LookupOutcome outcome;
  // A name whose other addresses the family or a pin (below) left out: a
  // library that looks the name up itself could reach one of those.
  bool narrowed = false;
};
ResolvedHost ResolveHostAddresses(const std::u16string& host, AddressFamily family = AddressFamily::Any);

// A lookup of both families, for tests and fake resolvers: the addresses in
// the order to try, or getaddrinfo's EAI_ error. Replaces one set by
// SetHostLookup and back (which then answers IPv4 only).
struct AddressLookupAnswer {
  std::vector<HostAddress> addresses;
  int error = 0;
};
using HostAddressLookup = std::function<AddressLookupAnswer(const std::string& name)>;
void SetHostAddressLookup(HostAddressLookup lookup);  // empty: the system resolver
// The one address PING and the share listing use of a host's addresses:
// the first IPv4 address (a dual-stack name is pinged and listed where it
// always was), else the first IPv6 address; nullopt when there is none.
std::optional<HostAddress> SingleCheckAddress(const std::vector<HostAddress>& addresses);

// velkor-check --each-address checks a name once per address: while a pin
// is set, ResolveHostAddresses answers that name with the pinned address
// alone, without a lookup (outcome Found; the family filter still applies),
// and other hosts as ever. sole: the name has no other address (the result
// is then not narrowed). An empty host removes the pin.
void PinHostAddress(const std::u16string& host, const HostAddress& address, bool sole);
void UnpinHostAddress();

// Helpers for such lookups: an address from its text ("::1", "127.0.0.1"); nullopt when it is none.
std::optional<HostAddress> ParseHostAddress(const std::string& text);
