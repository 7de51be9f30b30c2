#pragma once
// How the command session tells that a reply is in, and which line of it is
// judged. Pure functions on the bytes received so far, shared by the session
// and the fuzz targets. Each scanner is handed every byte of the reply so far
// (the same text, grown) after each receive, and its answer does not depend
// on how the peer's bytes were cut into receives.
#include <cstddef>
#include <string>
#include <string_view>

// Follows a numbered reply (a greeting, SMTP, FTP) and says when its last
// line is in: a first line that is not "NNN-" is the whole reply; after one
// that is, the first line "NNN" or "NNN text".
class ReplyEndScanner {
 public:
  bool Complete(std::string_view data);

 private:
  size_t m_pos = 0;
  bool m_first = true;
  bool m_done = false;
};

// The end of a POP multi-line reply (LIST, RETR): CR LF "." CR LF anywhere
// in the reply. scanned: how far earlier calls looked (start at 0).
bool PopMultiLineEnded(std::string_view data, size_t& scanned);

// The end of the HTTP headers: a blank line (CR LF CR LF, or LF LF).
bool HttpHeadsEnded(std::string_view data, size_t& scanned);

// The line a numbered reply is judged on: when the first line is "NNN-",
// the first later line that is three digits followed by a blank or by its
// line end; otherwise (or when no such line came) the first line. Line end
// included.
std::u16string FinalReplyLine(std::u16string_view reply);
