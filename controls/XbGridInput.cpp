// TCustomXbGrid: the keyboard, the mouse, the vertical scroll bar and editing in place.
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QWheelEvent>
#include <algorithm>

#include "controls/ControlSupport.h"
#include "controls/XbGrid.h"
#include "controls/XbGridLink.h"
#include "dataset/Locale.h"
#include "dataset/XbDataSet.h"
#include "dbf/Engine.h"

namespace tavrin::controls {
namespace {

using dataset::TDataSetState;
using dataset::TFieldType;

constexpr int kSizingSlop = 3;
constexpr int kMoveThreshold = 4;
constexpr int kWheelRows = 3;

bool Editing(const dataset::TDataSet& ds) {
  return ds.State() == TDataSetState::dsEdit || ds.State() == TDataSetState::dsInsert;
}

// A new record appended at the end (rather than inserted before the current one).
bool AppendedAtEnd(dataset::TDataSet& ds) {
  const dataset::TRecordBuffer* b = ds.ActiveBuffer();
  return ds.State() == TDataSetState::dsInsert && b != nullptr &&
         b->flag == dataset::TBookmarkFlag::bfEOF;
}

bool FieldAccepts(const dataset::TField& field, QChar ch) {
  const char c = ch.toLatin1();
  const bool digit = c >= '0' && c <= '9';
  switch (field.DataType()) {
    case TFieldType::ftInteger: return digit || c == '+' || c == '-' || c == ' ';
    case TFieldType::ftFloat:
      return digit || c == '+' || c == '-' || c == ' ' || c == 'e' || c == 'E' ||
             c == dbf::Settings().decimalSeparator;
    case TFieldType::ftDate: return digit || c == ' ' || c == dbf::DateSeparator();
    case TFieldType::ftMemo: return false;
    default: return true;
  }
}

// The date field's edit mask in Qt's syntax: digits optional ('0' in Qt), the engine's separator
// literal, blanks shown as spaces.
QString DateMask(const dataset::TField& field) {
  const auto* date = dynamic_cast<const dataset::TXbDateField*>(&field);
  if (date == nullptr) return {};
  const std::string mask = date->EditMask();
  QString out;
  for (char c : mask.substr(0, mask.find(';'))) {
    if (c == '9')
      out += '0';
    else if (c == '0')
      out += '9';
    else if (c == '/')
      out += QString("\\") + QChar(dbf::DateSeparator());
    else
      out += QString("\\") + QChar(c);
  }
  return out + "; ";
}

}  // namespace

// ---- Editing in place

bool TCustomXbGrid::EditorMode() const { return editorShowing_; }

bool TCustomXbGrid::LogicalColumn() const {
  const dataset::TField* f = SelectedField();
  return f != nullptr && f->DataType() == TFieldType::ftBoolean;
}

bool TCustomXbGrid::CanEditModify() {
  dataset::TDataSet* ds = DataSet();
  if (readOnly_ || !link_->Active() || ds == nullptr || !ds->CanModify()) return false;
  const TXbColumn* c = SelectedColumn();
  dataset::TField* f = SelectedField();
  if (c == nullptr || c->ReadOnly() || f == nullptr || f->Calculated() ||
      f->DataType() == TFieldType::ftMemo)
    return false;
  if (!Editing(*ds)) {
    startingEdit_ = true;
    bool started = false;
    try {
      started = link_->Edit();
    } catch (...) {
      startingEdit_ = false;
      throw;
    }
    startingEdit_ = false;
    if (!started) return false;
  }
  link_->modified = true;
  return true;
}

void TCustomXbGrid::ShowEditor() {
  if (!options_.Has(TXbGridOption::dgEditing) || !link_->Active() || readOnly_) return;
  if (SelectedField() == nullptr || LogicalColumn()) return;  // logical cells toggle instead
  const bool shown = editorShowing_;
  editorShowing_ = true;
  LoadEditorText();
  if (!shown) editor_->selectAll();
  PositionEditor();
  editor_->setFocus(Qt::OtherFocusReason);
}

void TCustomXbGrid::HideEditor() {
  // While another window is active (a confirmation) hasFocus() is false although the editor is
  // still its window's focus widget: that focus would come back to a hidden editor.
  const bool hadFocus =
      editor_->hasFocus() || (window() != nullptr && window()->focusWidget() == editor_);
  editorShowing_ = false;
  editor_->hide();
  ClearEditorText();
  if (hadFocus) setFocus(Qt::OtherFocusReason);
  viewport()->update();
}

// A hidden editor carries no text from one cell to the next: what it showed is gone, and the next
// show loads its cell afresh. (The grid's own copy, editText_, still holds what a post is to write.)
void TCustomXbGrid::ClearEditorText() {
  const QSignalBlocker quiet(editor_);
  editor_->setText(QString());
}

void TCustomXbGrid::PositionEditor() {
  const QRect r = CellRect(col_, link_->ActiveRecord());
  if (!r.isValid()) {
    const bool hadFocus = editor_->hasFocus();
    editor_->hide();
    if (hadFocus) setFocus(Qt::OtherFocusReason);
    return;
  }
  editor_->setGeometry(r);
  editor_->show();
}

void TCustomXbGrid::LoadEditorText() {
  dataset::TField* f = SelectedField();
  editText_ = f != nullptr ? f->EditText() : std::string();
  if (!editorShowing_) return;
  const QString mask =
      f != nullptr && f->DataType() == TFieldType::ftDate ? DateMask(*f) : QString();
  // Setting a mask or a length again puts the text back and drops the selection, so a reload when
  // the first key starts the edit would make that key append instead of replacing. Qt gives the
  // mask back without its blank character, so the grid keeps the one it set.
  if (editorMask_ != mask) {
    editorMask_ = mask;
    editor_->setInputMask(mask);
  }
  const int length =
      f != nullptr && f->DataType() == TFieldType::ftString ? std::max(f->Size(), 1) : 32767;
  if (mask.isEmpty() && editor_->maxLength() != length)
    editor_->setMaxLength(length);  // a mask has its own
  editor_->setAlignment(SelectedColumn() != nullptr
                            ? (SelectedColumn()->Alignment() & Qt::AlignHorizontal_Mask)
                            : Qt::AlignLeft);
  const QString text = ToQt(editText_);
  // A reload leaves the cursor at the end. Under the date mask only the digits count: a blank date
  // reads "" while editing and "  /  /  " in browse, and both show the same.
  auto digits = [](const QString& t) {
    QString d;
    for (QChar c : t)
      if (c.isDigit()) d += c;
    return d;
  };
  if (mask.isEmpty() ? editor_->text() != text : digits(editor_->text()) != digits(text))
    editor_->setText(text);
}

void TCustomXbGrid::EditorTextEdited() {
  Guard([this] {
    QString typed = editor_->text();
    // A pasted line break, tab or NUL has no place in a one-line field: it becomes a blank.
    bool controls = false;
    for (QChar& ch : typed)
      if (ch.unicode() < 0x20 || ch.unicode() == 0x7f) {
        ch = QChar(' ');
        controls = true;
      }
    if (controls) {
      const int at = editor_->cursorPosition();
      editor_->setText(typed);
      editor_->setCursorPosition(at);
    }
    if (!link_->modified) {  // a change that came round the key filter (a paste from the menu)
      if (!CanEditModify()) {
        editor_->setText(ToQt(editText_));
        return;
      }
      editor_->setText(typed);
    }
    editText_ = FromQt(typed);
    link_->modified = true;
  });
}

void TCustomXbGrid::ToggleLogical() {
  if (!options_.Has(TXbGridOption::dgEditing) || !CanEditModify()) return;
  dataset::TField* f = SelectedField();
  const auto& texts = dataset::LogicalFieldTexts();
  const std::string now = f->EditText();
  const bool isTrue =
      now.size() == texts.trueText.size() &&
      std::equal(now.begin(), now.end(), texts.trueText.begin(), [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) ==
               std::toupper(static_cast<unsigned char>(b));
      });
  editText_ = isTrue ? texts.falseText : texts.trueText;
  link_->modified = true;
  LinkUpdateData();
}

