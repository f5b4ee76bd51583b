// What a screen reader sees of the navigator: a tool bar whose buttons each carry their hint as
// their name, report whether they are enabled and pressed, and can be pressed (the same action as a
// click). The interfaces belong to Qt's accessibility cache (made by the factory in
// ControlsAccessible.cpp, deleted with their widget). GUI thread only.
#pragma once

#include <QAccessibleWidget>

#include "controls/XbNavigator.h"

namespace tavrin::controls {

class TXbNavigatorAccessible final : public QAccessibleWidget {
 public:
  explicit TXbNavigatorAccessible(TXbNavigator* bar);
  QString text(QAccessible::Text t) const override;
};

class TNavButtonAccessible final : public QAccessibleWidget {
 public:
  explicit TNavButtonAccessible(TNavButton* button);
  QString text(QAccessible::Text t) const override;
  QAccessible::State state() const override;
  QStringList actionNames() const override;
  void doAction(const QString& actionName) override;

 private:
  TNavButton* Button() const { return static_cast<TNavButton*>(widget()); }
  TXbNavigator* Bar() const;
};

}  // namespace tavrin::controls
