#pragma once
// Two-line Japanese description of a Windows Sockets error number for the
// error log: the meaning line, CR LF, the explanation line.
#include <cstdint>
#include <string>

// The low 16 bits of number are read (every Windows Sockets number fits). An
// unknown number gives "その他のエラー: " + the number.
std::u16string SocketErrorText(const int32_t& number);
