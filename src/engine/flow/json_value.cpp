#include "engine/flow/json_value.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <system_error>

namespace vesprey::flow {

namespace {

// Nesting deeper than this is refused rather than followed down the stack.
constexpr int kMaxDepth = 200;

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::variant<Value, JsonReadError> run() {
        skipSpace();
        std::optional<Value> value = parseValue(0);
        if (value) {
            skipSpace();
            if (at_ != text_.size()) {
                fail("JSON 文本在结尾之后还有内容");
            }
        }
        if (error_) {
            return *error_;
        }
        return *value;
    }

private:
    std::optional<Value> fail(const char* message) {
        if (!error_) {
            std::size_t characters = 0;
            for (std::size_t i = 0; i < at_ && i < text_.size(); ++i) {
                if ((static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80) {
                    ++characters;
                }
            }
            error_ = JsonReadError{characters + 1, message};
        }
        return std::nullopt;
    }

    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r')) {
            ++at_;
        }
    }

    bool literal(std::string_view word) {
        if (text_.substr(at_, word.size()) == word) {
            at_ += word.size();
            return true;
        }
        return false;
    }

    std::optional<Value> parseValue(int depth) {
        if (depth > kMaxDepth) {
            return fail("JSON 嵌套太深");
        }
        if (at_ >= text_.size()) {
            return fail("JSON 文本不完整");
        }
        const char c = text_[at_];
        if (c == '{') {
            return parseObject(depth);
        }
        if (c == '[') {
            return parseArray(depth);
        }
        if (c == '"') {
            auto s = parseString();
            return s ? std::optional<Value>(Value(std::move(*s))) : std::nullopt;
        }
        if (literal("true")) {
            return Value(true);
        }
        if (literal("false")) {
            return Value(false);
        }
        if (literal("null")) {
            return Value::none();
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            return parseNumber();
        }
        return fail("JSON 里有读不懂的值");
    }

    std::optional<Value> parseNumber() {
        const std::size_t start = at_;
        bool isFloat = false;
        if (text_[at_] == '-') {
            ++at_;
        }
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '.' || c == 'e' || c == 'E' || c == '+' || (c == '-' && at_ > start)) {
                isFloat = true;
            } else if (c < '0' || c > '9') {
                break;
            }
            ++at_;
        }
        const std::string_view number = text_.substr(start, at_ - start);
        if (!isFloat) {
            std::int64_t i = 0;
            const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), i);
            if (ec == std::errc() && end == number.data() + number.size()) {
                return Value(i);
            }
        }
        const std::string copy(number);
        char* end = nullptr;
        const double d = std::strtod(copy.c_str(), &end);
        if (end != copy.c_str() + copy.size() || copy == "-") {
            at_ = start;
            return fail("JSON 里有写错的数字");
        }
        return Value(d);
    }

    std::optional<std::uint32_t> hex4() {
        if (at_ + 4 > text_.size()) {
            return std::nullopt;
        }
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            v <<= 4;
            if (c >= '0' && c <= '9') {
                v |= static_cast<std::uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                v |= static_cast<std::uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                v |= static_cast<std::uint32_t>(c - 'A' + 10);
            } else {
                return std::nullopt;
            }
        }
        return v;
    }

    std::optional<std::string> parseString() {
        ++at_;  // the opening quote
        std::string out;
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '"') {
                ++at_;
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                fail("JSON 字符串里有控制字符");
                return std::nullopt;
            }
            if (c != '\\') {
                out += c;
                ++at_;
                continue;
            }
            if (++at_ >= text_.size()) {
                break;
            }
            const char e = text_[at_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    auto cp = hex4();
                    if (!cp) {
                        fail("JSON 字符串里的 \\u 转义不完整");
                        return std::nullopt;
                    }
                    if (*cp >= 0xD800 && *cp < 0xDC00 && text_.substr(at_, 2) == "\\u") {
                        const std::size_t back = at_;
                        at_ += 2;
                        auto low = hex4();
                        if (low && *low >= 0xDC00 && *low < 0xE000) {
                            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
                        } else {
                            at_ = back;
                        }
                    }
                    appendUtf8(out, *cp);
                    break;
                }
                default:
                    --at_;
                    fail("JSON 字符串里有不认识的转义");
                    return std::nullopt;
            }
        }
        fail("JSON 字符串没有结束的引号");
        return std::nullopt;
    }

    std::optional<Value> parseArray(int depth) {
        ++at_;
        ValueList list;
        skipSpace();
        if (at_ < text_.size() && text_[at_] == ']') {
            ++at_;
            return Value(std::move(list));
        }
        while (true) {
            skipSpace();
            auto element = parseValue(depth + 1);
            if (!element) {
                return std::nullopt;
            }
            list.push_back(std::move(*element));
            skipSpace();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < text_.size() && text_[at_] == ']') {
                ++at_;
                return Value(std::move(list));
            }
            return fail("JSON 数组里缺少逗号或 ]");
        }
    }

    std::optional<Value> parseObject(int depth) {
        ++at_;
        ValueMap map;
        skipSpace();
        if (at_ < text_.size() && text_[at_] == '}') {
            ++at_;
            return Value(std::move(map));
        }
        while (true) {
            skipSpace();
            if (at_ >= text_.size() || text_[at_] != '"') {
                return fail("JSON 对象里应当是带引号的成员名");
            }
            auto name = parseString();
            if (!name) {
                return std::nullopt;
            }
            skipSpace();
            if (at_ >= text_.size() || text_[at_] != ':') {
                return fail("JSON 成员名后面缺少冒号");
            }
            ++at_;
            skipSpace();
            auto value = parseValue(depth + 1);
            if (!value) {
                return std::nullopt;
            }
            map = withMember(std::move(map), *name, std::move(*value));
            skipSpace();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < text_.size() && text_[at_] == '}') {
                ++at_;
                return Value(std::move(map));
            }
            return fail("JSON 对象里缺少逗号或 }");
        }
    }

    std::string_view text_;
    std::size_t at_ = 0;
    std::optional<JsonReadError> error_;
};

