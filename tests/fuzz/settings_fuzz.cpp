// The settings reader: the file's bytes decoded (Base64, then "DEC"), read
// line by line into a record. Input: a key byte for writing back, then the
// file's bytes. What was read is written as the program writes it and read
// again: the same record must come back, and the decoded text itself must
// survive scrambling and encoding.
#include "app/settings.h"
#include "fuzz.h"
#include "util/base64.h"
#include "util/codepage.h"
#include "util/errreport.h"
#include "util/scramble.h"

namespace {

using Rec = SystemSettingsRecord;

// The reader's steps from the file's text to the record (LoadSystemSettings).
Rec Read(const std::u16string& file, std::u16string* plain = nullptr) {
  Rec record;
  std::u16string text, line;
  try {
    text = ScrambleText(u"DEC", Base64DecodeText(file));
  } catch (const VkError&) {
    return record;  // nothing but padding: the loader's failure report
  }
  ReadSettingsText(text, record, line);
  if (plain) *plain = text;
  return record;
}

std::vector<std::u16string> Fields(const Rec& r) {
  return {r.TargetHost, r.SmtpPort, r.PopPort, r.FtpPort, r.HttpPort, r.UserName, r.Password, r.Interval, r.RunBat};
}

}  // namespace

void Fuzz(FuzzInput in) {
  const int key = 3 + in.Byte() % 5;  // the writer's key letters, D to H
  SetScrambleKeyHook([key] { return key; });
  std::u16string plain;
  const Rec record = Read(FromAnsi(in.Rest()), &plain);

  for (const std::u16string& field : Fields(record)) {
    FUZZ_CHECK(field.find_first_of(u"\r\n\t#") == field.npos);
    FUZZ_CHECK(field.empty() || (field.front() != u' ' && field.back() != u' '));
  }
  // An empty result is a scrambling failure, which the writer reports.
  const std::u16string stored = Base64EncodeText(ScrambleText(u"ENC", SettingsText(record)));
  FUZZ_CHECK(stored.empty() || Fields(Read(stored)) == Fields(record));
  const std::u16string restored = Base64EncodeText(ScrambleText(u"ENC", plain));
  FUZZ_CHECK(restored.empty() || ScrambleText(u"DEC", Base64DecodeText(restored)) == plain);
}
