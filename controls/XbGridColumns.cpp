// The grid's columns: values set on a column, else taken from its field or its grid.
#include "controls/XbGridColumns.h"

#include <QFontMetrics>
#include <algorithm>

#include "controls/ControlSupport.h"
#include "controls/XbGrid.h"
#include "dataset/Locale.h"
#include "dbf/Engine.h"

namespace tavrin::controls {
namespace {

// Characters a field's text takes at most, as the grid sizes its column.
int DisplayWidth(const dataset::TField& field) {
  using dataset::TFieldType;
  switch (field.DataType()) {
    case TFieldType::ftDate: return static_cast<int>(dbf::BlankDateText().size());
    case TFieldType::ftBoolean: {
      const auto& t = dataset::LogicalFieldTexts();
      return static_cast<int>(std::max(t.trueText.size(), t.falseText.size()));
    }
    case TFieldType::ftMemo: return 6;
    default: return std::max(field.Size(), 1);
  }
}

}  // namespace

// ---- TXbColumnTitle

void TXbColumnTitle::SetAlignment(Qt::Alignment a) {
  alignment_ = a;
  column_.Changed();
}

std::string TXbColumnTitle::Caption() const {
  if (caption_) return *caption_;
  if (column_.Field() != nullptr) return column_.Field()->FieldName();
  return column_.FieldName();
}

void TXbColumnTitle::SetCaption(const std::string& caption) {
  caption_ = caption;
  column_.Changed();
}

QColor TXbColumnTitle::Color() const {
  if (color_) return *color_;
  TCustomXbGrid* g = column_.Grid();
  return g != nullptr ? g->FixedColor() : QColor(Qt::lightGray);
}

void TXbColumnTitle::SetColor(const QColor& color) {
  color_ = color;
  column_.Changed();
}

QFont TXbColumnTitle::Font() const {
  if (font_) return *font_;
  TCustomXbGrid* g = column_.Grid();
  return g != nullptr ? g->TitleFont() : QFont();
}

void TXbColumnTitle::SetFont(const QFont& font) {
  font_ = font;
  column_.Changed();
}

// ---- TXbColumn

TXbColumn::TXbColumn(TXbGridColumns* owner, bool automatic)
    : owner_(owner), automatic_(automatic) {}

TCustomXbGrid* TXbColumn::Grid() const { return owner_ != nullptr ? owner_->Grid() : nullptr; }

void TXbColumn::Changed() {
  measuredWidth_ = -1;
  if (owner_ != nullptr) owner_->Changed();
}

void TXbColumn::SetFieldName(const std::string& name) {
  fieldName_ = name;
  Changed();
}

Qt::Alignment TXbColumn::Alignment() const {
  if (alignment_) return *alignment_;
  if (field_ != nullptr) {
    const auto t = field_->DataType();
    if (t == dataset::TFieldType::ftInteger || t == dataset::TFieldType::ftFloat)
      return Qt::AlignRight;
  }
  return Qt::AlignLeft;
}

void TXbColumn::SetAlignment(Qt::Alignment a) {
  alignment_ = a;
  Changed();
}

QColor TXbColumn::Color() const {
  if (color_) return *color_;
  TCustomXbGrid* g = Grid();
  return g != nullptr ? g->Color() : QColor(Qt::white);
}

void TXbColumn::SetColor(const QColor& color) {
  color_ = color;
  Changed();
}

QFont TXbColumn::Font() const {
  if (font_) return *font_;
  TCustomXbGrid* g = Grid();
  return g != nullptr ? g->font() : QFont();
}

void TXbColumn::SetFont(const QFont& font) {
  font_ = font;
  Changed();
}

bool TXbColumn::ReadOnly() const {
  if (readOnly_) return *readOnly_;
  return false;  // our fields carry no read-only flag of their own
}

void TXbColumn::SetReadOnly(bool on) {
  readOnly_ = on;
  Changed();
}

int TXbColumn::Width() const {
  if (width_) return *width_;
  if (measuredWidth_ < 0) measuredWidth_ = DefaultWidth();
  return measuredWidth_;
}

void TXbColumn::SetWidth(int width) {
  width_ = std::max(width, 0);
  Changed();
}

int TXbColumn::DefaultWidth() const {
  TCustomXbGrid* g = Grid();
  if (g == nullptr) return kWidthOutsideGrid;
  if (field_ == nullptr) return 64;
  const QFontMetrics fm(Font());
  int w = fm.horizontalAdvance(QLatin1Char('0')) * DisplayWidth(*field_) + 4;
  const TXbGridOptions o = g->Options();
  if (o.Has(TXbGridOption::dgTitles)) {
    // A framed title's text sits one pixel further in, so the caption needs the frame's two pixels too.
    const int frame = o.Has(TXbGridOption::dgColLines) && o.Has(TXbGridOption::dgRowLines) ? 2 : 0;
    const QFontMetrics tm(title_.Font());
    w = std::max(w, tm.horizontalAdvance(ToQt(title_.Caption())) + 4 + frame);
  }
  return w;
}

// ---- TXbGridColumns

TXbColumn* TXbGridColumns::Add() {
  items_.push_back(std::make_unique<TXbColumn>(this));
  Changed();
  return items_.back().get();
}

void TXbGridColumns::Clear() {
  items_.clear();
  Changed();
}

void TXbGridColumns::Move(int from, int to) {
  if (from == to || from < 0 || to < 0 || from >= Count() || to >= Count()) return;
  auto column = std::move(items_[static_cast<std::size_t>(from)]);
  items_.erase(items_.begin() + from);
  items_.insert(items_.begin() + to, std::move(column));
  Changed();
}

bool TXbGridColumns::HasStoredColumns() const {
  return std::any_of(items_.begin(), items_.end(), [](const auto& c) { return !c->Automatic(); });
}

void TXbGridColumns::Changed() {
  if (updating_ == 0 && grid_ != nullptr) grid_->LayoutChanged();
}

}  // namespace tavrin::controls
