// What a screen reader sees of the data grid: a table of the records in view (rows) and the grid's
// columns, with a header cell per column title and the current cell as the focused, selected one.
// The grid draws everything itself, so these interfaces read the grid, never Qt's item models.
// The table interface belongs to Qt's accessibility cache (made by the factory in
// ControlsAccessible.cpp, deleted with the grid); it owns the cell interfaces it hands out and
// unregisters them when it goes. GUI thread only.
#pragma once

#include <QAccessibleWidget>
#include <QHash>
#include <QPointer>
#include <QStringList>

#include "controls/XbGrid.h"

namespace tavrin::controls {

class TXbGridAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
 public:
  explicit TXbGridAccessible(TCustomXbGrid* grid);
  ~TXbGridAccessible() override;

  TCustomXbGrid* Grid() const;
  // Compares the grid with what was last announced and sends the events for what changed: a
  // reshaped table, rows whose records changed, the current cell moved (focus to it while the grid
  // has the focus), the current cell's text changed.
  void Refresh();

  // QAccessibleInterface
  void* interface_cast(QAccessible::InterfaceType type) override;
  QAccessible::Role role() const override { return QAccessible::Table; }
  int childCount() const override;
  QAccessibleInterface* child(int index) const override;
  int indexOfChild(const QAccessibleInterface* child) const override;
  QAccessibleInterface* childAt(int x, int y) const override;
  QAccessibleInterface* focusChild() const override;

  // QAccessibleTableInterface: rows are the records in view, columns the grid's data columns.
  QAccessibleInterface* caption() const override { return nullptr; }
  QAccessibleInterface* summary() const override { return nullptr; }
  QAccessibleInterface* cellAt(int row, int column) const override;
  int selectedCellCount() const override;
  QList<QAccessibleInterface*> selectedCells() const override;
  QString columnDescription(int column) const override;
  QString rowDescription(int row) const override;
  int selectedColumnCount() const override { return 0; }
  int selectedRowCount() const override;
  int columnCount() const override;
  int rowCount() const override;
  QList<int> selectedColumns() const override { return {}; }
  QList<int> selectedRows() const override;
  bool isColumnSelected(int) const override { return false; }
  bool isRowSelected(int row) const override;
  // The selection is the current cell, moved with the grid's own keys: nothing selects from outside.
  bool selectRow(int) override { return false; }
  bool selectColumn(int) override { return false; }
  bool unselectRow(int) override { return false; }
  bool unselectColumn(int) override { return false; }
  void modelChange(QAccessibleTableModelChangeEvent*) override {}

  // A cell's interface; row -1 is the title row. Null outside the table.
  QAccessibleInterface* Cell(int row, int column) const;
  bool HasHeader() const;

 private:
  int HeaderCount() const { return HasHeader() ? columnCount() : 0; }

  mutable QHash<int, QAccessible::Id> cells_;
  int seenRows_ = -1, seenColumns_ = -1;
  int seenRow_ = -1, seenColumn_ = -1;
  QString seenText_;
  bool seenFocus_ = false;
  QStringList seenCells_;
};

class TXbGridCellAccessible final : public QAccessibleInterface,
                                    public QAccessibleTableCellInterface {
 public:
  TXbGridCellAccessible(TCustomXbGrid* grid, int row, int column);

  // QAccessibleInterface
  bool isValid() const override;
  QObject* object() const override { return nullptr; }
  QWindow* window() const override;
  QAccessibleInterface* parent() const override;
  QAccessibleInterface* child(int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QString text(QAccessible::Text t) const override;
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override;
  QAccessible::Role role() const override;
  QAccessible::State state() const override;
  void* interface_cast(QAccessible::InterfaceType type) override;

  // QAccessibleTableCellInterface
  bool isSelected() const override;
  int columnExtent() const override { return 1; }
  QList<QAccessibleInterface*> columnHeaderCells() const override;
  int columnIndex() const override { return column_; }
  int rowExtent() const override { return 1; }
  QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
  int rowIndex() const override { return row_; }
  QAccessibleInterface* table() const override { return parent(); }

 private:
  bool Current() const;
  TXbGridAccessible* Table() const;

  QPointer<TCustomXbGrid> grid_;
  int row_;     // -1: the title row
  int column_;  // the data column, not counting the indicator
};

}  // namespace tavrin::controls
