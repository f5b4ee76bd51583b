// The toolbar's glyphs, drawn by the program itself at 20 x 20 pixels (no image files needed).
// GUI thread (needs the application object).
#pragma once

#include <QIcon>

namespace tavrin::app {

enum class Glyph { Send, Undo, Cut, Copy, Paste, Properties, Browse, Attach, Close };

QIcon GlyphIcon(Glyph glyph);

// The desktop icon theme's icon for `glyph` where the theme has one, else the drawn glyph.
QIcon ThemeIcon(Glyph glyph);

}  // namespace tavrin::app
