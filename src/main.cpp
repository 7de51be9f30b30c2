#include <QApplication>
#include <QWidget>

#include "app/appstate.h"
#include "ui/uihooks.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  InstallUiHooks();
  QWidget window;
  window.setWindowTitle(QString::fromStdU16String(GetAppTitle()));
  window.show();
  return app.exec();
}
