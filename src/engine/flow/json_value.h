// JSON text to flow values and back, strictly as Python's json module reads and writes it. Texts
// are UTF-8 (engine/flow/value.h); \uXXXX escapes are decoded, surrogate pairs included.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "engine/flow/value.h"

namespace vesprey::flow {

// Where a JSON text goes wrong: the character (from 1) and what is wrong, in Chinese.
struct JsonReadError {
    std::size_t position = 0;
    std::string message;
};

// A JSON text as a value: objects become maps (members in text order), arrays lists, numbers
// without fraction or exponent integers (floats when too large), null none.
std::variant<Value, JsonReadError> readJson(std::string_view utf8);

struct JsonStyle {
    // Spaces of indentation per level, one member or element per line; negative: one line with
    // ", " and ": " between items.
    int indent = -1;
    // Every character past ASCII as \uXXXX (pairs for characters past U+FFFF).
    bool asciiOnly = true;
    // "<", ">", "&" and "'" as \u003c, \u003e, \u0026 and \u0027, for text put into HTML.
    bool htmlSafe = false;
};

// The JSON text of a value; undefined is written as null.
std::string writeJson(const Value& value, const JsonStyle& style = {});

}  // namespace vesprey::flow
