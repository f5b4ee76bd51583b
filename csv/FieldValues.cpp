#include "csv/FieldValues.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/IntConv.h"
#include "platform/Trim.h"

namespace tavrin::tools {
namespace {

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

using platform::TrimControls;

bool IsPlainNumber(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  std::size_t digits = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i, ++digits;
  }
  return digits > 0 && i == s.size();
}

ImportValue TooWide(std::string_view text, int length) {
  throw ValueError("\"" + std::string(text) + "\" does not fit in " + std::to_string(length) +
                   " characters");
}

// A whole number is kept digit for digit, however long, as long as the field is wide enough.
ImportValue ConvertWholeNumber(const FieldShape& field, std::string_view text) {
  const bool negative = text[0] == '-';
  std::string_view digits = text.substr(text[0] == '-' || text[0] == '+' ? 1 : 0);
  const std::size_t point = digits.find('.');
  if (point != std::string_view::npos) {
    if (digits.substr(point + 1).find_first_not_of('0') != std::string_view::npos) {
      throw ValueError("\"" + std::string(text) + "\" is not a whole number");
    }
    digits = digits.substr(0, point);
  }
  while (digits.size() > 1 && digits[0] == '0') digits.remove_prefix(1);
  if (digits.empty()) digits = "0";
  const bool zero = digits == "0";
  std::string number = negative && !zero ? "-" : "";
  number.append(digits);
  if (number.size() > static_cast<std::size_t>(field.length)) TooWide(text, field.length);
  ImportValue v;
  std::from_chars(number.data(), number.data() + number.size(), v.number);
  v.text = std::string(static_cast<std::size_t>(field.length) - number.size(), ' ') + number;
  return v;
}

// The stored text of a number: right-aligned in the field with exactly `decimals` digits after the
// point (whole numbers digit for digit). Empty is 0.
ImportValue ConvertNumber(const FieldShape& field, std::string_view text) {
  if (text.empty()) text = "0";
  if (!IsPlainNumber(text)) throw ValueError("\"" + std::string(text) + "\" is not a number");
  if (field.decimals == 0) return ConvertWholeNumber(field, text);
  ImportValue v;
  const std::string digits(text[0] == '+' ? text.substr(1) : text);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v.number);
  if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(v.number)) {
    throw ValueError("\"" + std::string(text) + "\" is out of range");
  }
  if (digits.size() > static_cast<std::size_t>(field.length) + 400) TooWide(text, field.length);
  char formatted[700];
  std::snprintf(formatted, sizeof formatted, "%*.*f", field.length, field.decimals, v.number);
  if (std::string_view(formatted).size() > static_cast<std::size_t>(field.length))
    TooWide(text, field.length);
  v.text = formatted;
  return v;
}

ImportValue ConvertLogical(std::string_view text) {
  const std::string u = Upper(text);
  ImportValue v;
  if (u.empty() || u == "F" || u == "N" || u == "FALSE" || u == "NO") return v;
  if (u == "T" || u == "Y" || u == "TRUE" || u == "YES") {
    v.truth = true;
    return v;
  }
  throw ValueError("\"" + std::string(text) + "\" is not a logical value (T or F)");
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

ImportValue ConvertDate(std::string_view text) {
  ImportValue v;
  if (text.empty()) {
    v.text = std::string(8, ' ');
    return v;
  }
  std::string d(text);
  if (d.size() == 10 && d[4] == '-' && d[7] == '-')
    d = d.substr(0, 4) + d.substr(5, 2) + d.substr(8, 2);
  bool digits = d.size() == 8;
  for (char c : d) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  if (digits) {
    const int y = std::stoi(d.substr(0, 4)), m = std::stoi(d.substr(4, 2)),
              day = std::stoi(d.substr(6, 2));
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y >= 1 && m >= 1 && m <= 12 && day >= 1 && day <= kDays[m - 1] &&
        !(m == 2 && day == 29 && !IsLeap(y))) {
      v.text = d;
      return v;
    }
  }
  throw ValueError("\"" + std::string(text) + "\" is not a date (YYYYMMDD or YYYY-MM-DD)");
}

}  // namespace