void writeString(std::string& out, std::string_view s, const JsonStyle& style) {
    out += '"';
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        char buffer[16];
        switch (c) {
            case '"':
                out += "\\\"";
                continue;
            case '\\':
                out += "\\\\";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\b':
                out += "\\b";
                continue;
            case '\f':
                out += "\\f";
                continue;
            default:
                break;
        }
        if (style.htmlSafe && (c == '<' || c == '>' || c == '&' || c == '\'')) {
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else if (c < 0x20) {
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else if (c < 0x80 || !style.asciiOnly) {
            out += static_cast<char>(c);
        } else {
            // A UTF-8 sequence as one or two \u escapes; a stray byte as U+FFFD.
            std::uint32_t cp = 0xFFFD;
            std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            if (length > 1 && i + length <= s.size()) {
                cp = c & (0xFF >> (length + 1));
                for (std::size_t k = 1; k < length; ++k) {
                    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
                }
            } else {
                length = 1;
            }
            i += length - 1;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                std::snprintf(buffer, sizeof buffer, "\\u%04x\\u%04x", 0xD800 + (cp >> 10),
                              0xDC00 + (cp & 0x3FF));
            } else {
                std::snprintf(buffer, sizeof buffer, "\\u%04x", cp);
            }
            out += buffer;
        }
    }
    out += '"';
}

void write(std::string& out, const Value& v, const JsonStyle& style, int level) {
    const auto newline = [&](int depth) {
        out += '\n';
        out.append(static_cast<std::size_t>(style.indent * depth), ' ');
    };
    switch (v.kind()) {
        case ValueKind::Undefined:
        case ValueKind::None:
            out += "null";
            return;
        case ValueKind::Bool:
            out += v.asBool() ? "true" : "false";
            return;
        case ValueKind::Integer:
            out += std::to_string(v.asInteger());
            return;
        case ValueKind::Float: {
            const std::string text = floatText(v.asFloat());
            out += text == "inf"    ? "Infinity"
                   : text == "-inf" ? "-Infinity"
                   : text == "nan"  ? "NaN"
                                    : text;
            return;
        }
        case ValueKind::String:
            writeString(out, v.asString(), style);
            return;
        case ValueKind::List: {
            const ValueList& list = v.asList();
            if (list.empty()) {
                out += "[]";
                return;
            }
            out += '[';
            for (std::size_t i = 0; i < list.size(); ++i) {
                if (i > 0) {
                    out += style.indent < 0 ? ", " : ",";
                }
                if (style.indent >= 0) {
                    newline(level + 1);
                }
                write(out, list[i], style, level + 1);
            }
            if (style.indent >= 0) {
                newline(level);
            }
            out += ']';
            return;
        }
        case ValueKind::Map: {
            const ValueMap& map = v.asMap();
            if (map.empty()) {
                out += "{}";
                return;
            }
            out += '{';
            bool first = true;
            for (const auto& [name, member] : map) {
                if (!first) {
                    out += style.indent < 0 ? ", " : ",";
                }
                first = false;
                if (style.indent >= 0) {
                    newline(level + 1);
                }
                writeString(out, name, style);
                out += ": ";
                write(out, member, style, level + 1);
            }
            if (style.indent >= 0) {
                newline(level);
            }
            out += '}';
            return;
        }
    }
}

}  // namespace

std::variant<Value, JsonReadError> readJson(std::string_view utf8) {
    return Reader(utf8).run();
}

std::string writeJson(const Value& value, const JsonStyle& style) {
    std::string out;
    write(out, value, style, 0);
    return out;
}

}  // namespace vesprey::flow
