// The program's one text-to-integer conversion.
//
// Accepts leading blanks, an optional sign, then decimal digits, or hexadecimal digits after `$`,
// `x`, `X` or `0x`; nothing may follow, and the value must fit in 32 bits (a hexadecimal value may
// use all 32 bits and reads as the signed integer with that bit pattern). Pure, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tavrin::platform {

std::optional<std::int32_t> StrToInt(std::string_view text);

}  // namespace tavrin::platform
