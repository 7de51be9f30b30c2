#include "app/paramdialogmodel.h"

#include "app/appstate.h"
#include "app/settings.h"
#include "util/errreport.h"
#include "util/log.h"
#include "util/xcommon.h"

namespace {

// Shown beside the check box: the batch that runs on a failed diagnosis.
constexpr char16_t kErrorBatchName[] = u"vkrRunErr.bat";

// The interval box holds minutes as a 16-bit value: at most five digits.
constexpr size_t kIntervalMaxChars = 5;
constexpr int kIntervalMax = 32767;

struct BoxField {
  std::u16string SystemSettingsRecord::*field;
  const char16_t* defaultText;
};

// In box order (Box): the field each box carries and its default.
constexpr BoxField kBoxFields[ParamDialogModel::kBoxCount] = {
    {&SystemSettingsRecord::TargetHost, u"localhost"},
    {&SystemSettingsRecord::SmtpPort, u"25"},
    {&SystemSettingsRecord::PopPort, u"110"},
    {&SystemSettingsRecord::FtpPort, u"21"},
    {&SystemSettingsRecord::HttpPort, u"80"},
    {&SystemSettingsRecord::UserName, u"pelnix"},
    {&SystemSettingsRecord::Password, u"pelnix"},
    {&SystemSettingsRecord::Interval, u"0"},
};

// RunBat read as an integer for the check box: 0, 1 or 2 (greyed). Anything
// else is a failure of the load.
int RunBatToValue(const std::u16string& runBat) {
  if (runBat.empty()) return 0;
  std::u16string t = xNullTrim(runBat);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) negative = t[i++] == u'-';
  if (i == t.size()) throw VkError(ErrNo::InvalidCall);
  long value = 0;
  for (; i < t.size(); ++i) {
    if (t[i] < u'0' || t[i] > u'9') throw VkError(ErrNo::InvalidCall);
    value = value * 10 + (t[i] - u'0');
    if (value > kIntervalMax) throw VkError(ErrNo::Overflow);
  }
  if (negative) value = -value;
  if (value < 0 || value > 2) throw VkError(ErrNo::InvalidCall);
  return static_cast<int>(value);
}

// Copies the previous flag back however the procedure is left.
class MsgBoxFlagRestore {
 public:
  MsgBoxFlagRestore() : m_saved(SettingsMsgBoxFlag) {}
  ~MsgBoxFlagRestore() { SettingsMsgBoxFlag = m_saved; }
  MsgBoxFlagRestore(const MsgBoxFlagRestore&) = delete;
  MsgBoxFlagRestore& operator=(const MsgBoxFlagRestore&) = delete;

 private:
  bool m_saved;
};

}  // namespace

ParamDialogModel& ParamDialog() {
  static ParamDialogModel dialog;
  return dialog;
}

void ParamDialogModel::Load() {
  if (m_loaded) return;
  m_loaded = true;
  Form_Load();
  NotifyView();
}

void ParamDialogModel::Unload() {
  if (!m_loaded) return;
  m_loaded = false;
  m_text = {};
  m_runBat = 0;
  m_caption.clear();
  m_runErrBatName.clear();
  NotifyView();
}

void ParamDialogModel::Form_Load() {
  try {
    m_caption = GetAppTitle();
    // Centring belongs to the display (it knows the screen).
    m_text[TxtInfo0].clear();
    m_runErrBatName = std::u16string(u"(") + kErrorBatchName + u")";
    for (int b = 0; b < kBoxCount; ++b) {
      const std::u16string& value = SystemSettings.*kBoxFields[b].field;
      m_text[b] = value.empty() ? std::u16string(kBoxFields[b].defaultText) : value;
    }
    SetRunBatValue(RunBatToValue(SystemSettings.RunBat));
  } catch (...) {
    ReportError(BuildErrorReport(u"Form_LoadERR:", CurrentFailure(), NumberForm::Signed, ReportLayout::C));
    WriteErrorLog(u"#Form_LoadERR#");
  }
}

const std::u16string& ParamDialogModel::Text(Box box) {
  Load();
  return m_text[box];
}

void ParamDialogModel::SetText(Box box, std::u16string text) {
  Load();
  m_text[box] = std::move(text);
}

int ParamDialogModel::RunBatValue() {
  Load();
  return m_runBat;
}

void ParamDialogModel::SetRunBatValue(int value) {
  Load();
  if (value == m_runBat) return;
  m_runBat = value;
  ChkRunBat_Click();
}

void ParamDialogModel::ChkRunBat_Click() {
  SystemSettings.RunBat = ToU16(m_runBat);
  NotifyView();
}

bool ParamDialogModel::CheckSetting() {
  Load();
  const std::u16string head = u"設定画面で正しい情報を入れてください。\r\n\r\n";
  const std::u16string required = head + u"（必須入力項目に値を入れて下さい｡）";
  const std::u16string number = head + u"（数字を入れてください。）";
  const std::u16string invalid = head + u"（指定に誤りがあります｡）";

  for (int b = 0; b < kBoxCount; ++b) {
    const std::u16string& raw = m_text[b];
    std::u16string trimmed = xNullTrim(raw);
    if (trimmed.empty()) {
      ReportError(required);
      return false;
    }
    bool numeric = b == TxtSMTPPort || b == TxtPopPort || b == TxtFtpPort || b == TxtHttpPort || b == TxtInterval;
    if (numeric && !xChkNum(raw)) {
      ReportError(number);
      return false;
    }
    if (b == TxtInterval) {
      // Digits only by now, so the value is never below 0.
      bool tooLong = raw.size() > kIntervalMaxChars;
      if (tooLong || std::stol(Narrow(raw)) > kIntervalMax) {
        ReportError(invalid);
        return false;
      }
    }
    SystemSettings.*kBoxFields[b].field = trimmed;
  }
  return true;
}

void ParamDialogModel::CmdSet_Click() {
  bool saved = false;
  {
    // Raised for the check and for the save, so that the operator who
    // pressed ＯＫ sees why the dialog stays open.
    MsgBoxFlagRestore restore;
    SettingsMsgBoxFlag = true;
    if (CheckSetting()) saved = SaveSystemSettings();
  }
  if (saved) Unload();
}

void ParamDialogModel::CmdClose_Click() { Unload(); }

void ParamDialogModel::NotifyView() {
  if (m_viewHook) m_viewHook();
}
