// TCustomXbGrid: the data link, the layout, the geometry of cells and the scroll bars.
#include "controls/XbGrid.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QResizeEvent>
#include <QScrollBar>
#include <algorithm>

#include "controls/ControlSupport.h"
#include "controls/ControlsAccessible.h"
#include "controls/XbGridLink.h"
#include "dataset/XbDataSet.h"

namespace tavrin::controls {

using dataset::TDataSetState;

TXbGridOptions TXbGridOptions::Defaults() {
  using O = TXbGridOption;
  return {O::dgEditing,  O::dgTitles, O::dgIndicator,     O::dgColumnResize,  O::dgColLines,
          O::dgRowLines, O::dgTabs,   O::dgConfirmDelete, O::dgConfirmRestore};
}

// ---- Life and properties

TCustomXbGrid::TCustomXbGrid(QWidget* parent)
    : QAbstractScrollArea(parent), link_(std::make_unique<Link>(*this)) {
  InstallControlsAccessible();
  setFocusPolicy(Qt::StrongFocus);
  setFrameShape(QFrame::Box);
  setFrameShadow(QFrame::Plain);
  setLineWidth(1);
  viewport()->setAutoFillBackground(false);
  setMouseTracking(true);
  viewport()->setMouseTracking(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  editor_ = new QLineEdit(viewport());
  editor_->setObjectName("InplaceEditor");
  editor_->setFrame(false);
  editor_->hide();
  editor_->installEventFilter(this);
  connect(editor_, &QLineEdit::textEdited, this, [this] { EditorTextEdited(); });
  QScrollBar* v = verticalScrollBar();
  connect(v, &QAbstractSlider::actionTriggered, this,
          [this](int action) { VerticalAction(action); });
  connect(v, &QAbstractSlider::sliderReleased, this,
          [this] { VerticalThumb(verticalScrollBar()->sliderPosition()); });
  InternalLayout();
}

TCustomXbGrid::~TCustomXbGrid() {
  editor_->removeEventFilter(
      this);  // the editor outlives this part of the grid while Qt tears down
  link_->SetDataSource(nullptr);
}

void TCustomXbGrid::SetDataSource(dataset::TDataSource* source) {
  if (source == link_->DataSource()) return;
  link_->SetDataSource(source);
  LinkActiveChanged();
}

dataset::TDataSource* TCustomXbGrid::DataSource() const { return link_->DataSource(); }
dataset::TDataSet* TCustomXbGrid::DataSet() const { return link_->DataSet(); }

void TCustomXbGrid::SetOptions(TXbGridOptions options) {
  if (options.Has(TXbGridOption::dgRowSelect))
    options.Set(TXbGridOption::dgEditing, false).Set(TXbGridOption::dgAlwaysShowEditor, false);
  if (options == options_) return;
  options_ = options;
  LayoutChanged();
}

void TCustomXbGrid::SetBooleanBox(TXbBooleanBox box) {
  booleanBox_ = box;
  LayoutChanged();
}

void TCustomXbGrid::SetFixedColumns(int count) {
  fixedColumns_ = std::max(count, 0);
  LayoutChanged();
}

void TCustomXbGrid::SetDepressDisabled(bool on) {
  if (on && !depressDisabled_) depressed_ = -1;
  depressDisabled_ = on;
  viewport()->update();
}

void TCustomXbGrid::SetTitleFont(const QFont& font) {
  titleFont_ = font;
  LayoutChanged();
}

QColor TCustomXbGrid::Color() const { return color_.value_or(palette().color(QPalette::Base)); }
void TCustomXbGrid::SetColor(const QColor& color) {
  color_ = color;
  viewport()->update();
}
QColor TCustomXbGrid::FixedColor() const {
  return fixedColor_.value_or(palette().color(QPalette::Button));
}
void TCustomXbGrid::SetFixedColor(const QColor& color) {
  fixedColor_ = color;
  viewport()->update();
}

platform::Dialogs& TCustomXbGrid::Dialogs() const { return DialogsFor(dialogs_, DataSet()); }

TXbColumn* TCustomXbGrid::SelectedColumn() const {
  const int i = col_ - indicatorOffset_;
  return (i >= 0 && i < columns_.Count()) ? columns_.Items(i) : nullptr;
}

dataset::TField* TCustomXbGrid::SelectedField() const {
  TXbColumn* c = SelectedColumn();
  return c != nullptr ? c->Field() : nullptr;
}

// ---- Layout

void TCustomXbGrid::LayoutChanged() {
  if (inLayout_) return;
  Guard([this] { InternalLayout(); });
}

void TCustomXbGrid::BuildFieldMap() {
  fieldMap_.clear();
  dataset::TDataSet* ds = link_->Active() ? DataSet() : nullptr;
  if (columns_.HasStoredColumns()) {
    for (int i = 0; i < columns_.Count(); ++i) {
      dataset::TField* f = ds != nullptr ? ds->FindField(columns_.Items(i)->FieldName()) : nullptr;
      int index = -1;
      for (int k = 0; f != nullptr && k < ds->FieldCount(); ++k)
        if (ds->Field(k) == f) index = k;
      fieldMap_.push_back(index);
    }
  } else if (ds != nullptr) {
    for (int k = 0; k < ds->FieldCount(); ++k) fieldMap_.push_back(k);
  }
  if (OnDefineFieldMap) OnDefineFieldMap(*this);
  if (static_cast<int>(fieldMap_.size()) > kMaxMappedColumns) {
    fieldMap_.clear();
    throw std::runtime_error("Too many columns in grid");
  }
}

void TCustomXbGrid::BuildAutomaticColumns() {
  dataset::TDataSet* ds = link_->Active() ? DataSet() : nullptr;
  auto fieldOf = [&](int map) -> dataset::TField* {
    return (ds != nullptr && map >= 0 && map < ds->FieldCount()) ? ds->Field(map) : nullptr;
  };
  if (columns_.HasStoredColumns()) {
    for (int i = 0; i < columns_.Count(); ++i)
      columns_.Items(i)->field_ = i < static_cast<int>(fieldMap_.size())
                                      ? fieldOf(fieldMap_[static_cast<std::size_t>(i)])
                                      : nullptr;
    return;
  }
  std::vector<std::unique_ptr<TXbColumn>> old = std::move(columns_.items_);
  columns_.items_.clear();
  for (int map : fieldMap_) {
    dataset::TField* f = fieldOf(map);
    auto same = std::find_if(old.begin(), old.end(), [&](const auto& c) {
      return c && c->FieldName() == (f ? f->FieldName() : "");
    });
    std::unique_ptr<TXbColumn> c =
        same != old.end() ? std::move(*same) : std::make_unique<TXbColumn>(&columns_, true);
    c->fieldName_ = f != nullptr ? f->FieldName() : std::string();
    c->field_ = f;
    columns_.items_.push_back(std::move(c));
  }
  if (columns_.items_.empty())
    columns_.items_.push_back(std::make_unique<TXbColumn>(&columns_, true));
}

void TCustomXbGrid::InternalLayout() {
  inLayout_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{inLayout_};
  if (columns_.HasStoredColumns()) {  // automatic columns do not mix with stored ones
    std::erase_if(columns_.items_, [](const auto& c) { return c->Automatic(); });
  }
  indicatorOffset_ = options_.Has(TXbGridOption::dgIndicator) ? 1 : 0;
  BuildFieldMap();
  BuildAutomaticColumns();
  titleOffset_ = options_.Has(TXbGridOption::dgTitles) ? 1 : 0;
  for (const auto& c : columns_.items_) c->measuredWidth_ = -1;
  rowHeight_ = QFontMetrics(font()).size(0, QStringLiteral("Wg")).height() + 3 + RowLine();
  titleHeight_ = 0;
  for (int i = 0; i < columns_.Count(); ++i)
    titleHeight_ = std::max(
        titleHeight_,
        QFontMetrics(columns_.Items(i)->Title().Font()).size(0, QStringLiteral("Wg")).height() + 4);
  if (columns_.Count() == 0)
    titleHeight_ = QFontMetrics(TitleFont()).size(0, QStringLiteral("Wg")).height() + 4;
  col_ = std::clamp(col_, FixedCount(), std::max(FixedCount(), ColumnCount() - 1));
  leftCol_ = std::clamp(leftCol_, FixedCount(), std::max(FixedCount(), ColumnCount() - 1));
  if (depressed_ >= columns_.Count()) depressed_ = -1;
  UpdateRowCount();
  UpdateScrollBars();
  UpdateActive();
  viewport()->update();
  AccessibleUpdate();
}

void TCustomXbGrid::UpdateRowCount() {
  const int available = viewport()->height() - (titleOffset_ ? TitlePitch() : 0);
  visibleRows_ = std::max(1, available / (rowHeight_ + RowLine()));
  if (link_->Active()) link_->SetBufferCount(visibleRows_);
  if (rowColors_.size() < static_cast<std::size_t>(visibleRows_ + 1))
    rowColors_.resize(static_cast<std::size_t>(visibleRows_ + 1));
}

void TCustomXbGrid::UpdateActive() {
  if (editorShowing_ && !options_.Has(TXbGridOption::dgAlwaysShowEditor) && !link_->Active())
    HideEditor();
  if (editorShowing_) PositionEditor();
}

void TCustomXbGrid::UpdateScrollBars() {
  inScrollUpdate_ = true;
  QScrollBar* v = verticalScrollBar();
  dataset::TDataSet* ds = DataSet();
  auto* table = dynamic_cast<dataset::TXbDataSet*>(ds);
  if (!link_->Active() || ds == nullptr) {
    v->setRange(0, 0);
  } else if (table != nullptr) {
    const int total = table->RecordTotal();
    if (total <= visibleRows_ || link_->RecordCount() < visibleRows_) {  // every record is in view
      v->setRange(0, 0);
    } else {
      if (v->minimum() != 1 || v->maximum() != total) v->setRange(1, total);
      if (v->pageStep() != visibleRows_) v->setPageStep(visibleRows_);
      const int at = table->RecNo();
      if (ds->State() != TDataSetState::dsInsert && (v->value() != at || v->sliderPosition() != at))
        v->setValue(at);
    }
  } else if (link_->RecordCount() < visibleRows_ && ds->Bof()) {
    v->setRange(0, 0);
  } else {
    v->setRange(0, 4);
    v->setPageStep(1);
    v->setValue(ds->Bof() ? 0 : ds->Eof() ? 4 : 2);
  }
  // Columns scroll one column a step; the bar runs over the columns that can come first in view.
  QScrollBar* h = horizontalScrollBar();
  int lastLeft = ColumnCount() - 1;
  for (int w = 0, c = ColumnCount() - 1; c >= FixedCount(); --c) {
    w += ColumnWidth(c) + ColLine();
    int fixedWidth = 0;
    for (int f = 0; f < FixedCount(); ++f) fixedWidth += ColumnWidth(f) + ColLine();
    if (w + fixedWidth > viewport()->width()) break;
    lastLeft = c;
  }
  lastLeft = std::max(lastLeft, FixedCount());
  h->setRange(FixedCount(), lastLeft);
  h->setPageStep(1);
  h->setValue(leftCol_);
  inScrollUpdate_ = false;
}

// ---- Geometry

int TCustomXbGrid::ColLine() const { return options_.Has(TXbGridOption::dgColLines) ? 1 : 0; }
int TCustomXbGrid::RowLine() const { return options_.Has(TXbGridOption::dgRowLines) ? 1 : 0; }
int TCustomXbGrid::TitlePitch() const { return titleOffset_ ? titleHeight_ + RowLine() : 0; }
int TCustomXbGrid::DataTop(int row) const { return TitlePitch() + row * (rowHeight_ + RowLine()); }
int TCustomXbGrid::FixedCount() const {
  return std::min(indicatorOffset_ + fixedColumns_, ColumnCount());
}

int TCustomXbGrid::ColumnWidth(int col) const {
  if (col < indicatorOffset_) return kIndicatorWidth;
  const int i = col - indicatorOffset_;
  return i < columns_.Count() ? columns_.Items(i)->Width() : 0;
}

int TCustomXbGrid::ColumnLeft(int col) const {
  int x = 0;
  for (int c = 0; c < FixedCount() && c < col; ++c) x += ColumnWidth(c) + ColLine();
  if (col < FixedCount()) return x;
  if (col < leftCol_) return -1;
  for (int c = leftCol_; c < col; ++c) x += ColumnWidth(c) + ColLine();
  return x;
}

QRect TCustomXbGrid::CellRect(int col, int row) const {
  if (col < 0 || col >= ColumnCount()) return {};
  const int x = ColumnLeft(col);
  if (x < 0 || x >= viewport()->width()) return {};
  if (row == -1) return titleOffset_ ? QRect(x, 0, ColumnWidth(col), titleHeight_) : QRect();
  if (row < 0 || row >= visibleRows_) return {};
  return QRect(x, DataTop(row), ColumnWidth(col), rowHeight_);
}

int TCustomXbGrid::ColumnAt(int x) const {
  for (int c = 0; c < ColumnCount(); ++c) {
    const int left = ColumnLeft(c);
    if (left >= 0 && x >= left && x < left + ColumnWidth(c) + ColLine()) return c;
  }
  return -1;
}

int TCustomXbGrid::RowAt(int y) const {
  if (titleOffset_ && y >= 0 && y < TitlePitch()) return -1;
  if (y < TitlePitch()) return -2;
  const int row = (y - TitlePitch()) / (rowHeight_ + RowLine());
  return row < visibleRows_ ? row : -2;
}

void TCustomXbGrid::EnsureColumnVisible(int col) {
  if (col < FixedCount()) return;
  if (col < leftCol_) {
    leftCol_ = col;
  } else {
    while (leftCol_ < col) {
      const int right = ColumnLeft(col) + ColumnWidth(col);
      if (right <= viewport()->width()) break;
      ++leftCol_;
    }
  }
  UpdateScrollBars();
}

// ---- Link notifications

void TCustomXbGrid::LinkActiveChanged() {
  link_->modified = false;
  if (!link_->Active()) {
    editorShowing_ = false;
    editor_->hide();
  }
  LayoutChanged();
}

void TCustomXbGrid::LinkDataSetChanged() {
  Guard([this] {
    if (columns_.HasStoredColumns() || !link_->Active()) {
      // A field that came or went since the last layout means a new layout.
      bool stale = false;
      for (int i = 0; i < columns_.Count() && !stale; ++i)
        stale = columns_.Items(i)->Field() == nullptr && !columns_.Items(i)->FieldName().empty() &&
                link_->Active();
      if (stale) InternalLayout();
    }
    UpdateRowCount();
    UpdateScrollBars();
    link_->modified = false;
    if (editorShowing_) LoadEditorText();
    UpdateActive();
    viewport()->update();
  });
  AccessibleUpdate();
}

void TCustomXbGrid::LinkScrolled() {
  Guard([this] {
    UpdateScrollBars();
    if (editorShowing_) {
      LoadEditorText();
      PositionEditor();
    }
    viewport()->update();
  });
  AccessibleUpdate();
}

void TCustomXbGrid::LinkRecordChanged(dataset::TField* field) {
  if (field == nullptr || field == SelectedField()) {
    link_->modified = false;
    if (editorShowing_) LoadEditorText();
  }
  viewport()->update();
  AccessibleUpdate();
}

// A new record starts at its first column, however it was begun. A post or a cancel, whoever
// asked for it, ends the edit in place: the editor never stays open over a record no longer edited.
void TCustomXbGrid::LinkEditingChanged() {
  viewport()->update();
  dataset::TDataSet* ds = DataSet();
  if (!link_->Active() || ds == nullptr) return;
  Guard([&] {
    if (ds->State() == TDataSetState::dsInsert) {
      if (startingEdit_) return;  // a key typed into a cell of an empty table stays in that cell
      const int first = FirstTabColumn();
      if (first >= 0 && first != col_) SelectColumn(first);
    } else if (ds->State() != TDataSetState::dsEdit && editorShowing_ &&
               !options_.Has(TXbGridOption::dgAlwaysShowEditor)) {
      HideEditor();
    }
  });
}

void TCustomXbGrid::LinkUpdateData() {
  dataset::TField* f = SelectedField();
  if (!link_->modified || f == nullptr) return;
  std::string text = editText_;
  if (f->DataType() == dataset::TFieldType::ftDate &&
      std::none_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    text.clear();    // an untouched date mask means no date
  f->SetText(text);  // a text the field refuses stays pending, so the next post refuses it too
  link_->modified = false;
}

// ---- Qt events that concern the layout

void TCustomXbGrid::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  Guard([this] {
    UpdateRowCount();
    UpdateScrollBars();
    UpdateActive();
  });
}

void TCustomXbGrid::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) LayoutChanged();
}

void TCustomXbGrid::scrollContentsBy(int, int) {
  // Rows follow the dataset (the vertical bar's actions move it); columns follow the bar's value.
  if (inScrollUpdate_) return;
  const int left = horizontalScrollBar()->value();
  if (left != leftCol_) {
    leftCol_ = left;
    if (editorShowing_) PositionEditor();
    viewport()->update();
  }
}

}  // namespace tavrin::controls
