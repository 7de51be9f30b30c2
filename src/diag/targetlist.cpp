#include "diag/targetlist.h"

#include <cstdint>

#include "net/tlsport.h"
#include "util/errreport.h"
#include "util/fileutil.h"
#include "util/xcommon.h"

namespace {

// Entry fields 2 to 5 and the settings field each one sets.
std::u16string SystemSettingsRecord::* const kPortFields[] = {
    &SystemSettingsRecord::SmtpPort, &SystemSettingsRecord::PopPort, &SystemSettingsRecord::FtpPort,
    &SystemSettingsRecord::HttpPort};

// Fields past this one (host and four ports) have no meaning.
constexpr int16_t kLastEntryField = 5;

}  // namespace

std::vector<std::u16string> ParseTargetList(std::u16string text, std::vector<size_t>* lines, size_t limit) {
  // Blanks and TABs go, every line end becomes a TAB. The lines are then split
  // directly rather than field by field, so a long list is not cut at the
  // 16-bit position limit of xGetField.
  xLinesToTabs(text);
  std::vector<std::u16string> entries;
  size_t pos = 0;
  size_t lineNo = 0;
  while (pos < text.size() && entries.size() < limit) {
    ++lineNo;
    size_t tab = text.find(u'\t', pos);
    size_t end = tab == std::u16string::npos ? text.size() : tab;
    std::u16string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty()) continue;
    size_t hash = line.find(u'#');
    if (hash != std::u16string::npos) line.resize(hash);
    line = xTrimCrLf(line);
    if (line.empty()) continue;
    entries.push_back(std::move(line));
    if (lines) lines->push_back(lineNo);
  }
  return entries;
}

std::vector<std::u16string> ReadTargetList(const std::u16string& path) {
  try {
    FileLength(path);
  } catch (const VkError& e) {
    if (e.failure().number != ErrNo::FileNotFound) throw;
    return {};
  }
  // The reader also answers false for an empty file and for one it refuses
  // (not a regular file, too large; it logs why): no entries either way.
  std::u16string text;
  if (!ReadWholeFile(path, text)) return {};
  return ParseTargetList(std::move(text));
}

std::array<bool, 6> DefaultServiceTicks() { return {false, false, true, true, true, true}; }

EntryParts SplitEntry(const std::u16string& entry) {
  EntryParts parts;
  if (!entry.empty() && entry.front() == u'[') {
    const size_t close = entry.find(u']');
    if (close != std::u16string::npos && (close + 1 == entry.size() || entry[close + 1] == u':')) {
      parts.host = xNullTrim(entry.substr(1, close - 1));
      parts.bracketed = true;
      parts.hasPorts = close + 1 < entry.size();
      if (parts.hasPorts) parts.ports = entry.substr(close + 2);
      return parts;
    }
    parts.malformed = true;
  }
  parts.host = xGetField(entry, 1, u":");
  const size_t colon = entry.find(u':');
  parts.hasPorts = colon != std::u16string::npos;
  if (parts.hasPorts) parts.ports = entry.substr(colon + 1);
  return parts;
}

TargetEntry ApplyTargetEntry(const std::u16string& entry, SystemSettingsRecord& settings) {
  TargetEntry result;
  const EntryParts parts = SplitEntry(entry);
  for (int16_t n = 1; n <= kLastEntryField; ++n) {
    // Unbracketed entries split exactly as they always have.
    std::u16string field = !parts.bracketed ? xGetField(entry, n, u":")
                           : n == 1         ? parts.host
                           : parts.hasPorts ? xGetField(parts.ports, static_cast<int16_t>(n - 1), u":")
                                            : kMissingField;
    if (IsMissingField(field)) break;
    if (field.empty()) continue;
    if (n == 1) {
      result.target = field;
    } else if (IsPortList(field)) {
      result.ticked[n] = true;
      settings.*kPortFields[n - 2] = field;
    } else {
      result.ticked[n] = false;
    }
  }
  return result;
}

std::u16string ChooseEntryText(const std::optional<std::u16string>& selectedItem, const std::u16string& typedText) {
  if (selectedItem && !xNullTrim(*selectedItem).empty()) return *selectedItem;
  if (!xNullTrim(typedText).empty()) return typedText;
  return {};
}

std::u16string EntryHostField(const std::u16string& boxText) { return SplitEntry(boxText).host; }

std::u16string EntryHostName(const std::u16string& boxText) {
  std::u16string host = EntryHostField(boxText);
  return xTrimNul(host);
}

std::u16string TargetHostInfoLine(int count, int selectedIndex, const std::u16string& boxText) {
  std::u16string host = EntryHostName(boxText);
  if (count < 1) {
    if (host.empty()) host = u"TargetHostを入力してください。";
    return u"[TargetHost] " + host;
  }
  return u"[TargetHost：" + ToU16(selectedIndex + 1) + u"/" + ToU16(count) + u"] " + host;
}

std::optional<int16_t> MonitoringInterval(std::u16string_view interval) {
  if (interval.empty()) return std::nullopt;
  int32_t value = 0;
  for (char16_t c : interval) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
    if (value > INT16_MAX) value = INT16_MAX + 1;  // out of range for good; keep checking the digits
  }
  if (value < 1 || value > INT16_MAX) return std::nullopt;
  return static_cast<int16_t>(value);
}

std::u16string TimeoutInfoText(int16_t minuteCounter, const std::u16string& interval) {
  if (!MonitoringInterval(interval)) return {};
  return ToU16(minuteCounter) + u" / " + interval + u" 回";
}
