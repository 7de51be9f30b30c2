#pragma once
// The share listing of a run: the server's shares as text, one line each
// (brief form) or a block each (long form), sorted by upper-case name.
#include <cstdint>
#include <string>
#include <vector>

// True when the enumeration succeeded (listing then holds the text, empty for
// a server without shares). False when it failed: the listing is then
// kShareListRefused when the server answered but refused this user the list,
// and empty otherwise. Failures of the enumeration are not reported.
bool NetShareList(const std::u16string& server, std::u16string& listing, bool brief);

inline constexpr char16_t kShareListRefused[] =
    u"共有一覧の取得が拒否されました。サーバは応答していますが、このユーザには一覧を返しません。";

// The text of a zero-terminated wide string; a null pointer gives "".
std::u16string PtrToText(const char16_t* pointer);

// Sorts keys[first..last] ascending in place (quicksort, middle pivot).
// compareMode 0 compares code by code; any other mode ignores letter case.
void SortTexts(std::vector<std::u16string>& keys, int32_t first, int32_t last, int32_t compareMode);
