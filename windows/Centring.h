// Centring windows on the screen: half the free space on each axis, rounded to the nearest
// integer with halves going to the even neighbour. GUI thread.
#pragma once

class QWidget;

namespace tavrin::app {

// Half of `freeSpace`, rounded half to even (5 -> 2, 7 -> 4, -3 -> -2).
int HalfRoundedToEven(int freeSpace);

// Moves `window` so that its outer frame is centred on its screen.
void CentreOnScreen(QWidget& window);

}  // namespace tavrin::app
