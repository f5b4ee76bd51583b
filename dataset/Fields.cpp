#include "dataset/Fields.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cmath>
#include <limits>

#include "dataset/DataSet.h"
#include "dataset/Locale.h"
#include "dbf/Engine.h"
#include "dbf/FieldConv.h"
#include "platform/Trim.h"

namespace tavrin::dataset {
namespace {

using platform::TrimControls;

// A whole number in `text` (blanks around allowed); nothing when the text is not one.
std::optional<std::int64_t> ParseWhole(std::string_view text) {
  const std::string t(TrimControls(text));
  std::size_t i = (!t.empty() && (t[0] == '-' || t[0] == '+')) ? 1 : 0;
  if (i == t.size() || t.size() - i > 18) return std::nullopt;
  std::int64_t v = 0;
  for (; i < t.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(t[i]))) return std::nullopt;
    v = v * 10 + (t[i] - '0');
  }
  return t[0] == '-' ? -v : v;
}

// A number typed with the locale's decimal separator, read without the C library's locale.
std::optional<double> ParseLocalNumber(const std::string& text) {
  std::string t(TrimControls(text));
  const char sep = dbf::Settings().decimalSeparator;
  for (char& c : t)
    if (c == sep) c = '.';
  double v = 0;
  if (!dbf::TryParseDouble(t, &v)) return std::nullopt;
  return v;
}

bool AllStars(std::string_view s) { return s.find_first_not_of('*') == std::string_view::npos; }

std::optional<TDate> StoredDate(std::string_view stored) {
  if (stored.size() < 8) return std::nullopt;
  const auto y = ParseWhole(stored.substr(0, 4)), m = ParseWhole(stored.substr(4, 2)),
             d = ParseWhole(stored.substr(6, 2));
  if (!y || !m || !d || stored.substr(0, 8).find(' ') != std::string_view::npos)
    return std::nullopt;
  if (*y < 1 || *m < 1 || *m > 12 || *d < 1) return std::nullopt;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (*y % 4 == 0 && *y % 100 != 0) || *y % 400 == 0;
  if (*d > kDays[*m - 1] || (*m == 2 && *d == 29 && !leap)) return std::nullopt;
  return TDate{static_cast<int>(*y), static_cast<int>(*m), static_cast<int>(*d)};
}

std::string Pad(std::string text, int size) {
  text.resize(static_cast<std::size_t>(size), ' ');
  return text;
}

}  // namespace

TField::TField(TDataSet& dataSet, std::string name, TFieldType type)
    : dataSet_(dataSet), name_(std::move(name)), type_(type) {}

std::optional<std::string_view> TField::Stored() const {
  TRecordBuffer* b = dataSet_.ActiveBuffer();
  if (b == nullptr) return std::nullopt;
  if (Calculated()) {
    const auto& v = b->calc.at(static_cast<std::size_t>(calcIndex_));
    if (!v) return std::nullopt;
    return std::string_view(*v);
  }
  const std::size_t end = static_cast<std::size_t>(offset_ + size_);
  if (b->data.size() < end) return std::nullopt;
  return std::string_view(b->data.data() + offset_, static_cast<std::size_t>(size_));
}

bool TField::IsNull() const {
  const auto s = Stored();
  return !s || NullStored(*s);
}

std::string TField::AsString() const {
  const auto s = Stored();
  return (!s || NullStored(*s)) ? std::string() : TextOf(*s);
}

std::string TField::DisplayText() const {
  const auto s = Stored();
  return (!s || NullStored(*s)) ? std::string() : DisplayOf(*s);
}

std::string TField::EditText() const { return AsString(); }

std::int64_t TField::AsInteger() const {
  const auto v = ParseWhole(AsString());
  if (v) return *v;
  return static_cast<std::int64_t>(std::trunc(AsFloat()));
}

double TField::AsFloat() const {
  const auto v = ParseLocalNumber(AsString());
  return v ? *v : 0.0;
}

