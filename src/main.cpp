#include <QApplication>

#include "ui/frmvelkor.h"
#include "ui/startup.h"
#include "ui/uihooks.h"
#include "util/sigpipe.h"

int main(int argc, char* argv[]) {
  IgnoreSigPipe();
  QApplication app(argc, argv);
  InstallUiHooks();
  std::unique_ptr<FrmVelkor> window = Main();
  return app.exec();
}
