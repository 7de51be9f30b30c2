#pragma once
// IPv6 address literals typed as a host: "2001:db8::25", or bracketed as in a
// URL, "[2001:db8::25]". Parsed here, with the C library alone: no name is
// ever looked up for a literal.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

using Ip6Address = std::array<uint8_t, 16>;  // network byte order

// The address of an IPv6 literal (bare or in brackets), or nothing for any
// other text: names, IPv4 addresses, zone suffixes ("%eth0"), blanks.
std::optional<Ip6Address> Ip6Literal(const std::u16string& host);

// The address in its shortest text form ("2001:db8::25"), without brackets.
std::u16string Ip6Text(const Ip6Address& address);

// True for an address that names one host: not "::", not a multicast group
// (ff00::/8), not an IPv4-mapped address (which an IPv6 socket cannot send
// to as ICMPv6).
bool Ip6IsOneHost(const Ip6Address& address);