bool TField::AsBoolean() const {
  const auto s = Stored();
  return s && !s->empty() && std::string_view("TtYy").find((*s)[0]) != std::string_view::npos;
}

void TField::SetAsString(const std::string& text) {
  auto stored = Encode(text);
  if (!stored) InvalidValue(text);
  SetStored(std::move(stored));
}

void TField::SetAsInteger(std::int64_t value) { SetAsString(std::to_string(value)); }

void TField::Clear() { SetStored(std::nullopt); }

void TField::SetStored(std::optional<std::string> stored) {
  dataSet_.SetFieldStored(*this, std::move(stored));
}

void TField::InvalidValue(const std::string& text) const { throw EDbfError(Refusal(text)); }

std::string TField::Refusal(const std::string& text) const {
  return "'" + text + "' is not a valid value for field '" + name_ + "'";
}

namespace {

std::string DoesNotFit(const std::string& text, const std::string& name, int width) {
  return "'" + text + "' does not fit in field '" + name + "', which is " + std::to_string(width) +
         " characters wide";
}

}  // namespace

// ---- String

std::string TStringField::TextOf(std::string_view stored) const {
  return std::string(platform::TrimRight(stored, " "));
}

std::optional<std::string> TStringField::Encode(const std::string& text) const {
  return Pad(text.substr(0, static_cast<std::size_t>(size_)), size_);
}

// ---- Integer

bool TIntegerField::NullStored(std::string_view stored) const { return !ParseWhole(stored); }

std::string TIntegerField::TextOf(std::string_view stored) const {
  return std::to_string(*ParseWhole(stored));
}

