// xGetField and the other text helpers. Input: the field number, the choice
// of delimiter, a length byte, then the text as UTF-16 units (repeated past
// the 16-bit position limit when the length byte asks for it).
#include <algorithm>

#include "fuzz.h"
#include "util/xcommon.h"

namespace {

// Field n of text split at a one-character delimiter, as the entry format
// reads it: positions count from 1 in 16 bits, an empty last field after a
// final delimiter does not exist.
std::u16string FieldOf(std::u16string_view text, int16_t n, char16_t delimiter) {
  if (Trimmed(text).empty() || n < 1) return kMissingField;
  size_t start = 0;
  for (int16_t f = 1;; ++f) {
    if (start >= text.size()) return kMissingField;
    const size_t end = std::min(text.find(delimiter, start), text.size());
    if (end + 1 > 32767) return kMissingField;  // the field's end no longer fits
    if (f == n) return std::u16string(Trimmed(text.substr(start, end - start)));
    start = end + 1;
  }
}

}  // namespace

void Fuzz(FuzzInput in) {
  const int16_t n = static_cast<int8_t>(in.Byte());
  const uint8_t pick = in.Byte(), length = in.Byte();
  std::u16string text = in.RestUtf16();
  const bool longText = (length & 0xF0) == 0xF0 && !text.empty();  // past the 16-bit positions
  if (longText)
    while (text.size() < 32760u + (length & 0x0F)) text += text;

  const std::u16string delimiters[] = {u":", u",", u" ", u"\t", u" , ", u"", u"ab", u"  "};
  const std::u16string delimiter =
      pick < std::size(delimiters) ? delimiters[pick] : std::u16string(1, text.empty() ? u'x' : text[pick % text.size()]);
  const std::u16string field = xGetField(text, n, delimiter);
  if (delimiter.size() == 1) {
    FUZZ_CHECK(field == FieldOf(text, n, delimiter[0]));
  } else {
    FUZZ_CHECK(IsMissingField(field) || (Trimmed(delimiter).size() == 1 && field == Trimmed(field)));
  }
  if (longText) return;  // the rest has no 16-bit limit, and long texts are slow to fuzz

  FUZZ_CHECK(xNullTrim(text) == Trimmed(text));
  std::u16string t = text, u = text, v = text;  // the helpers below trim their argument in place
  FUZZ_CHECK(xTrimCrLf(t) == Trimmed(Trimmed(text, u"\r\n")));
  FUZZ_CHECK(xTrimNul(u) == Trimmed(Trimmed(text, std::u16string_view(u"\0", 1))));
  const std::u16string lines = xLinesToTabs(v);
  std::u16string kept;  // what is left once blanks, TABs and line ends are gone
  for (char16_t c : text)
    if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n') kept += c;
  std::u16string rest = lines;
  std::erase(rest, u'\t');
  FUZZ_CHECK(lines.find_first_of(u" \r\n") == lines.npos && rest == kept);
  if (text.size() < kShortCounterLimit) {
    FUZZ_CHECK(xChkNum(text) == std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; }));
    FUZZ_CHECK(xChkNumComma(text) ==
               std::all_of(text.begin(), text.end(), [](char16_t c) { return (c >= u'0' && c <= u'9') || c == u','; }));
  }
  if (!delimiter.empty()) {
    FUZZ_CHECK(xReplaceString(text, delimiter, delimiter) == text);
    const std::u16string replaced = xReplaceString(text, delimiter, u"");
    FUZZ_CHECK(replaced.size() <= text.size() && (delimiter.size() > 1 || replaced.find(delimiter) == replaced.npos));
  }

  // The hex dump holds every byte as two digits, in order, between blanks and line ends.
  const std::string_view bytes = in.Rest();
  std::u16string digits;
  for (char16_t c : xHexDump({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}))
    if (c != u' ' && c != u'\r' && c != u'\n') digits += c;
  std::u16string expected;
  for (unsigned char b : bytes) expected += {u"0123456789ABCDEF"[b >> 4], u"0123456789ABCDEF"[b & 15]};
  FUZZ_CHECK(digits == expected);
}
