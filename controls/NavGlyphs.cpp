#include "controls/NavGlyphs.h"

#include <QPainterPath>

#include "controls/XbNavigator.h"

namespace tavrin::controls {
namespace {

const QColor kInk(0, 0, 0);
const QColor kGreyInk(128, 128, 128);
const QColor kEmboss(255, 255, 255);

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
      p.drawPolygon(QPolygonF({{3, 3.5}, {4.5, 2}, {7, 4.5}, {9.5, 2}, {11, 3.5}, {8.5, 6}, {11, 8.5},
                               {9.5, 10}, {7, 7.5}, {4.5, 10}, {3, 8.5}, {5.5, 6}}));
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

}  // namespace

QSize NavGlyphSize(TNavigateBtn button) {
  const bool narrow = button == TNavigateBtn::nbPrior || button == TNavigateBtn::nbNext;
  return QSize(narrow ? 10 : 14, 13);
}

void DrawNavGlyph(QPainter& painter, TNavigateBtn button, QPointF origin, bool enabled) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  if (!enabled) {  // embossed: a white copy one pixel down and right under a grey one
    painter.save();
    painter.translate(origin + QPointF(1, 1));
    painter.setBrush(kEmboss);
    Shape(painter, button);
    painter.restore();
  }
  painter.translate(origin);
  painter.setBrush(enabled ? kInk : kGreyInk);
  Shape(painter, button);
  painter.restore();
}

}  // namespace tavrin::controls
