#include <QApplication>

#include "ui/frmvelkor.h"
#include "ui/startup.h"
#include "ui/uihooks.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  InstallUiHooks();
  std::unique_ptr<FrmVelkor> window = Main();
  return app.exec();
}
