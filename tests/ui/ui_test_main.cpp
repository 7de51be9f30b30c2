// Entry of the window tests: one QApplication for the whole test program.
#include <gtest/gtest.h>

#include <QApplication>

#include "util/sigpipe.h"

int main(int argc, char** argv) {
  IgnoreSigPipe();
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
