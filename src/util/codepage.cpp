#include "util/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>

namespace {

// iconv descriptors are not thread-safe; each thread keeps its own pair.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  iconv_t get() {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    return cd_;
  }

 private:
  iconv_t cd_;
};

iconv_t Encoder() {
  thread_local Converter c("CP932", "UTF-16LE");
  return c.get();
}
iconv_t Decoder() {
  thread_local Converter c("UTF-16LE", "CP932");
  return c.get();
}

bool IsAscii(std::u16string_view t) {
  for (char16_t c : t)
    if (c >= 0x80) return false;
  return true;
}
bool IsAscii(std::string_view b) {
  for (unsigned char c : b)
    if (c >= 0x80) return false;
  return true;
}

// Encodes; on an unencodable character either writes "?" (lenient) or gives up.
std::optional<std::string> Encode(std::u16string_view text, bool strict) {
  if (IsAscii(text)) return std::string(text.begin(), text.end());
  std::string le;
  le.reserve(text.size() * 2);
  for (char16_t c : text) {
    le.push_back(static_cast<char>(c & 0xFF));
    le.push_back(static_cast<char>(c >> 8));
  }
  iconv_t cd = Encoder();
  std::string out;
  out.resize(text.size() * 2 + 8);
  char* in = le.data();
  size_t inLeft = le.size();
  char* o = out.data();
  size_t oLeft = out.size();
  while (inLeft > 0) {
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {  // cannot happen with 2 bytes per unit, but be safe
      size_t used = out.size() - oLeft;
      out.resize(out.size() * 2);
      o = out.data() + used;
      oLeft = out.size() - used;
      continue;
    }
    if (strict) return std::nullopt;
    // EILSEQ or EINVAL: one character without a CP932 form (or a lone
    // surrogate). Skip it, a surrogate pair whole, and write "?".
    size_t skip = 2;
    if (inLeft >= 4) {
      char16_t u = static_cast<unsigned char>(in[0]) | (static_cast<unsigned char>(in[1]) << 8);
      char16_t v = static_cast<unsigned char>(in[2]) | (static_cast<unsigned char>(in[3]) << 8);
      if (u >= 0xD800 && u <= 0xDBFF && v >= 0xDC00 && v <= 0xDFFF) skip = 4;
    }
    if (skip > inLeft) skip = inLeft;
    in += skip;
    inLeft -= skip;
    if (oLeft == 0) {
      size_t used = out.size();
      out.resize(out.size() * 2);
      o = out.data() + used;
      oLeft = out.size() - used;
    }
    *o++ = '?';
    --oLeft;
  }
  out.resize(out.size() - oLeft);
  return out;
}

}  // namespace

std::string ToAnsi(std::u16string_view text) { return *Encode(text, false); }

std::optional<std::string> ToAnsiStrict(std::u16string_view text) { return Encode(text, true); }

std::u16string FromAnsi(std::string_view bytes) {
  if (IsAscii(bytes)) return std::u16string(bytes.begin(), bytes.end());
  iconv_t cd = Decoder();
  std::string out;
  out.resize(bytes.size() * 2 + 8);
  std::string inCopy(bytes);
  char* in = inCopy.data();
  size_t inLeft = inCopy.size();
  char* o = out.data();
  size_t oLeft = out.size();
  auto put = [&](char16_t c) {
    if (oLeft < 2) {
      size_t used = out.size() - oLeft;
      out.resize(out.size() * 2 + 2);
      o = out.data() + used;
      oLeft = out.size() - used;
    }
    *o++ = static_cast<char>(c & 0xFF);
    *o++ = static_cast<char>(c >> 8);
    oLeft -= 2;
  };
  while (inLeft > 0) {
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      size_t used = out.size() - oLeft;
      out.resize(out.size() * 2);
      o = out.data() + used;
      oLeft = out.size() - used;
      continue;
    }
    // EILSEQ: an invalid byte; EINVAL: a lead byte cut off at the end.
    put(u'\uFFFD');
    ++in;
    --inLeft;
  }
  size_t used = out.size() - oLeft;
  std::u16string result(used / 2, u'\0');
  for (size_t i = 0; i < result.size(); ++i)
    result[i] = static_cast<char16_t>(static_cast<unsigned char>(out[2 * i]) |
                                      (static_cast<unsigned char>(out[2 * i + 1]) << 8));
  return result;
}

std::string ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string FromUtf8(std::string_view b) {
  std::u16string out;
  out.reserve(b.size());
  size_t i = 0;
  while (i < b.size()) {
    unsigned char c = b[i];
    char32_t cp = 0xFFFD;
    size_t len = 1;
    auto cont = [&](size_t k) { return i + k < b.size() && (static_cast<unsigned char>(b[i + k]) & 0xC0) == 0x80; };
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0 && cont(1)) {
      cp = ((c & 0x1F) << 6) | (b[i + 1] & 0x3F);
      len = 2;
    } else if ((c & 0xF0) == 0xE0 && cont(1) && cont(2)) {
      cp = ((c & 0x0F) << 12) | ((b[i + 1] & 0x3F) << 6) | (b[i + 2] & 0x3F);
      len = 3;
    } else if ((c & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
      cp = ((c & 0x07) << 18) | ((b[i + 1] & 0x3F) << 12) | ((b[i + 2] & 0x3F) << 6) | (b[i + 3] & 0x3F);
      len = 4;
    }
    i += len;
    if (cp > 0x10FFFF) cp = 0xFFFD;  // F5..F7 lead bytes: beyond the last code point
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}
