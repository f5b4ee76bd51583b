// The logical box's geometry in every style: where the box sits in its cell, which styles have an
// outline, and the mark each draws for true.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

#include "controls/LogicalBox.h"
#include "controls/XbGrid.h"

namespace tavrin::controls::test {
namespace {

using B = TXbBooleanBox;

QImage Draw(B style, bool value, QSize cell = QSize(30, 16)) {
  QImage image(cell, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter p(&image);
  DrawLogicalBox(p, QRect(QPoint(0, 0), cell), style, value, Qt::black);
  return image;
}

TEST(LogicalBoxTest, TheBoxIsTheCentredSquareOfTheCellHeightShrunkByTwo) {
  EXPECT_EQ(LogicalBoxRect(QRect(0, 0, 30, 16)), QRect(9, 2, 12, 12));
  EXPECT_EQ(LogicalBoxRect(QRect(0, 0, 10, 16)), QRect(2, 2, 6, 12))
      << "a narrow cell is the box itself";
}

TEST(LogicalBoxTest, EachStyleDrawsItsOutlineAndItsMarkForTrue) {
  const QPoint leftEdge(9, 8), centre(15, 8), nearCorner(10, 3);
  struct Case {
    B style;
    bool outline;       // a black pixel on the box's left edge
    QColor centreTrue;  // the box's centre when true
    QColor cornerTrue;  // the pixel one inside the outline's top-left corner when true
  };
  const QColor ink(Qt::black), paper(Qt::white), red(Qt::red);
  const Case cases[] = {
      {B::bbCheckBox, true, ink, paper},   {B::bbText, true, ink, paper},
      {B::bbFillBox, true, ink, ink},      {B::bbFillBoxRed, true, red, red},
      {B::bbCheckMark, false, ink, paper}, {B::bbRButton, true, ink, paper},
      {B::bbRButtonRed, true, red, paper}, {B::bbDot, false, ink, paper},
      {B::bbDotRed, false, red, paper},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.style));
    const QImage off = Draw(c.style, false), on = Draw(c.style, true);
    EXPECT_EQ(off.pixelColor(leftEdge), c.outline ? ink : paper);
    EXPECT_EQ(off.pixelColor(centre), paper) << "false draws no mark";
    EXPECT_EQ(on.pixelColor(centre), c.centreTrue);
    EXPECT_EQ(on.pixelColor(nearCorner), c.cornerTrue);
  }
  // The tick ends two pixels left of the box's top-right corner.
  EXPECT_EQ(Draw(B::bbCheckMark, true).pixelColor(18, 2), ink);
}

}  // namespace
}  // namespace tavrin::controls::test
