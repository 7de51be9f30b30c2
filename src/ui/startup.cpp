#include "ui/startup.h"

#include "app/appstate.h"
#include "app/settings.h"
#include "ui/diagwiring.h"
#include "ui/frmvelkor.h"
#include "ui/frmvkrparam.h"

std::unique_ptr<FrmVelkor> Main() {
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
  w->show();
  return window;
}
