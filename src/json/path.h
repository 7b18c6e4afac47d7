// Inside the JSON library: paths ("data.list[0].msg") and their resolution.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace vesprey::json_detail {

struct PathSegment {
    bool isIndex = false;
    std::int32_t index = 0;
    std::u16string name;
};

// Splits a path into member names and indexes. "." separates names; "[n]" is an index (a
// decimal number, optional minus sign, reading stops at the first other character, no digits is
// 0); a backslash before ".", "[", "]" or a backslash takes that character into the name, before
// anything else it stays. Empty names are skipped; a "]" without "[" drops the name it ends.
std::vector<PathSegment> splitPath(std::u16string_view path);

// Follows the segments from `root` without changing anything; null when a step finds nothing.
// An index on an object takes the member at that position of the member order.
JsonValue* resolveForReading(JsonValue* root, const std::vector<PathSegment>& segments) noexcept;
// The same for a path as written. Names without a backslash are looked up where they stand in
// the path, so reading allocates nothing.
JsonValue* resolveForReading(JsonValue* root, std::u16string_view path);

// Follows the segments from `root`, creating what is missing: a name makes the current value an
// object (clearing anything else) and adds the member as null at the end when missing; an index
// makes it an array and pads it with nulls. Null for a negative index. May throw bad_alloc.
JsonValue* resolveForWriting(JsonValue* root, const std::vector<PathSegment>& segments);

}  // namespace vesprey::json_detail
