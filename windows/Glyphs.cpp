#include "windows/Glyphs.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QPainterPath>
#include <QPixmap>

namespace tavrin::app {
namespace {

constexpr int kSize = 20;

// Dark ink on white paper as designed; under a dark palette the scheme turns round (light ink on
// dark paper), or the strokes drawn straight onto the bar would vanish into it.
struct Scheme {
  QColor ink, paper;
};
const Scheme kLight{QColor(40, 60, 110), QColor(250, 250, 245)};
const Scheme kDark{QColor(200, 215, 245), QColor(55, 62, 80)};
// Qt greys a disabled icon towards white on a dark bar, which looks enabled; it gets its own.
const Scheme kDarkDisabled{QColor(115, 115, 120), QColor(60, 60, 62)};
Scheme g_scheme = kLight;  // the one being drawn

bool DarkTheme() { return QGuiApplication::palette().color(QPalette::Window).lightness() < 128; }
QColor Ink() { return g_scheme.ink; }
QColor Paper() { return g_scheme.paper; }

void Page(QPainter& p, QRectF r) {
  p.setBrush(Paper());
  p.drawRect(r);
  for (qreal y = r.top() + 3; y < r.bottom() - 1; y += 3)
    p.drawLine(QPointF(r.left() + 2, y), QPointF(r.right() - 2, y));
}

void DrawSend(QPainter& p) {
  p.setBrush(Paper());
  p.drawRect(QRectF(2.5, 5.5, 15, 10));
  p.drawPolyline(QPolygonF({{2.5, 5.5}, {10, 11}, {17.5, 5.5}}));
}

void DrawUndo(QPainter& p) {
  QPainterPath arc;
  arc.moveTo(5, 8);
  arc.cubicTo(9, 3, 17, 5, 16, 12);
  arc.cubicTo(15.5, 15, 13, 16, 10, 16);
  p.setBrush(Qt::NoBrush);
  p.drawPath(arc);
  p.setBrush(Ink());
  p.drawPolygon(QPolygonF({{3, 4}, {3, 10}, {9, 9}}));
}

void DrawCut(QPainter& p) {
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(3, 12, 5, 5));
  p.drawEllipse(QRectF(12, 12, 5, 5));
  p.drawLine(QPointF(7, 12.5), QPointF(14, 2));
  p.drawLine(QPointF(13, 12.5), QPointF(6, 2));
}

void DrawCopy(QPainter& p) {
  Page(p, QRectF(2.5, 2.5, 10, 12));
  Page(p, QRectF(7.5, 5.5, 10, 12));
}

void DrawPaste(QPainter& p) {
  p.setBrush(QColor(190, 150, 90));
  p.drawRect(QRectF(3.5, 3.5, 13, 15));
  p.setBrush(Ink());
  p.drawRect(QRectF(7.5, 2, 5, 3));
  Page(p, QRectF(6.5, 7.5, 8, 9));
}

void DrawProperties(QPainter& p) {
  p.setBrush(Paper());
  p.drawEllipse(QRectF(4, 4, 12, 12));
  p.setBrush(Ink());
  p.drawEllipse(QRectF(8, 8, 4, 4));
  for (int i = 0; i < 8; ++i) {
    p.save();
    p.translate(10, 10);
    p.rotate(45.0 * i);
    p.drawRect(QRectF(-1.5, -8.5, 3, 3));
    p.restore();
  }
}

void DrawBrowse(QPainter& p) {
  p.setBrush(Paper());
  p.drawRect(QRectF(2.5, 3.5, 15, 13));
  for (qreal y = 7.5; y < 16; y += 3) p.drawLine(QPointF(2.5, y), QPointF(17.5, y));
  p.drawLine(QPointF(8.5, 3.5), QPointF(8.5, 16.5));
}

void DrawAttach(QPainter& p) {
  QPainterPath clip;
  clip.moveTo(7, 14);
  clip.lineTo(7, 5);
  clip.cubicTo(7, 1.5, 13, 1.5, 13, 5);
  clip.lineTo(13, 15);
  clip.cubicTo(13, 19, 5, 19, 5, 15);
  clip.lineTo(5, 7);
  p.setBrush(Qt::NoBrush);
  p.drawPath(clip);
}

// A door standing open, with the arrow of leaving.
void DrawClose(QPainter& p) {
  p.setBrush(Paper());
  p.drawRect(QRectF(3.5, 2.5, 9, 15));
  p.drawLine(QPointF(10.5, 10), QPointF(17, 10));
  p.setBrush(Ink());
  p.drawPolygon(QPolygonF({{18, 10}, {14.5, 7}, {14.5, 13}}));
}

QPixmap Render(Glyph glyph, const Scheme& scheme) {
  g_scheme = scheme;
  QPixmap pixmap(kSize, kSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Ink(), 1.4));
  switch (glyph) {
    case Glyph::Send: DrawSend(p); break;
    case Glyph::Undo: DrawUndo(p); break;
    case Glyph::Cut: DrawCut(p); break;
    case Glyph::Copy: DrawCopy(p); break;
    case Glyph::Paste: DrawPaste(p); break;
    case Glyph::Properties: DrawProperties(p); break;
    case Glyph::Browse: DrawBrowse(p); break;
    case Glyph::Attach: DrawAttach(p); break;
    case Glyph::Close: DrawClose(p); break;
  }
  p.end();
  return pixmap;
}

}  // namespace

QIcon GlyphIcon(Glyph glyph) {
  if (!DarkTheme()) return QIcon(Render(glyph, kLight));
  QIcon icon(Render(glyph, kDark));
  icon.addPixmap(Render(glyph, kDarkDisabled), QIcon::Disabled);
  return icon;
}

}  // namespace tavrin::app

namespace tavrin::app {

QIcon ThemeIcon(Glyph glyph) {
  static constexpr const char* kNames[] = {"mail-send",
                                           "edit-undo",
                                           "edit-cut",
                                           "edit-copy",
                                           "edit-paste",
                                           "preferences-system",
                                           "x-office-address-book",
                                           "mail-attachment",
                                           "window-close"};
  return QIcon::fromTheme(kNames[static_cast<int>(glyph)], GlyphIcon(glyph));
}

}  // namespace tavrin::app
