// The toolbar's glyphs, drawn by the program itself at 20 x 20 pixels (no image files needed).
// GUI thread (needs the application object).
#pragma once

#include <QIcon>

namespace tavrin::app {

enum class Glyph { Send, Undo, Cut, Copy, Paste, Properties, Browse, Attach };

QIcon GlyphIcon(Glyph glyph);

}  // namespace tavrin::app
