// TCustomXbGrid and TXbGrid: the data grid, drawn on a QAbstractScrollArea.
//
// Shows the records of a data source's dataset as rows and its fields as columns. It paints only
// the rows in view, from the dataset's window of buffered records (whose size it sets to the rows
// that fit), so a table of any size scrolls without being read whole. Owns its columns, its data
// link and its in-place editor; keeps a data source and dialogs it is given (not owned: they must
// outlive the grid or be unset first). Every handler catches a failure and shows it through the
// dialogs, so nothing leaves a Qt event handler. The in-place editor is open only over a cell being
// edited: hidden, it takes no key and keeps no text; a post or cancel closes it, and a new record
// starts at its first column. GUI thread only.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QFont>
#include <bitset>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "controls/XbGridColumns.h"
#include "dataset/DataSet.h"
#include "platform/Dialogs.h"

class QLineEdit;

namespace tavrin::controls {

enum class TXbGridOption {
  dgEditing,
  dgAlwaysShowEditor,
  dgTitles,
  dgIndicator,
  dgColumnResize,
  dgColLines,
  dgRowLines,
  dgTabs,
  dgRowSelect,
  dgAlwaysShowSelection,
  dgConfirmDelete,
  dgConfirmRestore
};

class TXbGridOptions {
 public:
  TXbGridOptions() = default;
  TXbGridOptions(std::initializer_list<TXbGridOption> options) {
    for (TXbGridOption o : options) bits_.set(static_cast<std::size_t>(o));
  }
  static TXbGridOptions Defaults();
  bool Has(TXbGridOption o) const { return bits_[static_cast<std::size_t>(o)]; }
  TXbGridOptions& Set(TXbGridOption o, bool on = true) {
    bits_.set(static_cast<std::size_t>(o), on);
    return *this;
  }
  bool operator==(const TXbGridOptions&) const = default;

 private:
  std::bitset<12> bits_;
};

enum class TXbBooleanBox {
  bbCheckBox,
  bbCheckMark,
  bbText,
  bbFillBox,
  bbFillBoxRed,
  bbRButton,
  bbRButtonRed,
  bbDot,
  bbDotRed
};

// The colours of one row, reset before the row is drawn; OnChangeColorsEvent may change them.
// An invalid CellColor or CellTextColor means "the column's own".
struct TXbRowColors {
  QColor IndicatorColor, CellColor, CellTextColor, HiliteColor, HiliteTextColor, DeletedColor,
      DeletedTextColor;
};

enum TXbGridDrawState { gdSelected = 1, gdFocused = 2, gdFixed = 4 };

class TCustomXbGrid : public QAbstractScrollArea {
  Q_OBJECT
 public:
  static constexpr int kIndicatorWidth = 11;
  static constexpr int kMaxMappedColumns = 16379;

  explicit TCustomXbGrid(QWidget* parent = nullptr);
  ~TCustomXbGrid() override;

  // ---- Properties
  void SetDataSource(dataset::TDataSource* source);
  dataset::TDataSource* DataSource() const;
  dataset::TDataSet* DataSet() const;
  TXbGridColumns& Columns() { return columns_; }
  TXbGridOptions Options() const { return options_; }
  void SetOptions(TXbGridOptions options);
  TXbBooleanBox BooleanBox() const { return booleanBox_; }
  void SetBooleanBox(TXbBooleanBox box);
  int FixedColumns() const { return fixedColumns_; }
  void SetFixedColumns(int count);
  bool DepressDisabled() const { return depressDisabled_; }
  void SetDepressDisabled(bool on);
  bool AutoAppend() const { return autoAppend_; }
  void SetAutoAppend(bool on) { autoAppend_ = on; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool on) { readOnly_ = on; }
  bool DefaultDrawing() const { return defaultDrawing_; }
  void SetDefaultDrawing(bool on) { defaultDrawing_ = on; }
  QFont TitleFont() const { return titleFont_.value_or(font()); }
  void SetTitleFont(const QFont& font);
  QColor Color() const;  // the data cells' background
  void SetColor(const QColor& color);
  QColor FixedColor() const;  // the title and indicator background
  void SetFixedColor(const QColor& color);
  void SetDialogs(platform::Dialogs* dialogs) { dialogs_ = dialogs; }

