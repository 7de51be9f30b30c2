#include "ui/uihooks.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include "util/hooks.h"

void InstallUiHooks() {
  SetDoEventsHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
  SetMessageBoxHook([](const std::u16string& text, const std::u16string& caption) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdU16String(caption), QString::fromStdU16String(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
  });
}
