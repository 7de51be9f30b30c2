#include "util/base64.h"

#include <algorithm>
#include <array>

#include "util/codepage.h"
#include "util/errreport.h"

bool Base64TablesReady = false;

namespace {

// Encoded text is cut into lines of this many characters, each complete line
// followed by CR LF, the way the settings file has always been written.
constexpr size_t kLineLength = 76;

std::array<char16_t, 64> g_encodeTable{};
// Indexed by a byte value; every byte outside the alphabet decodes as 0 (like "A").
std::array<uint8_t, 256> g_decodeTable{};

// The bare groups of four characters, without line breaks.
std::u16string EncodeGroups(const std::vector<uint8_t>& bytes) {
  std::u16string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint8_t b0 = bytes[i], b1 = bytes[i + 1], b2 = bytes[i + 2];
    out += g_encodeTable[b0 >> 2];
    out += g_encodeTable[((b0 & 3) << 4) + (b1 >> 4)];
    out += g_encodeTable[((b1 & 15) << 2) + (b2 >> 6)];
    out += g_encodeTable[b2 & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest == 2) {
    const uint8_t b0 = bytes[i], b1 = bytes[i + 1];
    out += g_encodeTable[b0 >> 2];
    out += g_encodeTable[((b0 & 3) << 4) + (b1 >> 4)];
    out += g_encodeTable[(b1 & 15) << 2];
    out += u'=';
  } else if (rest == 1) {
    const uint8_t b0 = bytes[i];
    out += g_encodeTable[b0 >> 2];
    out += g_encodeTable[(b0 & 3) << 4];
    out += u"==";
  }
  return out;
}

std::u16string BreakLines(const std::u16string& encoded) {
  if (encoded.size() <= kLineLength) return encoded;
  std::u16string out;
  out.reserve(encoded.size() + encoded.size() / kLineLength * 2);
  for (size_t pos = 0; pos < encoded.size(); pos += kLineLength) {
    const size_t n = std::min(kLineLength, encoded.size() - pos);
    out.append(encoded, pos, n);
    if (n == kLineLength) out += u"\r\n";
  }
  return out;
}

}  // namespace

void InitBase64Tables() {
  Base64TablesReady = true;
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  g_decodeTable.fill(0);
  for (size_t i = 0; i < 64; ++i) {
    g_encodeTable[i] = static_cast<char16_t>(kAlphabet[i]);
    g_decodeTable[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
  }
}

std::u16string Base64EncodeBytes(const std::vector<uint8_t>& bytes) {
  try {
    if (!Base64TablesReady) InitBase64Tables();
    if (bytes.empty()) return {};
    return BreakLines(EncodeGroups(bytes));
  } catch (...) {
    return {};
  }
}

std::u16string Base64EncodeText(const std::u16string& text) {
  if (text.empty()) return {};
  const std::string ansi = ToAnsi(text);
  return Base64EncodeBytes(std::vector<uint8_t>(ansi.begin(), ansi.end()));
}

std::vector<uint8_t> Base64DecodeBytes(const std::u16string& text) {
  if (!Base64TablesReady) InitBase64Tables();

  // Only CR LF pairs are line breaks; a lone CR or LF is data (and decodes as 0).
  std::u16string stripped;
  stripped.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
      ++i;
      continue;
    }
    stripped += text[i];
  }
  // Every "=" goes, wherever it stands.
  std::u16string values;
  values.reserve(stripped.size());
  for (char16_t c : stripped)
    if (c != u'=') values += c;

  // Nothing left to decode: the text was only padding and line breaks.
  if (values.empty()) throw VkError(ErrNo::InvalidCall, u"Base64 データがありません。");

  auto value = [&](size_t i) { return g_decodeTable[values[i] & 0xFF]; };
  std::vector<uint8_t> out;
  out.reserve(values.size() / 4 * 3 + 3);
  size_t i = 0;
  for (; i + 4 <= values.size(); i += 4) {
    const uint8_t d0 = value(i), d1 = value(i + 1), d2 = value(i + 2), d3 = value(i + 3);
    out.push_back(static_cast<uint8_t>((d0 << 2) + (d1 >> 4)));
    out.push_back(static_cast<uint8_t>(((d1 & 15) << 4) + (d2 >> 2)));
    out.push_back(static_cast<uint8_t>(((d2 & 3) << 6) + d3));
  }
  const size_t rest = values.size() - i;
  if (rest == 3) {
    const uint8_t d0 = value(i), d1 = value(i + 1), d2 = value(i + 2);
    out.push_back(static_cast<uint8_t>((d0 << 2) + (d1 >> 4)));
    out.push_back(static_cast<uint8_t>(((d1 & 15) << 4) + (d2 >> 2)));
  } else if (rest == 2) {
    const uint8_t d0 = value(i), d1 = value(i + 1);
    out.push_back(static_cast<uint8_t>((d0 << 2) + (d1 >> 4)));
  } else if (rest == 1) {
    // The encoder never leaves a single character over. The settings file has
    // always read such text by dropping that character and ending the result
    // with one zero byte; keep doing so, so old files read the same.
    out.push_back(0);
  }
  return out;
}

std::u16string Base64DecodeText(const std::u16string& text) {
  if (text.empty()) return {};
  const std::vector<uint8_t> bytes = Base64DecodeBytes(text);
  return FromAnsi(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}