  // ---- Events (an unset event is skipped)
  using ColumnEvent = std::function<void(TCustomXbGrid&, TXbColumn*)>;
  using NotifyEvent = std::function<void(TCustomXbGrid&)>;
  ColumnEvent OnCellClick, OnTitleClick, OnDepressTitle;
  NotifyEvent OnColEnter, OnColExit, OnCornerLeftClick, OnCornerRightClick, OnDblClick,
      OnDefineFieldMap, OnIndicatorClick, OnEnter, OnExit;
  std::function<void(TCustomXbGrid&, int curRow, TXbRowColors&)> OnChangeColorsEvent;
  std::function<void(TCustomXbGrid&, QPainter&, const QRect&, dataset::TField*, int state)>
      OnDrawDataCell;
  std::function<void(TCustomXbGrid&, QPainter&, const QRect&, int dataCol, TXbColumn*, int state)>
      OnDrawColumnCell;
  std::function<void(TCustomXbGrid&, int fromIndex, int toIndex)> OnColumnMoved;
  // Key events run first; setting the key to 0 (or the character to null) swallows it.
  std::function<void(TCustomXbGrid&, int&key, Qt::KeyboardModifiers)> OnKeyDown, OnKeyUp;
  std::function<void(TCustomXbGrid&, QChar&)> OnKeyPress;

  // ---- State for the program and tests
  std::vector<int>& FieldMap() { return fieldMap_; }  // OnDefineFieldMap may change it
  int RowHeight() const { return rowHeight_; }
  int TitleRowHeight() const { return titleHeight_; }
  int VisibleDataRows() const { return visibleRows_; }
  int SelectedIndex() const { return col_ - indicatorOffset_; }  // the selected column's index
  TXbColumn* SelectedColumn() const;
  dataset::TField* SelectedField() const;
  int DepressedTitle() const { return depressed_; }  // -1: none
  bool EditorMode() const;
  QLineEdit* Editor() const { return editor_; }
  void ShowEditor();
  void HideEditor();
  // Cell rectangles in viewport coordinates: data row `row` (0 = first data row, -1 = title row) and
  // grid column `col` (0 = indicator when shown). Empty when out of view.
  QRect CellRect(int col, int row) const;
  // Rebuilds the layout (after columns, options or fonts changed).
  void LayoutChanged();

  // ---- What a screen reader reads (GridAccessible.cpp). Rows are the records in view (0 = the
  // first data row, -1 = the title row), columns the data columns (the indicator not counted).
  int AccessibleRowCount() const;
  int AccessibleCurrentRow() const;  // -1: no current record in view
  QString AccessibleCellText(int row,
                             int column) const;  // the editor's text while it edits that cell
  QRect AccessibleCellRect(int row, int column) const;  // viewport coordinates; empty out of view

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  bool focusNextPrevChild(bool next) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class Link;
  friend class TXbColumn;
  friend class TXbGridColumns;

  // Layout and link (XbGrid.cpp)
  void InternalLayout();
  void BuildFieldMap();
  void BuildAutomaticColumns();
  void UpdateRowCount();
  void UpdateScrollBars();
  void UpdateActive();
  void LinkActiveChanged();
  void LinkDataSetChanged();
  void LinkScrolled();
  void LinkRecordChanged(dataset::TField* field);
  void LinkEditingChanged();
  void LinkUpdateData();
  platform::Dialogs& Dialogs() const;
  int ColumnCount() const { return columns_.Count() + indicatorOffset_; }
  int ColumnWidth(int col) const;
  int ColLine() const;
  int RowLine() const;
  int TitlePitch() const;
  int DataTop(int row) const;
  int ColumnLeft(int col) const;
  int FixedCount() const;
  int ColumnAt(int x) const;
  int RowAt(int y) const;  // -1 title row, -2 nowhere, else data row
  void EnsureColumnVisible(int col);