std::optional<std::string> TIntegerField::Encode(const std::string& text) const {
  if (TrimControls(text).empty()) return BlankStored();
  auto v = ParseWhole(text);
  if (!v) {
    const auto d = ParseLocalNumber(text);
    if (!d || *d != std::trunc(*d) || std::fabs(*d) > 1e15) return std::nullopt;
    v = static_cast<std::int64_t>(*d);
  }
  // The engine carries whole numbers as 32 bits on their way to the file.
  if (*v < std::numeric_limits<std::int32_t>::min() ||
      *v > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  std::string s = dbf::FormatInteger(*v, size_);
  if (AllStars(s)) return std::nullopt;
  return s;
}

std::string TIntegerField::Refusal(const std::string& text) const {
  std::optional<double> v;
  if (const auto whole = ParseWhole(text))
    v = static_cast<double>(*whole);
  else
    v = ParseLocalNumber(text);
  if (!v || *v != std::trunc(*v)) return TField::Refusal(text);
  char digits[512];
  const int width = std::snprintf(digits, sizeof digits, "%.0f", *v);
  if (width > size_) return DoesNotFit(text, name_, size_);
  return "'" + text + "' is too large for field '" + name_ + "': whole numbers there go from " +
         std::to_string(std::numeric_limits<std::int32_t>::min()) + " to " +
         std::to_string(std::numeric_limits<std::int32_t>::max());
}

// ---- Float

bool TFloatField::NullStored(std::string_view stored) const {
  double v = 0;
  return !dbf::TryParseDouble(stored, &v);
}

std::string TFloatField::TextOf(std::string_view stored) const {
  std::string s(TrimControls(dbf::FormatFixed(dbf::ParseDouble(stored), size_, decimals_)));
  const char sep = dbf::Settings().decimalSeparator;
  for (char& c : s)
    if (c == '.') c = sep;
  return s;
}

std::optional<std::string> TFloatField::Encode(const std::string& text) const {
  if (TrimControls(text).empty()) return BlankStored();
  const auto v = ParseLocalNumber(text);
  if (!v) return std::nullopt;
  std::string s = dbf::FormatFixed(*v, size_, decimals_);
  if (AllStars(s)) return std::nullopt;
  return s;
}

std::string TFloatField::Refusal(const std::string& text) const {
  return ParseLocalNumber(text) ? DoesNotFit(text, name_, size_) : TField::Refusal(text);
}

// ---- Boolean

bool TBooleanField::NullStored(std::string_view stored) const {
  return stored.empty() || std::string_view("TtYyFfNn").find(stored[0]) == std::string_view::npos;
}

std::string TBooleanField::TextOf(std::string_view stored) const {
  const bool on = std::string_view("TtYy").find(stored[0]) != std::string_view::npos;
  return on ? LogicalFieldTexts().trueText : LogicalFieldTexts().falseText;
}

std::optional<std::string> TBooleanField::Encode(const std::string& text) const {
  const std::string t(TrimControls(text));
  auto same = [&t](const std::string& word) {
    if (word.size() != t.size()) return false;
    for (std::size_t i = 0; i < t.size(); ++i)
      if (std::toupper(static_cast<unsigned char>(t[i])) !=
          std::toupper(static_cast<unsigned char>(word[i])))
        return false;
    return true;
  };
  const LogicalTexts& w = LogicalFieldTexts();
  if (t.empty()) return BlankStored();
  if (same(w.trueText) || same(w.yes) ||
      (t.size() == 1 && std::string_view("TtYy").find(t[0]) != std::string_view::npos))
    return Pad("T", size_);
  if (same(w.falseText) || same(w.no) ||
      (t.size() == 1 && std::string_view("FfNn").find(t[0]) != std::string_view::npos))
    return Pad("F", size_);
  return std::nullopt;
}

// ---- Date

bool TXbDateField::NullStored(std::string_view stored) const { return !StoredDate(stored); }

std::string TXbDateField::TextOf(std::string_view stored) const {
  std::string text = dbf::StoredToDateText(stored);
  std::string checked = text.substr(0, 10);
  return dbf::DateTextCheck(checked) ? checked : text;
}

std::optional<TDate> TXbDateField::AsDate() const {
  const auto s = Stored();
  return s ? StoredDate(*s) : std::nullopt;
}

std::optional<std::string> TXbDateField::Encode(const std::string& text) const {
  std::string t(TrimControls(text));
  if (t.empty()) return BlankStored();
  if (t.size() > 10) t.resize(10);
  if (!dbf::DateTextCheck(t)) return std::nullopt;
  const std::string stored = dbf::DateTextToStored(t);
  if (stored == std::string(8, ' ') && t != dbf::BlankDateText()) return std::nullopt;
  return Pad(stored, size_);
}

void TXbDateField::SetAsString(const std::string& text) {
  auto stored = Encode(text);
  if (!stored) {
    dataSet_.ShowMessage("        Invalid date       ");
    stored = BlankStored();
  }
  SetStored(std::move(stored));
}

std::string TXbDateField::EditMask() const {
  std::string upper = dbf::ShortDateFormat();
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string year = upper.find("YYYY") != std::string::npos ? "9999" : "99";
  if (!upper.empty() && upper[0] == 'Y') return year + "/99/99;1; ";
  return "99/99/" + year + ";1; ";
}

// ---- Memo

std::int32_t TMemoField::Block() const {
  const auto s = Stored();
  if (!s) return 0;
  const auto v = ParseWhole(*s);
  return v ? static_cast<std::int32_t>(*v) : 0;
}

bool TMemoField::NullStored(std::string_view stored) const {
  const auto v = ParseWhole(stored);
  return !v || *v == 0;
}

std::string TMemoField::TextOf(std::string_view) const {
  return dataSet_.BlobText(const_cast<TMemoField&>(*this));
}

std::string TMemoField::DisplayOf(std::string_view) const { return "(MEMO)"; }

std::optional<std::string> TMemoField::Encode(const std::string& text) const {
  const auto v = ParseWhole(text);
  if (TrimControls(text).empty()) return BlankStored();
  if (!v || *v < 0 || *v > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return dbf::FormatInteger(*v, size_);
}

void TMemoField::SetStoredBlock(std::int32_t block) {
  SetStored(block == 0 ? BlankStored() : dbf::FormatInteger(block, size_));
}

void TMemoField::SetAsString(const std::string& text) { dataSet_.SetBlobText(*this, text); }

}  // namespace tavrin::dataset
