// Inside the JSON library: the parser and the number readers it shares with the conversions.
#pragma once

#include <cstdint>
#include <string_view>

#include "json/value.h"

namespace vesprey::json_detail {

// Parses `text` (up to its first NUL) into `root`, which is cleared first and keeps its kind
// unless the text's top-level container is of the other kind. Returns the error code and sets
// `errorPosition` (0 on success). Never throws.
std::int32_t parseInto(JsonValue* root, std::u16string_view text, bool decodeUnicodeEscapes,
                       bool ignoreTopLevelText, std::int32_t& errorPosition) noexcept;

// Reads a signed 64-bit decimal integer: leading blanks, an optional sign, digits up to the first
// other character; saturates at the ends of the range; 0 without digits.
std::int64_t readInteger(std::u16string_view s) noexcept;
// Reads a decimal floating-point number from the start of `s` (leading blanks, sign, digits,
// point, exponent); 0 when there is none.
double readReal(std::u16string_view s) noexcept;

}  // namespace vesprey::json_detail
