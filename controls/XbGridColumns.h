// The data grid's columns: TXbColumnTitle, TXbColumn and the collection TXbGridColumns.
//
// A column remembers which of its values were set; a value not set comes from its field or its
// grid (alignment and read-only from the field, colour and fonts from the grid, the caption from
// the field's name, the width from the field's display width in the column font). The collection
// owns its columns and tells its grid when they change. Columns made by the grid for each field
// are "automatic" and are rebuilt with the layout; columns added in code stay. GUI thread only.
#pragma once

#include <QColor>
#include <QFont>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dataset/Fields.h"

namespace tavrin::controls {

class TCustomXbGrid;
class TXbGridColumns;
class TXbColumn;

enum class TXbColumnButtonStyle { cbsAuto, cbsEllipsis, cbsNone };

class TXbColumnTitle {
 public:
  explicit TXbColumnTitle(TXbColumn& column) : column_(column) {}
  Qt::Alignment Alignment() const { return alignment_.value_or(Qt::AlignLeft); }
  void SetAlignment(Qt::Alignment a);
  std::string Caption() const;
  void SetCaption(const std::string& caption);
  QColor Color() const;
  void SetColor(const QColor& color);
  QFont Font() const;
  void SetFont(const QFont& font);

 private:
  TXbColumn& column_;
  std::optional<Qt::Alignment> alignment_;
  std::optional<std::string> caption_;
  std::optional<QColor> color_;
  std::optional<QFont> font_;
};

class TXbColumn {
 public:
  static constexpr int kWidthOutsideGrid = 64;

  explicit TXbColumn(TXbGridColumns* owner, bool automatic = false);
  TXbColumn(const TXbColumn&) = delete;
  TXbColumn& operator=(const TXbColumn&) = delete;

  TCustomXbGrid* Grid() const;
  bool Automatic() const { return automatic_; }
  // The field shown (bound by name at each layout); nullptr when none or the dataset is closed.
  dataset::TField* Field() const { return field_; }
  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& name);

  Qt::Alignment Alignment() const;
  void SetAlignment(Qt::Alignment a);
  QColor Color() const;
  void SetColor(const QColor& color);
  QFont Font() const;
  void SetFont(const QFont& font);
  bool ReadOnly() const;
  void SetReadOnly(bool on);
  int Width() const;
  void SetWidth(int width);
  TXbColumnTitle& Title() { return title_; }
  const TXbColumnTitle& Title() const { return title_; }

  // Kept with the column; the grid offers no drop-down or ellipsis editing.
  TXbColumnButtonStyle ButtonStyle = TXbColumnButtonStyle::cbsAuto;
  int DropDownRows = 7;
  std::vector<std::string> PickList;

 private:
  friend class TCustomXbGrid;
  friend class TXbGridColumns;
  friend class TXbColumnTitle;
  void Changed();
  int DefaultWidth() const;

  // The width taken from the field, measured once per layout (text measuring is not cheap).
  mutable int measuredWidth_ = -1;

  TXbGridColumns* owner_;
  bool automatic_;
  dataset::TField* field_ = nullptr;
  std::string fieldName_;
  std::optional<Qt::Alignment> alignment_;
  std::optional<QColor> color_;
  std::optional<QFont> font_;
  std::optional<bool> readOnly_;
  std::optional<int> width_;
  TXbColumnTitle title_{*this};
};

class TXbGridColumns {
 public:
  explicit TXbGridColumns(TCustomXbGrid* grid) : grid_(grid) {}
  TCustomXbGrid* Grid() const { return grid_; }
  int Count() const { return static_cast<int>(items_.size()); }
  TXbColumn* Items(int index) const { return items_.at(static_cast<std::size_t>(index)).get(); }
  // A column added in code (it stays when the layout is rebuilt).
  TXbColumn* Add();
  void Clear();
  // Moves the column at `from` to index `to`.
  void Move(int from, int to);
  // True when some columns were added in code rather than made for each field.
  bool HasStoredColumns() const;

 private:
  friend class TCustomXbGrid;
  friend class TXbColumn;
  void Changed();

  TCustomXbGrid* grid_;
  std::vector<std::unique_ptr<TXbColumn>> items_;
  int updating_ = 0;
};

}  // namespace tavrin::controls