  // Drawing (XbGridPaint.cpp)
  void ResetRowColors(int row);
  void DrawTitleCell(QPainter& p, int col, const QRect& r);
  void DrawIndicatorCell(QPainter& p, int row, const QRect& r);
  void DrawDataCell(QPainter& p, int col, int row, const QRect& r);
  void DrawCellText(QPainter& p, const QRect& r, const QString& text, Qt::Alignment align);
  void DrawLines(QPainter& p, int rows);
  bool Highlighted(int col, int row) const;
  bool GridFocused() const;
  // The current record's row; while painting moves the link's active record from row to row, the
  // row it had before.
  int CurrentRow() const;

  // Tells a listening screen reader what changed since it was last told (GridAccessible.cpp).
  void AccessibleUpdate();

  // Input and editing (XbGridInput.cpp)
  bool HandleKey(int key, Qt::KeyboardModifiers mods);
  void KeyUp(bool ctrl);
  void KeyDown(bool ctrl);
  void KeyHorizontal(int step, bool ctrl);
  void KeyHomeEnd(bool end, bool ctrl);
  void KeyTab(bool back);
  bool TakesTab(int col) const;
  int FirstTabColumn() const;  // the first column that takes Tab, or -1
  void KeyDelete();
  bool ConfirmHere(const char* question);
  void KeyEscape();
  void KeyEnter();
  void TypeChar(QChar ch);
  void SelectColumn(int col);
  void MoveRecords(int distance);
  bool CanEditModify();
  bool LogicalColumn() const;
  void ToggleLogical();
  void PositionEditor();
  void LoadEditorText();
  void ClearEditorText();
  void EditorTextEdited();
  void VerticalAction(int action);
  void VerticalThumb(int position);
  void TitleRelease(Qt::MouseButton button, int col);
  void DataPress(int col, int row);
  template <class Action>
  void Guard(Action&& action);

  std::unique_ptr<Link> link_;
  TXbGridColumns columns_{this};
  TXbGridOptions options_ = TXbGridOptions::Defaults();
  TXbBooleanBox booleanBox_ = TXbBooleanBox::bbCheckBox;
  int fixedColumns_ = 0;
  bool depressDisabled_ = false;
  bool autoAppend_ = true;
  bool readOnly_ = false;
  bool defaultDrawing_ = true;
  std::optional<QFont> titleFont_;
  std::optional<QColor> color_, fixedColor_;
  platform::Dialogs* dialogs_ = nullptr;

  int indicatorOffset_ = 1;
  int titleOffset_ = 1;
  std::vector<int> fieldMap_;
  int rowHeight_ = 17;
  int titleHeight_ = 18;
  int visibleRows_ = 1;
  int col_ = 1;      // the selected grid column
  int leftCol_ = 1;  // the first scrolled column in view
  int depressed_ = -1;
  int pressedCol_ = -1;
  std::vector<TXbRowColors> rowColors_;
  int paintCurrent_ = -1;  // the current row while a paint pass runs
  bool paintFailed_ = false;
  bool inLayout_ = false;
  bool inScrollUpdate_ = false;
  bool colExitRunning_ = false;
  int wheelRemainder_ = 0;  // the part of a wheel notch not yet scrolled

  QLineEdit* editor_ = nullptr;
  std::string editText_;  // the grid's copy of the editor's text
  QString editorMask_;    // the input mask last given to the editor
  bool editorShowing_ = false;
  bool startingEdit_ = false;  // the grid itself is putting the dataset into edit or insert

  // Column sizing and moving by mouse.
  enum class Drag { None, Size, Move } drag_ = Drag::None;
  int dragCol_ = -1;
  int dragStartX_ = 0;
  int dragStartWidth_ = 0;
  bool dragMoved_ = false;
  bool sizedOrMoved_ = false;
};

class TXbGrid final : public TCustomXbGrid {
  Q_OBJECT
 public:
  using TCustomXbGrid::TCustomXbGrid;
};

}  // namespace tavrin::controls

#include "controls/ControlSupport.h"

namespace tavrin::controls {

template <class Action>
void TCustomXbGrid::Guard(Action&& action) {
  Guarded(Dialogs(), std::forward<Action>(action));
}

}  // namespace tavrin::controls
