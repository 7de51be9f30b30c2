// The settings file's outer layers: the Base64 decoder, then ScrambleText
// "DEC" on what it decoded. Input: the file's bytes.
#include "fuzz.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/scramble.h"

void Fuzz(FuzzInput in) {
  const std::u16string file = FromAnsi(in.Rest());

  // Only a text of nothing but "=" and CR LF pairs fails, and fails to the caller.
  std::u16string values;  // line breaks (CR LF pairs, in one pass) and "=" taken out
  for (size_t i = 0; i < file.size(); ++i) {
    if (file.compare(i, 2, u"\r\n") == 0) ++i;
    else if (file[i] != u'=') values += file[i];
  }
  std::vector<uint8_t> bytes;
  try {
    bytes = Base64DecodeBytes(file);
  } catch (const VkError&) {
    FUZZ_CHECK(values.empty());
    return;
  }
  FUZZ_CHECK(!values.empty());
  FUZZ_CHECK(Base64DecodeBytes(Base64EncodeBytes(bytes)) == bytes);
  const std::u16string decoded = Base64DecodeText(file);

  // What unscrambles scrambles back, with the same key letter, to a text
  // that unscrambles the same.
  const std::u16string plain = ScrambleText(u"DEC", decoded);
  if (plain.find_first_not_of(u' ') == plain.npos) return;  // blank texts are not scrambled
  // The key letter's code as the scrambling reads it: a double-byte code is a negative 16-bit number.
  const std::string lead = ToAnsi(decoded.substr(0, 1));
  const auto b0 = static_cast<uint8_t>(lead[0]);
  const int code = lead.size() == 1 ? b0 : static_cast<int16_t>(b0 << 8 | static_cast<uint8_t>(lead[1]));
  SetScrambleKeyHook([key = code - u'A'] { return key; });
  const std::u16string again = ScrambleText(u"ENC", plain);
  FUZZ_CHECK(!again.empty() && again.size() == decoded.size());
  FUZZ_CHECK(ScrambleText(u"DEC", again) == plain);
}
