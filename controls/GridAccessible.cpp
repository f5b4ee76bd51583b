// The data grid as an accessible table, and the grid's side of it: what a cell shows and where it is.
#include "controls/GridAccessible.h"

#include <QLineEdit>
#include <QStringList>
#include <QWidget>
#include <QWindow>
#include <algorithm>

#include "controls/ControlSupport.h"
#include "controls/ControlsAccessible.h"
#include "controls/XbGridLink.h"
#include "dataset/Locale.h"

namespace tavrin::controls {
namespace {

// Cells are cached by position; the title row is row -1. Grids have far fewer columns than this.
constexpr int kRowStride = 1 << 16;
int CellKey(int row, int column) { return (row + 1) * kRowStride + column; }

bool LogicalBoxColumn(TCustomXbGrid& grid, int column) {
  if (column < 0 || column >= grid.Columns().Count()) return false;
  const dataset::TField* f = grid.Columns().Items(column)->Field();
  return f != nullptr && f->DataType() == dataset::TFieldType::ftBoolean &&
         grid.BooleanBox() != TXbBooleanBox::bbText;
}

}  // namespace

// ---- The grid's side

int TCustomXbGrid::AccessibleRowCount() const {
  return link_->Active() ? std::min(link_->RecordCount(), visibleRows_) : 0;
}

int TCustomXbGrid::AccessibleCurrentRow() const {
  return AccessibleRowCount() > 0 ? link_->ActiveRecord() : -1;
}

QString TCustomXbGrid::AccessibleCellText(int row, int column) const {
  if (column < 0 || column >= columns_.Count()) return {};
  const TXbColumn* c = columns_.Items(column);
  if (row == -1) return ToQt(c->Title().Caption());
  if (row < 0 || row >= AccessibleRowCount()) return {};
  if (editorShowing_ && row == link_->ActiveRecord() && column == SelectedIndex())
    return editor_->text();
  dataset::TField* f = c->Field();
  if (f == nullptr) return {};
  try {
    dataset::TRowScope scope(*link_, row);
    return ToQt(f->DisplayText());
  } catch (...) {  // a field that cannot show its value reads as empty, as a failed paint leaves it
    return {};
  }
}

QRect TCustomXbGrid::AccessibleCellRect(int row, int column) const {
  return CellRect(column + indicatorOffset_, row);
}

void TCustomXbGrid::AccessibleUpdate() {
  if (!AccessibleListening()) return;
  if (auto* table = dynamic_cast<TXbGridAccessible*>(QAccessible::queryAccessibleInterface(this)))
    table->Refresh();
}

// ---- The table

TXbGridAccessible::TXbGridAccessible(TCustomXbGrid* grid)
    : QAccessibleWidget(grid, QAccessible::Table) {}

TXbGridAccessible::~TXbGridAccessible() {
  for (QAccessible::Id id : std::as_const(cells_)) QAccessible::deleteAccessibleInterface(id);
}

TCustomXbGrid* TXbGridAccessible::Grid() const { return static_cast<TCustomXbGrid*>(widget()); }

void* TXbGridAccessible::interface_cast(QAccessible::InterfaceType type) {
  if (type == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
  return QAccessibleWidget::interface_cast(type);
}

bool TXbGridAccessible::HasHeader() const { return Grid()->Options().Has(TXbGridOption::dgTitles); }
int TXbGridAccessible::rowCount() const { return Grid()->AccessibleRowCount(); }
int TXbGridAccessible::columnCount() const { return Grid()->Columns().Count(); }
int TXbGridAccessible::childCount() const { return HeaderCount() + rowCount() * columnCount(); }

QAccessibleInterface* TXbGridAccessible::Cell(int row, int column) const {
  if (column < 0 || column >= columnCount() || row < -1 || row >= rowCount()) return nullptr;
  if (row == -1 && !HasHeader()) return nullptr;
  const int key = CellKey(row, column);
  if (const auto it = cells_.constFind(key); it != cells_.constEnd())
    return QAccessible::accessibleInterface(*it);
  auto* cell = new TXbGridCellAccessible(Grid(), row, column);
  cells_.insert(key, QAccessible::registerAccessibleInterface(cell));
  return cell;
}

QAccessibleInterface* TXbGridAccessible::child(int index) const {
  if (index < 0) return nullptr;
  if (index < HeaderCount()) return Cell(-1, index);
  const int cols = columnCount();
  if (cols == 0) return nullptr;
  const int i = index - HeaderCount();
  return Cell(i / cols, i % cols);
}

int TXbGridAccessible::indexOfChild(const QAccessibleInterface* child) const {
  auto* self = const_cast<QAccessibleInterface*>(child);  // Qt's accessors are not const
  const auto* cell = self != nullptr ? self->tableCellInterface() : nullptr;
  if (cell == nullptr || self->parent() != this || !self->isValid()) return -1;
  if (cell->rowIndex() == -1) return cell->columnIndex();
  return HeaderCount() + cell->rowIndex() * columnCount() + cell->columnIndex();
}

QAccessibleInterface* TXbGridAccessible::childAt(int x, int y) const {
  const QPoint at = Grid()->viewport()->mapFromGlobal(QPoint(x, y));
  for (int row = HasHeader() ? -1 : 0; row < rowCount(); ++row)
    for (int column = 0; column < columnCount(); ++column)
      if (Grid()->AccessibleCellRect(row, column).contains(at)) return Cell(row, column);
  return nullptr;
}

QAccessibleInterface* TXbGridAccessible::focusChild() const {
  if (!Grid()->hasFocus()) return nullptr;
  return Cell(Grid()->AccessibleCurrentRow(), Grid()->SelectedIndex());
}

QAccessibleInterface* TXbGridAccessible::cellAt(int row, int column) const {
  return row >= 0 ? Cell(row, column) : nullptr;
}

int TXbGridAccessible::selectedCellCount() const { return selectedCells().size(); }

QList<QAccessibleInterface*> TXbGridAccessible::selectedCells() const {
  const int row = Grid()->AccessibleCurrentRow();
  if (row < 0) return {};
  QList<QAccessibleInterface*> cells;
  if (Grid()->Options().Has(TXbGridOption::dgRowSelect)) {
    for (int column = 0; column < columnCount(); ++column) cells << Cell(row, column);
  } else if (QAccessibleInterface* cell = Cell(row, Grid()->SelectedIndex())) {
    cells << cell;
  }
  return cells;
}

QString TXbGridAccessible::columnDescription(int column) const {
  return Grid()->AccessibleCellText(-1, column);
}

QString TXbGridAccessible::rowDescription(int) const { return {}; }

QList<int> TXbGridAccessible::selectedRows() const {
  const int row = Grid()->AccessibleCurrentRow();
  if (row < 0 || !Grid()->Options().Has(TXbGridOption::dgRowSelect)) return {};
  return {row};
}

int TXbGridAccessible::selectedRowCount() const { return selectedRows().size(); }
bool TXbGridAccessible::isRowSelected(int row) const { return selectedRows().contains(row); }

void TXbGridAccessible::Refresh() {
  TCustomXbGrid* g = Grid();
  const int rows = rowCount(), columns = columnCount();
  QStringList cells;  // what every cell in view shows, to tell which rows changed
  for (int row = 0; row < rows; ++row)
    for (int column = 0; column < columns; ++column) cells << g->AccessibleCellText(row, column);
  if (rows != seenRows_ || columns != seenColumns_) {
    QAccessibleTableModelChangeEvent reset(g, QAccessibleTableModelChangeEvent::ModelReset);
    Announce(reset);
  } else if (cells != seenCells_) {
    int first = rows, last = -1;
    for (int i = 0; i < cells.size(); ++i) {
      if (cells[i] == seenCells_[i]) continue;
      first = std::min(first, i / columns);
      last = std::max(last, i / columns);
    }
    QAccessibleTableModelChangeEvent changed(g, QAccessibleTableModelChangeEvent::DataChanged);
    changed.setFirstRow(first);
    changed.setLastRow(last);
    changed.setFirstColumn(0);
    changed.setLastColumn(columns - 1);
    Announce(changed);
  }
  seenRows_ = rows;
  seenColumns_ = columns;
  seenCells_ = cells;
  const int row = g->AccessibleCurrentRow(), column = g->SelectedIndex();
  const QString text = g->AccessibleCellText(row, column);
  const bool focused = g->hasFocus();
  if (row != seenRow_ || column != seenColumn_ || (focused && !seenFocus_)) {
    seenRow_ = row;
    seenColumn_ = column;
    seenText_ = text;
    // Qt announces the grid itself when it takes the focus, after its focus-in handler has run;
    // the cell follows it.
    if (focused) {
      QMetaObject::invokeMethod(
          g,
          [g] {
            auto* table =
                dynamic_cast<TXbGridAccessible*>(QAccessible::queryAccessibleInterface(g));
            if (table == nullptr || !g->hasFocus()) return;
            if (QAccessibleInterface* cell =
                    table->Cell(g->AccessibleCurrentRow(), g->SelectedIndex())) {
              QAccessibleEvent focus(cell, QAccessible::Focus);
              Announce(focus);
            }
          },
          Qt::QueuedConnection);
    }
  } else if (text != seenText_) {
    seenText_ = text;
    if (QAccessibleInterface* cell = Cell(row, column)) {
      QAccessibleEvent name(cell, QAccessible::NameChanged);
      Announce(name);
    }
  }
  seenFocus_ = focused;
}

// ---- A cell

TXbGridCellAccessible::TXbGridCellAccessible(TCustomXbGrid* grid, int row, int column)
    : grid_(grid), row_(row), column_(column) {}

TXbGridAccessible* TXbGridCellAccessible::Table() const {
  return grid_
             ? dynamic_cast<TXbGridAccessible*>(QAccessible::queryAccessibleInterface(grid_.data()))
             : nullptr;
}

bool TXbGridCellAccessible::isValid() const {
  if (!grid_) return false;
  if (column_ >= grid_->Columns().Count()) return false;
  return row_ == -1 ? grid_->Options().Has(TXbGridOption::dgTitles)
                    : row_ < grid_->AccessibleRowCount();
}

QWindow* TXbGridCellAccessible::window() const {
  return grid_ ? grid_->window()->windowHandle() : nullptr;
}

QAccessibleInterface* TXbGridCellAccessible::parent() const { return Table(); }

bool TXbGridCellAccessible::Current() const {
  return grid_ && row_ >= 0 && row_ == grid_->AccessibleCurrentRow() &&
         (column_ == grid_->SelectedIndex() || grid_->Options().Has(TXbGridOption::dgRowSelect));
}

QString TXbGridCellAccessible::text(QAccessible::Text t) const {
  if (!isValid() || t != QAccessible::Name) return {};
  return grid_->AccessibleCellText(row_, column_);
}

QRect TXbGridCellAccessible::rect() const {
  if (!isValid()) return {};
  const QRect r = grid_->AccessibleCellRect(row_, column_);
  if (!r.isValid()) return {};
  return QRect(grid_->viewport()->mapToGlobal(r.topLeft()), r.size());
}

QAccessible::Role TXbGridCellAccessible::role() const {
  return row_ == -1 ? QAccessible::ColumnHeader : QAccessible::Cell;
}

QAccessible::State TXbGridCellAccessible::state() const {
  QAccessible::State s;
  if (!isValid()) {
    s.invalid = true;
    return s;
  }
  if (!grid_->AccessibleCellRect(row_, column_).isValid()) {
    s.invisible = true;
    s.offscreen = true;
  }
  if (row_ == -1) return s;
  s.focusable = true;
  s.selectable = true;
  s.selected = Current();
  s.focused = Current() && grid_->hasFocus();
  TXbColumn* c = grid_->Columns().Items(column_);
  s.readOnly = grid_->ReadOnly() || c->ReadOnly() || c->Field() == nullptr;
  if (LogicalBoxColumn(*grid_, column_)) {
    s.checkable = true;
    s.checked = text(QAccessible::Name)
                    .compare(ToQt(dataset::LogicalFieldTexts().trueText), Qt::CaseInsensitive) == 0;
  }
  return s;
}

void* TXbGridCellAccessible::interface_cast(QAccessible::InterfaceType type) {
  return type == QAccessible::TableCellInterface ? static_cast<QAccessibleTableCellInterface*>(this)
                                                 : nullptr;
}

bool TXbGridCellAccessible::isSelected() const { return Current(); }

QList<QAccessibleInterface*> TXbGridCellAccessible::columnHeaderCells() const {
  TXbGridAccessible* table = Table();
  if (table == nullptr || row_ == -1) return {};
  QAccessibleInterface* header = table->Cell(-1, column_);
  return header != nullptr ? QList<QAccessibleInterface*>{header} : QList<QAccessibleInterface*>{};
}

}  // namespace tavrin::controls
