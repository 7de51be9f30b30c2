// The window as the program runs it (close signals included), for the signal
// test: monitoring every tick against one port, on 127.0.0.1, that never
// speaks. Arguments: the program's directory, the port, the tick in ms. The
// file "shown" appears in the directory once the window is up.
#include <QApplication>
#include <QComboBox>
#include <QTimer>

#include <fstream>
#include <string>

#include "app/appstate.h"
#include "ui/closesignals.h"
#include "ui/diagwiring.h"
#include "ui/frmvelkor.h"
#include "ui/uihooks.h"
#include "util/codepage.h"
#include "util/sigpipe.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  IgnoreSigPipe();
  const std::string dir = argv[1];
  const std::u16string port = FromUtf8(argv[2]);
  const int tickMs = std::stoi(argv[3]);
  QApplication app(argc, argv);
  InstallUiHooks();
  SetProgramLocation(FromUtf8(dir), u"velkor");
  TargetListFilePath = FromUtf8(dir + "/VKRTARGET.INI");
  const SystemSettingsRecord settings{u"", port, port, port, port, u"taro", u"", u"1", u"1"};
  SetSettingsLoader([settings] { return SystemSettings = settings, true; });
  SystemSettings = settings;

  FrmVelkor w;
  InstallDiagRunner(w);
  InstallCloseSignals(w);
  w.SetMonitorTickMs(tickMs);
  w.findChild<QComboBox*>(QStringLiteral("CmbHosts"))->setEditText(QStringLiteral("127.0.0.1"));
  w.show();
  QTimer::singleShot(0, [dir] { std::ofstream(dir + "/shown") << "1"; });
  return app.exec();
}
