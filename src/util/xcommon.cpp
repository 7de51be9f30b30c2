#include "util/xcommon.h"

#include "util/errreport.h"
#include "util/log.h"

namespace {

bool CheckDigits(std::u16string_view text, bool commas, std::u16string_view tag) {
  try {
    if (text.size() >= kShortCounterLimit) throw VkError(ErrNo::Overflow);
    for (char16_t c : text) {
      if (c >= u'0' && c <= u'9') continue;
      if (commas && c == u',') continue;
      return false;
    }
    return true;
  } catch (...) {
    ReportError(BuildErrorReport(tag, CurrentFailure(), NumberForm::Signed, ReportLayout::A));
    return false;
  }
}

}  // namespace

bool xChkNum(std::u16string_view text) { return CheckDigits(text, false, u"xChkNumERR:"); }

bool xChkNumComma(std::u16string_view text) { return CheckDigits(text, true, u"xChkNumCommaERR:"); }

std::u16string xNullTrim(std::u16string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == u' ') ++b;
  while (e > b && text[e - 1] == u' ') --e;
  return std::u16string(text.substr(b, e - b));
}

std::u16string xTabToSpace(std::u16string& text) {
  for (char16_t& c : text)
    if (c == u'\t') c = u' ';
  return text;
}

std::u16string xReplaceString(std::u16string_view text, std::u16string_view find, std::u16string_view replacement) {
  try {
    if (find.empty()) throw VkError(ErrNo::InvalidCall);
    std::u16string result;
    size_t start = 0;
    for (size_t p = text.find(find, start); p != std::u16string_view::npos; p = text.find(find, start)) {
      result.append(text.substr(start, p - start));
      result.append(replacement);
      start = p + find.size();
    }
    result.append(text.substr(start));
    return result;
  } catch (...) {
    ReportError(BuildErrorReport(u"xReplaceStringERR:", CurrentFailure(), NumberForm::Signed, ReportLayout::A));
    return {};
  }
}

std::u16string xLinesToTabs(std::u16string& text) {
  text = xReplaceString(text, u"\t", u"");
  text = xReplaceString(text, u" ", u"");
  text = xReplaceString(text, u"\r\n", u"\t");
  text = xReplaceString(text, u"\r", u"\t");
  text = xReplaceString(text, u"\n", u"\t");
  return text;
}

std::u16string xTrimNul(std::u16string& text) {
  size_t b = 0;
  while (b < text.size() && text[b] == u'\0') ++b;
  text.erase(0, b);
  if (text.empty()) return {};
  size_t e = text.size();
  while (e > 0 && text[e - 1] == u'\0') --e;
  text.resize(e);
  return xNullTrim(text);
}

std::u16string xTrimCrLf(std::u16string& text) {
  if (text.empty()) return {};
  size_t b = 0;
  while (b < text.size() && (text[b] == u'\r' || text[b] == u'\n')) ++b;
  text.erase(0, b);
  if (text.empty()) return {};
  size_t e = text.size();
  while (e > 0 && (text[e - 1] == u'\r' || text[e - 1] == u'\n')) --e;
  text.resize(e);
  return xNullTrim(text);
}

std::u16string xGetField(std::u16string_view text, int16_t n, std::u16string_view delimiter) {
  try {
    if (xNullTrim(text).empty() || n < 1) return kMissingField;
    if (delimiter != u" " && delimiter != u"\t" && xNullTrim(delimiter).size() != 1) return kMissingField;
    // Positions are counted from 1 in 16-bit numbers, as the entry format expects.
    const size_t len = text.size();
    size_t s = 1;
    int f = 1;
    std::u16string field;
    for (;;) {
      size_t found = s - 1 <= len ? text.find(delimiter, s - 1) : std::u16string_view::npos;
      size_t p;
      if (found == std::u16string_view::npos) {
        if (s > len) return kMissingField;
        p = s + (len - s + 1);
      } else {
        p = found + 1;
      }
      if (p > 32767) throw VkError(ErrNo::Overflow);
      field = xNullTrim(text.substr(s - 1, p - s));
      if (f == n) break;
      if (p + 1 > 32767) throw VkError(ErrNo::Overflow);  // the next start no longer fits
      s = p + 1;
      ++f;
    }
    return field;
  } catch (...) {
    ReportError(BuildErrorReport(u"", CurrentFailure(), NumberForm::Signed, ReportLayout::B));
    return kMissingField;
  }
}

std::u16string xHexDump(std::span<const uint8_t> bytes) {
  if (bytes.size() >= 32768) throw VkError(ErrNo::Overflow);
  static const char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string out;
  out.reserve(bytes.size() * 2 + bytes.size() / 4 + bytes.size() / 16);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0 && i % 4 == 0) out += u' ';
    if (i != 0 && i % 32 == 0) out += u"\r\n";
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

std::u16string Ascii16(std::string_view ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Narrow(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::u16string ToU16(int64_t value) { return Ascii16(std::to_string(value)); }

std::u16string UpperAscii(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return out;
}

std::u16string LowerAscii(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return out;
}
