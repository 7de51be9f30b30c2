#include "net/shares.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "net/smbshares.h"
#include "util/errreport.h"
#include "util/log.h"

namespace {

// Names shorter than this are padded with blanks so remarks line up.
constexpr size_t kNameColumn = 9;

// One share, field by field as the share information record has them. What
// an SMB listing cannot tell stays unknown (nullopt).
struct ShareRecord {
  std::u16string name;
  uint32_t type = 0;
  std::u16string remark;
  uint32_t permissions = 0;
  std::optional<int32_t> maxUses;  // -1: no limit
  std::optional<uint32_t> currentUses;
  std::optional<std::u16string> path;
  std::u16string password;
};

// Upper case for the sort keys: ASCII, Latin-1 and full-width Latin letters.
char16_t UpperChar(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);
  return c;
}

std::u16string Upper(const std::u16string& text) {
  std::u16string r = text;
  for (char16_t& c : r) c = UpperChar(c);
  return r;
}

bool Below(const std::u16string& a, const std::u16string& b, int32_t compareMode) {
  return compareMode == 0 ? a < b : Upper(a) < Upper(b);
}

std::u16string PaddedName(const std::u16string& name) {
  std::u16string r = name;
  if (r.size() < kNameColumn) r.append(kNameColumn - r.size(), u' ');
  return r;
}

std::u16string RemarkPart(const std::u16string& remark) {
  return remark.empty() ? std::u16string() : u" [" + remark + u"]";
}

std::u16string Decimal(int64_t value) {
  const std::string s = std::to_string(value);
  return std::u16string(s.begin(), s.end());
}

std::u16string BriefLines(const ShareRecord& s) { return PaddedName(s.name) + RemarkPart(s.remark) + u"\r\n"; }

std::u16string LongLines(const ShareRecord& s) {
  std::u16string r = u"\r\n　共有名： " + PaddedName(s.name) + RemarkPart(s.remark);
  if (!s.path) {
    r += u"\r\n　パス名： -- 不明 --";
  } else if (s.path->empty()) {
    r += u"\r\n　パス名： -- なし --";
  } else {
    r += u"\r\n　パス名： " + *s.path;
  }
  if (!s.maxUses) {
    r += u"\r\n　最大ユーザー数　： 不明";
  } else if (*s.maxUses == -1) {
    r += u"\r\n　最大ユーザー数　： 無制限";
  } else {
    r += u"\r\n　最大ユーザー数　： " + Decimal(*s.maxUses);
  }
  r += u"\r\n　現在のユーザー数： " + (s.currentUses ? Decimal(*s.currentUses) : std::u16string(u"不明"));
  return r + u"\r\n";
}

}  // namespace

std::u16string PtrToText(const char16_t* pointer) {
  // Texts are taken over whole, however long.
  return pointer ? std::u16string(pointer) : std::u16string();
}

void SortTexts(std::vector<std::u16string>& keys, int32_t first, int32_t last, int32_t compareMode) {
  if (keys.empty()) return;
  first = std::max<int32_t>(first, 0);
  last = std::min<int32_t>(last, static_cast<int32_t>(keys.size()) - 1);
  if (first >= last) return;
  const int32_t middle = first + (last - first) / 2;
  std::u16string pivot = std::move(keys[middle]);
  keys[middle] = std::move(keys[first]);
  int32_t boundary = first;
  for (int32_t i = first + 1; i <= last; ++i) {
    if (Below(keys[i], pivot, compareMode)) {
      ++boundary;
      std::swap(keys[boundary], keys[i]);
    }
  }
  keys[first] = std::move(keys[boundary]);
  keys[boundary] = std::move(pivot);
  SortTexts(keys, first, boundary - 1, compareMode);
  SortTexts(keys, boundary + 1, last, compareMode);
}

bool NetShareList(const std::u16string& server, std::u16string& listing, bool brief) {
  bool result = false;
  try {
    std::vector<ShareRecord> table(1);
    std::vector<std::u16string> keys(1);

    std::vector<SmbShare> shares;
    const SmbListing outcome = SmbEnumShares(server, shares);
    if (outcome == SmbListing::kListed) {
      for (const SmbShare& share : shares) {
        ShareRecord record;
        record.name = PtrToText(share.name.c_str());
        record.type = share.type;
        record.remark = PtrToText(share.remark.c_str());
        // Table order: the records as reported, the empty one kept last.
        table.insert(table.end() - 1, record);
        keys.insert(keys.end() - 1, Upper(record.name));
      }
      result = true;
    }

    SortTexts(keys, 0, static_cast<int32_t>(keys.size()) - 1, 0);

    std::u16string text;
    for (size_t k = 0; k < keys.size(); ++k) {
      // Share names differ in more than case; a repeated key would list its
      // shares twice.
      if (keys[k].empty() || (k > 0 && keys[k] == keys[k - 1])) continue;
      for (const ShareRecord& record : table) {
        if (!record.name.empty() && Upper(record.name) == keys[k]) text += brief ? BriefLines(record) : LongLines(record);
      }
    }
    // A refusal is told apart from a dead server: the check's text says so.
    listing = outcome == SmbListing::kRefused ? std::u16string(kShareListRefused) : std::move(text);
    return result;
  } catch (...) {
    ReportError(BuildErrorReport(u"", CurrentFailure(), NumberForm::Bare, ReportLayout::C));
    return result;
  }
}
