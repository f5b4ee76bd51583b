// The navigator's button glyphs, drawn as vector shapes straight onto the button, so they stay
// sharp at any device pixel ratio. Each glyph has an enabled look and a disabled (embossed grey)
// look. GUI thread (needs a painter on a live device).
#pragma once

#include <QPainter>
#include <QPalette>
#include <QRect>

namespace tavrin::controls {

enum class TNavigateBtn;

// The glyph's own size in layout pixels (14 x 13; 10 x 13 for Prior and Next).
QSize NavGlyphSize(TNavigateBtn button);
// Draws the glyph of `button` with its top-left corner at `origin`, in the palette's button text
// colour (a greyed, embossed look when disabled), so it reads on light and dark button faces.
void DrawNavGlyph(QPainter& painter, TNavigateBtn button, QPointF origin, bool enabled,
                  const QPalette& palette);
// The same in the palette of the widget painted on (the application's for any other device).
void DrawNavGlyph(QPainter& painter, TNavigateBtn button, QPointF origin, bool enabled);

}  // namespace tavrin::controls
