#include "support/reportcapture.h"

#include "app/appstate.h"
#include "util/codepage.h"
#include "util/hooks.h"
#include "util/log.h"

ReportCapture::ReportCapture() {
  SetProgramLocation(m_dir.path16(), u"velkor");
  ResetErrorLogPrefix();
  SettingsMsgBoxFlag = true;
  SetMessageBoxHook([this](const std::u16string& text, const std::u16string&) { m_reports.push_back(text); });
}

ReportCapture::~ReportCapture() {
  SetMessageBoxHook({});
  SettingsMsgBoxFlag = false;
  ResetErrorLogPrefix();
}

std::string ReportCapture::Dump() const {
  std::string out;
  for (const auto& r : m_reports) out += ToUtf8(r) + "\n";
  return out;
}
