// Field queries, typed access to the field value area, and the field text service.
#include <cmath>
#include <cstring>
#include <limits>

#include "dbf/DateText.h"
#include "dbf/Errors.h"
#include "dbf/FieldConv.h"
#include "dbf/WorkArea.h"
#include "platform/CodePage.h"
#include "platform/Trim.h"

namespace tavrin::dbf {
namespace {

// The field `n` of the current table, or nullptr after reporting 215 or 220 for `op`.
const FieldInfo* FieldOf(const char* op, int n, WorkArea** area = nullptr) {
  std::string full = std::string(op) + "()";
  WorkArea* a = RequireOpen(full.c_str());
  if (a == nullptr) return nullptr;
  if (n < 1 || n > static_cast<int>(a->t().fields.size())) {
    Report(err::kInvalidParameter, FieldNumberMessage(op, n));
    return nullptr;
  }
  if (area != nullptr) *area = a;
  return &a->t().fields[static_cast<std::size_t>(n - 1)];
}

// Field `n` when its type is one of `types`; reports 220 otherwise.
const FieldInfo* TypedField(const char* op, int n, const char* types, std::uint8_t** item) {
  WorkArea* a = nullptr;
  const FieldInfo* f = FieldOf(op, n, &a);
  if (f == nullptr) return nullptr;
  const bool isNumber = f->type == 'N' || f->type == 'F';
  bool fits = std::strchr(types, f->type) != nullptr;
  if (std::strchr(types, 'd') && isNumber) fits = f->decimals > 0;   // 'd': number with decimals
  if (std::strchr(types, 'i') && isNumber) fits = f->decimals == 0;  // 'i': number without
  if (!fits) {
    Report(err::kInvalidParameter,
           "Field type mismatch. [" + std::string(op) + "(" + std::to_string(n) + ")]");
    return nullptr;
  }
  *item = a->values + f->valueOffset;
  return f;
}

std::string ItemText(const std::uint8_t* item, std::size_t cap) {
  const std::size_t n = std::min<std::size_t>(item[0], cap);
  return std::string(reinterpret_cast<const char*>(item + 1), n);
}

void PutItemText(std::uint8_t* item, std::size_t cap, std::string_view text) {
  const std::size_t n = std::min(text.size(), cap);
  item[0] = static_cast<std::uint8_t>(n);
  std::memcpy(item + 1, text.data(), n);
}

}  // namespace

std::string FieldNumberMessage(const char* op, int n) {
  return "Invalid field number. [" + std::string(op) + "(" + std::to_string(n) + ")]";
}

int FieldCount() {
  WorkArea* a = RequireOpen("FieldCount()");
  return a == nullptr ? 0 : static_cast<int>(a->t().fields.size());
}

std::string Field(int n) {
  const FieldInfo* f = FieldOf("Field", n);
  return f == nullptr ? std::string() : f->name;
}

int FieldNo(std::string_view name) {
  WorkArea* a = RequireOpen("FieldNo()");
  if (a == nullptr) return 0;
  std::string key(name.substr(0, 10));
  while (!key.empty() && static_cast<unsigned char>(key.back()) <= 32) key.pop_back();
  key = platform::AnsiUpper(key);
  const auto& fields = a->t().fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name == key) return static_cast<int>(i + 1);
  }
  return 0;
}

char FieldType(int n) {
  const FieldInfo* f = FieldOf("FieldType", n);
  return f == nullptr ? ' ' : f->type;
}

int FieldLen(int n) {
  const FieldInfo* f = FieldOf("FieldLen", n);
  return f == nullptr ? 0 : f->length;
}

int FieldDec(int n) {
  const FieldInfo* f = FieldOf("FieldDec", n);
  return f == nullptr ? 0 : f->decimals;
}

std::uint8_t* FieldAddress(int n) {
  WorkArea* a = RequireOpen("FieldAddress()");
  if (a == nullptr) return nullptr;
  if (n == 0) return a->values;
  if (n < 0 || n > static_cast<int>(a->t().fields.size())) {
    Report(err::kInvalidParameter, FieldNumberMessage("FieldAddress", n));
    return nullptr;
  }
  return a->values + a->t().fields[static_cast<std::size_t>(n - 1)].valueOffset;
}

std::string GetString(int n) {
  std::uint8_t* item = nullptr;
  const FieldInfo* f = TypedField("GetString", n, "CD", &item);
  return f == nullptr ? std::string() : ItemText(item, f->valueSize - 1);
}

void SetString(int n, std::string_view value) {
  std::uint8_t* item = nullptr;
  const FieldInfo* f = TypedField("SetString", n, "CD", &item);
  if (f == nullptr) return;
  PutItemText(item, f->type == 'C' ? static_cast<std::size_t>(f->length) : f->valueSize - 1, value);
}

double GetDouble(int n) {
  std::uint8_t* item = nullptr;
  const FieldInfo* f = TypedField("GetDouble", n, "NF", &item);
  if (f == nullptr) return 0;
  if (f->decimals == 0) {
    std::int32_t i = 0;
    std::memcpy(&i, item, sizeof i);
    return i;
  }
  double d = 0;
  std::memcpy(&d, item, sizeof d);
  return d;
}

