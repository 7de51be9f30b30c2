// The reply judgement of the command session: the numbered-reply and
// greeting end, the POP multi-line end, the HTTP header end and header copy.
// Input: one byte that chooses how the reply is cut into receives, then the
// reply's bytes. Each scanner is fed the reply grown receive by receive, each
// time in a buffer of exactly the bytes received (so a read past them is an
// AddressSanitizer finding), and must say "complete" exactly from the receive
// that brings the end it looks for, however the bytes were cut.
#include <memory>

#include "fuzz.h"
#include "net/probes.h"
#include "net/replyend.h"
#include "util/codepage.h"

namespace {

constexpr size_t npos = std::string_view::npos;

bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Numbered(std::string_view line, char fourth) {
  return line.size() >= 3 && Digit(line[0]) && Digit(line[1]) && Digit(line[2]) &&
         (fourth == ' ' ? line.size() == 3 || line[3] == ' ' : line.size() >= 4 && line[3] == fourth);
}

// Where a numbered reply ends (just past the LF of its last line), npos when
// it has not ended: a first line other than "NNN-" ends it, else the first
// later line "NNN" or "NNN text".
size_t NumberedEnd(std::string_view d, size_t& lastLine) {
  for (size_t start = 0, lf; (lf = d.find('\n', start)) != npos; start = lf + 1) {
    std::string_view line = d.substr(start, lf - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lastLine = start;
    if (start == 0 ? !Numbered(line, '-') : Numbered(line, ' ')) return lf + 1;
  }
  return npos;
}

// Just past the first of the marks, npos when none is there.
size_t MarkEnd(std::string_view d, std::initializer_list<std::string_view> marks) {
  size_t end = npos;
  for (std::string_view m : marks)
    if (const size_t at = d.find(m); at != npos) end = std::min(end, at + m.size());
  return end;
}

}  // namespace

void Fuzz(FuzzInput in) {
  uint32_t cut = in.Byte() * 2654435761u + 1;  // a receive of 1 to 100 bytes
  const std::string_view reply = in.Rest();

  size_t lastLine = 0;
  const size_t numberedEnd = NumberedEnd(reply, lastLine);
  const size_t popEnd = MarkEnd(reply, {"\r\n.\r\n"});
  const size_t httpEnd = MarkEnd(reply, {"\r\n\r\n", "\n\n"});

  ReplyEndScanner numbered;
  size_t popScanned = 0, httpScanned = 0;
  bool popDone = false, httpDone = false;  // the session reads no further
  for (size_t got = 0; got < reply.size();) {
    cut = cut * 1103515245u + 12345u;
    got = std::min(reply.size(), got + 1 + (cut >> 16) % 100);
    const std::unique_ptr<char[]> exact(new char[got]);
    std::copy_n(reply.data(), got, exact.get());
    const std::string_view received(exact.get(), got);
    FUZZ_CHECK(numbered.Complete(received) == (numberedEnd <= got));
    if (!popDone) FUZZ_CHECK((popDone = PopMultiLineEnded(received, popScanned)) == (popEnd <= got));
    if (!httpDone) FUZZ_CHECK((httpDone = HttpHeadsEnded(received, httpScanned)) == (httpEnd <= got));
  }

  // The greeting is read a byte at a time and judged at each LF: it ends at
  // the same byte, and the line judged is the one that ended it.
  ReplyEndScanner greeting;
  size_t greetingEnd = npos;
  for (size_t i = 0; i < reply.size() && greetingEnd == npos; ++i)
    if (reply[i] == '\n' && greeting.Complete(reply.substr(0, i + 1))) greetingEnd = i + 1;
  FUZZ_CHECK(greetingEnd == numberedEnd);
  if (numberedEnd != npos)
    FUZZ_CHECK(FinalReplyLine(FromAnsi(reply.substr(0, numberedEnd))) ==
               FromAnsi(reply.substr(lastLine, numberedEnd - lastLine)));

  // The header copy: each CR LF line of the blank-trimmed reply, leading
  // blanks removed, up to the first empty one; nothing after the last CR LF.
  const std::u16string text = FromAnsi(reply);
  const std::u16string_view trimmed = Trimmed(text);
  std::u16string section;
  for (size_t pos = 0, crlf; (crlf = trimmed.find(u"\r\n", pos)) != npos; pos = crlf + 2) {
    const std::u16string_view line = trimmed.substr(pos, crlf - pos);
    if (line.find_first_not_of(u' ') == npos) break;
    section += std::u16string(line.substr(line.find_first_not_of(u' '))) + u"\r\n";
  }
  FUZZ_CHECK(HttpHeaderSection(text) == section);
}
