#include "dataset/Locale.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "dbf/Engine.h"

namespace tavrin::dataset {
namespace {

constexpr std::size_t kTextLimit = 20;

LogicalTexts MakeTexts() {
  LogicalTexts t;
  for (std::string* s : {&t.yes, &t.no, &t.trueText, &t.falseText})
    s->resize(std::min(s->size(), kTextLimit));
  return t;
}

std::optional<char> AsciiSeparator(const std::string& text) {
  if (text.size() != 1) return std::nullopt;
  const unsigned char c = static_cast<unsigned char>(text[0]);
  if (c < 0x20 || c > 0x7e || std::isalnum(c)) return std::nullopt;
  return static_cast<char>(c);
}

// The separator between the day, month and year of a format: its first non-letter character.
char DateSeparatorOf(const std::string& format) {
  for (char c : format)
    if (!std::isalpha(static_cast<unsigned char>(c))) return c;
  return '\0';
}

int DateFormatFor(const std::string& format) {
  if (format.empty()) return 0;
  const char first = static_cast<char>(std::toupper(static_cast<unsigned char>(format[0])));
  if (first == 'Y') return 1;
  if (first != 'D') return 0;
  switch (DateSeparatorOf(format)) {
    case '-': return 3;
    case '.': return 5;
    case '/': return 2;
    default: return 0;
  }
}

}  // namespace

const LogicalTexts& LogicalFieldTexts() {
  static const LogicalTexts texts = MakeTexts();
  return texts;
}

void ApplyLocale(const LocaleInput& input) {
  dbf::EngineSettings& s = dbf::Settings();
  s.decimalSeparator = AsciiSeparator(input.decimalSeparator).value_or('.');
  s.thousandsSeparator = AsciiSeparator(input.thousandsSeparator).value_or(',');
  if (s.thousandsSeparator == s.decimalSeparator)
    s.thousandsSeparator = s.decimalSeparator == ',' ? '.' : ',';
  std::string upper = input.shortDateFormat;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  dbf::SetCentury(upper.find("YYYY") != std::string::npos);
  dbf::SetDateFormat(DateFormatFor(input.shortDateFormat));
}

}  // namespace tavrin::dataset