void SetDouble(int n, double value) {
  std::uint8_t* item = nullptr;
  const FieldInfo* f = TypedField("SetDouble", n, "NF", &item);
  if (f == nullptr) return;
  if (f->decimals > 0) {
    std::memcpy(item, &value, sizeof value);
    return;
  }
  const double t = std::trunc(value);
  const bool fits = std::isfinite(t) && t >= std::numeric_limits<std::int32_t>::min() &&
                    t <= std::numeric_limits<std::int32_t>::max();
  const std::int32_t i = fits ? static_cast<std::int32_t>(t) : 0;
  std::memcpy(item, &i, sizeof i);
}

std::int32_t GetInteger(int n) {
  std::uint8_t* item = nullptr;
  if (TypedField("GetInteger", n, "iM", &item) == nullptr) return 0;
  std::int32_t i = 0;
  std::memcpy(&i, item, sizeof i);
  return i;
}

void SetInteger(int n, std::int32_t value) {
  std::uint8_t* item = nullptr;
  if (TypedField("SetInteger", n, "iM", &item) == nullptr) return;
  std::memcpy(item, &value, sizeof value);
}

bool GetLogical(int n) {
  std::uint8_t* item = nullptr;
  return TypedField("GetLogical", n, "L", &item) != nullptr && item[0] != 0;
}

void SetLogical(int n, bool value) {
  std::uint8_t* item = nullptr;
  if (TypedField("SetLogical", n, "L", &item) != nullptr) item[0] = value ? 1 : 0;
}

void SetDeleted(bool deleted) {
  WorkArea* a = RequireOpen("SetDeleted");
  if (a != nullptr) a->values[0] = deleted ? 1 : 0;
}

namespace {

bool SetDateText(int n, std::string_view text) {
  std::string t(platform::TrimControls(text));
  if (t.size() == 8 && t.find_first_not_of("0123456789") == std::string::npos) {
    t = StoredToDateText(t);  // the stored YYYYMMDD form
  }
  if (t.empty()) t = BlankDateText();
  if (!DateTextCheck(t)) return false;
  SetString(n, t);
  return true;
}

bool SetLogicalText(int n, std::string_view text) {
  const std::string_view t = platform::TrimControls(text);
  if (t.empty() || std::strchr("FfNn?", t[0]) != nullptr) {
    SetLogical(n, false);
    return true;
  }
  if (std::strchr("TtYy", t[0]) != nullptr) {
    SetLogical(n, true);
    return true;
  }
  return false;
}

}  // namespace

bool SetFieldText(int n, std::string_view text) {
  const char type = FieldType(n);
  if (ErrorCode() != 0) return false;
  double d = 0;
  switch (type) {
    case 'C': SetString(n, text); return true;
    case 'D': return SetDateText(n, text);
    case 'L': return SetLogicalText(n, text);
    case 'N':
    case 'F':
    case 'M':
      if (platform::TrimControls(text).empty()) {
        d = 0;
      } else if (!TryParseDouble(text, &d)) {
        return false;
      }
      if (type == 'M' || FieldDec(n) == 0) {
        if (d != std::trunc(d) || d < std::numeric_limits<std::int32_t>::min() ||
            d > std::numeric_limits<std::int32_t>::max()) {
          return false;
        }
        SetInteger(n, static_cast<std::int32_t>(d));
      } else {
        SetDouble(n, d);
      }
      return ErrorCode() == 0;
    default: return false;
  }
}

std::string FieldText(int n) {
  WorkArea* a = nullptr;
  const FieldInfo* f = FieldOf("FieldText", n, &a);
  if (f == nullptr) return {};
  const std::uint8_t* item = a->values + f->valueOffset;
  std::int32_t i = 0;
  switch (f->type) {
    case 'C':
    case 'D': return ItemText(item, f->valueSize - 1);
    case 'N':
    case 'F':
      if (f->decimals > 0) {
        double d = 0;
        std::memcpy(&d, item, sizeof d);
        std::string s = FormatFixed(d, f->length, f->decimals);
        const char sep = Engine().settings.decimalSeparator;
        if (sep != '.') {
          for (char& c : s) {
            if (c == '.') c = sep;
          }
        }
        return s;
      }
      std::memcpy(&i, item, sizeof i);
      return FormatInteger(i, f->length);
    case 'L': return item[0] ? "Y" : "N";
    case 'M': std::memcpy(&i, item, sizeof i); return i == 0 ? "none" : (i > 0 ? "MEMO" : "BLOB");
    default: return {};
  }
}

std::string LastUpdate() {
  WorkArea* a = RequireOpen("LastUpdate");
  return a == nullptr ? std::string() : a->t().lastUpdate;
}

void SetStoredText(int n, std::string_view text) {
  WorkArea* a = nullptr;
  if (FieldOf("SetStoredText", n, &a) == nullptr) return;
  for (auto& [field, stored] : a->storedText) {
    if (field == n) {
      stored = std::string(text);
      return;
    }
  }
  a->storedText.emplace_back(n, std::string(text));
}

}  // namespace tavrin::dbf
