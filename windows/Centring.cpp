#include "windows/Centring.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace tavrin::app {

int HalfRoundedToEven(int freeSpace) {
  const int floorHalf = freeSpace >= 0 ? freeSpace / 2 : -((-freeSpace + 1) / 2);
  if (freeSpace % 2 == 0) return floorHalf;
  // Exactly halfway between floorHalf and floorHalf + 1: take the even one.
  return floorHalf % 2 == 0 ? floorHalf : floorHalf + 1;
}

void CentreOnScreen(QWidget& window) {
  const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  const QSize outer = window.frameGeometry().size();
  window.move(area.x() + HalfRoundedToEven(area.width() - outer.width()),
              area.y() + HalfRoundedToEven(area.height() - outer.height()));
}

}  // namespace tavrin::app
