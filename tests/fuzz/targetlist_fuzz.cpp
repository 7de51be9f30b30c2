// The target list reader and the entry rules. Input: the list file's bytes.
// Every entry read must be clean, read again the same, and apply as its
// fields say.
#include <algorithm>

#include "diag/targetlist.h"
#include "fuzz.h"
#include "util/codepage.h"

namespace {

// Digits and commas; each port may end in one "s" or "t" (TLS), right after its digits.
bool PortList(const std::u16string& f) {
  const auto digit = [&](size_t i) { return f[i] >= u'0' && f[i] <= u'9'; };
  for (size_t i = 0; i < f.size(); ++i) {
    const bool suffix = (f[i] == u's' || f[i] == u't') && i > 0 && digit(i - 1) &&
                        (i + 1 == f.size() || f[i + 1] == u',');
    if (!digit(i) && !suffix && f[i] != u',') return false;
  }
  return true;
}

}  // namespace

void Fuzz(FuzzInput in) {
  const std::vector<std::u16string> entries = ParseTargetList(FromAnsi(in.Rest()));
  std::u16string joined;
  for (const std::u16string& entry : entries) {
    FUZZ_CHECK(!entry.empty() && entry.find_first_of(u" \t\r\n#") == entry.npos);
    joined += entry + u"\r\n";

    // The fields split at ":" (no empty field after a final ":"); the first
    // five count, an empty one keeps the default. A field of one NUL reads as
    // the missing-field marker and ends the fields. An entry that starts with
    // "[" and closes it right before a ":" or the end has the text in between
    // as its host, and its port fields after the "]:".
    std::vector<std::u16string> fields;
    const size_t close = entry.find(u']');
    const bool bracketed = entry[0] == u'[' && close != entry.npos && (close + 1 == entry.size() || entry[close + 1] == u':');
    if (bracketed) fields.push_back(entry.substr(1, close - 1));
    for (size_t start = bracketed ? close + 2 : 0; start < entry.size();) {
      const size_t colon = std::min(entry.find(u':', start), entry.size());
      fields.push_back(entry.substr(start, colon - start));
      start = colon + 1;
    }
    const auto marker = std::find(fields.begin(), fields.end(), std::u16string(1, u'\0'));
    const std::u16string host = fields.front();
    fields.erase(marker, fields.end());
    SystemSettingsRecord settings{u"host", u"25", u"110", u"21", u"80", {}, {}, {}, {}}, want = settings;
    TargetEntry expected;
    std::u16string* ports[] = {&want.SmtpPort, &want.PopPort, &want.FtpPort, &want.HttpPort};
    for (size_t n = 1; n <= std::min<size_t>(fields.size(), 5); ++n) {
      const std::u16string& f = fields[n - 1];
      if (f.empty()) continue;
      if (n == 1) expected.target = f;
      else if ((expected.ticked[n] = PortList(f))) *ports[n - 2] = f;
    }
    const TargetEntry got = ApplyTargetEntry(entry, settings);
    FUZZ_CHECK(got.target == expected.target && got.ticked == expected.ticked);
    FUZZ_CHECK(settings.SmtpPort == want.SmtpPort && settings.PopPort == want.PopPort &&
               settings.FtpPort == want.FtpPort && settings.HttpPort == want.HttpPort);
    FUZZ_CHECK(EntryHostName(entry) == Trimmed(host, std::u16string_view(u"\0", 1)));
    FUZZ_CHECK(SplitEntry(entry).bracketed == bracketed);
  }
  FUZZ_CHECK(ParseTargetList(joined) == entries);
}