// ---- Keyboard

void TCustomXbGrid::keyPressEvent(QKeyEvent* event) {
  int key = event->key();
  if (OnKeyDown) {
    Guard([&] { OnKeyDown(*this, key, event->modifiers()); });
    if (key == 0) return;
  }
  bool handled = false;
  const bool ok = Guarded(Dialogs(), [&] {
    handled = HandleKey(key, event->modifiers());
    const QString text = event->text();
    // Ctrl and Alt with a letter are commands (an Alt+letter no button took among them), never text.
    if (!handled && link_->Active() && !text.isEmpty() && text[0].isPrint() &&
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
      TypeChar(text[0]);
      handled = true;
    }
  });
  // A key whose action failed was still the grid's: ignored, it would go on to the parent and a key
  // from the editor would come back here and fail (and be shown) a second time.
  if (handled || !ok) return;
  if (!link_->Active()) {
    QAbstractScrollArea::keyPressEvent(event);
  } else {
    event->ignore();  // a key the grid has no use for goes on to its window
  }
}

void TCustomXbGrid::keyReleaseEvent(QKeyEvent* event) {
  int key = event->key();
  if (OnKeyUp) Guard([&] { OnKeyUp(*this, key, event->modifiers()); });
  QAbstractScrollArea::keyReleaseEvent(event);
}

