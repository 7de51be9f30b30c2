#include "check/checkjson.h"

#include <cstdio>

#include "util/codepage.h"

namespace {

// Escapes what JSON requires in a string that is already valid UTF-8.
std::string Quote(std::string_view utf8) {
  std::string out = "\"";
  out.reserve(utf8.size() + 2);
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  return out + "\"";
}

}  // namespace

// Through UTF-16 and back: the code-page module turns every malformed
// sequence into U+FFFD on the way in, and writes only well-formed UTF-8.
std::string JsonString(std::string_view utf8) { return Quote(ToUtf8(FromUtf8(utf8))); }
std::string JsonString(std::u16string_view text) { return Quote(ToUtf8(text)); }

std::string JsonSeconds(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6f", !(seconds >= 0) ? 0.0 : seconds);
  return buf;
}

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (const std::string& v : values) out += (out.size() > 1 ? "," : "") + v;
  return out + "]";
}

JsonObject& JsonObject::String(std::string_view key, std::string_view utf8) { return Value(key, JsonString(utf8)); }

JsonObject& JsonObject::String(std::string_view key, std::u16string_view text) { return Value(key, JsonString(text)); }

JsonObject& JsonObject::Value(std::string_view key, std::string_view json) {
  if (m_text.size() > 1) m_text += ',';
  m_text += Quote(key);
  m_text += ':';
  m_text += json;
  return *this;
}
