#include "net/tlsport.h"

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

TlsMode SuffixMode(char16_t c) {
  if (c == u's') return TlsMode::Implicit;
  if (c == u't') return TlsMode::StartTls;
  return TlsMode::None;
}

}  // namespace

SuffixedPort SplitPortSuffix(std::u16string_view item) {
  if (item.size() >= 2 && IsDigit(item[item.size() - 2])) {
    const TlsMode tls = SuffixMode(item.back());
    if (tls != TlsMode::None) return {std::u16string(item.substr(0, item.size() - 1)), tls};
  }
  return {std::u16string(item), TlsMode::None};
}

std::u16string PortSuffix(TlsMode tls) {
  switch (tls) {
    case TlsMode::Implicit: return u"s";
    case TlsMode::StartTls: return u"t";
    default: return u"";
  }
}

bool IsPortList(std::u16string_view text) {
  size_t digits = 0;  // of the current item
  bool suffixed = false;
  for (const char16_t c : text) {
    if (c == u',') {
      digits = 0;
      suffixed = false;
    } else if (IsDigit(c) && !suffixed) {
      ++digits;
    } else if (SuffixMode(c) != TlsMode::None && digits > 0 && !suffixed) {
      suffixed = true;
    } else {
      return false;
    }
  }
  return true;
}
