#include "controls/ControlsAccessible.h"

#include <QAccessible>

#include "controls/GridAccessible.h"
#include "controls/NavigatorAccessible.h"

namespace tavrin::controls {
namespace {

// Qt asks with each class name of the object, the most derived first.
QAccessibleInterface* Factory(const QString& key, QObject* object) {
  if (key == QLatin1String(TCustomXbGrid::staticMetaObject.className()))
    return new TXbGridAccessible(static_cast<TCustomXbGrid*>(object));
  if (key == QLatin1String(TXbNavigator::staticMetaObject.className()))
    return new TXbNavigatorAccessible(static_cast<TXbNavigator*>(object));
  if (key == QLatin1String(TNavButton::staticMetaObject.className()))
    return new TNavButtonAccessible(static_cast<TNavButton*>(object));
  return nullptr;
}

AccessibleListener& Listener() {
  static AccessibleListener listener;
  return listener;
}

}  // namespace

void SetAccessibleListener(AccessibleListener listener) { Listener() = std::move(listener); }

bool AccessibleListening() { return Listener() || QAccessible::isActive(); }

void Announce(QAccessibleEvent& event) {
  if (Listener()) {
    Listener()(event);
  } else {
    QAccessible::updateAccessibility(&event);
  }
}

void InstallControlsAccessible() {
  static const bool installed = [] {
    QAccessible::installFactory(Factory);
    return true;
  }();
  (void)installed;
}

}  // namespace tavrin::controls
