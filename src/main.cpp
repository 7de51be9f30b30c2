#include <QApplication>

#include "app/appstate.h"
#include "ui/frmvelkor.h"
#include "ui/startup.h"
#include "ui/uihooks.h"

int main(int argc, char* argv[]) {
  SetUpAppFiles();
  QApplication app(argc, argv);
  InstallUiHooks();
  std::unique_ptr<FrmVelkor> window = Main();
  return app.exec();
}
