// Conversions between the text stored in a record's field and its typed value: numbers formatted
// right-aligned to the field width (all '*' when they do not fit) and read back without regard to
// the process locale. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavrin::dbf {

// "%*.*f"-style text of `value`, right-aligned in `width`, or `width` '*' when it does not fit
// (also for NaN and infinities).
std::string FormatFixed(double value, int width, int decimals);
std::string FormatInteger(std::int64_t value, int width);

// Stored number text -> value; text that is not a number reads as 0.
double ParseDouble(std::string_view text);
// Whole numbers only; text that is not one, or does not fit 32 bits, reads as 0. A fraction is cut.
std::int32_t ParseInt32(std::string_view text);
// Strict forms for SetFieldText: false when the text is not a number.
bool TryParseDouble(std::string_view text, double* value);

}  // namespace tavrin::dbf
