#include "dbf/FieldConv.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "platform/Trim.h"

namespace tavrin::dbf {

std::string FormatFixed(double value, int width, int decimals) {
  if (width <= 0) return {};
  if (!std::isfinite(value)) return std::string(static_cast<std::size_t>(width), '*');
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (res.ec != std::errc()) return std::string(static_cast<std::size_t>(width), '*');
  std::string text(buf, res.ptr);
  if (text == "-0" || (text.size() > 1 && text.rfind("-0.", 0) == 0 &&
                       text.find_first_not_of("0.", 1) == std::string::npos)) {
    text.erase(0, 1);  // a negative zero prints as zero
  }
  if (text.size() > static_cast<std::size_t>(width))
    return std::string(static_cast<std::size_t>(width), '*');
  return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
}

std::string FormatInteger(std::int64_t value, int width) {
  if (width <= 0) return {};
  const std::string text = std::to_string(value);
  if (text.size() > static_cast<std::size_t>(width))
    return std::string(static_cast<std::size_t>(width), '*');
  return std::string(static_cast<std::size_t>(width) - text.size(), ' ') + text;
}

bool TryParseDouble(std::string_view text, double* value) {
  text = platform::TrimControls(text);
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  double v = 0;
  const auto res =
      std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return false;
  // The parser also takes "nan" and "inf"; neither is a number a table can hold.
  if (!std::isfinite(v)) return false;
  *value = v;
  return true;
}

double ParseDouble(std::string_view text) {
  double v = 0;
  return TryParseDouble(text, &v) ? v : 0.0;
}

std::int32_t ParseInt32(std::string_view text) {
  double v = 0;
  if (!TryParseDouble(text, &v)) return 0;
  v = std::trunc(v);
  if (v < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
      v > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return 0;
  }
  return static_cast<std::int32_t>(v);
}

}  // namespace tavrin::dbf
