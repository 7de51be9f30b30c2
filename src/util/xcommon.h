#pragma once
// Small text helpers shared by the whole program. Texts are UTF-16; a blank
// is U+0020 only. Several helpers also change the variable they are given.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// xGetField's answer for a field that does not exist (an empty text is an
// existing, empty field).
inline const std::u16string kMissingField(1, u'\0');
inline bool IsMissingField(const std::u16string& s) { return s.size() == 1 && s[0] == u'\0'; }

// Texts of this many characters or more overflow the 16-bit counters of the
// digit checks.
inline constexpr size_t kShortCounterLimit = 32767;

bool xChkNum(std::u16string_view text);       // every character 0-9 (empty: true)
bool xChkNumComma(std::u16string_view text);  // every character 0-9 or ","
std::u16string xNullTrim(std::u16string_view text);
std::u16string xTabToSpace(std::u16string& text);
std::u16string xLinesToTabs(std::u16string& text);
std::u16string xReplaceString(std::u16string_view text, std::u16string_view find, std::u16string_view replacement);
std::u16string xTrimNul(std::u16string& text);
std::u16string xTrimCrLf(std::u16string& text);
std::u16string xGetField(std::u16string_view text, int16_t n, std::u16string_view delimiter);
// Throws VkError (overflow) for 32768 bytes or more.
std::u16string xHexDump(std::span<const uint8_t> bytes);

// Helpers of our own.
std::u16string Ascii16(std::string_view ascii);   // widens an ASCII text
std::string Narrow(std::u16string_view ascii16);  // narrows an ASCII text
std::u16string ToU16(int64_t value);              // decimal, no leading blank
std::u16string UpperAscii(std::u16string_view text);
std::u16string LowerAscii(std::u16string_view text);
