#pragma once
// The failure record (failreason.h) said in one short English phrase: the
// words velkor-check prints after "failed in N s: ", and the reason the
// desktop notices and the run history keep. UTF-8.
#include <string>
#include <string_view>

#include "net/failreason.h"

// "connection refused", "no reply to EHLO within 10 s"; "" for kind None.
std::string FailurePhrase(const FailReason& reason);

// The phrase's pieces, for the front ends' own texts.
// Seconds as the options write them: "10", "0.5".
std::string ShortSeconds(double seconds);
// A server's line in a reason: quoted, cut at 80 characters.
std::string Quoted(std::u16string_view line);
// The code a reply line begins with: "502", "-ERR"; "" when it has none.
std::string ReplyCode(std::u16string_view line);
// A Windows Sockets error number: "host unreachable", "socket error 10054".
std::string SocketErrorPhrase(int code);
// A text from a server made fit for one line: UTF-8, "|" shown as "¦" (a
// plugin's status line cannot then start its performance data early), line
// ends and other control characters as blanks.
std::string OneLineText(std::u16string_view text);
