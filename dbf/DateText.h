// Date texts of the engine: the date format (0..8), the century switch and the century window,
// and the conversions between the stored YYYYMMDD form and the text in the current format.
// Process-wide settings, single thread. The public face of these is in Engine.h.
#pragma once

#include <string>
#include <string_view>

namespace tavrin::dbf {

// Order of the day, month and year parts in a date format.
enum class DateOrder { MDY, YMD, DMY };
DateOrder CurrentOrder();

// Century given to a two-digit year by the window around the pivot year.
int ExpandYear(int twoDigitYear);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

}  // namespace tavrin::dbf
