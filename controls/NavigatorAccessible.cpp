// The navigator bar and its buttons as accessible objects.
#include "controls/NavigatorAccessible.h"

namespace tavrin::controls {

TXbNavigatorAccessible::TXbNavigatorAccessible(TXbNavigator* bar)
    : QAccessibleWidget(bar, QAccessible::ToolBar) {}

QString TXbNavigatorAccessible::text(QAccessible::Text t) const {
  const QString own = QAccessibleWidget::text(t);
  if (t == QAccessible::Name && own.isEmpty()) return QStringLiteral("Record navigator");
  return own;
}

TNavButtonAccessible::TNavButtonAccessible(TNavButton* button)
    : QAccessibleWidget(button, QAccessible::Button) {}

TXbNavigator* TNavButtonAccessible::Bar() const {
  return qobject_cast<TXbNavigator*>(Button()->parentWidget());
}

QString TNavButtonAccessible::text(QAccessible::Text t) const {
  // The hint is the button's name: the glyph is its only face, and a tool tip would say it twice.
  if (t == QAccessible::Name) {
    const QString own = Button()->accessibleName();
    return own.isEmpty() ? Button()->toolTip() : own;
  }
  if (t == QAccessible::Description) return Button()->accessibleDescription();
  return QAccessibleWidget::text(t);
}

QAccessible::State TNavButtonAccessible::state() const {
  QAccessible::State s = QAccessibleWidget::state();
  s.pressed = Button()->isDown();
  // The bar keeps the keyboard focus itself and moves it between its buttons.
  const TXbNavigator* bar = Bar();
  s.focusable = bar != nullptr && bar->TabStop();
  s.focused = bar != nullptr && bar->hasFocus() && bar->FocusedButton() == Button()->Index();
  return s;
}

QStringList TNavButtonAccessible::actionNames() const {
  return {QAccessibleActionInterface::pressAction()};
}

void TNavButtonAccessible::doAction(const QString& actionName) {
  if (actionName != QAccessibleActionInterface::pressAction()) return;
  TXbNavigator* bar = Bar();
  if (bar != nullptr && Button()->isEnabled()) bar->BtnClick(Button()->Index());
}

}  // namespace tavrin::controls
