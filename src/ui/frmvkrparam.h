#pragma once
// The settings dialog FrmVKRParam: shows and edits the dialog's state
// (app/paramdialogmodel.h). Every control carries its name as its object name
// (TxtSMTPPort, TxtInfo0, ChkRunBat, CmdSet, ...).
#include <QDialog>

#include <array>

#include "app/paramdialogmodel.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

class FrmVKRParam : public QDialog {
  Q_OBJECT

 public:
  // Loads the dialog's state when it is not loaded (Form_Load) and shows
  // its contents as they stand.
  explicit FrmVKRParam(QWidget* parent = nullptr);
  ~FrmVKRParam() override;

 protected:
  void showEvent(QShowEvent* event) override;
  // The close box acts like 閉じる.
  void closeEvent(QCloseEvent* event) override;
  // No cancel button: Esc does nothing.
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;

 private:
  void BuildControls();
  void SetTabOrder();
  // Brings the controls in line with the state (after a load, an unload or
  // a change of the check box); closes the window once the state unloads.
  void ShowState();
  void ChkRunBat_Clicked();

  std::array<QLineEdit*, ParamDialogModel::kBoxCount> m_txt{};
  QCheckBox* m_chkRunBat = nullptr;
  QLabel* m_lblRunErrBatName = nullptr;
  QPushButton* m_cmdSet = nullptr;
  QPushButton* m_cmdClose = nullptr;
};

// Shows the settings dialog modally, loading it first when it is not loaded,
// and returns once it has been unloaded (ＯＫ after a save, 閉じる, close box).
void ShowParamDialog(QWidget* parent);
