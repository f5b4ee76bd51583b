// The grid and the navigator under a dark palette: every text and glyph they draw must stand out
// from the background it is drawn on.
#include <QImage>
#include <QPainter>
#include <QPalette>

#include "ControlsFixture.h"
#include "controls/NavGlyphs.h"
#include "controls/XbGrid.h"
#include "controls/XbNavigator.h"

namespace tavrin::controls::test {
namespace {

QPalette Dark() {
  QPalette p(QColor(53, 53, 53), QColor(53, 53, 53));  // button, window
  p.setColor(QPalette::Base, QColor(42, 42, 42));
  for (auto role : {QPalette::Text, QPalette::ButtonText, QPalette::WindowText})
    p.setColor(role, QColor(230, 230, 230));
  return p;
}

// The lightest and the darkest pixel inside `r`.
std::pair<int, int> LightnessRange(const QImage& image, const QRect& r) {
  int low = 255, high = 0;
  for (int y = r.top(); y <= r.bottom(); ++y)
    for (int x = r.left(); x <= r.right(); ++x) {
      const int l = image.pixelColor(x, y).lightness();
      low = std::min(low, l);
      high = std::max(high, l);
    }
  return {low, high};
}

TEST(DarkPalette, NavigatorGlyphsAreLightWhenEnabledAndGreyButVisibleWhenDisabled) {
  const QPalette dark = Dark();
  // Some dark palettes leave the disabled text as bright as the enabled one; others as dark as the face.
  for (const QColor disabled : {QColor(230, 230, 230), QColor(60, 60, 60), QColor(127, 127, 127)}) {
    QPalette p = dark;
    p.setColor(QPalette::Disabled, QPalette::ButtonText, disabled);
    int ink[2] = {};
    for (bool enabled : {true, false}) {
      QImage image(20, 20, QImage::Format_RGB32);
      image.fill(p.color(QPalette::Button));
      QPainter painter(&image);
      DrawNavGlyph(painter, TNavigateBtn::nbFirst, QPointF(3, 3), enabled, p);
      painter.end();
      ink[enabled] = LightnessRange(image, image.rect()).second;
    }
    EXPECT_GE(ink[1], 200) << disabled.name().toStdString();
    EXPECT_GE(ink[0] - p.color(QPalette::Button).lightness(), 40) << disabled.name().toStdString();
    EXPECT_LE(ink[0], ink[1] - 40) << disabled.name().toStdString();
  }
}

class DarkGrid : public ControlsTest {};

TEST_F(DarkGrid, TextReadsOnThePalettesBaseAndOnAColumnsOwnLightColour) {
  Open(MakeTable({{"Ann", "ann@example.com"}, {"Bob", "bob@example.com"}}));
  TXbGrid grid;
  grid.SetDialogs(&dialogs_);
  grid.setPalette(Dark());
  grid.resize(300, 120);
  grid.SetDataSource(&source_);
  grid.Columns().Items(1)->SetColor(QColor(255, 255, 200));  // the layout's own pale yellow
  grid.show();
  const QImage shot = grid.viewport()->grab().toImage();
  // Bob's row is not highlighted: its cells show the text on the column's background.
  const auto [nameLow, nameHigh] = LightnessRange(shot, grid.CellRect(1, 1).adjusted(1, 1, -1, -1));
  EXPECT_LE(nameLow, 60);    // the dark base
  EXPECT_GE(nameHigh, 180);  // light text on it
  const auto [mailLow, mailHigh] = LightnessRange(shot, grid.CellRect(2, 1).adjusted(1, 1, -1, -1));
  EXPECT_GE(mailHigh, 220);  // the pale column
  EXPECT_LE(mailLow, 80);    // dark text on it, not the palette's light text
}

}  // namespace
}  // namespace tavrin::controls::test
