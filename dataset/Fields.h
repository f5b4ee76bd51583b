// Field objects: one typed view of a column of the dataset's active record.
//
// A field reads its value from the bytes the active record buffer holds for it, in the table's
// stored form (a character field's padded text, a number's right-aligned digits, a date's YYYYMMDD,
// a logical's letter, a memo's block number), and writes by putting a new stored form there through
// its dataset. Numbers and dates are converted with the engine's own routines, never the C
// library's locale-dependent ones. Owned by its dataset; valid while the dataset is open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin::dataset {

class TDataSet;

enum class TFieldType { ftString, ftInteger, ftFloat, ftBoolean, ftDate, ftMemo };

struct TDate {
  int year = 0;
  int month = 0;
  int day = 0;
  bool operator==(const TDate&) const = default;
};

class TField {
 public:
  TField(TDataSet& dataSet, std::string name, TFieldType type);
  virtual ~TField() = default;
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  const std::string& FieldName() const { return name_; }
  TFieldType DataType() const { return type_; }
  int FieldNo() const { return fieldNo_; }  // the table field's number; 0 for a calculated field
  int Size() const { return size_; }        // stored width in characters
  bool Calculated() const { return calcIndex_ >= 0; }
  TDataSet& DataSet() const { return dataSet_; }

  // Reading the active record. A null field reads as "" / 0 / false.
  bool IsNull() const;
  std::string AsString() const;
  std::string DisplayText() const;  // as a grid shows it
  std::string EditText() const;     // as an editor starts with it
  std::int64_t AsInteger() const;
  double AsFloat() const;
  bool AsBoolean() const;
  // The stored form in the active buffer; nothing when there is no record (or a null calculated value).
  std::optional<std::string_view> Stored() const;

  // Writing (edit or insert state; a calculated field in OnCalcFields). Texts that do not fit the
  // field's type raise EDbfError and change nothing.
  virtual void SetAsString(const std::string& text);
  void SetText(const std::string& text) { SetAsString(text); }
  void SetAsInteger(std::int64_t value);
  void Clear();  // no value

 protected:
  friend class TDataSet;
  virtual bool NullStored(std::string_view stored) const = 0;
  virtual std::string TextOf(std::string_view stored) const = 0;
  virtual std::string DisplayOf(std::string_view stored) const { return TextOf(stored); }
  // The stored form of a text; nothing when the text is not a value of this type.
  virtual std::optional<std::string> Encode(const std::string& text) const = 0;
  std::string BlankStored() const { return std::string(static_cast<std::size_t>(size_), ' '); }
  void SetStored(std::optional<std::string> stored);
  [[noreturn]] void InvalidValue(const std::string& text) const;
  // Why `text` was refused: not a value of the field's type, or (numbers) a value too large for it.
  virtual std::string Refusal(const std::string& text) const;

  TDataSet& dataSet_;
  std::string name_;
  TFieldType type_;
  int fieldNo_ = 0;
  int offset_ = 0;  // in the record buffer's data
  int size_ = 0;
  int decimals_ = 0;
  int calcIndex_ = -1;  // index into the buffer's calculated values
};

class TStringField final : public TField {
 public:
  using TField::TField;

 protected:
  bool NullStored(std::string_view) const override { return false; }
  std::string TextOf(std::string_view stored) const override;
  std::optional<std::string> Encode(const std::string& text) const override;
};

class TIntegerField final : public TField {
 public:
  using TField::TField;

 protected:
  bool NullStored(std::string_view stored) const override;
  std::string TextOf(std::string_view stored) const override;
  std::optional<std::string> Encode(const std::string& text) const override;
  std::string Refusal(const std::string& text) const override;
};

class TFloatField final : public TField {
 public:
  using TField::TField;
  int Precision() const { return size_; }

 protected:
  bool NullStored(std::string_view stored) const override;
  std::string TextOf(std::string_view stored) const override;
  std::optional<std::string> Encode(const std::string& text) const override;
  std::string Refusal(const std::string& text) const override;
};

class TBooleanField final : public TField {
 public:
  using TField::TField;

 protected:
  bool NullStored(std::string_view stored) const override;
  std::string TextOf(std::string_view stored) const override;
  std::optional<std::string> Encode(const std::string& text) const override;
};

// A date: shown and edited in the engine's date format; stored YYYYMMDD.
class TXbDateField final : public TField {
 public:
  using TField::TField;
  std::optional<TDate> AsDate() const;
  // The edit mask built from the short date format ("99/99/9999;1; ", "9999/99/99;1; ", ...).
  std::string EditMask() const;
  // A text that is not a date shows "        Invalid date       " and clears the field.
  void SetAsString(const std::string& text) override;

 protected:
  bool NullStored(std::string_view stored) const override;
  std::string TextOf(std::string_view stored) const override;
  std::optional<std::string> Encode(const std::string& text) const override;
};

// A memo: the stored form is the memo's block number; the text is read and written through the
// dataset's memo streams.
class TMemoField final : public TField {
 public:
  using TField::TField;
  std::int32_t Block() const;
  // Puts memo reference `block` (0 = no memo) into the record; memo streams use this.
  void SetStoredBlock(std::int32_t block);
  void SetAsString(const std::string& text) override;

 protected:
  bool NullStored(std::string_view stored) const override;
  std::string TextOf(std::string_view stored) const override;
  std::string DisplayOf(std::string_view stored) const override;
  std::optional<std::string> Encode(const std::string& text) const override;
};

}  // namespace tavrin::dataset
