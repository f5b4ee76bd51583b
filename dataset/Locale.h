// The start-up locale step: the engine's separators, century switch and date format, and the
// yes/no and true/false texts of logical fields, set once from values the program reads from the
// system locale. Process-wide; call before any dataset opens, from the GUI thread.
#pragma once

#include <string>

namespace tavrin::dataset {

// What the program reads from the system locale, as UTF-8 texts.
struct LocaleInput {
  std::string shortDateFormat;   // "dd.MM.yyyy", "M/d/yy", "yyyy-MM-dd", ...
  std::string decimalSeparator;  // "." or ","; anything but one ASCII character is ignored
  std::string thousandsSeparator;
};

// The texts logical fields are shown and compared with.
struct LogicalTexts {
  std::string yes = "Yes";
  std::string no = "No";
  std::string trueText = "True";
  std::string falseText = "False";
};
const LogicalTexts& LogicalFieldTexts();

// Sets the engine's decimal and thousands separators (single ASCII characters only; otherwise
// "." and "," stay, and two equal separators are told apart), the century switch (on exactly when
// the upper-cased format holds "YYYY") and the date format: day first gives 3 for "-", 5 for ".",
// 2 for "/" (else 0); year first gives 1; anything else 0.
void ApplyLocale(const LocaleInput& input);

}  // namespace tavrin::dataset
