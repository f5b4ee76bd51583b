// Conversions between dbftool's outside text (UTF-8, CSV cells, command-line field definitions)
// and what the engine stores. Import values are checked completely before anything is written,
// so a bad cell is reported with its row and column and the table is left as it was.
// Pure functions over plain values, any thread; the engine is not touched here.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dbf/Engine.h"

namespace tavrin::tools {

// A value the table cannot hold as given; the message names what is wrong.
class ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "NAME,TYPE[,LENGTH[,DECIMALS]]"; LENGTH may be left out for D, L and M. Nothing when malformed.
std::optional<dbf::FieldDef> ParseFieldArg(std::string_view arg);

// Refuses definitions that would make a table no one can fill, naming the first fault: names
// that are empty, longer than 10 characters, not a letter followed by letters, digits and "_",
// or used twice in any letter case; decimals that leave no room for a digit before the point.
void CheckFieldDefs(const std::vector<dbf::FieldDef>& fields);

// The shape of one field, as the converters need it.
struct FieldShape {
  char type = 'C';
  int length = 0;
  int decimals = 0;
};

// A checked import value in the form the engine's setters take:
// C and M: the text (bytes of the table's code page); N/F: the number and its stored text (right-
// aligned, field wide); L: the truth; D: "YYYYMMDD" or 8 spaces.
struct ImportValue {
  std::string text;
  double number = 0;
  bool truth = false;
};

// Checks an import cell (UTF-8) against the field and converts it; throws ValueError.
// `ansi` is the cell already converted to the table's 8-bit code page.
// C: at most `length` bytes. N/F: a plain decimal number ([-+]digits[.digits]) within the range of
// a double that fits the width; without decimals any whole number that fits, kept digit for digit;
// empty is 0. L: T/F/Y/N/true/false/yes/no (any case) or empty.
// D: YYYYMMDD or YYYY-MM-DD of a real date, or empty.
ImportValue ConvertImportValue(const FieldShape& field, const std::string& ansi);

// "YYYYMMDD" -> "MM/DD/YYYY" (the engine's date text with format 0 and the century on).
std::string StoredDateToText(std::string_view stored);

// Field text for export: C trimmed of trailing blanks; N/F/D/L/M trimmed at both ends (their
// padding carries no meaning).
std::string ExportText(char type, std::string stored);

}  // namespace tavrin::tools
