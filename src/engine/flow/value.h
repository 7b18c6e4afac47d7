// The values of the multi-step templates: what variables hold and what template expressions
// compute, shaped after the Python values the community template format is written for.
//
// Every text in a flow value is UTF-8 (the format's own encoding; sites may send characters code
// page 936 lacks). The conversion to code page 936 happens only where a run's result meets the
// rest of the core (engine/flow/runner.h, coreOutcome).
//
// A value is cheap to copy: lists and maps are shared and never changed after they are made.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vesprey::flow {

// Appends the UTF-8 bytes of the code point `cp` to `out`.
void appendUtf8(std::string& out, std::uint32_t cp);

class Value;
using ValueList = std::vector<Value>;
// Members in the order they were made; a later member of the same name replaces the earlier one
// in its place.
using ValueMap = std::vector<std::pair<std::string, Value>>;

enum class ValueKind { Undefined, None, Bool, Integer, Float, String, List, Map };

class Value {
public:
    Value() = default;  // undefined
    static Value none();
    Value(bool b) : data_(b) {}
    Value(std::int64_t i) : data_(i) {}
    Value(int i) : data_(std::int64_t{i}) {}
    Value(double d) : data_(d) {}
    Value(std::string s) : data_(std::move(s)) {}
    Value(std::string_view s) : data_(std::string(s)) {}
    Value(const char* s) : data_(std::string(s)) {}
    Value(ValueList list) : data_(std::make_shared<const ValueList>(std::move(list))) {}
    Value(ValueMap map) : data_(std::make_shared<const ValueMap>(std::move(map))) {}

    ValueKind kind() const { return static_cast<ValueKind>(data_.index()); }
    bool isUndefined() const { return kind() == ValueKind::Undefined; }
    bool isNumber() const {
        return kind() == ValueKind::Integer || kind() == ValueKind::Float ||
               kind() == ValueKind::Bool;
    }

    bool asBool() const { return std::get<bool>(data_); }
    std::int64_t asInteger() const { return std::get<std::int64_t>(data_); }
    double asFloat() const { return std::get<double>(data_); }
    const std::string& asString() const { return std::get<std::string>(data_); }
    const ValueList& asList() const { return *std::get<ListPtr>(data_); }
    const ValueMap& asMap() const { return *std::get<MapPtr>(data_); }

    // Python's truth: undefined, none, false, 0, 0.0 and empty texts, lists and maps are false.
    bool truthy() const;
    // A number as a double (booleans are 0 and 1); 0 for anything else.
    double toDouble() const;
    // The text Python's str() gives, except that undefined is empty: "True", "None", "1.5",
    // "[1, 'a']", "{'a': 1}".
    std::string toText() const;
    // The member `name` of a map; undefined when there is none or this is no map.
    Value member(std::string_view name) const;
    // Python's ==: 1 == 1.0 == True, texts by bytes, lists and maps by their elements.
    bool equals(const Value& other) const;

private:
    struct None {};
    using ListPtr = std::shared_ptr<const ValueList>;
    using MapPtr = std::shared_ptr<const ValueMap>;
    std::variant<std::monostate, None, bool, std::int64_t, double, std::string, ListPtr, MapPtr>
        data_;
};

// Python's repr() of a float: the shortest text that reads back as the same number, with ".0" on
// whole numbers and an exponent from 1e16 and below 1e-4 ("1e+16", "1e-05"); "inf", "nan".
std::string floatText(double d);

// The map with `name` set to `value` (replacing a member of that name in place, or added at the
// end).
ValueMap withMember(ValueMap map, std::string_view name, Value value);

}  // namespace vesprey::flow
