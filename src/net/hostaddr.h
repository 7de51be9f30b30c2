#pragma once
// Host text -> IPv4 address value (four bytes in network order in memory,
// read as a signed 32-bit number; 0 = not resolved) and dotted text.
#include <cstdint>
#include <functional>
#include <string>

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

// What the last GetIPAddress of this thread found.
enum class LookupStatus {
  Address,   // the host was written as an address: no lookup
  Found,
  NotFound,  // EAI_NONAME, or a resolver that answered no address
  Failed,    // any other error, or no answer within the lookup time-out (error 0)
};
struct LookupOutcome {
  LookupStatus status = LookupStatus::Address;
  int error = 0;
};
LookupOutcome LastLookupOutcome();