bool TCustomXbGrid::HandleKey(int key, Qt::KeyboardModifiers mods) {
  dataset::TDataSet* ds = DataSet();
  if (!link_->Active() || ds == nullptr) return false;
  const bool ctrl = mods & Qt::ControlModifier;
  switch (key) {
    case Qt::Key_Up: KeyUp(ctrl); return true;
    case Qt::Key_Down: KeyDown(ctrl); return true;
    case Qt::Key_Left: KeyHorizontal(-1, ctrl); return true;
    case Qt::Key_Right: KeyHorizontal(1, ctrl); return true;
    case Qt::Key_Home: KeyHomeEnd(false, ctrl); return true;
    case Qt::Key_End: KeyHomeEnd(true, ctrl); return true;
    case Qt::Key_PageUp: MoveRecords(ctrl ? -link_->ActiveRecord() : -visibleRows_); return true;
    case Qt::Key_PageDown:
      MoveRecords(ctrl ? link_->RecordCount() - 1 - link_->ActiveRecord() : visibleRows_);
      return true;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      if (!options_.Has(TXbGridOption::dgTabs) || (mods & Qt::AltModifier)) return false;
      KeyTab(key == Qt::Key_Backtab || (mods & Qt::ShiftModifier));
      return true;
    case Qt::Key_Insert:
      if (!readOnly_ && !(mods & Qt::ShiftModifier) && ds->CanModify()) ds->Insert();
      return true;
    case Qt::Key_Delete:
      if (!ctrl) return false;
      KeyDelete();
      return true;
    case Qt::Key_Escape: KeyEscape(); return true;
    case Qt::Key_F2: ShowEditor(); return true;
    case Qt::Key_Return:
    case Qt::Key_Enter: KeyEnter(); return true;
    case Qt::Key_Space:
      if (!LogicalColumn()) return false;
      TypeChar(QChar(' '));
      return true;
    case Qt::Key_Backspace:
      if (LogicalColumn()) return true;  // ignored in a logical column
      if (!editorShowing_ && CanEditModify()) ShowEditor();
      return true;
    default: return false;
  }
}

void TCustomXbGrid::MoveRecords(int distance) {
  if (distance != 0) DataSet()->MoveBy(distance);
}

void TCustomXbGrid::KeyUp(bool ctrl) {
  dataset::TDataSet& ds = *DataSet();
  if (ctrl) {
    MoveRecords(-link_->ActiveRecord());
  } else if (AppendedAtEnd(ds) && !ds.Modified() && !link_->modified) {
    ds.Cancel();  // an untouched new record at the end goes away
  } else {
    MoveRecords(-1);
  }
}

void TCustomXbGrid::KeyDown(bool ctrl) {
  dataset::TDataSet& ds = *DataSet();
  if (ctrl) {
    MoveRecords(link_->RecordCount() - 1 - link_->ActiveRecord());
    return;
  }
  if (ds.State() == TDataSetState::dsInsert && !ds.Modified() && !link_->modified) {
    if (!AppendedAtEnd(ds)) ds.Cancel();
    return;
  }
  MoveRecords(1);
  if (ds.Eof() && ds.CanModify() && !readOnly_ && options_.Has(TXbGridOption::dgEditing) &&
      autoAppend_)
    ds.Append();
}

