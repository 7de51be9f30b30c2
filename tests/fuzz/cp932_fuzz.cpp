// The CP932 decoder and encoder. Input: bytes to decode, read also as UTF-16
// units to encode. CP932 has duplicate codes, so a byte-for-byte round trip
// is not required; decoding, encoding and decoding again must give the first
// decoding (with "?" where a byte could not be decoded).
#include <algorithm>

#include "fuzz.h"
#include "util/codepage.h"

void Fuzz(FuzzInput in) {
  const std::string_view bytes = in.Rest();
  const std::u16string decoded = FromAnsi(bytes);
  FUZZ_CHECK(decoded.size() <= bytes.size() && decoded.size() * 2 >= bytes.size());
  std::u16string marked = decoded;
  std::replace(marked.begin(), marked.end(), u'\uFFFD', u'?');
  FUZZ_CHECK(FromAnsi(ToAnsi(decoded)) == marked);
  // Every character decoded is encodable; only the undecodable bytes are not.
  FUZZ_CHECK(ToAnsiStrict(decoded).has_value() == (decoded.find(u'\uFFFD') == decoded.npos));

  const std::u16string text = in.RestUtf16();
  const std::string encoded = ToAnsi(text);
  const std::optional<std::string> strict = ToAnsiStrict(text);
  FUZZ_CHECK(!strict || *strict == encoded);
  FUZZ_CHECK(encoded.size() <= text.size() * 2);
  const std::u16string back = FromAnsi(encoded);
  FUZZ_CHECK(back.find(u'\uFFFD') == back.npos && FromAnsi(ToAnsi(back)) == back);
}
