// Where the navigator's buttons go: a pure computation from the proposed bar size and the set of
// visible buttons. Neighbouring buttons share their border column; hidden buttons are parked just
// right of the bar. Pure, any thread.
#pragma once

#include <QRect>
#include <array>
#include <bitset>

namespace tavrin::controls {

inline constexpr int kNavButtonCount = 10;
inline constexpr int kNavMinButtonWidth = 20;
inline constexpr int kNavMinButtonHeight = 18;

struct NavLayout {
  int width = 0;  // the bar's width and height after the layout
  int height = 0;
  int buttonWidth = 0;  // without the spare pixel some buttons get
  std::array<QRect, kNavButtonCount> buttons;
};

// `aligned`: the bar is sized by its container, so its width is kept and spare pixels are spread
// over the buttons; otherwise the width is rounded down to whole buttons.
NavLayout ComputeNavLayout(int width, int height, std::bitset<kNavButtonCount> visible,
                           bool aligned);

}  // namespace tavrin::controls
