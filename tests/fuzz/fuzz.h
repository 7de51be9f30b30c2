#pragma once
// What the fuzz targets share. Each target defines Fuzz, which checks what
// must hold for any input; a check that fails aborts, which libFuzzer reports
// as a finding (keeping the input) and the corpus driver as a failed test.
// Each target includes this header once.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "app/appstate.h"

#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : (std::fprintf(stderr, "%s:%d: FUZZ_CHECK failed: %s\n", __FILE__, __LINE__, #cond), std::abort()))


// Takes an input apart from its front.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : m_rest(reinterpret_cast<const char*>(data), size) {}
  uint8_t Byte() {
    const auto b = static_cast<uint8_t>(m_rest.empty() ? 0 : m_rest.front());
    m_rest.remove_prefix(m_rest.empty() ? 0 : 1);
    return b;
  }
  uint32_t Word() {
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i) w = w << 8 | Byte();
    return w;
  }
  std::string_view Rest() const { return m_rest; }
  // As UTF-16 units (little-endian pairs), so that any unit a text can hold is reachable.
  std::u16string RestUtf16() const {
    std::u16string text(m_rest.size() / 2, u'\0');
    for (size_t i = 0; i < text.size(); ++i)
      text[i] = static_cast<char16_t>(static_cast<uint8_t>(m_rest[2 * i]) | static_cast<uint8_t>(m_rest[2 * i + 1]) << 8);
    return text;
  }

 private:
  std::string_view m_rest;
};

// s without the characters of chars at either end.
inline std::u16string_view Trimmed(std::u16string_view s, std::u16string_view chars = u" ") {
  const size_t b = s.find_first_not_of(chars);
  return b == s.npos ? std::u16string_view() : s.substr(b, s.find_last_not_of(chars) - b + 1);
}

// The target's checks on one input.
void Fuzz(FuzzInput in);

// Reports of the code under test go nowhere: the error log's directory is
// one that cannot hold files.
extern "C" int LLVMFuzzerInitialize(int*, char***) { return SetProgramLocation(u"/dev/null", u"fuzz"), 0; }
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fuzz(FuzzInput(data, size));
  return 0;
}
