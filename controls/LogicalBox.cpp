#include "controls/LogicalBox.h"

#include "controls/XbGrid.h"

namespace tavrin::controls {
namespace {

constexpr int kOutlinePen = 1;
constexpr int kMarkPen = 2;

}  // namespace

QRect LogicalBoxRect(const QRect& cell) {
  QRect box = cell;
  if (cell.width() >= cell.height())
    box = QRect(cell.left() + (cell.width() - cell.height()) / 2, cell.top(), cell.height(),
                cell.height());
  const int shrink = kOutlinePen + 1;
  return box.adjusted(shrink, shrink, -shrink, -shrink);
}

void DrawLogicalBox(QPainter& p, const QRect& cell, TXbBooleanBox style, bool value,
                    const QColor& ink) {
  using B = TXbBooleanBox;
  const QRect box = LogicalBoxRect(cell);
  p.save();
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(ink, kOutlinePen));
  // Outlines are drawn on the box's edge pixels (Qt's rectangles reach one pixel further).
  const QRect edge = box.adjusted(0, 0, -1, -1);
  switch (style) {
    case B::bbRButton:
    case B::bbRButtonRed: p.drawEllipse(edge); break;
    case B::bbCheckMark:
    case B::bbDot:
    case B::bbDotRed: break;
    default: p.drawRect(edge); break;
  }
  if (value) {
    const QColor fill =
        (style == B::bbFillBoxRed || style == B::bbRButtonRed || style == B::bbDotRed)
            ? QColor(Qt::red)
            : ink;
    p.setPen(QPen(ink, kMarkPen));
    switch (style) {
      case B::bbCheckMark:
        p.drawPolyline(QPolygon({QPoint(box.left() + 2, box.top() + box.width() / 2),
                                 QPoint(box.left() + box.width() / 3, box.bottom() - 2),
                                 QPoint(box.right() - 2, box.top())}));
        break;
      case B::bbFillBox:
      case B::bbFillBoxRed: p.fillRect(box.adjusted(1, 1, -1, -1), fill); break;
      case B::bbRButton:
      case B::bbRButtonRed:
      case B::bbDot:
      case B::bbDotRed:
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawEllipse(box.adjusted(2, 2, -2, -2));
        break;
      default:
        p.drawLine(box.topLeft() + QPoint(3, 3), box.bottomRight() - QPoint(3, 3));
        p.drawLine(QPoint(box.right() - 3, box.top() + 3),
                   QPoint(box.left() + 3, box.bottom() - 3));
        break;
    }
  }
  p.restore();
}

}  // namespace tavrin::controls
