// Inside the JSON library: the serializer.
#pragma once

#include <string>

#include "json/value.h"

namespace vesprey::json_detail {

// Writes `value` as JSON text (see JsonDocument::ToText). `initialCapacity` is in bytes. No
// recursion. May throw bad_alloc.
std::u16string serialize(const JsonValue& value, bool pretty, bool escapeStrings,
                         int initialCapacity);

}  // namespace vesprey::json_detail
