#pragma once
// The little JSON that velkor-check --json writes: objects of strings,
// numbers and arrays, one per line. Every string comes out as valid UTF-8
// whatever bytes it came from, with the characters JSON requires escaped.
#include <string>
#include <string_view>
#include <vector>

// A JSON string literal, quotes included. From UTF-8 (malformed sequences
// become U+FFFD) or from a text of the core (lone surrogates become U+FFFD).
std::string JsonString(std::string_view utf8);
std::string JsonString(std::u16string_view text);

// Seconds as a JSON number with microseconds, as the status line has them.
std::string JsonSeconds(double seconds);

// "[a,b]" from values already written as JSON.
std::string JsonArray(const std::vector<std::string>& values);

// An object built member by member, in the order added.
class JsonObject {
 public:
  JsonObject& String(std::string_view key, std::string_view utf8);
  JsonObject& String(std::string_view key, std::u16string_view text);
  // A value already written as JSON: a number, true, false, null, an array.
  JsonObject& Value(std::string_view key, std::string_view json);
  std::string Text() const { return m_text + "}"; }

 private:
  std::string m_text = "{";
};