void TCustomXbGrid::KeyHorizontal(int step, bool ctrl) {
  if (options_.Has(TXbGridOption::dgRowSelect)) {
    MoveRecords(step);
  } else if (ctrl) {
    SelectColumn(step < 0 ? FixedCount() : ColumnCount() - 1);
  } else {
    SelectColumn(col_ + step);
  }
}

void TCustomXbGrid::KeyHomeEnd(bool end, bool ctrl) {
  if (ctrl || columns_.Count() == 1 || options_.Has(TXbGridOption::dgRowSelect)) {
    if (end)
      DataSet()->Last();
    else
      DataSet()->First();
  } else {
    SelectColumn(end ? ColumnCount() - 1 : FixedCount());
  }
}

bool TCustomXbGrid::TakesTab(int col) const {
  const TXbColumn* c = columns_.Items(col - indicatorOffset_);
  return !c->ReadOnly() && link_->Active() && c->Field() != nullptr && !c->Field()->Calculated();
}

int TCustomXbGrid::FirstTabColumn() const {
  for (int c = FixedCount(); c < ColumnCount(); ++c)
    if (TakesTab(c)) return c;
  return -1;
}

void TCustomXbGrid::KeyTab(bool back) {
  auto takesTab = [this](int col) { return TakesTab(col); };
  const int step = back ? -1 : 1;
  for (int c = col_ + step; c >= FixedCount() && c < ColumnCount(); c += step) {
    if (takesTab(c)) {
      SelectColumn(c);
      return;
    }
  }
  // Past the last column of a record being edited or added: that record is posted (an untouched
  // new one dropped) and stays current; the next record, or a new one, is for the next Tab.
  dataset::TDataSet& ds = *DataSet();
  if (!back && Editing(ds)) {
    ds.CheckBrowseMode();
    return;
  }
  // Past the last (first) such column: on to the next (previous) row, at its first (last) one.
  if (back)
    KeyUp(false);
  else
    KeyDown(false);
  for (int c = back ? ColumnCount() - 1 : FixedCount(); c >= FixedCount() && c < ColumnCount();
       c += step) {
    if (takesTab(c)) {
      SelectColumn(c);
      return;
    }
  }
}

// Asks, then asks for the keyboard back: a window manager may leave no window active when the
// question closes, and the keys typed next would reach a window that Qt thinks inactive, where
// shortcuts (Alt+O) do not work.
bool TCustomXbGrid::ConfirmHere(const char* question) {
  const bool yes = Dialogs().Confirm(question);
  if (isVisible()) activateWindow();
  return yes;
}

void TCustomXbGrid::KeyDelete() {
  dataset::TDataSet& ds = *DataSet();
  if (readOnly_ || !ds.CanModify()) return;
  auto* table = dynamic_cast<dataset::TXbDataSet*>(&ds);
  if (table != nullptr && table->RecordDeleted()) {
    if (options_.Has(TXbGridOption::dgConfirmRestore) && !ConfirmHere("Restore Record ?")) return;
    table->SetRecordDeleted(false);
    return;
  }
  if (ds.IsEmpty()) return;
  if (options_.Has(TXbGridOption::dgConfirmDelete) && !ConfirmHere("Delete Record ?")) return;
  if (table != nullptr)
    table->SetRecordDeleted(true);
  else
    ds.Delete();
}

void TCustomXbGrid::KeyEscape() {
  dataset::TDataSet& ds = *DataSet();
  if (link_->modified) {
    link_->modified = false;
    LoadEditorText();
  } else if (Editing(ds)) {
    ds.Cancel();
  }
  if (!options_.Has(TXbGridOption::dgAlwaysShowEditor)) HideEditor();
}

void TCustomXbGrid::KeyEnter() {
  if (LogicalColumn()) {
    ToggleLogical();
    return;
  }
  if (options_.Has(TXbGridOption::dgAlwaysShowEditor)) return;
  if (editorShowing_) {
    LinkUpdateData();
    HideEditor();
  } else {
    ShowEditor();
  }
}

