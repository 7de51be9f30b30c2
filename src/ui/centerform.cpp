#include "ui/centerform.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

void CenterForm(QWidget* window) {
  if (!window) return;
  QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect full = screen->geometry();
  // The outer size once the window has a frame; the client size before that.
  const QSize size = window->frameGeometry().size();
  window->move(full.x() + (full.width() - size.width()) / 2, full.y() + (full.height() - size.height()) / 2);
}
