// TRecipientTable: the recipients a send walks, one record at a time.
//
// The send dialogue sees the table only through this interface: open it, walk it from the first
// record to the end, read a record's deletion mark and its fields by name, close it. Failures
// raise std::runtime_error (or a subclass) whose text names the cause; Close never raises.
// GUI thread.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin::app {

class TRecipientTable {
 public:
  virtual ~TRecipientTable() = default;

  virtual void Open() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // True when the open table has a field of this name (without regard to case).
  virtual bool HasField(const std::string& name) = 0;
  // Records in the table, those marked as deleted included.
  virtual std::int32_t RecordTotal() = 0;
  virtual void GoFirst() = 0;
  virtual void SkipBy(std::int32_t count) = 0;
  virtual bool AtEnd() = 0;
  virtual bool RecordDeleted() = 0;
  // The field's text in the program's 8-bit text, untrimmed.
  virtual std::string GetField(const std::string& name) = 0;
  // The field's value as a message shows it, in the program's 8-bit text: a display text without
  // its padding blanks, a memo's text, a logical's letter as the table holds it ("" when unset).
  virtual std::string FieldText(const std::string& name) { return TrimmedBlanks(GetField(name)); }
  // The field's dBASE type letter ('C', 'N', 'F', 'L', 'D', 'M'); 0 when the table lacks it.
  virtual char FieldType(const std::string& name) { return HasField(name) ? 'C' : '\0'; }

 protected:
  static std::string TrimmedBlanks(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') + 1 - first);
  }
};

}  // namespace tavrin::app
