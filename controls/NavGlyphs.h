// The navigator's button glyphs, drawn as vector shapes straight onto the button, so they stay
// sharp at any device pixel ratio. Each glyph has an enabled look and a disabled (embossed grey)
// look. GUI thread (needs a painter on a live device).
#pragma once

#include <QPainter>
#include <QRect>

namespace tavrin::controls {

enum class TNavigateBtn;

// The glyph's own size in layout pixels (14 x 13; 10 x 13 for Prior and Next).
QSize NavGlyphSize(TNavigateBtn button);
// Draws the glyph of `button` with its top-left corner at `origin`.
void DrawNavGlyph(QPainter& painter, TNavigateBtn button, QPointF origin, bool enabled);

}  // namespace tavrin::controls
