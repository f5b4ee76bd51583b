// Makes the data grid and the navigator visible to screen readers: installs, once per process, the
// factory that gives Qt's accessibility layer their interfaces (GridAccessible.h,
// NavigatorAccessible.h). Each control calls it when it is made. GUI thread only.
#pragma once

#include <functional>

class QAccessibleEvent;

namespace tavrin::controls {

void InstallControlsAccessible();

// The events the controls raise themselves (the grid's current cell and values) go to Qt's
// accessibility layer, which passes them on only while a screen reader listens. A listener set
// here hears them instead, whether or not one does (tests; an empty listener restores Qt's way).
using AccessibleListener = std::function<void(QAccessibleEvent&)>;
void SetAccessibleListener(AccessibleListener listener);
bool AccessibleListening();
void Announce(QAccessibleEvent& event);

}  // namespace tavrin::controls
