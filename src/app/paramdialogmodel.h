#pragma once
// The settings dialog's state, without a display: whether it is loaded, the
// contents of its boxes and its check box, and its procedures. The Qt dialog
// (ui/frmvkrparam.h) shows and edits this state; the settings loader checks
// it while it stays unseen.
#include <array>
#include <functional>
#include <string>

class ParamDialogModel {
 public:
  // The dialog's text boxes, in the order of their check.
  enum Box { TxtTarget, TxtSMTPPort, TxtPopPort, TxtFtpPort, TxtHttpPort, TxtInfo0, TxtInfo1, TxtInterval };
  static constexpr int kBoxCount = 8;

  // Loaded: the boxes exist and keep their contents, shown or not.
  bool IsLoaded() const { return m_loaded; }
  // Loads the dialog when it is not loaded (Form_Load); otherwise nothing.
  void Load();
  // Drops the contents; the next use loads the dialog afresh.
  void Unload();

  // The boxes; reading or editing one loads the dialog first, as any use does.
  const std::u16string& Text(Box box);
  void SetText(Box box, std::u16string text);
  // ChkRunBat's value: 0, 1, or 2 (greyed). A change raises ChkRunBat_Click,
  // whether it comes from the operator or from code.
  int RunBatValue();
  void SetRunBatValue(int value);

  const std::u16string& Caption() const { return m_caption; }
  const std::u16string& RunErrBatNameCaption() const { return m_runErrBatName; }

  // Validates the boxes in order and copies each one that passed into
  // SystemSettings; reports the first failure and answers false.
  bool CheckSetting();
  // ＯＫ: check, save, unload on success.
  void CmdSet_Click();
  // 閉じる (and the close box): unload without checking or saving.
  void CmdClose_Click();

  // The display attached to this state: told after every change made by code
  // (load, unload, the check box written back).
  void SetViewHook(std::function<void()> hook) { m_viewHook = std::move(hook); }

 private:
  void Form_Load();
  void ChkRunBat_Click();
  void NotifyView();

  bool m_loaded = false;
  std::array<std::u16string, kBoxCount> m_text;
  int m_runBat = 0;
  std::u16string m_caption;
  std::u16string m_runErrBatName;
  std::function<void()> m_viewHook;
};

// The single settings dialog of the process (created on first use).
ParamDialogModel& ParamDialog();
