// The box a logical cell is drawn as, in each of the grid's styles. Pure drawing: the caller
// supplies the cell, the style, the value and the font colour. GUI thread (a live painter).
#pragma once

#include <QColor>
#include <QPainter>
#include <QRect>

namespace tavrin::controls {

enum class TXbBooleanBox;

// The box inside `cell`: the largest square that fits the cell's height, centred (the whole cell
// when it is narrower than high), shrunk by the pen width + 1 on every side.
QRect LogicalBoxRect(const QRect& cell);
void DrawLogicalBox(QPainter& p, const QRect& cell, TXbBooleanBox style, bool value,
                    const QColor& ink);

}  // namespace tavrin::controls
