#include "engine/flow/value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace vesprey::flow {

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

namespace {

// Python's repr() of a text: single quotes unless the text holds a single quote and no double.
std::string textRepr(const std::string& s) {
    const bool useDouble = s.find('\'') != std::string::npos && s.find('"') == std::string::npos;
    const char quote = useDouble ? '"' : '\'';
    std::string out(1, quote);
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == quote || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7F) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", u);
            out += buffer;
        } else {
            out += c;
        }
    }
    out += quote;
    return out;
}

std::string repr(const Value& v) {
    return v.kind() == ValueKind::String ? textRepr(v.asString()) : v.toText();
}

}  // namespace

Value Value::none() {
    Value v;
    v.data_ = None{};
    return v;
}

bool Value::truthy() const {
    switch (kind()) {
        case ValueKind::Undefined:
        case ValueKind::None:
            return false;
        case ValueKind::Bool:
            return asBool();
        case ValueKind::Integer:
            return asInteger() != 0;
        case ValueKind::Float:
            return asFloat() != 0.0;
        case ValueKind::String:
            return !asString().empty();
        case ValueKind::List:
            return !asList().empty();
        case ValueKind::Map:
            return !asMap().empty();
    }
    return false;
}

double Value::toDouble() const {
    switch (kind()) {
        case ValueKind::Bool:
            return asBool() ? 1.0 : 0.0;
        case ValueKind::Integer:
            return static_cast<double>(asInteger());
        case ValueKind::Float:
            return asFloat();
        default:
            return 0.0;
    }
}

std::string Value::toText() const {
    switch (kind()) {
        case ValueKind::Undefined:
            return {};
        case ValueKind::None:
            return "None";
        case ValueKind::Bool:
            return asBool() ? "True" : "False";
        case ValueKind::Integer:
            return std::to_string(asInteger());
        case ValueKind::Float:
            return floatText(asFloat());
        case ValueKind::String:
            return asString();
        case ValueKind::List: {
            std::string out = "[";
            for (std::size_t i = 0; i < asList().size(); ++i) {
                out += (i ? ", " : "") + repr(asList()[i]);
            }
            return out + "]";
        }
        case ValueKind::Map: {
            std::string out = "{";
            bool first = true;
            for (const auto& [name, value] : asMap()) {
                out += (first ? "" : ", ") + textRepr(name) + ": " + repr(value);
                first = false;
            }
            return out + "}";
        }
    }
    return {};
}

Value Value::member(std::string_view name) const {
    if (kind() != ValueKind::Map) {
        return {};
    }
    for (const auto& [key, value] : asMap()) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

bool Value::equals(const Value& other) const {
    if (isNumber() && other.isNumber()) {
        if (kind() != ValueKind::Float && other.kind() != ValueKind::Float) {
            const auto whole = [](const Value& v) {
                return v.kind() == ValueKind::Bool ? std::int64_t{v.asBool()} : v.asInteger();
            };
            return whole(*this) == whole(other);
        }
        return toDouble() == other.toDouble();
    }
    if (kind() != other.kind()) {
        return false;
    }
    switch (kind()) {
        case ValueKind::Undefined:
        case ValueKind::None:
            return true;
        case ValueKind::String:
            return asString() == other.asString();
        case ValueKind::List: {
            const ValueList& a = asList();
            const ValueList& b = other.asList();
            if (a.size() != b.size()) {
                return false;
            }
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (!a[i].equals(b[i])) {
                    return false;
                }
            }
            return true;
        }
        case ValueKind::Map: {
            const ValueMap& a = asMap();
            if (a.size() != other.asMap().size()) {
                return false;
            }
            for (const auto& [name, value] : a) {
                const Value theirs = other.member(name);
                if (theirs.isUndefined() || !value.equals(theirs)) {
                    return false;
                }
            }
            return true;
        }
        default:
            return false;
    }
}

std::string floatText(double d) {
    if (std::isnan(d)) {
        return "nan";
    }
    if (std::isinf(d)) {
        return d < 0 ? "-inf" : "inf";
    }
    // The shortest digits that read back as `d`, then laid out as Python lays them out.
    char buffer[64];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::scientific);
    if (ec != std::errc()) {
        return "0.0";
    }
    std::string text(buffer, end);
    const std::size_t e = text.find('e');
    std::string mantissa = text.substr(0, e);
    const int exponent = std::stoi(text.substr(e + 1));
    const bool negative = mantissa[0] == '-';
    if (negative) {
        mantissa.erase(0, 1);
    }
    std::string digits;
    for (const char c : mantissa) {
        if (c != '.') {
            digits += c;
        }
    }
    std::string out = negative ? "-" : "";
    if (exponent >= 16 || exponent < -4) {
        out += digits.substr(0, 1);
        if (digits.size() > 1) {
            out += "." + digits.substr(1);
        }
        char exp[16];
        std::snprintf(exp, sizeof exp, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        return out + exp;
    }
    if (exponent < 0) {
        return out + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    }
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) {
        return out + digits + std::string(whole - digits.size(), '0') + ".0";
    }
    return out + digits.substr(0, whole) + "." + digits.substr(whole);
}

ValueMap withMember(ValueMap map, std::string_view name, Value value) {
    for (auto& [key, old] : map) {
        if (key == name) {
            old = std::move(value);
            return map;
        }
    }
    map.emplace_back(std::string(name), std::move(value));
    return map;
}

}  // namespace vesprey::flow