void TCustomXbGrid::TypeChar(QChar ch) {
  if (OnKeyPress) {
    OnKeyPress(*this, ch);
    if (ch.isNull()) return;
  }
  if (LogicalColumn()) {
    if (ch == QChar(' ')) ToggleLogical();
    return;  // other characters are ignored in a logical column
  }
  dataset::TField* f = SelectedField();
  if (!options_.Has(TXbGridOption::dgEditing) || f == nullptr || !FieldAccepts(*f, ch)) return;
  if (!CanEditModify()) return;
  ShowEditor();
  if (!editorShowing_) return;
  editor_->setText(QString(ch));
  editText_ = FromQt(editor_->text());
  link_->modified = true;
}

bool TCustomXbGrid::focusNextPrevChild(bool next) {
  // With dgTabs the Tab key moves between cells (keyPressEvent); otherwise it moves the focus on.
  if (options_.Has(TXbGridOption::dgTabs) && link_->Active()) return false;
  return QAbstractScrollArea::focusNextPrevChild(next);
}

bool TCustomXbGrid::eventFilter(QObject* watched, QEvent* event) {
  if (watched != editor_) return QAbstractScrollArea::eventFilter(watched, event);
  if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) viewport()->update();
  // A hidden editor never takes keys: the focus and every key go to the grid, which starts an
  // edit of the selected cell if a key asks for one.
  if (event->type() == QEvent::FocusIn && !editorShowing_) {
    setFocus(Qt::OtherFocusReason);
    return false;
  }
  if (event->type() != QEvent::KeyPress) return false;
  auto* k = static_cast<QKeyEvent*>(event);
  if (!editorShowing_ || !editor_->isVisible()) {
    setFocus(Qt::OtherFocusReason);
    keyPressEvent(k);
    if (!k->isAccepted() && window() != nullptr) QCoreApplication::sendEvent(window(), k);
    return true;
  }
  switch (k->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F2:
    case Qt::Key_Insert: keyPressEvent(k); return true;
    case Qt::Key_Delete:
      if (k->modifiers() & Qt::ControlModifier) {
        keyPressEvent(k);
        return true;
      }
      break;
    default: break;
  }
  if ((k->modifiers() & Qt::AltModifier) && !(k->modifiers() & Qt::ControlModifier) &&
      !k->text().isEmpty())
    return true;  // an Alt+letter no button took is not text for the cell
  const bool changes = !k->text().isEmpty() || k->key() == Qt::Key_Backspace ||
                       k->key() == Qt::Key_Delete || k->matches(QKeySequence::Paste) ||
                       k->matches(QKeySequence::Cut);
  if (!changes || (k->modifiers() & Qt::ControlModifier && !k->matches(QKeySequence::Paste) &&
                   !k->matches(QKeySequence::Cut)))
    return false;
  bool refuse = false;
  Guard([&] {
    dataset::TField* f = SelectedField();
    const QString text = k->text();
    if (!text.isEmpty() && text[0].isPrint() && (f == nullptr || !FieldAccepts(*f, text[0]))) {
      refuse = true;
      return;
    }
    refuse = !link_->modified && !CanEditModify();
  });
  return refuse;
}

// ---- Columns

void TCustomXbGrid::SelectColumn(int col) {
  if (link_->modified && link_->Active()) LinkUpdateData();
  col = std::clamp(col, FixedCount(), std::max(FixedCount(), ColumnCount() - 1));
  if (col == col_) {
    EnsureColumnVisible(col);
    return;
  }
  if (OnColExit && !colExitRunning_) {
    const int before = col_;
    colExitRunning_ = true;
    try {
      OnColExit(*this);
    } catch (...) {
      colExitRunning_ = false;
      throw;
    }
    colExitRunning_ = false;
    if (col_ != before) return;  // the handler chose a column itself
  }
  if (!options_.Has(TXbGridOption::dgAlwaysShowEditor)) HideEditor();
  col_ = col;
  EnsureColumnVisible(col);
  if (editorShowing_) {
    LoadEditorText();
    PositionEditor();
  } else if (options_.Has(TXbGridOption::dgAlwaysShowEditor)) {
    ShowEditor();
  }
  viewport()->update();
  AccessibleUpdate();
  if (OnColEnter) OnColEnter(*this);
}

