#include "util/scramble.h"

#include <chrono>
#include <cstdint>
#include <random>

#include "util/codepage.h"
#include "util/errreport.h"
#include "util/log.h"
#include "util/xcommon.h"

// Character codes.
//
// The shift works on the code of each character in the file's code page
// (CP932), taken as a signed 16-bit number, as the Japanese system's own
// character-code function gives it: a single-byte character has its byte value
// (the ASCII code for settings text, 0xA1..0xDF for half-width katakana); a
// double-byte character has lead byte * 256 + trail byte, which as a signed
// 16-bit number is negative (lead bytes are 0x81 or above). Turning a code
// back into a character reads a negative code as that two-byte value again,
// 0..0xFF as one byte and anything else as two bytes. A code whose bytes are
// no CP932 character, or do not come back as the same bytes (so that the
// unscrambling could not restore them), is a failure, as is a character that
// has no CP932 form at all.

namespace {

// Texts this long overflow the 16-bit position counter of the shift.
constexpr size_t kMaxShiftLength = 32767;

std::function<int()>& KeyHook() {
  static std::function<int()> hook;
  return hook;
}

int RandomKey() {
  if (KeyHook()) return KeyHook()();
  static std::mt19937 gen(static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<int> dist(3, 7);
  return dist(gen);
}

int32_t CodeOf(char16_t c) {
  if (c < 0x80) return c;
  std::optional<std::string> bytes = ToAnsiStrict(std::u16string_view(&c, 1));
  if (!bytes || bytes->empty() || bytes->size() > 2) throw VkError(ErrNo::CodePage);
  const auto b0 = static_cast<uint8_t>((*bytes)[0]);
  if (bytes->size() == 1) return b0;
  const auto b1 = static_cast<uint8_t>((*bytes)[1]);
  return static_cast<int16_t>(static_cast<uint16_t>((b0 << 8) | b1));
}

char16_t CharOf(int32_t code) {
  // The shifted code is a signed 16-bit number.
  if (code < INT16_MIN || code > INT16_MAX) throw VkError(ErrNo::Overflow);
  if (code >= 0 && code < 0x80) return static_cast<char16_t>(code);
  const auto u = static_cast<uint16_t>(code);
  std::string bytes;
  if (u <= 0xFF) {
    bytes.push_back(static_cast<char>(u));
  } else {
    bytes.push_back(static_cast<char>(u >> 8));
    bytes.push_back(static_cast<char>(u & 0xFF));
  }
  const std::u16string text = FromAnsi(bytes);
  if (text.size() != 1 || text[0] == u'\uFFFD') throw VkError(ErrNo::CodePage);
  const std::optional<std::string> back = ToAnsiStrict(text);
  if (!back || *back != bytes) throw VkError(ErrNo::CodePage);
  return text[0];
}

// Offset at position i (from 1): k-1, k-2, k, k-1, k-2, k, ...
int32_t Offset(int32_t k, size_t i) { return k - static_cast<int32_t>(i % 3); }

std::u16string Scramble(const std::u16string& value) {
  if (value.size() >= kMaxShiftLength) throw VkError(ErrNo::Overflow);
  const int32_t k = RandomKey();
  std::u16string out;
  out.reserve(value.size() + 1);
  out += CharOf(k + u'A');
  for (size_t i = 1; i <= value.size(); ++i) out += CharOf(CodeOf(value[i - 1]) - Offset(k, i));
  return out;
}

std::u16string Unscramble(const std::u16string& value) {
  // Whatever stands first is taken as the key letter; a wrong one only yields
  // other characters (or a failure when they leave the code page).
  const int32_t k = CodeOf(value[0]) - u'A';
  const std::u16string_view body = std::u16string_view(value).substr(1);
  if (body.size() >= kMaxShiftLength) throw VkError(ErrNo::Overflow);
  std::u16string out;
  out.reserve(body.size());
  for (size_t i = 1; i <= body.size(); ++i) out += CharOf(CodeOf(body[i - 1]) + Offset(k, i));
  return out;
}

}  // namespace

std::u16string ScrambleText(const std::u16string& mode, const std::u16string& value) {
  try {
    if (xNullTrim(value).empty()) return {};
    const std::u16string verb = UpperAscii(std::u16string_view(mode).substr(0, 3));
    if (verb == u"ENC") return Scramble(value);
    if (verb == u"DEC") return Unscramble(value);
    return {};
  } catch (...) {
    ReportError(BuildErrorReport(u"", CurrentFailure(), NumberForm::Signed, ReportLayout::B));
    return {};
  }
}

void SetScrambleKeyHook(std::function<int()> hook) { KeyHook() = std::move(hook); }
