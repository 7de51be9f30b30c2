#include "net/ip6literal.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

#include "util/codepage.h"

std::optional<Ip6Address> Ip6Literal(const std::u16string& host) {
  std::u16string_view text = host;
  if (text.size() >= 2 && text.front() == u'[' && text.back() == u']') text = text.substr(1, text.size() - 2);
  // A colon is what sets a literal apart from a name; anything outside the
  // literal's own characters (a blank, a zone, another bracket) is not one.
  if (text.find(u':') == std::u16string_view::npos || text.size() > INET6_ADDRSTRLEN) return std::nullopt;
  if (!std::all_of(text.begin(), text.end(), [](char16_t c) {
        return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F') || c == u':' ||
               c == u'.';
      }))
    return std::nullopt;
  in6_addr parsed{};
  if (inet_pton(AF_INET6, ToUtf8(text).c_str(), &parsed) != 1) return std::nullopt;
  Ip6Address address;
  std::memcpy(address.data(), &parsed, 16);
  return address;
}

std::u16string Ip6Text(const Ip6Address& address) {
  char text[INET6_ADDRSTRLEN] = {};
  in6_addr a{};
  std::memcpy(&a, address.data(), 16);
  inet_ntop(AF_INET6, &a, text, sizeof text);
  return FromUtf8(text);
}

bool Ip6IsOneHost(const Ip6Address& a) {
  static constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  const bool unspecified = std::all_of(a.begin(), a.end(), [](uint8_t b) { return b == 0; });
  return !unspecified && a[0] != 0xFF && std::memcmp(a.data(), kMappedPrefix, 12) != 0;
}
