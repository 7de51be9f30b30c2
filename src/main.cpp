#include <QApplication>

#include <cstdio>

#include "app/appstate.h"
#include "app/commandline.h"
#include "ui/frmvelkor.h"
#include "ui/startup.h"
#include "ui/uihooks.h"
#include "util/appfiles.h"
#include "util/codepage.h"
#include "util/sigpipe.h"

int main(int argc, char* argv[]) {
  IgnoreSigPipe();
  SetUpAppFiles();
  // Answered before Qt starts, so neither needs a display.
  const CommandLine line = ParseCommandLine(argc, argv);
  switch (line.action) {
    case CommandAction::Version:
      std::fputs(VersionText().c_str(), stdout);
      return kExitOk;
    case CommandAction::Help:
      std::fputs(HelpText(ToUtf8(CurrentAppFiles().configDir), ToUtf8(CurrentAppFiles().stateDir)).c_str(), stdout);
      return kExitOk;
    case CommandAction::Usage:
      std::fputs(UsageText(line.offending).c_str(), stderr);
      return kExitUsage;
    case CommandAction::Run:
      break;
  }
  QApplication app(argc, argv);
  // Ties the windows to the installed desktop entry (its icon and name in docks).
  QGuiApplication::setDesktopFileName(QStringLiteral("velkor"));
  InstallUiHooks();
  std::unique_ptr<FrmVelkor> window = Main();
  return app.exec();
}
