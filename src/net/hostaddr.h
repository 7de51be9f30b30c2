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
