#include "app/settings.h"

#include <filesystem>
#include <system_error>

#include "app/appstate.h"
#include "app/paramdialogmodel.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/fileutil.h"
#include "util/log.h"
#include "util/scramble.h"
#include "util/xcommon.h"

namespace {

struct KeyField {
  const char16_t* key;
  std::u16string SystemSettingsRecord::*field;
};

// The writer's order: POP comes before SMTP.
constexpr KeyField kKeys[] = {
    {u"TARGET_HOST:", &SystemSettingsRecord::TargetHost},
    {u"POP_PORT:", &SystemSettingsRecord::PopPort},
    {u"SMTP_PORT:", &SystemSettingsRecord::SmtpPort},
    {u"FTP_PORT:", &SystemSettingsRecord::FtpPort},
    {u"HTTP_PORT:", &SystemSettingsRecord::HttpPort},
    {u"USER:", &SystemSettingsRecord::UserName},
    {u"PASS:", &SystemSettingsRecord::Password},
    {u"INTERVAL:", &SystemSettingsRecord::Interval},
    {u"RUNBAT:", &SystemSettingsRecord::RunBat},
};

// Cleans one settings line and stores its value when its key is known.
void TakeSettingsLine(std::u16string& line, SystemSettingsRecord& record) {
  for (char16_t& c : line)
    if (c == u'\r' || c == u'\n') c = u' ';
  xTabToSpace(line);
  line = xNullTrim(line);
  size_t hash = line.find(u'#');
  if (hash != std::u16string::npos) line.resize(hash);

  size_t colon = line.find(u':');
  if (colon == std::u16string::npos) return;  // no key
  std::u16string key = UpperAscii(xNullTrim(std::u16string_view(line).substr(0, colon + 1)));
  std::u16string value = xNullTrim(std::u16string_view(line).substr(colon + 1));
  for (const KeyField& k : kKeys) {
    if (key == k.key) {
      record.*k.field = value;
      return;
    }
  }
}

// Owner read/write alone, for the file and its backup; a file that already
// existed with wider permissions is narrowed as well.
void RestrictSettingsFileMode(const std::u16string& path) {
  namespace fs = std::filesystem;
  for (const std::u16string& p : {path, path + u".bak"}) {
    std::error_code ec;
    fs::path fp(ToUtf8(p));
    if (fs::is_regular_file(fp, ec))
      fs::permissions(fp, static_cast<fs::perms>(kSettingsFileMode), fs::perm_options::replace, ec);
  }
}

}  // namespace

void ReadSettingsText(const std::u16string& text, SystemSettingsRecord& record, std::u16string& line) {
  // A line runs up to and including the next LF; a last line without one
  // (never written by us) is taken as a line too.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t lf = text.find(u'\n', pos);
    size_t end = lf == std::u16string::npos ? text.size() : lf + 1;
    line = text.substr(pos, end - pos);
    pos = end;
    TakeSettingsLine(line, record);
  }
}

std::u16string SettingsText(const SystemSettingsRecord& record) {
  std::u16string text = std::u16string(kSettingsHeader) + u"\r\n";
  for (const KeyField& k : kKeys) {
    const std::u16string& value = record.*k.field;
    if (value.empty()) continue;
    text += k.key;
    text += u'\t';
    text += value;
    text += u"\r\n";
  }
  return text;
}

bool LoadSystemSettings() {
  std::u16string line;
  try {
    SystemSettings = SystemSettingsRecord{};

    // A missing or too short file leaves the text empty: no lines. A file
    // the reader refuses (not a regular file, too large) counts as missing.
    std::u16string text;
    bool refused = false;
    ReadWholeFile(SettingsFilePath, text, &refused);
    text = Base64DecodeText(text);
    text = ScrambleText(u"DEC", text);

    ReadSettingsText(text, SystemSettings, line);
    // No line is being processed any more. The last one may be the
    // password's, which must not reach the error log.
    line.clear();

    bool checked = ParamDialog().CheckSetting();
    if (refused) return false;
    int64_t size = FileLength(SettingsFilePath);
    return checked && size >= 1;
  } catch (...) {
    Failure f = CurrentFailure();
    if (f.number == ErrNo::FileNotFound) return false;
    ReportError(u"エラーが発生しました。 \r\nデータ:\t" + line);
    return false;
  }
}

bool SaveSystemSettings() {
  try {
    for (const KeyField& k : kKeys) SystemSettings.*k.field = xNullTrim(SystemSettings.*k.field);

    const std::u16string text = SettingsText(SystemSettings);

    // An empty result means the scrambling failed (it reported why); writing
    // nothing would only fail again.
    std::u16string stored = Base64EncodeText(ScrambleText(u"ENC", text));
    if (stored.empty()) return false;

    bool written = WriteWholeFile(SettingsFilePath, stored, kSettingsFileMode);
    RestrictSettingsFileMode(SettingsFilePath);
    // A failed write is said, and the dialog stays open: the operator must
    // not believe the settings saved.
    if (!written) {
      Failure f{ErrNo::FileAccess, SettingsFilePath, ErrorDescription(ErrNo::FileAccess)};
      ReportError(BuildErrorReport(u"", f, NumberForm::Signed, ReportLayout::A));
      return false;
    }
    return true;
  } catch (...) {
    Failure f = CurrentFailure();
    if (f.number == ErrNo::FileNotFound)
      ReportError(u"定義ファイル　" + SettingsFilePath + u"　がありません");
    else
      ReportError(BuildErrorReport(u"", f, NumberForm::Signed, ReportLayout::B));
    return false;
  }
}
