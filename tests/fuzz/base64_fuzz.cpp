// The settings file's outer layers: the Base64 decoder, then ScrambleText
// "DEC" on what it decoded. Input: the file's bytes.
#include <algorithm>

#include "fuzz.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/scramble.h"

namespace {

// A character's code as the scrambling reads it: a double-byte code is a
// negative 16-bit number.
int CodeOf(char16_t c) {
  const std::string b = ToAnsi(std::u16string(1, c));
  const auto b0 = static_cast<uint8_t>(b[0]);
  return b.size() == 1 ? b0 : static_cast<int16_t>(static_cast<uint16_t>(b0 << 8 | static_cast<uint8_t>(b[1])));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::u16string file = FromAnsi(std::string_view(reinterpret_cast<const char*>(data), size));

  // Only a text of nothing but "=" and CR LF pairs fails, and fails to the caller.
  std::u16string values;  // line breaks (CR LF pairs, in one pass) and "=" taken out
  for (size_t i = 0; i < file.size(); ++i) {
    if (file.compare(i, 2, u"\r\n") == 0) ++i;
    else if (file[i] != u'=') values += file[i];
  }
  std::vector<uint8_t> bytes;
  bool failed = false;
  try {
    bytes = Base64DecodeBytes(file);
  } catch (const VkError&) {
    failed = true;
  }
  FUZZ_CHECK(failed == values.empty());
  if (failed) return 0;
  FUZZ_CHECK(Base64DecodeBytes(Base64EncodeBytes(bytes)) == bytes);
  const std::u16string decoded = Base64DecodeText(file);

  // What unscrambles scrambles back, with the same key letter, to a text
  // that unscrambles the same.
  const std::u16string plain = ScrambleText(u"DEC", decoded);
  if (plain.find_first_not_of(u' ') == plain.npos) return 0;  // blank texts are not scrambled
  const int key = CodeOf(decoded[0]) - u'A';
  SetScrambleKeyHook([key] { return key; });
  const std::u16string again = ScrambleText(u"ENC", plain);
  FUZZ_CHECK(!again.empty() && again.size() == decoded.size());
  FUZZ_CHECK(ScrambleText(u"DEC", again) == plain);
  return 0;
}
