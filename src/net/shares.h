#pragma once
// The share listing of a run: the server's shares as text, one line each
// (brief form) or a block each (long form), sorted by upper-case name.
#include <cstdint>
#include <string>
#include <vector>

// True when the enumeration succeeded (listing then holds the text, empty for
// a server without shares); false with an empty listing when it failed.
// Failures of the enumeration are not reported.
bool NetShareList(const std::u16string& server, std::u16string& listing, bool brief);

// The text of a zero-terminated wide string; a null pointer gives "".
std::u16string PtrToText(const char16_t* pointer);

// Sorts keys[first..last] ascending in place (quicksort, middle pivot).
// compareMode 0 compares code by code; any other mode ignores letter case.
void SortTexts(std::vector<std::u16string>& keys, int32_t first, int32_t last, int32_t compareMode);