// ---- Mouse

void TCustomXbGrid::mousePressEvent(QMouseEvent* event) {
  if (focusPolicy() == Qt::NoFocus) return;
  if (!GridFocused()) setFocus(Qt::MouseFocusReason);
  const QPoint pos = event->position().toPoint();
  const int col = ColumnAt(pos.x());
  const int row = RowAt(pos.y());
  pressedCol_ = col;
  sizedOrMoved_ = false;
  drag_ = Drag::None;
  Guard([&] {
    if (row == -1 && options_.Has(TXbGridOption::dgColumnResize) && col >= indicatorOffset_) {
      if (link_->modified && link_->Active()) LinkUpdateData();
      const int border = ColumnLeft(col) + ColumnWidth(col);
      drag_ = std::abs(pos.x() - border) <= kSizingSlop ? Drag::Size : Drag::Move;
      if (drag_ == Drag::Move && event->button() != Qt::LeftButton) drag_ = Drag::None;
      dragCol_ = col;
      dragStartX_ = pos.x();
      dragStartWidth_ = ColumnWidth(col);
      dragMoved_ = false;
      return;
    }
    if (event->button() == Qt::LeftButton && link_->Active() && row >= 0 && col >= 0)
      DataPress(col, row);
  });
}

void TCustomXbGrid::DataPress(int col, int row) {
  if (row >= std::max(link_->RecordCount(), 1)) return;
  const int active = link_->ActiveRecord();
  if (col >= indicatorOffset_ && row == active && col == col_) {
    if (LogicalColumn())
      ToggleLogical();
    else
      ShowEditor();
    return;
  }
  if (row != active) MoveRecords(row - active);
  if (col >= indicatorOffset_) SelectColumn(col);
}

void TCustomXbGrid::mouseMoveEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  if (drag_ == Drag::Size) {
    TXbColumn* c = columns_.Items(dragCol_ - indicatorOffset_);
    Guard([&] { c->SetWidth(std::max(1, dragStartWidth_ + pos.x() - dragStartX_)); });
    return;
  }
  if (drag_ == Drag::Move) {
    dragMoved_ = dragMoved_ || std::abs(pos.x() - dragStartX_) > kMoveThreshold;
    return;
  }
  const int col = ColumnAt(pos.x());
  const bool border = RowAt(pos.y()) == -1 && options_.Has(TXbGridOption::dgColumnResize) &&
                      col >= indicatorOffset_ &&
                      std::abs(pos.x() - (ColumnLeft(col) + ColumnWidth(col))) <= kSizingSlop;
  viewport()->setCursor(border ? Qt::SplitHCursor : Qt::ArrowCursor);
}

void TCustomXbGrid::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  const Drag drag = std::exchange(drag_, Drag::None);
  Guard([&] {
    if (drag == Drag::Size) return;
    const int col = ColumnAt(pos.x());
    if (drag == Drag::Move && dragMoved_) {
      if (col >= indicatorOffset_ && col != dragCol_) {
        const int from = dragCol_ - indicatorOffset_, to = col - indicatorOffset_;
        TXbColumn* depressed = depressed_ >= 0 ? columns_.Items(depressed_) : nullptr;
        for (auto& c : columns_.items_) c->automatic_ = false;  // a moved order is kept from now on
        columns_.Move(from, to);
        for (int i = 0; depressed != nullptr && i < columns_.Count(); ++i)
          if (columns_.Items(i) == depressed) depressed_ = i;
        if (OnColumnMoved) OnColumnMoved(*this, from, to);
      }
      return;
    }
    const int row = RowAt(pos.y());
    if (row == -1) {
      TitleRelease(event->button(), col);
    } else if (row >= 0 && event->button() == Qt::LeftButton) {
      if (col >= 0 && col < indicatorOffset_) {
        if (OnIndicatorClick) OnIndicatorClick(*this);
      } else if (col >= 0 && OnCellClick) {
        OnCellClick(*this, SelectedColumn());
      }
    }
  });
}

