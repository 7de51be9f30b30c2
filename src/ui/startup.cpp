#include "ui/startup.h"

#include <QApplication>
#include <QIcon>

#include "app/appstate.h"
#include "app/settings.h"
#include "ui/closesignals.h"
#include "ui/diagwiring.h"
#include "ui/frmvelkor.h"
#include "ui/frmvkrparam.h"

namespace {
// The program's icon in the sizes the install puts in the menu's theme.
QIcon AppIcon() {
  QIcon icon;
  for (int n : {16, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/icons/hicolor/%1x%1/apps/velkor.png").arg(n), QSize(n, n));
  return icon;
}
}  // namespace

std::unique_ptr<FrmVelkor> Main() {
  QApplication::setWindowIcon(AppIcon());
  SettingsFilePath = ConfigFilePath(kSettingsFileName);
  TargetListFilePath = ConfigFilePath(kTargetListFileName);
  // The main window reloads the settings on each validation of its host box.
  SetSettingsLoader(LoadSystemSettings);

  // Problems met while loading go to the error log only.
  SettingsMsgBoxFlag = false;
  if (!LoadSystemSettings()) {
    // Whether the dialog saved anything is not examined: the main window
    // opens in any case, with the settings as the load and the dialog left them.
    SettingsMsgBoxFlag = true;
    ShowParamDialog(nullptr);
  }
  SettingsMsgBoxFlag = false;

  auto window = std::make_unique<FrmVelkor>();
  FrmVelkor* w = window.get();
  w->SetSettingsAction([w] { ShowParamDialog(w); });
  InstallDiagRunner(*w);
  InstallCloseSignals(*w);
  w->show();
  return window;
}
