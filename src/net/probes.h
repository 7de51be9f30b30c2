#pragma once
// The four service checks. Each opens a session, reads the greeting (not
// HTTP), sends a short harmless dialogue, closes, and answers its verdict;
// the transcript receives the greeting and every command line ("> " + line)
// with its reply. No check logs in: the password is accepted and never sent.
// host and port are trimmed in place by the session.
#include <cstdint>
#include <string>

bool SmtpCheck(std::u16string& host, std::u16string& port, std::u16string& transcript);
bool PopCheck(std::u16string& host, std::u16string& port, std::u16string& user, std::u16string& password,
              std::u16string& transcript);
// spare: kept for the caller's sake (it passes 0); unused.
bool FtpCheck(std::u16string& host, std::u16string& port, std::u16string& user, std::u16string& password,
              const int16_t& spare, std::u16string& transcript);
bool HttpCheck(std::u16string& host, std::u16string& port, std::u16string& transcript);

// The header section of an HTTP reply as the transcript shows it: each line
// up to the blank line, leading blanks removed, ending in CR LF.
std::u16string HttpHeaderSection(const std::u16string& reply);