void TCustomXbGrid::TitleRelease(Qt::MouseButton button, int col) {
  if (col < 0) return;
  if (col < indicatorOffset_) {
    if (button == Qt::LeftButton && OnCornerLeftClick) OnCornerLeftClick(*this);
    if (button == Qt::RightButton && OnCornerRightClick) OnCornerRightClick(*this);
    return;
  }
  TXbColumn* column = columns_.Items(col - indicatorOffset_);
  if (button == Qt::LeftButton) {
    if (col == pressedCol_ && OnTitleClick) OnTitleClick(*this, column);
  } else if (button == Qt::RightButton && !depressDisabled_) {
    depressed_ = col - indicatorOffset_;
    viewport()->update();
    if (OnDepressTitle) OnDepressTitle(*this, column);
  }
}

void TCustomXbGrid::mouseDoubleClickEvent(QMouseEvent* event) {
  if (OnDblClick) Guard([this] { OnDblClick(*this); });
  event->accept();
}

void TCustomXbGrid::wheelEvent(QWheelEvent* event) {
  // Fine-grained wheels and touchpads send parts of a notch; they add up. A step that moves no
  // record (an end of the table) ends the scroll, so a huge delta costs no more than the table.
  const long long delta = static_cast<long long>(wheelRemainder_) + event->angleDelta().y();
  const long long notches = delta / 120;
  wheelRemainder_ = static_cast<int>(delta % 120);
  event->accept();
  if (notches == 0 || !link_->Active() || DataSet() == nullptr) return;
  const long long steps = (notches < 0 ? -notches : notches) * kWheelRows;
  for (long long i = 0; i < steps; ++i) {
    const auto* before = DataSet()->ActiveBuffer();
    const dataset::TBookmark at = before != nullptr ? before->bookmark : 0;
    const int row = link_->ActiveRecord();
    VerticalAction(notches > 0 ? QAbstractSlider::SliderSingleStepSub
                               : QAbstractSlider::SliderSingleStepAdd);
    dataset::TDataSet* ds = DataSet();
    if (ds == nullptr || !link_->Active()) break;
    const auto* after = ds->ActiveBuffer();
    if ((after != nullptr ? after->bookmark : 0) == at && link_->ActiveRecord() == row) break;
  }
}

void TCustomXbGrid::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
  AccessibleUpdate();
  if (OnEnter && event->reason() != Qt::OtherFocusReason) Guard([this] { OnEnter(*this); });
}

void TCustomXbGrid::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
  AccessibleUpdate();
  if (OnExit && !editor_->hasFocus()) Guard([this] { OnExit(*this); });
}

// ---- The vertical scroll bar

void TCustomXbGrid::VerticalAction(int action) {
  if (inScrollUpdate_ || !link_->Active() || DataSet() == nullptr) return;
  Guard([&] {
    dataset::TDataSet& ds = *DataSet();
    switch (action) {
      case QAbstractSlider::SliderSingleStepSub: MoveRecords(-(link_->ActiveRecord() + 1)); break;
      case QAbstractSlider::SliderSingleStepAdd:
        MoveRecords(link_->RecordCount() - link_->ActiveRecord());
        break;
      case QAbstractSlider::SliderPageStepSub: MoveRecords(-visibleRows_); break;
      case QAbstractSlider::SliderPageStepAdd: MoveRecords(visibleRows_); break;
      case QAbstractSlider::SliderToMinimum: ds.First(); break;
      case QAbstractSlider::SliderToMaximum: ds.Last(); break;
      default: return;  // a dragged thumb acts when it is let go
    }
    UpdateScrollBars();
  });
}

void TCustomXbGrid::VerticalThumb(int position) {
  if (inScrollUpdate_ || !link_->Active() || DataSet() == nullptr) return;
  Guard([&] {
    dataset::TDataSet& ds = *DataSet();
    if (auto* table = dynamic_cast<dataset::TXbDataSet*>(&ds)) {
      if (position <= 1)
        ds.First();
      else if (position < table->RecordTotal())
        table->SetRecNo(position);
      else
        ds.Last();
      return;  // (the bar is brought in line below)
    }
    switch (position) {
      case 0: ds.First(); break;
      case 1: MoveRecords(-visibleRows_); break;
      case 3: MoveRecords(visibleRows_); break;
      case 4: ds.Last(); break;
      default: break;
    }
  });
  Guard([this] { UpdateScrollBars(); });
}

}  // namespace tavrin::controls
