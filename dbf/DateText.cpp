#include "dbf/DateText.h"

#include <array>
#include <cctype>

#include "dbf/Engine.h"
#include "dbf/File.h"
#include "platform/Trim.h"

namespace tavrin::dbf {
namespace {

struct DateSettings {
  int format = 0;
  bool century = false;
  int pivot = Today().year - 70;
};

DateSettings& Dates() {
  static DateSettings settings;
  return settings;
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int ToInt(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

// Joins day, month and year texts in the current format's order with its separator.
std::string Arrange(const std::string& d, const std::string& m, const std::string& y) {
  const std::string sep(1, DateSeparator());
  switch (CurrentOrder()) {
    case DateOrder::MDY: return m + sep + d + sep + y;
    case DateOrder::YMD: return y + sep + m + sep + d;
    case DateOrder::DMY: return d + sep + m + sep + y;
  }
  return m + sep + d + sep + y;
}

// Splits a date text at its separator ('/', else '-', else '.') into three trimmed parts, each
// padded on the left with '0' to two characters. False when there are not exactly three parts.
bool SplitParts(std::string_view text, std::array<std::string, 3>* parts, bool* allEmpty) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string_view::npos) text = text.substr(0, nul);
  char sep = '.';
  if (text.find('/') != std::string_view::npos)
    sep = '/';
  else if (text.find('-') != std::string_view::npos)
    sep = '-';
  else if (text.find('.') == std::string_view::npos)
    return false;
  std::size_t start = 0;
  *allEmpty = true;
  for (int i = 0; i < 3; ++i) {
    std::size_t end = (i < 2) ? text.find(sep, start) : text.size();
    if (end == std::string_view::npos) return false;
    std::string part(platform::TrimControls(text.substr(start, end - start)));
    if (!part.empty()) *allEmpty = false;
    while (part.size() < 2) part.insert(part.begin(), '0');
    (*parts)[i] = part;
    start = end + 1;
  }
  return true;
}

// Picks day, month and year out of three parts in the current format's order.
void PartsToDMY(const std::array<std::string, 3>& p, std::string* d, std::string* m,
                std::string* y) {
  switch (CurrentOrder()) {
    case DateOrder::MDY:
      *m = p[0];
      *d = p[1];
      *y = p[2];
      break;
    case DateOrder::YMD:
      *y = p[0];
      *m = p[1];
      *d = p[2];
      break;
    case DateOrder::DMY:
      *d = p[0];
      *m = p[1];
      *y = p[2];
      break;
  }
}

bool ValidDate(const std::string& d, const std::string& m, const std::string& y) {
  if (!AllDigits(d) || !AllDigits(m) || !AllDigits(y)) return false;
  if (y.size() != 2 && y.size() != 4) return false;
  if (d.size() != 2 || m.size() != 2) return false;
  const int month = ToInt(m), day = ToInt(d);
  int year = ToInt(y);
  if (y.size() == 2) year = ExpandYear(year);
  if (month < 1 || month > 12 || day < 1) return false;
  return day <= DaysInMonth(year, month);
}

bool IsBlankPattern(std::string_view t) {
  if (t.size() != 8 && t.size() != 10) return false;
  int seps = 0;
  char sep = 0;
  for (char c : t) {
    if (c == ' ') continue;
    if (c != '/' && c != '-' && c != '.') return false;
    if (sep != 0 && c != sep) return false;
    sep = c;
    ++seps;
  }
  return seps == 0 || seps == 2;
}

}  // namespace

DateOrder CurrentOrder() {
  switch (Dates().format) {
    case 0: return DateOrder::MDY;
    case 1: return DateOrder::YMD;
    default: return DateOrder::DMY;
  }
}

int ExpandYear(int yy) {
  const int pivot = Dates().pivot;
  const int base = (pivot / 100) * 100;
  return (yy < pivot % 100) ? base + 100 + yy : base + yy;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[month - 1];
}

void SetDateFormat(int format) { Dates().format = (format < 0 || format > 8) ? 0 : format; }
int DateFormat() { return Dates().format; }
void SetCentury(bool on) { Dates().century = on; }
bool Century() { return Dates().century; }
void SetPivotYear(int year) { Dates().pivot = year; }

char DateSeparator() {
  switch (Dates().format) {
    case 0:
    case 2: return '/';
    case 3: return '-';
    default: return '.';
  }
}

std::string ShortDateFormat() {
  const std::string y = Dates().century ? "yyyy" : "yy";
  switch (Dates().format) {
    case 0: return "MM/dd/" + y;
    case 1: return y + ".MM.dd";
    case 2: return "dd/MM/" + y;
    case 3: return "dd-MM-" + y;
    default: return "dd.MM." + y;
  }
}

std::string BlankDateText() { return Arrange("  ", "  ", Dates().century ? "    " : "  "); }

std::string StoredToDateText(std::string_view stored) {
  std::string s(stored.substr(0, 8));
  s.resize(8, ' ');
  const std::string y = Dates().century ? s.substr(0, 4) : s.substr(2, 2);
  return Arrange(s.substr(6, 2), s.substr(4, 2), y);
}

std::string DateTextToStored(std::string_view text) {
  const std::string blank(8, ' ');
  if (text.empty() || IsBlankPattern(text)) return blank;
  const std::size_t want = Dates().century ? 10 : 8;
  if (text.size() != want) return blank;
  std::array<std::string, 3> parts;
  bool allEmpty = false;
  if (!SplitParts(text, &parts, &allEmpty) || allEmpty) return blank;
  std::string d, m, y;
  PartsToDMY(parts, &d, &m, &y);
  if (!ValidDate(d, m, y)) return blank;
  if (y.size() == 2) y = std::to_string(ExpandYear(ToInt(y)));
  return y + m + d;
}

bool DateTextCheck(std::string& text) {
  std::string t(platform::TrimControls(text));
  if (t.size() > 10) t.resize(10);
  std::array<std::string, 3> parts;
  bool allEmpty = false;
  std::string d, m, y;
  if (SplitParts(t, &parts, &allEmpty)) {
    if (allEmpty) {
      text = BlankDateText();
      return true;
    }
    PartsToDMY(parts, &d, &m, &y);
  } else {
    return false;  // no separator: nothing that could be a date
  }
  if (!ValidDate(d, m, y)) return false;
  text = Arrange(d, m, y);
  return true;
}

}  // namespace tavrin::dbf
