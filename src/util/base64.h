#pragma once
// Base64 (RFC 4648 alphabet) with the settings file's line breaking: lines of
// 76 characters, CR LF after every complete line.
#include <cstdint>
#include <string>
#include <vector>

extern bool Base64TablesReady;
void InitBase64Tables();

std::u16string Base64EncodeBytes(const std::vector<uint8_t>& bytes);  // empty on failure
std::u16string Base64EncodeText(const std::u16string& text);          // CP932 bytes of text
// Throw VkError on failure (a text of nothing but "=" and CR LF pairs).
std::vector<uint8_t> Base64DecodeBytes(const std::u16string& text);
std::u16string Base64DecodeText(const std::u16string& text);
