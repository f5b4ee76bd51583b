#include "controls/NavLayout.h"

#include <algorithm>

namespace tavrin::controls {

NavLayout ComputeNavLayout(int width, int height, std::bitset<kNavButtonCount> visible,
                           bool aligned) {
  NavLayout out;
  const int count = std::max<int>(1, static_cast<int>(visible.count()));
  width = std::max(width, count * (kNavMinButtonWidth - 1) + 1);
  height = std::max(height, kNavMinButtonHeight);
  const int step = (width - 1) / count;
  out.buttonWidth = step + 1;
  if (!aligned) width = count * step + 1;
  const int spare = width - count * step - 1;
  int running = count / 2;
  int x = 0;
  for (int i = 0; i < kNavButtonCount; ++i) {
    if (!visible[static_cast<std::size_t>(i)]) {
      out.buttons[static_cast<std::size_t>(i)] = QRect(width + 1, 0, out.buttonWidth, height);
      continue;
    }
    int extra = 0;
    if (spare != 0) {
      running -= spare;
      if (running < 0) {
        extra = 1;
        running += count;
      }
    }
    out.buttons[static_cast<std::size_t>(i)] = QRect(x, 0, out.buttonWidth + extra, height);
    x += out.buttonWidth - 1 + extra;
  }
  out.width = width;
  out.height = height;
  return out;
}

}  // namespace tavrin::controls
