#pragma once
// The one place where texts (UTF-16) become bytes and back.
//
// Files, logs and sockets use the Japanese Windows code page CP932, so that
// files move unchanged between installations of the tool. Neither direction
// ever fails: undecodable bytes become U+FFFD, unencodable characters become
// "?" (the default character of the Windows conversion), so an odd byte in a
// server banner never costs a log line. File-system paths are UTF-8.
#include <optional>
#include <string>
#include <string_view>

std::string ToAnsi(std::u16string_view text);
std::u16string FromAnsi(std::string_view bytes);

// Strict encoding: nullopt when a character has no CP932 form.
std::optional<std::string> ToAnsiStrict(std::u16string_view text);

// UTF-16 <-> UTF-8, for paths and the process environment.
std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view bytes);
