#pragma once
// A port of a check as entries, settings and velkor-check's options write
// it: decimal digits, then at most one lower-case TLS suffix, "s" for TLS
// from the first byte (465s) or "t" for the protocol's own upgrade (587t:
// STARTTLS, STLS, AUTH TLS). Digits alone keep their plain meaning.
#include <string>
#include <string_view>

enum class TlsMode { None, Implicit, StartTls };

struct SuffixedPort {
  std::u16string number;  // the item without its suffix
  TlsMode tls = TlsMode::None;
};

// Splits one item of a port list. Only a suffix after a digit is one: an
// item that is not digits and a suffix stays whole, with no TLS, as before.
SuffixedPort SplitPortSuffix(std::u16string_view item);

// The suffix letter of a mode: "", "s" or "t".
std::u16string PortSuffix(TlsMode tls);

// Entry fields 2 to 5: a comma list whose items are empty or digits with at
// most one "s" or "t" after them. "443x", "443st", "443S", "s" and "443 s"
// are not.
bool IsPortList(std::u16string_view text);
