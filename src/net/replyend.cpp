#include "net/replyend.h"

#include <algorithm>
#include <initializer_list>

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

template <typename Text>
bool StartsWithThreeDigits(const Text& line) {
  return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

// "NNN-...": the first line of a multi-line reply.
template <typename Text>
bool IsContinuedFirstLine(const Text& line) {
  return StartsWithThreeDigits(line) && line.size() >= 4 && line[3] == '-';
}

// "NNN text" or "NNN" alone (line end removed): the last line of a reply.
template <typename Text>
bool IsFinalLine(const Text& line) {
  return StartsWithThreeDigits(line) && (line.size() == 3 || line[3] == ' ');
}

template <typename Text>
Text WithoutCr(Text line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// True when one of the marks is in data; the search goes on where the last
// one stopped, less the longest mark's length so that a mark cut between two
// receives is found whole.
bool MarkFound(std::string_view data, size_t& scanned, std::initializer_list<std::string_view> marks) {
  size_t overlap = 0;
  for (std::string_view m : marks) overlap = std::max(overlap, m.size() - 1);
  const std::string_view recent = data.substr(scanned > overlap ? std::min(scanned - overlap, data.size()) : 0);
  scanned = data.size();
  for (std::string_view m : marks)
    if (recent.find(m) != std::string_view::npos) return true;
  return false;
}

}  // namespace

bool ReplyEndScanner::Complete(std::string_view data) {
  while (!m_done) {
    const size_t lf = data.find('\n', m_pos);
    if (lf == std::string_view::npos) break;
    const std::string_view line = WithoutCr(data.substr(m_pos, lf - m_pos));
    if (m_first) {
      m_first = false;
      // A first line that does not announce more lines is the whole reply.
      if (!IsContinuedFirstLine(line)) m_done = true;
    } else if (IsFinalLine(line)) {
      m_done = true;
    }
    m_pos = lf + 1;
  }
  return m_done;
}

bool PopMultiLineEnded(std::string_view data, size_t& scanned) { return MarkFound(data, scanned, {"\r\n.\r\n"}); }

bool HttpHeadsEnded(std::string_view data, size_t& scanned) { return MarkFound(data, scanned, {"\r\n\r\n", "\n\n"}); }

std::u16string FinalReplyLine(std::u16string_view reply) {
  size_t lf = reply.find(u'\n');
  const std::u16string_view first = reply.substr(0, lf == std::u16string_view::npos ? reply.size() : lf + 1);
  if (lf == std::u16string_view::npos || !IsContinuedFirstLine(first)) return std::u16string(first);
  size_t pos = lf + 1;
  while (pos < reply.size()) {
    lf = reply.find(u'\n', pos);
    const size_t end = lf == std::u16string_view::npos ? reply.size() : lf + 1;
    const std::u16string_view line = reply.substr(pos, end - pos);
    std::u16string_view bare = line;
    if (!bare.empty() && bare.back() == u'\n') bare.remove_suffix(1);
    if (IsFinalLine(WithoutCr(bare))) return std::u16string(line);
    pos = end;
  }
  return std::u16string(first);
}
