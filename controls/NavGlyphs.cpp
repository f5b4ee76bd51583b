#include "controls/NavGlyphs.h"

#include <QGuiApplication>
#include <QPainterPath>
#include <QWidget>
#include <cstdlib>

#include "controls/XbNavigator.h"

namespace tavrin::controls {
namespace {

QPolygonF LeftTriangle(qreal x, qreal w) { return QPolygonF({{x + w, 2}, {x + w, 11}, {x, 6.5}}); }
QPolygonF RightTriangle(qreal x, qreal w) { return QPolygonF({{x, 2}, {x, 11}, {x + w, 6.5}}); }

void Shape(QPainter& p, TNavigateBtn button) {
  switch (button) {
    case TNavigateBtn::nbFirst:
      p.drawRect(QRectF(3, 2, 2, 9));
      p.drawPolygon(LeftTriangle(5.5, 5));
      break;
    case TNavigateBtn::nbPrior: p.drawPolygon(LeftTriangle(2.5, 5)); break;
    case TNavigateBtn::nbNext: p.drawPolygon(RightTriangle(2.5, 5)); break;
    case TNavigateBtn::nbLast:
      p.drawPolygon(RightTriangle(3.5, 5));
      p.drawRect(QRectF(9, 2, 2, 9));
      break;
    case TNavigateBtn::nbInsert:
      p.drawRect(QRectF(6, 2, 2, 9));
      p.drawRect(QRectF(2.5, 5.5, 9, 2));
      break;
    case TNavigateBtn::nbDelete: p.drawRect(QRectF(2.5, 5.5, 9, 2)); break;
    case TNavigateBtn::nbEdit: p.drawPolygon(QPolygonF({{2, 10}, {12, 10}, {7, 3}})); break;
    case TNavigateBtn::nbPost:
      p.drawPolygon(QPolygonF({{2, 6.5}, {4, 4.5}, {6, 7}, {11, 2}, {13, 4}, {6, 11}}));
      break;
    case TNavigateBtn::nbCancel:
      p.drawPolygon(QPolygonF({{3, 3.5},
                               {4.5, 2},
                               {7, 4.5},
                               {9.5, 2},
                               {11, 3.5},
                               {8.5, 6},
                               {11, 8.5},
                               {9.5, 10},
                               {7, 7.5},
                               {4.5, 10},
                               {3, 8.5},
                               {5.5, 6}}));
      break;
    case TNavigateBtn::nbRefresh: {
      QPainterPath ring;
      ring.arcMoveTo(QRectF(2.5, 2, 9, 9), 60);
      ring.arcTo(QRectF(2.5, 2, 9, 9), 60, 270);
      ring.arcTo(QRectF(5, 4.5, 4, 4), 330, -270);
      ring.closeSubpath();
      p.drawPath(ring);
      p.drawPolygon(QPolygonF({{7.5, 0.5}, {12, 3.5}, {8, 6}}));
      break;
    }
  }
}

// The disabled glyph: the palette's own disabled button text, unless it is too close to the button
// face to be seen (some palettes leave it equal to the enabled ink or to the face).
QColor DisabledInk(const QPalette& palette) {
  const QColor face = palette.color(QPalette::Button);
  const QColor ink = palette.color(QPalette::Disabled, QPalette::ButtonText);
  if (std::abs(ink.lightness() - face.lightness()) >= 60 &&
      ink != palette.color(QPalette::Active, QPalette::ButtonText))
    return ink;
  return face.lightness() < 128 ? face.lighter(220) : face.darker(170);
}

}  // namespace

QSize NavGlyphSize(TNavigateBtn button) {
  const bool narrow = button == TNavigateBtn::nbPrior || button == TNavigateBtn::nbNext;
  return QSize(narrow ? 10 : 14, 13);
}

void DrawNavGlyph(QPainter& painter, TNavigateBtn button, QPointF origin, bool enabled) {
  const auto* widget = dynamic_cast<const QWidget*>(painter.device());
  DrawNavGlyph(painter, button, origin, enabled,
               widget != nullptr ? widget->palette() : QGuiApplication::palette());
}

void DrawNavGlyph(QPainter& painter, TNavigateBtn button, QPointF origin, bool enabled,
                  const QPalette& palette) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  if (!enabled) {  // embossed: a light copy one pixel down and right under a grey one
    painter.save();
    painter.translate(origin + QPointF(1, 1));
    painter.setBrush(palette.color(QPalette::Light));
    Shape(painter, button);
    painter.restore();
  }
  painter.translate(origin);
  painter.setBrush(enabled ? palette.color(QPalette::Active, QPalette::ButtonText)
                           : DisabledInk(palette));
  Shape(painter, button);
  painter.restore();
}

}  // namespace tavrin::controls
