#pragma once
// The per-character shift that keeps the settings file from being read at a
// glance. Mode "ENC" (first three letters, any case) scrambles with a random
// key letter D..H in front; "DEC" undoes it. Empty on failure (reported).
#include <functional>
#include <string>

std::u16string ScrambleText(const std::u16string& mode, const std::u16string& value);

// Tests fix the key value (3..7); empty: random.
void SetScrambleKeyHook(std::function<int()> hook);
