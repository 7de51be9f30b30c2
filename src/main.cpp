#include <QApplication>

#include "app/appstate.h"
#include "ui/frmvelkor.h"
#include "ui/uihooks.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  InstallUiHooks();
  SettingsFilePath = ProgramFilePath(kSettingsFileName);
  TargetListFilePath = ProgramFilePath(kTargetListFileName);
  SettingsMsgBoxFlag = false;
  FrmVelkor window;
  window.show();
  return app.exec();
}