std::optional<dbf::FieldDef> ParseFieldArg(std::string_view arg) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = arg.find(',', start);
    parts.emplace_back(TrimControls(
        arg.substr(start, comma == std::string_view::npos ? arg.npos : comma - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (parts.size() < 2 || parts.size() > 4 || parts[0].empty() || parts[1].size() != 1)
    return std::nullopt;
  dbf::FieldDef def;
  def.name = parts[0];
  def.type = Upper(parts[1])[0];
  if (std::string_view("CDFLMN").find(def.type) == std::string_view::npos) return std::nullopt;
  const bool fixed = def.type == 'D' || def.type == 'L' || def.type == 'M';
  if (parts.size() < 3 && !fixed) return std::nullopt;
  for (std::size_t i = 2; i < parts.size(); ++i) {
    const auto n = platform::StrToInt(parts[i]);
    if (!n || *n < 0 || *n > 255 || parts[i].find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    (i == 2 ? def.length : def.decimals) = *n;
  }
  if (fixed) def.length = def.type == 'D' ? 8 : def.type == 'L' ? 1 : 10;
  if (!fixed && def.length == 0) return std::nullopt;
  return def;
}

void CheckFieldDefs(const std::vector<dbf::FieldDef>& fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const dbf::FieldDef& f = fields[i];
    const std::string quoted = "field name \"" + f.name + "\"";
    if (f.name.size() > 10) throw ValueError(quoted + " is longer than 10 characters");
    const auto nameChar = [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
    };
    if (f.name.empty() || !std::isalpha(static_cast<unsigned char>(f.name[0])) ||
        !std::all_of(f.name.begin(), f.name.end(), nameChar) ||
        static_cast<unsigned char>(f.name[0]) >= 0x80) {
      throw ValueError(quoted +
                       ": a name is a letter followed by letters, digits and _ (A-Z, 0-9, _)");
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (Upper(fields[j].name) == Upper(f.name)) throw ValueError(quoted + " is used twice");
    }
    const char type = static_cast<char>(std::toupper(static_cast<unsigned char>(f.type)));
    if ((type == 'N' || type == 'F') && f.decimals > 0 && f.decimals + 2 > f.length) {
      throw ValueError(quoted + ": " + std::to_string(f.decimals) +
                       " decimals leave no room for a digit "
                       "before the point in " +
                       std::to_string(f.length) + " characters");
    }
  }
}

ImportValue ConvertImportValue(const FieldShape& field, const std::string& ansi) {
  switch (field.type) {
    case 'C':
      if (ansi.size() > static_cast<std::size_t>(field.length)) {
        throw ValueError("text of " + std::to_string(ansi.size()) +
                         " characters is longer than the field (" + std::to_string(field.length) +
                         ")");
      }
      return ImportValue{ansi, 0, false};
    case 'M': return ImportValue{ansi, 0, false};
    case 'N':
    case 'F': return ConvertNumber(field, TrimControls(ansi));
    case 'L': return ConvertLogical(TrimControls(ansi));
    case 'D': return ConvertDate(TrimControls(ansi));
    default: throw ValueError(std::string("fields of type ") + field.type + " cannot be imported");
  }
}

std::string StoredDateToText(std::string_view stored) {
  if (stored.size() != 8 || TrimControls(stored).empty()) return "  /  /    ";
  return std::string(stored.substr(4, 2)) + "/" + std::string(stored.substr(6, 2)) + "/" +
         std::string(stored.substr(0, 4));
}

std::string ExportText(char type, std::string stored) {
  if (type == 'C') {
    return std::string(platform::TrimRight(stored, " "));
  }
  return std::string(TrimControls(stored));
}

}  // namespace tavrin::tools
