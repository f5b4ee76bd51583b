// TCustomXbGrid: drawing the title row, the indicator column and the data cells of the rows in view.
#include <QLineEdit>
#include <QPainter>
#include <QPolygon>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <optional>

#include "controls/ControlSupport.h"
#include "controls/LogicalBox.h"
#include "controls/XbGrid.h"
#include "controls/XbGridLink.h"
#include "dataset/Locale.h"
#include "dataset/XbDataSet.h"

namespace tavrin::controls {
namespace {

constexpr int kIndicatorImageWidth = 6;
constexpr int kIndicatorImageHeight = 11;

enum class Indicator { Browse, Edit, Insert };

// The indicator's three 6 x 11 images: an arrow, an I-beam and an asterisk.
void DrawIndicatorImage(QPainter& p, Indicator which, QPoint at, const QColor& ink) {
  p.save();
  p.setPen(QPen(ink, 1));
  p.setBrush(ink);
  const int x = at.x(), y = at.y();
  switch (which) {
    case Indicator::Browse:
      p.drawPolygon(QPolygon({QPoint(x + 1, y + 1), QPoint(x + 1, y + 9), QPoint(x + 5, y + 5)}));
      break;
    case Indicator::Edit:
      p.drawLine(x + 3, y + 1, x + 3, y + 9);
      p.drawLine(x + 1, y + 1, x + 5, y + 1);
      p.drawLine(x + 1, y + 9, x + 5, y + 9);
      break;
    case Indicator::Insert:
      p.drawLine(x + 3, y + 2, x + 3, y + 8);
      p.drawLine(x + 0, y + 3, x + 6, y + 7);
      p.drawLine(x + 0, y + 7, x + 6, y + 3);
      break;
  }
  p.restore();
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// One pixel edges around `r`: light on top and left, dark below and right (swapped when sunken).
void DrawInnerEdge(QPainter& p, const QRect& r, bool sunken, const QPalette& pal) {
  const QColor light = pal.color(QPalette::Light), dark = pal.color(QPalette::Dark);
  p.setPen(sunken ? dark : light);
  p.drawLine(r.topLeft(), r.topRight());
  p.drawLine(r.topLeft(), r.bottomLeft());
  p.setPen(sunken ? light : dark);
  p.drawLine(r.bottomLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomRight());
}

// Text in the palette's colour stays on a background the palette chose; on a colour set for a
// column or title it could vanish (dark-theme text on a light column colour), so there the ink
// turns black or white, whichever reads.
QColor ReadableInk(const QColor& ink, const QColor& back) {
  if (std::abs(ink.lightness() - back.lightness()) >= 100) return ink;
  return back.lightness() >= 128 ? QColor(Qt::black) : QColor(Qt::white);
}

}  // namespace

bool TCustomXbGrid::GridFocused() const {
  return hasFocus() || (editor_ != nullptr && editor_->hasFocus());
}

int TCustomXbGrid::CurrentRow() const {
  return paintCurrent_ >= 0 ? paintCurrent_ : link_->ActiveRecord();
}

bool TCustomXbGrid::Highlighted(int col, int row) const {
  if (row != CurrentRow()) return false;
  if (!GridFocused() && !options_.Has(TXbGridOption::dgAlwaysShowSelection)) return false;
  return options_.Has(TXbGridOption::dgRowSelect) || col == col_;
}

void TCustomXbGrid::ResetRowColors(int row) {
  TXbRowColors& c = rowColors_.at(static_cast<std::size_t>(row));
  c.IndicatorColor = FixedColor();
  c.CellColor = QColor();
  c.CellTextColor = QColor();
  c.HiliteColor = palette().color(QPalette::Highlight);
  c.HiliteTextColor = palette().color(QPalette::HighlightedText);
  c.DeletedColor = QColor(Qt::red);
  c.DeletedTextColor = palette().color(QPalette::Text);
  if (OnChangeColorsEvent && DataSet() != nullptr)
    OnChangeColorsEvent(*this, row + titleOffset_, c);
}

void TCustomXbGrid::paintEvent(QPaintEvent*) {
  QPainter p(viewport());
  p.fillRect(viewport()->rect(), Color());
  const bool records = link_->Active() && link_->RecordCount() > 0;
  const int rows = records ? link_->RecordCount() : 1;
  if (rowColors_.size() < static_cast<std::size_t>(rows))
    rowColors_.resize(static_cast<std::size_t>(rows));
  std::vector<int> cols;
  for (int c = 0; c < ColumnCount(); ++c)
    if (CellRect(c, -1).isValid() || CellRect(c, 0).isValid()) cols.push_back(c);
  if (titleOffset_)
    for (int c : cols) DrawTitleCell(p, c, CellRect(c, -1));
  paintCurrent_ = link_->ActiveRecord();
  std::string failure;
  try {
    for (int r = 0; r < rows && r < visibleRows_; ++r) {
      std::optional<dataset::TRowScope> scope;
      if (records) scope.emplace(*link_, r);
      ResetRowColors(r);
      for (int c : cols) {
        const QRect cell = CellRect(c, r);
        if (c < indicatorOffset_) {
          DrawIndicatorCell(p, r, cell);
        } else {
          DrawDataCell(p, c, r, cell);
        }
      }
    }
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {  // a draw or colour handler may throw anything; it must not leave the paint
    failure = "An unexpected error stopped the operation.";
  }
  paintCurrent_ = -1;
  // A failure is shown once, after the paint (a message box may not open inside one); the same
  // failure on every later paint is not shown again until a paint succeeds.
  if (!failure.empty() && !paintFailed_) {
    QTimer::singleShot(0, this, [this, failure] { Dialogs().ShowMessage(failure); });
  }
  paintFailed_ = !failure.empty();
  DrawLines(p, std::min(rows, visibleRows_));
}

void TCustomXbGrid::DrawTitleCell(QPainter& p, int col, const QRect& r) {
  const bool framed =
      options_.Has(TXbGridOption::dgColLines) && options_.Has(TXbGridOption::dgRowLines);
  if (col < indicatorOffset_) {
    p.fillRect(r, FixedColor());
    if (framed) DrawInnerEdge(p, r, false, palette());
    return;
  }
  const int index = col - indicatorOffset_;
  const TXbColumn* column = columns_.Items(index);
  const QRect inner = framed ? r.adjusted(1, 1, -1, -1) : r;
  p.fillRect(r, column->Title().Color());
  p.save();
  p.setFont(column->Title().Font());
  p.setPen(ReadableInk(palette().color(QPalette::ButtonText), column->Title().Color()));
  DrawCellText(p, inner, ToQt(column->Title().Caption()), column->Title().Alignment());
  p.restore();
  if (framed) DrawInnerEdge(p, r, index == depressed_, palette());
}

void TCustomXbGrid::DrawIndicatorCell(QPainter& p, int row, const QRect& r) {
  p.fillRect(r, rowColors_.at(static_cast<std::size_t>(row)).IndicatorColor);
  if (!link_->Active() || DataSet() == nullptr || row != CurrentRow()) return;
  if (link_->RecordCount() == 0) return;
  Indicator which = Indicator::Browse;
  if (DataSet()->State() == dataset::TDataSetState::dsEdit) which = Indicator::Edit;
  if (DataSet()->State() == dataset::TDataSetState::dsInsert) which = Indicator::Insert;
  const QPoint at(r.left() + r.width() - 2 - kIndicatorImageWidth,
                  r.top() + (r.height() - kIndicatorImageHeight) / 2);
  DrawIndicatorImage(p, which, at,
                     ReadableInk(palette().color(QPalette::ButtonText),
                                 rowColors_.at(static_cast<std::size_t>(row)).IndicatorColor));
}

void TCustomXbGrid::DrawDataCell(QPainter& p, int col, int row, const QRect& r) {
  TXbColumn* column = columns_.Items(col - indicatorOffset_);
  if (!link_->Active() || link_->RecordCount() == 0) {
    p.fillRect(r, column->Color());
    return;
  }
  const TXbRowColors& rc = rowColors_.at(static_cast<std::size_t>(row));
  QColor back = rc.CellColor.isValid() ? rc.CellColor : column->Color();
  QColor ink = rc.CellTextColor.isValid() ? rc.CellTextColor
                                          : ReadableInk(palette().color(QPalette::Text), back);
  auto* table = dynamic_cast<dataset::TXbDataSet*>(DataSet());
  if (table != nullptr && table->RecordDeleted()) {
    back = rc.DeletedColor;
    ink = rc.DeletedTextColor;
  }
  const bool highlighted = Highlighted(col, row);
  if (highlighted) {
    back = rc.HiliteColor;
    ink = rc.HiliteTextColor;
  }
  dataset::TField* field = column->Field();
  int state = highlighted ? gdSelected : 0;
  if (highlighted && GridFocused()) state |= gdFocused;
  p.save();
  p.setFont(column->Font());
  p.setPen(ink);
  if (defaultDrawing_) {
    if (field != nullptr && field->DataType() == dataset::TFieldType::ftBoolean &&
        booleanBox_ != TXbBooleanBox::bbText) {
      p.fillRect(r, back);
      DrawLogicalBox(p, r, booleanBox_,
                     SameIgnoringCase(field->DisplayText(), dataset::LogicalFieldTexts().trueText),
                     ink);
    } else {
      p.fillRect(r, back);
      DrawCellText(p, r, field != nullptr ? ToQt(field->DisplayText()) : QString(),
                   column->Alignment());
    }
  } else {
    p.fillRect(r, back);
  }
  if (OnDrawDataCell) OnDrawDataCell(*this, p, r, field, state);
  if (OnDrawColumnCell) OnDrawColumnCell(*this, p, r, col - indicatorOffset_, column, state);
  p.restore();
  if (defaultDrawing_ && highlighted && GridFocused() &&
      !options_.Has(TXbGridOption::dgRowSelect)) {
    p.save();
    p.setPen(QPen(ink, 1, Qt::DotLine));
    p.setBrush(Qt::NoBrush);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    p.restore();
  }
}

void TCustomXbGrid::DrawCellText(QPainter& p, const QRect& r, const QString& text,
                                 Qt::Alignment align) {
  p.save();
  p.setClipRect(r);
  QRect area = r.adjusted(2, 2, -3, 0);
  Qt::Alignment h = align & Qt::AlignHorizontal_Mask;
  if (h == Qt::AlignLeft || h == 0) {
    area = r.adjusted(2, 2, 0, 0);
    h = Qt::AlignLeft;
  } else if (h == Qt::AlignHCenter) {
    area = r.adjusted(0, 2, 0, 0);
  }
  p.drawText(area, static_cast<int>(h | Qt::AlignTop | Qt::TextSingleLine), text);
  p.restore();
}

void TCustomXbGrid::DrawLines(QPainter& p, int rows) {
  const int bottom = DataTop(rows) - 1;
  int right = 0;
  for (int c = 0; c < ColumnCount(); ++c) {
    const QRect cell = CellRect(c, rows > 0 ? 0 : -1);
    if (!cell.isValid() && !CellRect(c, -1).isValid()) continue;
    const int x = ColumnLeft(c) + ColumnWidth(c);
    right = std::max(right, x);
    if (!ColLine()) continue;
    p.setPen(c < FixedCount() ? palette().color(QPalette::Dark) : palette().color(QPalette::Mid));
    p.drawLine(x, 0, x, bottom);
  }
  if (!RowLine()) return;
  p.setPen(palette().color(QPalette::Dark));
  if (titleOffset_) p.drawLine(0, titleHeight_, right, titleHeight_);
  p.setPen(palette().color(QPalette::Mid));
  for (int r = 0; r < rows; ++r) {
    const int y = DataTop(r) + rowHeight_;
    p.drawLine(0, y, right, y);
  }
}

}  // namespace tavrin::controls
