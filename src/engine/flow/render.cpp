#include "engine/flow/render.h"

#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <random>
#include <set>
#include <system_error>

#include "engine/flow/json_value.h"
#include "engine/flow/totp.h"
#include "web/utf8_regex.h"

namespace vesprey::flow {

// ---------------------------------------------------------------------------------------------
// The compiled forms.

struct Expression::Node {
    enum class Kind {
        Literal,  // literal
        Name,     // name
        Attr,     // children[0].name
        Index,    // children[0][children[1]]
        Slice,    // children[0][children[1]:children[2]:children[3]], any of 1..3 may be null
        Call,     // name(children...)
        Method,   // children[0].name(children[1]...)
        Filter,   // children[0]|name(children[1]...)
        Test,     // children[0] is [not] name(children[1]...)
        Unary,    // op children[0]: "-", "+", "not"
        Binary,   // children[0] op children[1]: + - * / // % ** ~ and or
        Compare,  // children[0] ops[0] children[1] ops[1] ...
        Cond,     // children[0] if children[1] else children[2] (null: undefined)
        List,     // [children...]
        Map,      // {children[0]: children[1], ...}
    };
    Kind kind = Kind::Literal;
    std::size_t position = 0;  // byte offset in the whole text
    Value literal;
    std::string name;
    std::vector<std::shared_ptr<const Node>> children;
    // For Call, Method, Filter and Test: the keyword of each argument after the subject ("" for a
    // positional one), parallel to the arguments.
    std::vector<std::string> keywords;
    std::vector<std::string> ops;
    bool negated = false;  // Test
};

using NodePtr = std::shared_ptr<const Expression::Node>;
using Node = Expression::Node;

struct Template::Part {
    enum class Kind { Text, Output, If, For, Set };
    Kind kind = Kind::Text;
    std::size_t position = 0;
    std::string text;
    NodePtr expression;  // Output; For: the sequence; Set: the value
    // If: the condition of each branch (null for else) and its body.
    std::vector<std::pair<NodePtr, std::vector<Part>>> branches;
    std::vector<std::string> targets;  // For: the loop variables; Set: the name
    std::vector<Part> body;            // For
    std::vector<Part> elseBody;        // For: when the sequence is empty
};

using Part = Template::Part;

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Failures inside this file travel as this exception to the public entry points, which turn it
// into a TemplateError value.
struct Failure {
    std::size_t offset;
    std::string message;
};

[[noreturn]] void fail(std::size_t offset, std::string message) {
    throw Failure{offset, std::move(message)};
}

std::size_t characterPosition(std::string_view text, std::size_t offset) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            ++characters;
        }
    }
    return characters + 1;
}

// ----- UTF-8 text functions -----

// The text split into characters (UTF-8 sequences; a stray byte is a character of its own).
std::vector<std::string_view> characters(std::string_view s) {
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t length = 1;
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0xC0) {
            length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            for (std::size_t k = 1; k < length; ++k) {
                if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                    length = k;
                    break;
                }
            }
        }
        out.push_back(s.substr(i, length));
        i += length;
    }
    return out;
}

std::uint32_t codePoint(std::string_view ch) {
    const auto c = static_cast<unsigned char>(ch[0]);
    if (ch.size() == 1) {
        return c;
    }
    std::uint32_t cp = c & (0xFF >> (ch.size() + 1));
    for (std::size_t k = 1; k < ch.size(); ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(ch[k]) & 0x3F);
    }
    return cp;
}

bool isSpaceCharacter(std::string_view ch) {
    const std::uint32_t cp = codePoint(ch);
    return cp == ' ' || (cp >= 0x09 && cp <= 0x0D) || (cp >= 0x1C && cp <= 0x1F) || cp == 0x85 ||
           cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

std::string joinCharacters(const std::vector<std::string_view>& chars, std::size_t from,
                           std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to && i < chars.size(); ++i) {
        out += chars[i];
    }
    return out;
}

std::string strip(std::string_view s, const std::optional<std::string>& set, bool left,
                  bool right) {
    const auto chars = characters(s);
    const auto drop = [&](std::string_view ch) {
        return set ? set->find(ch) != std::string::npos : isSpaceCharacter(ch);
    };
    std::size_t from = 0;
    std::size_t to = chars.size();
    while (left && from < to && drop(chars[from])) {
        ++from;
    }
    while (right && to > from && drop(chars[to - 1])) {
        --to;
    }
    return joinCharacters(chars, from, to);
}

std::vector<std::string> splitWhite(std::string_view s) {
    std::vector<std::string> out;
    std::string current;
    bool in = false;
    for (const auto ch : characters(s)) {
        if (isSpaceCharacter(ch)) {
            if (in) {
                out.push_back(current);
                current.clear();
                in = false;
            }
        } else {
            current += ch;
            in = true;
        }
    }
    if (in) {
        out.push_back(current);
    }
    return out;
}

std::string asciiLower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

std::string asciiUpper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

std::string replaceText(std::string_view s, std::string_view from, std::string_view to,
                        std::int64_t count) {
    std::string out;
    std::int64_t done = 0;
    if (from.empty()) {
        // Python inserts the replacement before every character and at the end.
        const auto chars = characters(s);
        for (const auto ch : chars) {
            if (count < 0 || done < count) {
                out += to;
                ++done;
            }
            out += ch;
        }
        if (count < 0 || done < count) {
            out += to;
        }
        return out;
    }
    std::size_t start = 0;
    while (count < 0 || done < count) {
        const std::size_t at = s.find(from, start);
        if (at == std::string_view::npos) {
            break;
        }
        out.append(s.substr(start, at - start));
        out.append(to);
        start = at + from.size();
        ++done;
    }
    out.append(s.substr(start));
    return out;
}

// A value quoted in an error message: at most 8 characters, as it may be a password or a cookie.
std::string shown(std::string_view value) {
    const auto chars = characters(value);
    return chars.size() <= 8 ? std::string(value) : joinCharacters(chars, 0, 7) + "…";
}

// ----- Hashes and base64 over OpenSSL -----

std::string digestHex(std::string_view data, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, md, nullptr) != 1) {
        return {};
    }
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string base64Encode(std::string_view data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(std::max(length, 0)));
    return out;
}

std::optional<std::string> base64Decode(std::string_view data) {
    std::string clean;
    for (const char c : data) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '+' || c == '/') {
            clean += c;
        } else if (c == '-' || c == '_') {
            clean += c == '-' ? '+' : '/';
        }
    }
    if (clean.size() % 4 == 1) {
        return std::nullopt;
    }
    const std::size_t padding = (4 - clean.size() % 4) % 4;
    clean.append(padding, '=');
    std::string out(clean.size() / 4 * 3 + 1, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                       reinterpret_cast<const unsigned char*>(clean.data()),
                                       static_cast<int>(clean.size()));
    if (length < 0) {
        return std::nullopt;
    }
    out.resize(static_cast<std::size_t>(length) - padding);
    return out;
}

// ---------------------------------------------------------------------------------------------
// The lexer.

struct Token {
    enum class Kind { Name, Integer, Float, String, Operator, End };
    Kind kind = Kind::End;
    std::size_t position = 0;
    std::string text;  // the name, operator or decoded string
    Value number;
};

bool isNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool isNameChar(char c) {
    return isNameStart(c) || (c >= '0' && c <= '9');
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Lexes text[from, to) of the whole text; positions are offsets into the whole text.
std::vector<Token> lex(std::string_view text, std::size_t from, std::size_t to) {
    std::vector<Token> tokens;
    std::size_t i = from;
    while (true) {
        while (i < to &&
               (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r')) {
            ++i;
        }
        Token token;
        token.position = i;
        if (i >= to) {
            tokens.push_back(token);
            return tokens;
        }
        const char c = text[i];
        if (isNameStart(c)) {
            const std::size_t start = i;
            while (i < to && isNameChar(text[i])) {
                ++i;
            }
            token.kind = Token::Kind::Name;
            token.text = std::string(text.substr(start, i - start));
        } else if (c >= '0' && c <= '9') {
            const std::size_t start = i;
            bool isFloat = false;
            while (i < to && ((text[i] >= '0' && text[i] <= '9') || text[i] == '_')) {
                ++i;
            }
            if (i + 1 < to && text[i] == '.' && text[i + 1] >= '0' && text[i + 1] <= '9') {
                isFloat = true;
                ++i;
                while (i < to && ((text[i] >= '0' && text[i] <= '9') || text[i] == '_')) {
                    ++i;
                }
            }
            if (i < to && (text[i] == 'e' || text[i] == 'E')) {
                std::size_t k = i + 1;
                if (k < to && (text[k] == '+' || text[k] == '-')) {
                    ++k;
                }
                if (k < to && text[k] >= '0' && text[k] <= '9') {
                    isFloat = true;
                    i = k;
                    while (i < to && text[i] >= '0' && text[i] <= '9') {
                        ++i;
                    }
                }
            }
            std::string digits;
            for (const char d : text.substr(start, i - start)) {
                if (d != '_') {
                    digits += d;
                }
            }
            if (isFloat) {
                token.kind = Token::Kind::Float;
                token.number = Value(std::strtod(digits.c_str(), nullptr));
            } else {
                std::int64_t value = 0;
                const auto [end, ec] =
                    std::from_chars(digits.data(), digits.data() + digits.size(), value);
                if (ec != std::errc()) {
                    token.kind = Token::Kind::Float;
                    token.number = Value(std::strtod(digits.c_str(), nullptr));
                } else {
                    token.kind = Token::Kind::Integer;
                    token.number = Value(value);
                }
            }
        } else if (c == '\'' || c == '"') {
            token.kind = Token::Kind::String;
            ++i;
            bool closed = false;
            while (i < to) {
                const char d = text[i];
                if (d == c) {
                    closed = true;
                    ++i;
                    break;
                }
                if (d != '\\' || i + 1 >= to) {
                    token.text += d;
                    ++i;
                    continue;
                }
                const char e = text[i + 1];
                i += 2;
                switch (e) {
                    case 'n':
                        token.text += '\n';
                        break;
                    case 't':
                        token.text += '\t';
                        break;
                    case 'r':
                        token.text += '\r';
                        break;
                    case 'b':
                        token.text += '\b';
                        break;
                    case 'f':
                        token.text += '\f';
                        break;
                    case 'v':
                        token.text += '\v';
                        break;
                    case 'a':
                        token.text += '\a';
                        break;
                    case '0':
                        token.text += '\0';
                        break;
                    case '\\':
                    case '\'':
                    case '"':
                        token.text += e;
                        break;
                    case '\n':
                        break;
                    case 'x':
                    case 'u':
                    case 'U': {
                        const std::size_t digits = e == 'x' ? 2 : e == 'u' ? 4 : 8;
                        std::uint32_t cp = 0;
                        for (std::size_t k = 0; k < digits; ++k) {
                            const int h = i + k < to ? hexDigit(text[i + k]) : -1;
                            if (h < 0) {
                                fail(i - 2, "字符串里的 \\" + std::string(1, e) + " 转义不完整");
                            }
                            cp = cp * 16 + static_cast<std::uint32_t>(h);
                        }
                        i += digits;
                        if (cp > 0x10FFFF) {
                            fail(i - digits - 2, "字符串里的转义不是有效的字符");
                        }
                        appendUtf8(token.text, cp);
                        break;
                    }
                    default:
                        token.text += '\\';
                        token.text += e;
                        break;
                }
            }
            if (!closed) {
                fail(token.position, "字符串缺少结束的引号");
            }
        } else {
            static const char* const kLong[] = {"**", "//", "==", "!=", "<=", ">="};
            token.kind = Token::Kind::Operator;
            for (const char* op : kLong) {
                if (text.substr(i, 2) == op) {
                    token.text = op;
                }
            }
            if (token.text.empty()) {
                if (std::string_view("+-*/%~<>=()[]{}.,:|").find(c) == std::string_view::npos) {
                    fail(i, "表达式里有不认识的字符“" + std::string(1, c) + "”");
                }
                token.text = std::string(1, c);
            }
            i += token.text.size();
        }
        tokens.push_back(std::move(token));
    }
}

// ---------------------------------------------------------------------------------------------
// The names the parser accepts.

const std::set<std::string, std::less<>>& filterNames() {
    static const std::set<std::string, std::less<>> names = {
        "abs",     "b64decode", "b64encode", "bool",   "capitalize",   "count",         "d",
        "default", "first",     "float",     "int",    "join",         "last",          "length",
        "list",    "lower",     "max",       "md5",    "min",          "regex_replace", "replace",
        "reverse", "round",     "sha1",      "sha256", "sort",         "string",        "striptags",
        "sum",     "title",     "tojson",    "trim",   "truncate",     "unicode",       "unique",
        "upper",   "urldecode", "urlencode", "random", "regex_search", "reject",        "select",
        "ternary", "to_uuid"};
    return names;
}

const std::set<std::string, std::less<>>& functionNames() {
    static const std::set<std::string, std::less<>> names = {
        "add",           "bool",         "date_time", "divide",    "float",
        "int",           "len",          "list",      "md5",       "multiply",
        "random",        "range",        "sha1",      "sha256",    "str",
        "sub",           "timestamp",    "unicode",   "urldecode", "urlencode",
        "regex_replace", "regex_search", "ternary",   "to_uuid",   "totp"};
    return names;
}

const std::set<std::string, std::less<>>& testNames() {
    static const std::set<std::string, std::less<>> names = {
        "boolean",  "defined", "divisibleby", "eq",        "equalto", "even",     "false",
        "float",    "ge",      "gt",          "in",        "integer", "iterable", "le",
        "lower",    "lt",      "mapping",     "ne",        "none",    "number",   "odd",
        "sequence", "string",  "true",        "undefined", "upper"};
    return names;
}

const std::set<std::string, std::less<>>& methodNames() {
    static const std::set<std::string, std::less<>> names = {
        "endswith", "find",   "get",   "items",      "join",  "keys",  "lower", "lstrip",
        "replace",  "rstrip", "split", "startswith", "strip", "upper", "values"};
    return names;
}

// ---------------------------------------------------------------------------------------------
// The parser of one expression or statement.

class Parser {
public:
    Parser(std::string_view text, std::size_t from, std::size_t to)
        : tokens_(lex(text, from, to)) {}

    NodePtr expression() { return conditional(); }

    bool atEnd() const { return current().kind == Token::Kind::End; }
    const Token& current() const { return tokens_[at_]; }
    std::size_t position() const { return current().position; }

    bool isName(std::string_view word) const {
        return current().kind == Token::Kind::Name && current().text == word;
    }
    bool isOp(std::string_view op) const {
        return current().kind == Token::Kind::Operator && current().text == op;
    }
    bool acceptName(std::string_view word) {
        if (isName(word)) {
            ++at_;
            return true;
        }
        return false;
    }
    bool acceptOp(std::string_view op) {
        if (isOp(op)) {
            ++at_;
            return true;
        }
        return false;
    }
    void expectOp(std::string_view op) {
        if (!acceptOp(op)) {
            fail(position(), "这里应当是“" + std::string(op) + "”");
        }
    }
    std::string expectName() {
        if (current().kind != Token::Kind::Name) {
            fail(position(), "这里应当是一个名字");
        }
        return tokens_[at_++].text;
    }
    void expectEnd() {
        if (!atEnd()) {
            fail(position(), "表达式在这里多出了内容");
        }
    }

private:
    static std::shared_ptr<Node> make(Node::Kind kind, std::size_t position) {
        auto node = std::make_shared<Node>();
        node->kind = kind;
        node->position = position;
        return node;
    }

    NodePtr conditional() {
        NodePtr value = orExpr();
        while (isName("if")) {
            auto node = make(Node::Kind::Cond, position());
            ++at_;
            NodePtr condition = orExpr();
            NodePtr otherwise;
            if (acceptName("else")) {
                otherwise = conditional();
            }
            node->children = {value, condition, otherwise};
            value = node;
        }
        return value;
    }

    NodePtr binaryChain(NodePtr (Parser::*next)(), std::initializer_list<std::string_view> ops,
                        bool words) {
        NodePtr left = (this->*next)();
        while (true) {
            std::string op;
            for (const auto candidate : ops) {
                if (words ? isName(candidate) : isOp(candidate)) {
                    op = std::string(candidate);
                }
            }
            if (op.empty()) {
                return left;
            }
            auto node = make(Node::Kind::Binary, position());
            ++at_;
            node->name = op;
            node->children = {left, (this->*next)()};
            left = node;
        }
    }

    NodePtr orExpr() { return binaryChain(&Parser::andExpr, {"or"}, true); }
    NodePtr andExpr() { return binaryChain(&Parser::notExpr, {"and"}, true); }

    NodePtr notExpr() {
        if (isName("not")) {
            auto node = make(Node::Kind::Unary, position());
            ++at_;
            node->name = "not";
            node->children = {notExpr()};
            return node;
        }
        return compare();
    }

    NodePtr compare() {
        const std::size_t start = position();
        NodePtr first = math1();
        std::shared_ptr<Node> node;
        while (true) {
            std::string op;
            static const char* const kOps[] = {"==", "!=", "<", ">", "<=", ">="};
            for (const char* candidate : kOps) {
                if (isOp(candidate)) {
                    op = candidate;
                }
            }
            if (!op.empty()) {
                ++at_;
            } else if (isName("in")) {
                ++at_;
                op = "in";
            } else if (isName("not") && at_ + 1 < tokens_.size() &&
                       tokens_[at_ + 1].kind == Token::Kind::Name &&
                       tokens_[at_ + 1].text == "in") {
                at_ += 2;
                op = "not in";
            } else {
                break;
            }
            if (!node) {
                node = make(Node::Kind::Compare, start);
                node->children.push_back(first);
            }
            node->ops.push_back(op);
            node->children.push_back(math1());
        }
        return node ? node : first;
    }

    NodePtr math1() { return binaryChain(&Parser::concat, {"+", "-"}, false); }
    NodePtr concat() { return binaryChain(&Parser::math2, {"~"}, false); }
    NodePtr math2() { return binaryChain(&Parser::power, {"*", "/", "//", "%"}, false); }
    NodePtr power() { return binaryChain(&Parser::unaryWithFilters, {"**"}, false); }

    NodePtr unaryWithFilters() { return filters(unary()); }

    NodePtr unary() {
        if (isOp("-") || isOp("+")) {
            auto node = make(Node::Kind::Unary, position());
            node->name = tokens_[at_++].text;
            node->children = {unary()};
            return postfix(node);
        }
        return postfix(primary());
    }

    // Arguments of a call up to the closing parenthesis, the opening one already taken.
    void arguments(Node& node) {
        bool keywordSeen = false;
        while (!acceptOp(")")) {
            if (atEnd()) {
                fail(position(), "函数或过滤器的参数缺少“)”");
            }
            std::string keyword;
            if (current().kind == Token::Kind::Name && at_ + 1 < tokens_.size() &&
                tokens_[at_ + 1].kind == Token::Kind::Operator && tokens_[at_ + 1].text == "=") {
                keyword = tokens_[at_].text;
                at_ += 2;
                keywordSeen = true;
            } else if (keywordSeen) {
                fail(position(), "按名字给出的参数之后不能再有不带名字的参数");
            }
            node.children.push_back(expression());
            node.keywords.push_back(keyword);
            if (!acceptOp(",") && !isOp(")")) {
                fail(position(), "参数之间应当是逗号");
            }
        }
    }

    NodePtr filters(NodePtr subject) {
        while (true) {
            if (isOp("|")) {
                ++at_;
                auto node = make(Node::Kind::Filter, position());
                node->name = expectName();
                if (filterNames().count(node->name) == 0) {
                    fail(node->position, "不认识的过滤器“" + node->name + "”");
                }
                node->children.push_back(subject);
                node->keywords.push_back("");
                if (acceptOp("(")) {
                    arguments(*node);
                }
                subject = node;
            } else if (isName("is")) {
                ++at_;
                auto node = make(Node::Kind::Test, position());
                node->negated = acceptName("not");
                const std::size_t namePosition = position();
                node->name = expectName();
                if (testNames().count(node->name) == 0) {
                    fail(namePosition, "不认识的检验“" + node->name + "”");
                }
                node->children.push_back(subject);
                node->keywords.push_back("");
                if (acceptOp("(")) {
                    arguments(*node);
                } else if (!atEnd() && !isOp(")") && !isOp("]") && !isOp(",") && !isOp("}") &&
                           !isName("and") && !isName("or") && !isName("else") && !isName("if") &&
                           current().kind != Token::Kind::Operator) {
                    node->children.push_back(primary());
                    node->keywords.push_back("");
                }
                subject = node;
            } else {
                return subject;
            }
        }
    }

    NodePtr postfix(NodePtr subject) {
        while (true) {
            if (isOp(".")) {
                ++at_;
                const std::size_t at = position();
                if (current().kind == Token::Kind::Integer) {
                    auto node = make(Node::Kind::Index, at);
                    auto key = make(Node::Kind::Literal, at);
                    key->literal = current().number;
                    ++at_;
                    node->children = {subject, key};
                    subject = node;
                    continue;
                }
                const std::string name = expectName();
                if (isOp("(")) {
                    ++at_;
                    if (methodNames().count(name) == 0) {
                        fail(at, "不认识的方法“" + name + "”");
                    }
                    auto node = make(Node::Kind::Method, at);
                    node->name = name;
                    node->children.push_back(subject);
                    node->keywords.push_back("");
                    arguments(*node);
                    subject = node;
                } else {
                    auto node = make(Node::Kind::Attr, at);
                    node->name = name;
                    node->children = {subject};
                    subject = node;
                }
            } else if (isOp("[")) {
                const std::size_t at = position();
                ++at_;
                NodePtr parts[3];
                int colons = 0;
                while (true) {
                    if (isOp(":")) {
                        if (++colons > 2) {
                            fail(position(), "切片最多有两个“:”");
                        }
                        ++at_;
                        continue;
                    }
                    if (isOp("]")) {
                        ++at_;
                        break;
                    }
                    if (parts[colons]) {
                        fail(position(), "这里应当是“]”");
                    }
                    parts[colons] = expression();
                }
                if (colons == 0) {
                    if (!parts[0]) {
                        fail(at, "“[]”里缺少下标");
                    }
                    auto node = make(Node::Kind::Index, at);
                    node->children = {subject, parts[0]};
                    subject = node;
                } else {
                    auto node = make(Node::Kind::Slice, at);
                    node->children = {subject, parts[0], parts[1], parts[2]};
                    subject = node;
                }
            } else {
                return subject;
            }
        }
    }

    NodePtr primary() {
        const Token& token = current();
        const std::size_t at = token.position;
        switch (token.kind) {
            case Token::Kind::End:
                fail(at, "表达式不完整");
            case Token::Kind::Integer:
            case Token::Kind::Float: {
                auto node = make(Node::Kind::Literal, at);
                node->literal = token.number;
                ++at_;
                return node;
            }
            case Token::Kind::String: {
                std::string text;
                while (current().kind == Token::Kind::String) {
                    text += tokens_[at_++].text;
                }
                auto node = make(Node::Kind::Literal, at);
                node->literal = Value(std::move(text));
                return node;
            }
            case Token::Kind::Name: {
                const std::string& word = token.text;
                auto node = make(Node::Kind::Literal, at);
                if (word == "true" || word == "True") {
                    node->literal = Value(true);
                } else if (word == "false" || word == "False") {
                    node->literal = Value(false);
                } else if (word == "none" || word == "None") {
                    node->literal = Value::none();
                } else if (at_ + 1 < tokens_.size() &&
                           tokens_[at_ + 1].kind == Token::Kind::Operator &&
                           tokens_[at_ + 1].text == "(") {
                    if (functionNames().count(word) == 0) {
                        fail(at, "不认识的函数“" + word + "”");
                    }
                    node->kind = Node::Kind::Call;
                    node->name = word;
                    at_ += 2;
                    arguments(*node);
                    return node;
                } else {
                    static const std::set<std::string_view> kReserved = {
                        "and", "or", "not", "in", "is", "if", "else", "elif"};
                    if (kReserved.count(word) != 0) {
                        fail(at, "这里不该是“" + word + "”");
                    }
                    node->kind = Node::Kind::Name;
                    node->name = word;
                }
                ++at_;
                return node;
            }
            case Token::Kind::Operator:
                break;
        }
        if (acceptOp("(")) {
            NodePtr inner = expression();
            if (isOp(",")) {
                auto list = make(Node::Kind::List, at);
                list->children.push_back(inner);
                while (acceptOp(",") && !isOp(")")) {
                    list->children.push_back(expression());
                }
                inner = list;
            }
            expectOp(")");
            return inner;
        }
        if (acceptOp("[")) {
            auto list = make(Node::Kind::List, at);
            while (!acceptOp("]")) {
                list->children.push_back(expression());
                if (!acceptOp(",") && !isOp("]")) {
                    fail(position(), "列表的元素之间应当是逗号");
                }
            }
            return list;
        }
        if (acceptOp("{")) {
            auto map = make(Node::Kind::Map, at);
            while (!acceptOp("}")) {
                map->children.push_back(expression());
                expectOp(":");
                map->children.push_back(expression());
                if (!acceptOp(",") && !isOp("}")) {
                    fail(position(), "字典的成员之间应当是逗号");
                }
            }
            return map;
        }
        fail(at, "这里不该是“" + token.text + "”");
    }

    std::vector<Token> tokens_;
    std::size_t at_ = 0;
};

NodePtr parseExpression(std::string_view text, std::size_t from, std::size_t to) {
    Parser parser(text, from, to);
    NodePtr node = parser.expression();
    parser.expectEnd();
    return node;
}

void collectNames(const NodePtr& node, std::vector<std::string>& out,
                  const std::set<std::string>& bound) {
    if (!node) {
        return;
    }
    if (node->kind == Node::Kind::Name && bound.count(node->name) == 0 &&
        std::find(out.begin(), out.end(), node->name) == out.end()) {
        out.push_back(node->name);
    }
    for (const auto& child : node->children) {
        collectNames(child, out, bound);
    }
}

// ---------------------------------------------------------------------------------------------
// Template texts.

struct Block {
    std::size_t open = 0;      // offset of "{{" or "{%" or "{#"
    std::size_t close = 0;     // offset just past the closing delimiter
    std::size_t inner = 0;     // first offset of the contents
    std::size_t innerEnd = 0;  // offset just past the contents
    char type = 0;             // '{', '%' or '#'
    bool trimBefore = false;
    bool trimAfter = false;
};

// The next block at or after `from`, or none.
std::optional<Block> nextBlock(std::string_view text, std::size_t from) {
    for (std::size_t at = text.find('{', from); at != std::string_view::npos;
         at = text.find('{', at + 1)) {
        if (at + 1 >= text.size()) {
            return std::nullopt;
        }
        const char type = text[at + 1];
        if (type != '{' && type != '%' && type != '#') {
            continue;
        }
        Block block;
        block.open = at;
        block.type = type;
        block.inner = at + 2;
        if (block.inner < text.size() && (text[block.inner] == '-' || text[block.inner] == '+')) {
            block.trimBefore = text[block.inner] == '-';
            ++block.inner;
        }
        const std::string closer = type == '{' ? "}}" : type == '%' ? "%}" : "#}";
        std::size_t end = npos;
        if (type == '{') {
            // A "}}" inside a string literal does not end the block.
            char quote = 0;
            for (std::size_t i = block.inner; i + 1 < text.size(); ++i) {
                if (quote) {
                    if (text[i] == '\\') {
                        ++i;
                    } else if (text[i] == quote) {
                        quote = 0;
                    }
                } else if (text[i] == '\'' || text[i] == '"') {
                    quote = text[i];
                } else if (text[i] == '}' && text[i + 1] == '}') {
                    end = i;
                    break;
                }
            }
        } else {
            end = text.find(closer, block.inner);
        }
        if (end == npos) {
            fail(at, std::string("“") + std::string(text.substr(at, 2)) + "”没有对应的“" + closer +
                         "”");
        }
        block.innerEnd = end;
        if (end > block.inner && (text[end - 1] == '-' || text[end - 1] == '+')) {
            block.trimAfter = text[end - 1] == '-';
            --block.innerEnd;
        }
        block.close = end + 2;
        return block;
    }
    return std::nullopt;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() &&
           (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    return s;
}

class TemplateParser {
public:
    explicit TemplateParser(std::string_view text) : text_(text) {}

    std::vector<Part> run() {
        std::vector<Part> parts = sequence({});
        if (pendingEnd_) {
            fail(pendingEnd_->open, "“" + pendingWord_ + "”没有对应的开头");
        }
        return parts;
    }

private:
    // Parts up to one of the `enders` statements ("endif", "else", ...), which is left in
    // pendingEnd_/pendingWord_; at the end of the text with no enders.
    std::vector<Part> sequence(const std::set<std::string>& enders) {
        std::vector<Part> parts;
        while (true) {
            std::optional<Block> block = nextBlock(text_, at_);
            std::string_view literal =
                text_.substr(at_, (block ? block->open : text_.size()) - at_);
            if (trimNext_) {
                literal = trimLeft(literal);
                trimNext_ = false;
            }
            if (block && block->trimBefore) {
                literal = trimRight(literal);
            }
            if (!literal.empty()) {
                Part part;
                part.kind = Part::Kind::Text;
                part.text = std::string(literal);
                parts.push_back(std::move(part));
            }
            if (!block) {
                at_ = text_.size();
                if (!enders.empty()) {
                    return parts;  // the caller reports the missing end
                }
                return parts;
            }
            at_ = block->close;
            trimNext_ = block->trimAfter;
            if (block->type == '#') {
                continue;
            }
            if (block->type == '{') {
                Part part;
                part.kind = Part::Kind::Output;
                part.position = block->inner;
                part.expression = parseExpression(text_, block->inner, block->innerEnd);
                parts.push_back(std::move(part));
                continue;
            }
            Parser statement(text_, block->inner, block->innerEnd);
            const std::size_t wordAt = statement.position();
            const std::string word = statement.expectName();
            if (enders.count(word) != 0) {
                pendingEnd_ = block;
                pendingWord_ = word;
                pendingStatement_ = std::make_shared<Parser>(std::move(statement));
                return parts;
            }
            if (word == "if") {
                parts.push_back(ifBlock(statement, *block));
            } else if (word == "for") {
                parts.push_back(forBlock(statement, *block));
            } else if (word == "set") {
                Part part;
                part.kind = Part::Kind::Set;
                part.position = block->inner;
                part.targets.push_back(statement.expectName());
                statement.expectOp("=");
                part.expression = statement.expression();
                statement.expectEnd();
                parts.push_back(std::move(part));
            } else if (word == "endif" || word == "endfor" || word == "else" || word == "elif") {
                fail(wordAt, "“" + word + "”没有对应的开头");
            } else {
                fail(wordAt, "不认识的语句“" + word + "”");
            }
        }
    }

    std::string takeEnd(const Block& opener, const std::string& expected) {
        if (!pendingEnd_) {
            fail(opener.open, "“{% " + expected + " %}”缺少对应的结尾");
        }
        std::string word = pendingWord_;
        pendingEnd_.reset();
        return word;
    }

    Part ifBlock(Parser& statement, const Block& opener) {
        Part part;
        part.kind = Part::Kind::If;
        part.position = opener.inner;
        NodePtr condition = statement.expression();
        statement.expectEnd();
        while (true) {
            std::vector<Part> body = sequence({"elif", "else", "endif"});
            part.branches.emplace_back(condition, std::move(body));
            const std::string word = takeEnd(opener, "endif");
            auto& next = *pendingStatement_;
            if (word == "endif") {
                next.expectEnd();
                return part;
            }
            if (!condition) {
                fail(next.position(), "“else”之后只能是“endif”");
            }
            if (word == "elif") {
                condition = next.expression();
            } else {
                condition = nullptr;
            }
            next.expectEnd();
        }
    }

    Part forBlock(Parser& statement, const Block& opener) {
        Part part;
        part.kind = Part::Kind::For;
        part.position = opener.inner;
        part.targets.push_back(statement.expectName());
        while (statement.acceptOp(",")) {
            part.targets.push_back(statement.expectName());
        }
        if (!statement.acceptName("in")) {
            fail(statement.position(), "这里应当是“in”");
        }
        part.expression = statement.expression();
        statement.expectEnd();
        part.body = sequence({"else", "endfor"});
        std::string word = takeEnd(opener, "endfor");
        pendingStatement_->expectEnd();
        if (word == "else") {
            part.elseBody = sequence({"endfor"});
            word = takeEnd(opener, "endfor");
            pendingStatement_->expectEnd();
        }
        return part;
    }

    std::string_view text_;
    std::size_t at_ = 0;
    bool trimNext_ = false;
    std::optional<Block> pendingEnd_;
    std::string pendingWord_;
    std::shared_ptr<Parser> pendingStatement_;
};

void collectPartNames(const std::vector<Part>& parts, std::vector<std::string>& out,
                      std::set<std::string> bound) {
    for (const Part& part : parts) {
        switch (part.kind) {
            case Part::Kind::Text:
                break;
            case Part::Kind::Output:
                collectNames(part.expression, out, bound);
                break;
            case Part::Kind::Set:
                collectNames(part.expression, out, bound);
                bound.insert(part.targets[0]);
                break;
            case Part::Kind::If:
                for (const auto& [condition, body] : part.branches) {
                    collectNames(condition, out, bound);
                    collectPartNames(body, out, bound);
                }
                break;
            case Part::Kind::For: {
                collectNames(part.expression, out, bound);
                std::set<std::string> inner = bound;
                inner.insert(part.targets.begin(), part.targets.end());
                inner.insert("loop");
                collectPartNames(part.body, out, inner);
                collectPartNames(part.elseBody, out, bound);
                break;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Evaluation.

// The most elements a list made by range(), "*" or a loop may have.
constexpr std::int64_t kMaxSequence = 100'000;

bool isIntegral(const Value& v) {
    return v.kind() == ValueKind::Integer || v.kind() == ValueKind::Bool;
}

std::int64_t integral(const Value& v) {
    return v.kind() == ValueKind::Bool ? std::int64_t{v.asBool()} : v.asInteger();
}

const char* kindName(const Value& v) {
    switch (v.kind()) {
        case ValueKind::Undefined:
            return "未定义的值";
        case ValueKind::None:
            return "none";
        case ValueKind::Bool:
            return "布尔值";
        case ValueKind::Integer:
            return "整数";
        case ValueKind::Float:
            return "小数";
        case ValueKind::String:
            return "文本";
        case ValueKind::List:
            return "列表";
        case ValueKind::Map:
            return "字典";
    }
    return "值";
}

// Python's int() of a text: optional sign, digits with single underscores, white space around.
std::optional<std::int64_t> parseInteger(std::string_view s, int base = 10) {
    std::string t = strip(s, std::nullopt, true, true);
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        negative = t[0] == '-';
        t.erase(0, 1);
    }
    if (base == 16 && t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t.erase(0, 2);
    }
    std::string digits;
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '_' && i > 0 && i + 1 < t.size() && t[i - 1] != '_') {
            continue;
        }
        digits += t[i];
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (ec != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

// Python's float() of a text.
std::optional<double> parseFloat(std::string_view s) {
    std::string t = asciiLower(strip(s, std::nullopt, true, true));
    if (t.empty()) {
        return std::nullopt;
    }
    if (t == "inf" || t == "+inf" || t == "infinity" || t == "+infinity") {
        return std::numeric_limits<double>::infinity();
    }
    if (t == "-inf" || t == "-infinity") {
        return -std::numeric_limits<double>::infinity();
    }
    if (t == "nan" || t == "+nan" || t == "-nan") {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (t.find_first_not_of("0123456789+-.e_") != std::string::npos) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double d = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size()) {
        return std::nullopt;
    }
    return d;
}

// x to `digits` decimals, ties to even, as Python's round() gives it.
double toDecimals(double x, int digits) {
    // printf cuts the exact binary value to the decimals asked for, ties to even.
    if (!std::isfinite(x)) {
        return x;
    }
    if (digits < 0) {
        return std::nearbyint(x / std::pow(10.0, -digits)) * std::pow(10.0, -digits);
    }
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%.*f", std::min(digits, 30), x);
    return std::strtod(buffer, nullptr);
}

class Evaluator {
public:
    Evaluator(const Variables& variables, const RenderContext& context)
        : globals_(variables), context_(context) {}

    Value lookup(std::string_view name) const {
        for (auto scope = scopes_.rbegin(); scope != scopes_.rend(); ++scope) {
            const auto found = scope->find(name);
            if (found != scope->end()) {
                return found->second;
            }
        }
        const auto found = globals_.find(name);
        return found != globals_.end() ? found->second : Value();
    }

    std::vector<Variables> scopes_;

    Value eval(const Node& node) {
        switch (node.kind) {
            case Node::Kind::Literal:
                return node.literal;
            case Node::Kind::Name:
                return lookup(node.name);
            case Node::Kind::Attr:
                return attribute(eval(*node.children[0]), node.name);
            case Node::Kind::Index:
                return index(eval(*node.children[0]), eval(*node.children[1]), node.position);
            case Node::Kind::Slice:
                return slice(node);
            case Node::Kind::Call:
                return call(node);
            case Node::Kind::Method:
                return method(node);
            case Node::Kind::Filter:
                return filter(node);
            case Node::Kind::Test:
                return test(node);
            case Node::Kind::Unary:
                return unary(node);
            case Node::Kind::Binary:
                return binary(node);
            case Node::Kind::Compare:
                return compare(node);
            case Node::Kind::Cond:
                if (eval(*node.children[1]).truthy()) {
                    return eval(*node.children[0]);
                }
                return node.children[2] ? eval(*node.children[2]) : Value();
            case Node::Kind::List: {
                ValueList list;
                for (const auto& child : node.children) {
                    list.push_back(eval(*child));
                }
                return Value(std::move(list));
            }
            case Node::Kind::Map: {
                ValueMap map;
                for (std::size_t i = 0; i + 1 < node.children.size(); i += 2) {
                    const Value key = eval(*node.children[i]);
                    map = withMember(std::move(map), key.toText(), eval(*node.children[i + 1]));
                }
                return Value(std::move(map));
            }
        }
        return {};
    }

    // The elements a for loop or a filter walks over.
    ValueList sequenceOf(const Value& v, std::size_t position) const {
        switch (v.kind()) {
            case ValueKind::Undefined:
            case ValueKind::None:
                return {};
            case ValueKind::List:
                return v.asList();
            case ValueKind::Map: {
                ValueList keys;
                for (const auto& member : v.asMap()) {
                    keys.push_back(Value(member.first));
                }
                return keys;
            }
            case ValueKind::String: {
                ValueList chars;
                for (const auto ch : characters(v.asString())) {
                    chars.push_back(Value(ch));
                }
                return chars;
            }
            default:
                fail(position, std::string(kindName(v)) + "不能逐个取出元素");
        }
    }

private:
    // The arguments of a call after its subject.
    struct Arguments {
        std::vector<Value> positional;
        std::vector<std::pair<std::string, Value>> named;
        std::size_t position = 0;
        std::string what;

        // The argument at `index` or named `name`; `fallback` when it is not given.
        Value get(std::size_t index, std::string_view name, Value fallback = {}) const {
            for (const auto& [key, value] : named) {
                if (key == name) {
                    return value;
                }
            }
            return index < positional.size() ? positional[index] : fallback;
        }
        void atMost(std::size_t count) const {
            if (positional.size() + named.size() > count) {
                fail(position, what + "最多有 " + std::to_string(count) + " 个参数");
            }
        }
        void atLeast(std::size_t count) const {
            if (positional.size() + named.size() < count) {
                fail(position, what + "至少要有 " + std::to_string(count) + " 个参数");
            }
        }
    };

    Arguments arguments(const Node& node, std::size_t first, std::string what) {
        Arguments args;
        args.position = node.position;
        args.what = std::move(what);
        for (std::size_t i = first; i < node.children.size(); ++i) {
            Value value = eval(*node.children[i]);
            if (node.keywords[i].empty()) {
                args.positional.push_back(std::move(value));
            } else {
                args.named.emplace_back(node.keywords[i], std::move(value));
            }
        }
        return args;
    }

    static Value attribute(const Value& subject, std::string_view name) {
        return subject.member(name);
    }

    static std::int64_t requireInteger(const Value& v, std::size_t position, const char* what) {
        if (!isIntegral(v)) {
            fail(position, std::string(what) + "应当是整数，却是" + kindName(v));
        }
        return integral(v);
    }

    static Value index(const Value& subject, const Value& key, std::size_t position) {
        switch (subject.kind()) {
            case ValueKind::Map: {
                if (key.kind() == ValueKind::String) {
                    return subject.member(key.asString());
                }
                // Maps read from JSON have text names: a number finds the member of its text.
                return subject.member(key.toText());
            }
            case ValueKind::List:
            case ValueKind::String: {
                if (!isIntegral(key)) {
                    return {};
                }
                std::int64_t i = integral(key);
                if (subject.kind() == ValueKind::List) {
                    const auto size = static_cast<std::int64_t>(subject.asList().size());
                    if (i < 0) {
                        i += size;
                    }
                    return i >= 0 && i < size ? subject.asList()[static_cast<std::size_t>(i)]
                                              : Value();
                }
                const auto chars = characters(subject.asString());
                const auto size = static_cast<std::int64_t>(chars.size());
                if (i < 0) {
                    i += size;
                }
                return i >= 0 && i < size ? Value(chars[static_cast<std::size_t>(i)]) : Value();
            }
            default:
                (void)position;
                return {};
        }
    }

    Value slice(const Node& node) {
        const Value subject = eval(*node.children[0]);
        std::optional<std::int64_t> bounds[3];
        for (int k = 0; k < 3; ++k) {
            if (node.children[static_cast<std::size_t>(k) + 1]) {
                const Value v = eval(*node.children[static_cast<std::size_t>(k) + 1]);
                if (v.kind() != ValueKind::None) {
                    bounds[k] = requireInteger(v, node.position, "切片的边界");
                }
            }
        }
        const std::int64_t step = bounds[2].value_or(1);
        if (step == 0) {
            fail(node.position, "切片的步长不能为 0");
        }
        std::vector<Value> elements;
        std::vector<std::string_view> chars;
        const bool isText = subject.kind() == ValueKind::String;
        if (isText) {
            chars = characters(subject.asString());
        } else if (subject.kind() == ValueKind::List) {
            elements = subject.asList();
        } else if (subject.isUndefined()) {
            return {};
        } else {
            fail(node.position, std::string(kindName(subject)) + "不能切片");
        }
        const auto size = static_cast<std::int64_t>(isText ? chars.size() : elements.size());
        const auto clampBound = [&](std::optional<std::int64_t> b, std::int64_t fallback) {
            if (!b) {
                return fallback;
            }
            std::int64_t v = *b < 0 ? *b + size : *b;
            if (step > 0) {
                return std::clamp<std::int64_t>(v, 0, size);
            }
            return std::clamp<std::int64_t>(v, -1, size - 1);
        };
        const std::int64_t start = clampBound(bounds[0], step > 0 ? 0 : size - 1);
        const std::int64_t stop = clampBound(bounds[1], step > 0 ? size : -1);
        std::string text;
        ValueList list;
        for (std::int64_t i = start; step > 0 ? i < stop : i > stop; i += step) {
            if (isText) {
                text += chars[static_cast<std::size_t>(i)];
            } else {
                list.push_back(elements[static_cast<std::size_t>(i)]);
            }
        }
        return isText ? Value(std::move(text)) : Value(std::move(list));
    }

    Value unary(const Node& node) {
        const Value v = eval(*node.children[0]);
        if (node.name == "not") {
            return Value(!v.truthy());
        }
        if (isIntegral(v)) {
            const std::int64_t i = integral(v);
            if (node.name == "-") {
                return i == std::numeric_limits<std::int64_t>::min()
                           ? Value(-static_cast<double>(i))
                           : Value(-i);
            }
            return Value(i);
        }
        if (v.kind() == ValueKind::Float) {
            return Value(node.name == "-" ? -v.asFloat() : v.asFloat());
        }
        fail(node.position, std::string(kindName(v)) + "不能取“" + node.name + "”");
    }

    [[noreturn]] static void badOperands(const Node& node, const Value& a, const Value& b) {
        fail(node.position,
             std::string(kindName(a)) + "和" + kindName(b) + "不能做“" + node.name + "”运算");
    }

    Value binary(const Node& node) {
        const Value a = eval(*node.children[0]);
        if (node.name == "and") {
            return a.truthy() ? eval(*node.children[1]) : a;
        }
        if (node.name == "or") {
            return a.truthy() ? a : eval(*node.children[1]);
        }
        const Value b = eval(*node.children[1]);
        const std::string& op = node.name;
        if (op == "~") {
            return Value(a.toText() + b.toText());
        }
        if (op == "+") {
            if (a.kind() == ValueKind::String && b.kind() == ValueKind::String) {
                return Value(a.asString() + b.asString());
            }
            if (a.kind() == ValueKind::List && b.kind() == ValueKind::List) {
                ValueList list = a.asList();
                list.insert(list.end(), b.asList().begin(), b.asList().end());
                return Value(std::move(list));
            }
        }
        if (op == "*") {
            const Value* text = a.kind() == ValueKind::String || a.kind() == ValueKind::List ? &a
                                : b.kind() == ValueKind::String || b.kind() == ValueKind::List
                                    ? &b
                                    : nullptr;
            const Value& times = text == &a ? b : a;
            if (text != nullptr && isIntegral(times)) {
                const std::int64_t n = std::max<std::int64_t>(integral(times), 0);
                const std::size_t unit = text->kind() == ValueKind::String ? text->asString().size()
                                                                           : text->asList().size();
                if (unit != 0 && n > kMaxSequence / static_cast<std::int64_t>(unit)) {
                    fail(node.position, "“*”得到的结果太长");
                }
                if (text->kind() == ValueKind::String) {
                    std::string out;
                    for (std::int64_t i = 0; i < n; ++i) {
                        out += text->asString();
                    }
                    return Value(std::move(out));
                }
                ValueList list;
                for (std::int64_t i = 0; i < n; ++i) {
                    list.insert(list.end(), text->asList().begin(), text->asList().end());
                }
                return Value(std::move(list));
            }
        }
        if (!a.isNumber() || !b.isNumber()) {
            if (a.isUndefined() || b.isUndefined()) {
                fail(node.position, "“" + op + "”运算用到了未定义的变量");
            }
            badOperands(node, a, b);
        }
        return arithmetic(node, op, a, b);
    }

    static Value arithmetic(const Node& node, const std::string& op, const Value& a,
                            const Value& b) {
        const bool whole = isIntegral(a) && isIntegral(b);
        if (whole) {
            const std::int64_t x = integral(a);
            const std::int64_t y = integral(b);
            std::int64_t r = 0;
            if (op == "+" && !__builtin_add_overflow(x, y, &r)) {
                return Value(r);
            }
            if (op == "-" && !__builtin_sub_overflow(x, y, &r)) {
                return Value(r);
            }
            if (op == "*" && !__builtin_mul_overflow(x, y, &r)) {
                return Value(r);
            }
            if (op == "//" || op == "%") {
                if (y == 0) {
                    fail(node.position, "除数为 0");
                }
                if (x == std::numeric_limits<std::int64_t>::min() && y == -1) {
                    return op == "%" ? Value(0) : Value(-static_cast<double>(x));
                }
                std::int64_t q = x / y;
                std::int64_t m = x % y;
                if (m != 0 && ((m < 0) != (y < 0))) {
                    --q;
                    m += y;
                }
                return op == "//" ? Value(q) : Value(m);
            }
            if (op == "**" && y >= 0) {
                std::int64_t result = 1;
                bool overflow = false;
                for (std::int64_t i = 0; i < y && !overflow; ++i) {
                    overflow = __builtin_mul_overflow(result, x, &result);
                    if (result == 0 || result == 1) {
                        break;
                    }
                }
                if (!overflow) {
                    return Value(result);
                }
            }
        }
        const double x = a.toDouble();
        const double y = b.toDouble();
        if (op == "+") {
            return Value(x + y);
        }
        if (op == "-") {
            return Value(x - y);
        }
        if (op == "*") {
            return Value(x * y);
        }
        if (op == "/") {
            if (y == 0) {
                fail(node.position, "除数为 0");
            }
            return Value(x / y);
        }
        if (op == "//" || op == "%") {
            if (y == 0) {
                fail(node.position, "除数为 0");
            }
            const double q = std::floor(x / y);
            return op == "//" ? Value(q) : Value(x - q * y);
        }
        if (op == "**") {
            return Value(std::pow(x, y));
        }
        fail(node.position, "不认识的运算“" + op + "”");
    }

    static int order(const Node& node, const std::string& op, const Value& a, const Value& b) {
        if (a.isNumber() && b.isNumber()) {
            if (isIntegral(a) && isIntegral(b)) {
                return integral(a) < integral(b) ? -1 : integral(a) > integral(b) ? 1 : 0;
            }
            return a.toDouble() < b.toDouble() ? -1 : a.toDouble() > b.toDouble() ? 1 : 0;
        }
        if (a.kind() == ValueKind::String && b.kind() == ValueKind::String) {
            return a.asString().compare(b.asString()) < 0   ? -1
                   : a.asString().compare(b.asString()) > 0 ? 1
                                                            : 0;
        }
        if (a.kind() == ValueKind::List && b.kind() == ValueKind::List) {
            const ValueList& x = a.asList();
            const ValueList& y = b.asList();
            for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
                if (!x[i].equals(y[i])) {
                    return order(node, op, x[i], y[i]);
                }
            }
            return x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0;
        }
        fail(node.position,
             std::string(kindName(a)) + "和" + kindName(b) + "不能比较大小（“" + op + "”）");
    }

    static bool contains(const Node& node, const Value& item, const Value& container) {
        switch (container.kind()) {
            case ValueKind::String:
                if (item.kind() != ValueKind::String) {
                    fail(node.position, std::string("“in”的左边应当是文本，却是") + kindName(item));
                }
                return container.asString().find(item.asString()) != std::string::npos;
            case ValueKind::List:
                return std::any_of(container.asList().begin(), container.asList().end(),
                                   [&](const Value& v) { return v.equals(item); });
            case ValueKind::Map:
                return !container.member(item.toText()).isUndefined() &&
                       item.kind() == ValueKind::String;
            case ValueKind::Undefined:
                return false;
            default:
                fail(node.position, std::string("不能在") + kindName(container) + "里找（“in”）");
        }
    }

    Value compare(const Node& node) {
        Value left = eval(*node.children[0]);
        for (std::size_t i = 0; i < node.ops.size(); ++i) {
            const Value right = eval(*node.children[i + 1]);
            const std::string& op = node.ops[i];
            bool result = false;
            if (op == "==") {
                result = left.equals(right);
            } else if (op == "!=") {
                result = !left.equals(right);
            } else if (op == "in") {
                result = contains(node, left, right);
            } else if (op == "not in") {
                result = !contains(node, left, right);
            } else {
                const int c = order(node, op, left, right);
                result = op == "<" ? c < 0 : op == ">" ? c > 0 : op == "<=" ? c <= 0 : c >= 0;
            }
            if (!result) {
                return Value(false);
            }
            left = right;
        }
        return Value(true);
    }

    Value test(const Node& node) {
        const Value v = eval(*node.children[0]);
        const Arguments args = arguments(node, 1, "检验“" + node.name + "”");
        return Value(passes(node, node.name, v, args.get(0, "value")) != node.negated);
    }

    // Whether `v` passes the test `name` (with its argument `other`); `node` places a failure.
    bool passes(const Node& node, const std::string& name, const Value& v, const Value& other) {
        if (testNames().count(name) == 0) {
            fail(node.position, "不认识的检验“" + name + "”");
        }
        bool result = false;
        if (name == "defined") {
            result = !v.isUndefined();
        } else if (name == "undefined") {
            result = v.isUndefined();
        } else if (name == "none") {
            result = v.kind() == ValueKind::None;
        } else if (name == "number") {
            result = v.isNumber() && v.kind() != ValueKind::Bool;
        } else if (name == "integer") {
            result = v.kind() == ValueKind::Integer;
        } else if (name == "float") {
            result = v.kind() == ValueKind::Float;
        } else if (name == "string") {
            result = v.kind() == ValueKind::String;
        } else if (name == "boolean") {
            result = v.kind() == ValueKind::Bool;
        } else if (name == "true" || name == "false") {
            result = v.kind() == ValueKind::Bool && v.asBool() == (name == "true");
        } else if (name == "mapping") {
            result = v.kind() == ValueKind::Map;
        } else if (name == "iterable" || name == "sequence") {
            result = v.kind() == ValueKind::List || v.kind() == ValueKind::Map ||
                     v.kind() == ValueKind::String;
        } else if (name == "lower") {
            result = v.kind() == ValueKind::String && asciiLower(v.asString()) == v.asString();
        } else if (name == "upper") {
            result = v.kind() == ValueKind::String && asciiUpper(v.asString()) == v.asString();
        } else if (name == "even" || name == "odd") {
            const std::int64_t i = requireInteger(v, node.position, "奇偶检验的值");
            result = (i % 2 == 0) == (name == "even");
        } else if (name == "divisibleby") {
            const std::int64_t d = requireInteger(other, node.position, "除数");
            if (d == 0) {
                fail(node.position, "除数为 0");
            }
            result = requireInteger(v, node.position, "被除数") % d == 0;
        } else if (name == "eq" || name == "equalto") {
            result = v.equals(other);
        } else if (name == "ne") {
            result = !v.equals(other);
        } else if (name == "in") {
            result = contains(node, v, other);
        } else {
            const int c = order(node, name, v, other);
            result = name == "lt" ? c < 0 : name == "gt" ? c > 0 : name == "le" ? c <= 0 : c >= 0;
        }
        return result;
    }

    // Python's re.search over the text of `v`: the whole match, or the groups given by number
    // ("\\1") or name ("\\g<name>") as a list; nothing when it does not match.
    static Value regexSearch(const Value& v, const Arguments& args, std::size_t at) {
        args.atLeast(1);
        Utf8RegexFlags flags;
        Value pattern = args.positional.empty() ? args.get(0, "pattern") : args.positional[0];
        std::vector<std::size_t> groups;
        for (std::size_t i = 1; i < args.positional.size(); ++i) {
            const std::string group = textOf(args.positional[i]);
            const auto number =
                group.size() > 1 && group[0] == '\\' ? parseInteger(group.substr(1)) : std::nullopt;
            if (!number || *number < 0) {
                fail(at, "regex_search 的分组应当写成 '\\1' 这样，不是“" + shown(group) + "”");
            }
            groups.push_back(static_cast<std::size_t>(*number));
        }
        for (const auto& [key, value] : args.named) {
            if (key == "ignorecase") {
                flags.ignoreCase = value.truthy();
            } else if (key == "multiline") {
                flags.multiline = value.truthy();
            } else if (key != "pattern") {
                fail(at, "regex_search 没有参数“" + key + "”");
            }
        }
        auto compiled = Utf8Regex::compile(textOf(pattern), flags);
        if (auto* error = std::get_if<Utf8RegexError>(&compiled)) {
            fail(at, "regex_search 的正则表达式有误（第 " + std::to_string(error->position) +
                         " 个字符：" + error->message + "）");
        }
        const auto match = std::get<Utf8Regex>(compiled).search(textOf(v));
        if (!match) {
            return Value::none();
        }
        if (groups.empty()) {
            return Value(match->groups[0].value_or(""));
        }
        ValueList picked;
        for (const std::size_t group : groups) {
            picked.push_back(group < match->groups.size() ? Value(match->groups[group].value_or(""))
                                                          : Value::none());
        }
        return Value(std::move(picked));
    }

    // The name-based UUID (version 5) of a text in the namespace Ansible's to_uuid uses.
    static Value toUuid(const std::string& text) {
        static const unsigned char kNamespace[16] = {0x36, 0x1e, 0x6d, 0x51, 0xfa, 0xec,
                                                     0x44, 0x4a, 0x90, 0x79, 0x34, 0x13,
                                                     0x86, 0xda, 0x8e, 0x2e};
        std::string input(reinterpret_cast<const char*>(kNamespace), sizeof kNamespace);
        input += text;
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha1(), nullptr);
        digest[6] = static_cast<unsigned char>((digest[6] & 0x0F) | 0x50);
        digest[8] = static_cast<unsigned char>((digest[8] & 0x3F) | 0x80);
        static const char* const kHex = "0123456789abcdef";
        std::string out;
        for (int i = 0; i < 16; ++i) {
            if (i == 4 || i == 6 || i == 8 || i == 10) {
                out += '-';
            }
            out += kHex[digest[i] >> 4];
            out += kHex[digest[i] & 0x0F];
        }
        return Value(out);
    }

    // Ansible's ternary: the first choice when `v` is true, the second otherwise, and the third
    // (when given) when `v` is none.
    static Value ternary(const Value& v, const Arguments& args) {
        args.atLeast(2);
        args.atMost(3);
        if (v.kind() == ValueKind::None && args.positional.size() + args.named.size() == 3) {
            return args.get(2, "none_val");
        }
        return v.truthy() ? args.get(0, "true_val") : args.get(1, "false_val");
    }

    // ----- Filters -----

    static Value toInteger(const Value& v, const Value& fallback, int base) {
        switch (v.kind()) {
            case ValueKind::Bool:
            case ValueKind::Integer:
                return Value(integral(v));
            case ValueKind::Float:
                if (std::isfinite(v.asFloat()) && std::fabs(v.asFloat()) < 9.2e18) {
                    return Value(static_cast<std::int64_t>(v.asFloat()));
                }
                return fallback;
            case ValueKind::String: {
                if (auto i = parseInteger(v.asString(), base)) {
                    return Value(*i);
                }
                if (auto d = parseFloat(v.asString());
                    d && std::isfinite(*d) && std::fabs(*d) < 9.2e18) {
                    return Value(static_cast<std::int64_t>(*d));
                }
                return fallback;
            }
            default:
                return fallback;
        }
    }

    static Value toFloat(const Value& v, const Value& fallback) {
        if (v.isNumber()) {
            return Value(v.toDouble());
        }
        if (v.kind() == ValueKind::String) {
            if (auto d = parseFloat(v.asString())) {
                return Value(*d);
            }
        }
        return fallback;
    }

    static std::string textOf(const Value& v) { return v.toText(); }

    std::string striptags(std::string value) {
        for (std::size_t start = value.find("<!--"); start != npos; start = value.find("<!--")) {
            const std::size_t end = value.find("-->", start);
            if (end == npos) {
                break;
            }
            value.erase(start, end + 3 - start);
        }
        for (std::size_t start = value.find('<'); start != npos; start = value.find('<', start)) {
            const std::size_t end = value.find('>', start);
            if (end == npos) {
                break;
            }
            value.erase(start, end + 1 - start);
        }
        std::string joined;
        for (const auto& word : splitWhite(value)) {
            joined += (joined.empty() ? "" : " ") + word;
        }
        return htmlUnescape(joined);
    }

    static std::string truncate(const std::string& s, std::int64_t length, bool killwords,
                                const std::string& end, std::int64_t leeway) {
        const auto chars = characters(s);
        const auto size = static_cast<std::int64_t>(chars.size());
        if (size <= length + leeway) {
            return s;
        }
        const std::int64_t keep =
            std::max<std::int64_t>(length - static_cast<std::int64_t>(characters(end).size()), 0);
        std::string head = joinCharacters(chars, 0, static_cast<std::size_t>(keep));
        if (killwords) {
            return head + end;
        }
        const std::size_t space = head.rfind(' ');
        if (space != npos) {
            head.erase(space);
        }
        return head + end;
    }

    ValueList sorted(ValueList list, bool reverse, const Node& node) {
        std::stable_sort(list.begin(), list.end(), [&](const Value& a, const Value& b) {
            const int c = order(node, "sort", a, b);
            return reverse ? c > 0 : c < 0;
        });
        return list;
    }

    // Python's re.sub over the text of `v`: pattern, replacement, ignorecase, multiline, count.
    static Value regexReplace(const Value& v, const Arguments& args, std::size_t at) {
        args.atMost(5);
        Utf8RegexFlags flags;
        flags.ignoreCase = args.get(2, "ignorecase", Value(false)).truthy();
        flags.multiline = args.get(3, "multiline", Value(false)).truthy();
        const std::string pattern = textOf(args.get(0, "pattern", Value("")));
        auto compiled = Utf8Regex::compile(pattern, flags);
        if (auto* error = std::get_if<Utf8RegexError>(&compiled)) {
            fail(at, "regex_replace 的正则表达式有误（第 " + std::to_string(error->position) +
                         " 个字符：" + error->message + "）");
        }
        const std::int64_t count =
            requireInteger(args.get(4, "count", Value(0)), at, "regex_replace 的次数");
        return Value(std::get<Utf8Regex>(compiled).substitute(
            textOf(v), textOf(args.get(1, "replacement", Value(""))),
            static_cast<std::size_t>(std::max<std::int64_t>(count, 0))));
    }

    Value filter(const Node& node) {
        const Value v = eval(*node.children[0]);
        const Arguments args = arguments(node, 1, "过滤器“" + node.name + "”");
        const std::string& name = node.name;
        const std::size_t at = node.position;
        if (name == "default" || name == "d") {
            args.atMost(2);
            const bool boolean = args.get(1, "boolean", Value(false)).truthy();
            if (v.isUndefined() || (boolean && !v.truthy())) {
                return args.get(0, "default_value", Value(""));
            }
            return v;
        }
        if (name == "urlencode") {
            args.atMost(0);
            if (v.kind() == ValueKind::Map || v.kind() == ValueKind::List) {
                // Pairs as a query string: each part quoted with nothing kept, spaces as "+".
                std::string out;
                const auto pair = [&](const Value& key, const Value& value) {
                    if (!out.empty()) {
                        out += '&';
                    }
                    out += replaceText(percentEncode(textOf(key), ""), "%20", "+", -1) + "=" +
                           replaceText(percentEncode(textOf(value), ""), "%20", "+", -1);
                };
                if (v.kind() == ValueKind::Map) {
                    for (const auto& [key, value] : v.asMap()) {
                        pair(Value(key), value);
                    }
                } else {
                    for (const Value& item : v.asList()) {
                        if (item.kind() != ValueKind::List || item.asList().size() != 2) {
                            fail(at, "urlencode 的列表应当由成对的元素组成");
                        }
                        pair(item.asList()[0], item.asList()[1]);
                    }
                }
                return Value(out);
            }
            return Value(percentEncode(textOf(v), "/"));
        }
        if (name == "urldecode") {
            args.atMost(0);
            return Value(percentDecode(textOf(v), false));
        }
        if (name == "int") {
            args.atMost(2);
            const std::int64_t base =
                requireInteger(args.get(1, "base", Value(10)), at, "int 的进制");
            if (base < 2 || base > 36) {
                fail(at, "int 的进制应当在 2 到 36 之间");
            }
            return toInteger(v, args.get(0, "default", Value(0)), static_cast<int>(base));
        }
        if (name == "float") {
            args.atMost(1);
            return toFloat(v, args.get(0, "default", Value(0.0)));
        }
        if (name == "string") {
            return Value(textOf(v));
        }
        if (name == "bool") {
            if (v.kind() == ValueKind::String) {
                const std::string t = asciiLower(strip(v.asString(), std::nullopt, true, true));
                return Value(t == "1" || t == "true" || t == "yes" || t == "on" || t == "y");
            }
            return Value(v.truthy());
        }
        if (name == "lower") {
            return Value(asciiLower(textOf(v)));
        }
        if (name == "upper") {
            return Value(asciiUpper(textOf(v)));
        }
        if (name == "capitalize") {
            std::string t = asciiLower(textOf(v));
            if (!t.empty() && t[0] >= 'a' && t[0] <= 'z') {
                t[0] = static_cast<char>(t[0] - 'a' + 'A');
            }
            return Value(t);
        }
        if (name == "title") {
            std::string t = textOf(v);
            bool start = true;
            for (char& c : t) {
                const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
                if (letter) {
                    c = start ? asciiUpper(std::string(1, c))[0] : asciiLower(std::string(1, c))[0];
                }
                start = !letter && !(c >= '0' && c <= '9') && static_cast<unsigned char>(c) < 0x80;
            }
            return Value(t);
        }
        if (name == "trim") {
            args.atMost(1);
            const Value chars = args.get(0, "chars", Value::none());
            return Value(
                strip(textOf(v),
                      chars.kind() == ValueKind::None ? std::nullopt : std::optional(textOf(chars)),
                      true, true));
        }
        if (name == "replace") {
            args.atLeast(2);
            args.atMost(3);
            const Value count = args.get(2, "count", Value::none());
            return Value(replaceText(
                textOf(v), textOf(args.get(0, "old")), textOf(args.get(1, "new")),
                count.kind() == ValueKind::None ? -1
                                                : requireInteger(count, at, "replace 的次数")));
        }
        if (name == "striptags") {
            return Value(striptags(textOf(v)));
        }
        if (name == "truncate") {
            args.atMost(4);
            const Value leeway = args.get(3, "leeway", Value::none());
            return Value(truncate(
                textOf(v), requireInteger(args.get(0, "length", Value(255)), at, "truncate 的长度"),
                args.get(1, "killwords", Value(false)).truthy(),
                textOf(args.get(2, "end", Value("..."))),
                leeway.kind() == ValueKind::None ? 5 : requireInteger(leeway, at, "leeway")));
        }
        if (name == "round") {
            args.atMost(2);
            const std::int64_t precision =
                requireInteger(args.get(0, "precision", Value(0)), at, "round 的位数");
            const std::string method = textOf(args.get(1, "method", Value("common")));
            if (!v.isNumber()) {
                fail(at, std::string("round 只能用于数字，却是") + kindName(v));
            }
            const double x = v.toDouble();
            const double scale = std::pow(10.0, static_cast<double>(precision));
            if (method == "common") {
                if (isIntegral(v)) {
                    return Value(integral(v));
                }
                return Value(toDecimals(x, static_cast<int>(precision)));
            }
            if (method == "floor") {
                return Value(std::floor(x * scale) / scale);
            }
            if (method == "ceil") {
                return Value(std::ceil(x * scale) / scale);
            }
            fail(at, "round 的方法只能是 common、ceil 或 floor");
        }
        if (name == "length" || name == "count") {
            switch (v.kind()) {
                case ValueKind::String:
                    return Value(static_cast<std::int64_t>(characters(v.asString()).size()));
                case ValueKind::List:
                    return Value(static_cast<std::int64_t>(v.asList().size()));
                case ValueKind::Map:
                    return Value(static_cast<std::int64_t>(v.asMap().size()));
                case ValueKind::Undefined:
                    return Value(0);
                default:
                    fail(at, std::string(kindName(v)) + "没有长度");
            }
        }
        if (name == "first" || name == "last") {
            const ValueList items = sequenceOf(v, at);
            if (items.empty()) {
                return {};
            }
            return name == "first" ? items.front() : items.back();
        }
        if (name == "list") {
            return Value(sequenceOf(v, at));
        }
        if (name == "reverse") {
            if (v.kind() == ValueKind::String) {
                auto chars = characters(v.asString());
                std::reverse(chars.begin(), chars.end());
                return Value(joinCharacters(chars, 0, chars.size()));
            }
            ValueList items = sequenceOf(v, at);
            std::reverse(items.begin(), items.end());
            return Value(std::move(items));
        }
        if (name == "sort") {
            return Value(
                sorted(sequenceOf(v, at), args.get(0, "reverse", Value(false)).truthy(), node));
        }
        if (name == "unique") {
            ValueList out;
            for (const Value& item : sequenceOf(v, at)) {
                if (std::none_of(out.begin(), out.end(),
                                 [&](const Value& seen) { return seen.equals(item); })) {
                    out.push_back(item);
                }
            }
            return Value(std::move(out));
        }
        if (name == "min" || name == "max") {
            const ValueList items = sequenceOf(v, at);
            if (items.empty()) {
                return {};
            }
            const ValueList order = sorted(items, false, node);
            return name == "min" ? order.front() : order.back();
        }
        if (name == "sum") {
            Value total = args.get(1, "start", Value(0));
            for (const Value& item : sequenceOf(v, at)) {
                if (!item.isNumber() || !total.isNumber()) {
                    fail(at, std::string("sum 只能加数字，却遇到") + kindName(item));
                }
                total = arithmetic(node, "+", total, item);
            }
            return total;
        }
        if (name == "abs") {
            if (isIntegral(v)) {
                return Value(integral(v) < 0 ? -integral(v) : integral(v));
            }
            if (v.kind() == ValueKind::Float) {
                return Value(std::fabs(v.asFloat()));
            }
            fail(at, std::string("abs 只能用于数字，却是") + kindName(v));
        }
        if (name == "join") {
            args.atMost(2);
            const std::string separator = textOf(args.get(0, "d", Value("")));
            const Value attribute = args.get(1, "attribute", Value::none());
            std::string out;
            bool first = true;
            for (const Value& item : sequenceOf(v, at)) {
                out +=
                    (first ? "" : separator) +
                    textOf(attribute.kind() == ValueKind::None ? item : index(item, attribute, at));
                first = false;
            }
            return Value(out);
        }
        if (name == "md5") {
            return Value(digestHex(textOf(v), EVP_md5()));
        }
        if (name == "sha1") {
            return Value(digestHex(textOf(v), EVP_sha1()));
        }
        if (name == "sha256") {
            return Value(digestHex(textOf(v), EVP_sha256()));
        }
        if (name == "b64encode") {
            return Value(base64Encode(textOf(v)));
        }
        if (name == "b64decode") {
            auto decoded = base64Decode(textOf(v));
            if (!decoded) {
                fail(at, "b64decode 的内容不是有效的 Base64");
            }
            return Value(*decoded);
        }
        if (name == "tojson") {
            args.atMost(1);
            const Value indent = args.get(0, "indent", Value::none());
            JsonStyle style;
            style.htmlSafe = true;
            style.indent = indent.kind() == ValueKind::None
                               ? -1
                               : static_cast<int>(requireInteger(indent, at, "tojson 的缩进"));
            return Value(writeJson(sortedKeys(v), style));
        }
        if (name == "unicode") {
            return Value(decodeUnicodeEscapes(textOf(v)));
        }
        if (name == "regex_replace") {
            return regexReplace(v, args, at);
        }
        if (name == "regex_search") {
            return regexSearch(v, args, at);
        }
        if (name == "ternary") {
            return ternary(v, args);
        }
        if (name == "to_uuid") {
            args.atMost(0);
            return toUuid(textOf(v));
        }
        if (name == "random") {
            args.atMost(0);
            const ValueList items = sequenceOf(v, at);
            if (items.empty()) {
                fail(at, "random 过滤器用在了空的序列上");
            }
            return items[randomBits() % items.size()];
        }
        if (name == "select" || name == "reject") {
            // select('test'[, argument]): the items that pass the test (reject: that do not);
            // without a test, the true ones.
            args.atMost(2);
            const std::string testName = textOf(args.get(0, "test", Value("")));
            ValueList kept;
            for (const Value& item : sequenceOf(v, at)) {
                const bool pass = testName.empty()
                                      ? item.truthy()
                                      : passes(node, testName, item, args.get(1, "value"));
                if (pass == (name == "select")) {
                    kept.push_back(item);
                }
            }
            return Value(std::move(kept));
        }
        fail(at, "不认识的过滤器“" + name + "”");
    }

    static Value sortedKeys(const Value& v) {
        if (v.kind() == ValueKind::Map) {
            ValueMap map;
            for (const auto& [key, member] : v.asMap()) {
                map.emplace_back(key, sortedKeys(member));
            }
            std::sort(map.begin(), map.end(),
                      [](const auto& a, const auto& b) { return a.first < b.first; });
            return Value(std::move(map));
        }
        if (v.kind() == ValueKind::List) {
            ValueList list;
            for (const Value& item : v.asList()) {
                list.push_back(sortedKeys(item));
            }
            return Value(std::move(list));
        }
        return v;
    }

    // ----- Functions -----

    std::chrono::system_clock::time_point now() const {
        return context_.now ? context_.now() : std::chrono::system_clock::now();
    }

    std::uint64_t randomBits() const {
        if (context_.random) {
            return context_.random();
        }
        static thread_local std::mt19937_64 engine{std::random_device{}()};
        return engine();
    }

    std::tm localTime() const {
        const auto point = now();
        std::tm fields{};
        if (context_.utcOffset) {
            const auto shifted =
                std::chrono::floor<std::chrono::seconds>(point) +
                std::chrono::duration_cast<std::chrono::seconds>(*context_.utcOffset);
            const std::time_t t = std::chrono::system_clock::to_time_t(shifted);
            gmtime_r(&t, &fields);
        } else {
            const std::time_t t = std::chrono::system_clock::to_time_t(point);
            localtime_r(&t, &fields);
        }
        return fields;
    }

    static Value number(const Value& v, std::size_t at, const std::string& what) {
        if (v.isNumber()) {
            return isIntegral(v) ? Value(integral(v)) : v;
        }
        if (v.kind() == ValueKind::String) {
            if (auto i = parseInteger(v.asString())) {
                return Value(*i);
            }
            if (auto d = parseFloat(v.asString())) {
                return Value(*d);
            }
        }
        fail(at, what + "应当是数字，却是" +
                     (v.kind() == ValueKind::String ? "“" + shown(v.asString()) + "”"
                                                    : std::string(kindName(v))));
    }

    Value call(const Node& node) {
        const Arguments args = arguments(node, 0, "函数“" + node.name + "”");
        const std::string& name = node.name;
        const std::size_t at = node.position;
        const auto first = [&] { return args.get(0, "value"); };
        if (name == "add" || name == "sub" || name == "multiply" || name == "divide") {
            // add and multiply take any number of terms from two; sub and divide two.
            args.atLeast(2);
            if (name == "sub" || name == "divide") {
                args.atMost(2);
            }
            const std::string op = name == "add"        ? "+"
                                   : name == "sub"      ? "-"
                                   : name == "multiply" ? "*"
                                                        : "/";
            Value total = number(args.get(0, "a"), at, name + " 的参数");
            for (std::size_t i = 1; i < args.positional.size() + args.named.size(); ++i) {
                const Value term = i < args.positional.size()
                                       ? args.positional[i]
                                       : args.named[i - args.positional.size()].second;
                total = arithmetic(node, op, total, number(term, at, name + " 的参数"));
            }
            return total;
        }
        if (name == "random") {
            args.atLeast(2);
            args.atMost(3);
            const Value low = number(args.get(0, "min"), at, "random 的下限");
            const Value high = number(args.get(1, "max"), at, "random 的上限");
            const std::int64_t digits =
                requireInteger(args.get(2, "flag", Value(0)), at, "random 的第三个参数");
            if (digits <= 0) {
                if (!isIntegral(low) || !isIntegral(high)) {
                    fail(at, "random 取整数时上下限应当是整数");
                }
                const std::int64_t a = integral(low);
                const std::int64_t b = integral(high);
                if (b < a) {
                    fail(at, "random 的上限小于下限");
                }
                const auto span = static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
                const std::uint64_t pick = span == std::numeric_limits<std::uint64_t>::max()
                                               ? randomBits()
                                               : randomBits() % (span + 1);
                return Value(static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + pick));
            }
            const double unit = static_cast<double>(randomBits() >> 11) * 0x1.0p-53;
            const double x = low.toDouble() + (high.toDouble() - low.toDouble()) * unit;
            return Value(toDecimals(x, static_cast<int>(std::min<std::int64_t>(digits, 17))));
        }
        if (name == "timestamp") {
            args.atMost(1);
            const std::string kind = textOf(args.get(0, "type", Value("int")));
            const auto since = now().time_since_epoch();
            if (kind == "float") {
                const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
                const auto micros =
                    std::chrono::duration_cast<std::chrono::microseconds>(since - seconds);
                return Value(static_cast<double>(seconds.count()) +
                             static_cast<double>(micros.count()) / 1e6);
            }
            return Value(static_cast<std::int64_t>(
                std::chrono::duration_cast<std::chrono::seconds>(since).count()));
        }
        if (name == "date_time") {
            args.atMost(3);
            const Value format = args.get(0, "date", Value(1));
            std::string picture;
            if (format.kind() == ValueKind::String) {
                picture = format.asString();
            } else {
                const bool date = format.truthy();
                const bool time = args.get(1, "time", Value(1)).truthy();
                picture = std::string(date ? "%Y-%m-%d" : "") + (date && time ? " " : "") +
                          (time ? "%H:%M:%S" : "");
            }
            const std::tm fields = localTime();
            char buffer[512];
            const std::size_t length =
                picture.empty() ? 0
                                : std::strftime(buffer, sizeof buffer, picture.c_str(), &fields);
            return Value(std::string(buffer, length));
        }
        if (name == "regex_replace") {
            // The function form takes the text first: regex_replace(text, pattern[, replacement]).
            args.atLeast(2);
            Arguments rest = args;
            rest.positional.erase(rest.positional.begin());
            return regexReplace(args.positional[0], rest, at);
        }
        if (name == "regex_search") {
            // The function form takes the text first: regex_search(text, pattern[, '\\1'...]).
            args.atLeast(2);
            Arguments rest = args;
            rest.positional.erase(rest.positional.begin());
            return regexSearch(args.positional[0], rest, at);
        }
        if (name == "ternary") {
            args.atLeast(3);
            Arguments rest = args;
            rest.positional.erase(rest.positional.begin());
            return ternary(args.positional[0], rest);
        }
        if (name == "to_uuid") {
            args.atMost(1);
            return toUuid(textOf(first()));
        }
        if (name == "totp") {
            args.atLeast(1);
            args.atMost(3);
            const std::int64_t digits =
                requireInteger(args.get(1, "digits", Value(6)), at, "totp 的位数");
            const std::int64_t period =
                requireInteger(args.get(2, "period", Value(30)), at, "totp 的周期");
            auto code = totpCode(textOf(args.get(0, "secret")), now(),
                                 static_cast<int>(std::clamp<std::int64_t>(digits, -1, 99)),
                                 static_cast<int>(std::clamp<std::int64_t>(period, -1, 86401)));
            if (auto* error = std::get_if<TotpSecretError>(&code)) {
                fail(at, error->message);
            }
            return Value(std::get<std::string>(std::move(code)));
        }
        if (name == "md5" || name == "sha1" || name == "sha256") {
            args.atMost(1);
            const EVP_MD* md = name == "md5"    ? EVP_md5()
                               : name == "sha1" ? EVP_sha1()
                                                : EVP_sha256();
            return Value(digestHex(textOf(first()), md));
        }
        if (name == "unicode") {
            args.atMost(1);
            return Value(decodeUnicodeEscapes(textOf(first())));
        }
        if (name == "urlencode") {
            args.atMost(1);
            return Value(percentEncode(textOf(first()), "/"));
        }
        if (name == "urldecode") {
            args.atMost(1);
            return Value(percentDecode(textOf(first()), false));
        }
        if (name == "range") {
            args.atLeast(1);
            args.atMost(3);
            std::int64_t start = 0;
            std::int64_t stop = 0;
            std::int64_t step = 1;
            if (args.positional.size() == 1) {
                stop = requireInteger(args.positional[0], at, "range 的参数");
            } else {
                start = requireInteger(args.get(0, "start"), at, "range 的参数");
                stop = requireInteger(args.get(1, "stop"), at, "range 的参数");
                step = requireInteger(args.get(2, "step", Value(1)), at, "range 的参数");
            }
            if (step == 0) {
                fail(at, "range 的步长不能为 0");
            }
            ValueList list;
            for (std::int64_t i = start; step > 0 ? i < stop : i > stop; i += step) {
                if (static_cast<std::int64_t>(list.size()) >= kMaxSequence) {
                    fail(at, "range 的元素超过 " + std::to_string(kMaxSequence) + " 个");
                }
                list.push_back(Value(i));
                if (__builtin_add_overflow(i, step, &i)) {
                    break;
                }
                i -= step;
            }
            return Value(std::move(list));
        }
        if (name == "list") {
            args.atMost(1);
            return Value(sequenceOf(first(), at));
        }
        if (name == "int") {
            args.atMost(2);
            const Value v = first();
            const Value result = toInteger(v, Value(), 10);
            if (result.isUndefined()) {
                fail(at, "int() 不能把“" + shown(textOf(v)) + "”当作整数");
            }
            return result;
        }
        if (name == "float") {
            args.atMost(1);
            const Value result = toFloat(first(), Value());
            if (result.isUndefined()) {
                fail(at, "float() 不能把“" + shown(textOf(first())) + "”当作数字");
            }
            return result;
        }
        if (name == "str") {
            args.atMost(1);
            return Value(textOf(first()));
        }
        if (name == "bool") {
            args.atMost(1);
            return Value(first().truthy());
        }
        if (name == "len") {
            args.atLeast(1);
            args.atMost(1);
            const Value v = first();
            if (v.kind() == ValueKind::String) {
                return Value(static_cast<std::int64_t>(characters(v.asString()).size()));
            }
            if (v.kind() == ValueKind::List || v.kind() == ValueKind::Map) {
                return Value(static_cast<std::int64_t>(sequenceOf(v, at).size()));
            }
            fail(at, std::string(kindName(v)) + "没有长度");
        }
        fail(at, "不认识的函数“" + name + "”");
    }

    Value method(const Node& node) {
        const Value subject = eval(*node.children[0]);
        const Arguments args = arguments(node, 1, "方法“" + node.name + "”");
        const std::string& name = node.name;
        const std::size_t at = node.position;
        if (subject.kind() == ValueKind::Map) {
            if (name == "get") {
                args.atLeast(1);
                args.atMost(2);
                const Value found = index(subject, args.positional[0], at);
                return found.isUndefined() ? args.get(1, "default", Value::none()) : found;
            }
            if (name == "keys" || name == "values" || name == "items") {
                ValueList list;
                for (const auto& [key, value] : subject.asMap()) {
                    list.push_back(name == "keys"     ? Value(key)
                                   : name == "values" ? value
                                                      : Value(ValueList{Value(key), value}));
                }
                return Value(std::move(list));
            }
        }
        if (subject.kind() == ValueKind::String) {
            const std::string& s = subject.asString();
            if (name == "lower") {
                return Value(asciiLower(s));
            }
            if (name == "upper") {
                return Value(asciiUpper(s));
            }
            if (name == "strip" || name == "lstrip" || name == "rstrip") {
                const Value chars = args.get(0, "chars", Value::none());
                return Value(strip(
                    s,
                    chars.kind() == ValueKind::None ? std::nullopt : std::optional(textOf(chars)),
                    name != "rstrip", name != "lstrip"));
            }
            if (name == "replace") {
                args.atLeast(2);
                const Value count = args.get(2, "count", Value(-1));
                return Value(replaceText(s, textOf(args.positional[0]), textOf(args.get(1, "new")),
                                         requireInteger(count, at, "replace 的次数")));
            }
            if (name == "startswith") {
                args.atLeast(1);
                const std::string prefix = textOf(args.positional[0]);
                return Value(s.compare(0, prefix.size(), prefix) == 0);
            }
            if (name == "endswith") {
                args.atLeast(1);
                const std::string suffix = textOf(args.positional[0]);
                return Value(s.size() >= suffix.size() &&
                             s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0);
            }
            if (name == "find") {
                args.atLeast(1);
                const std::size_t found = s.find(textOf(args.positional[0]));
                return Value(found == npos ? std::int64_t{-1}
                                           : static_cast<std::int64_t>(
                                                 characters(s.substr(0, found)).size()));
            }
            if (name == "split") {
                const Value separator = args.get(0, "sep", Value::none());
                const std::int64_t limit =
                    requireInteger(args.get(1, "maxsplit", Value(-1)), at, "split 的次数");
                ValueList parts;
                if (separator.kind() == ValueKind::None) {
                    for (const auto& word : splitWhite(s)) {
                        parts.push_back(Value(word));
                    }
                    return Value(std::move(parts));
                }
                const std::string sep = textOf(separator);
                if (sep.empty()) {
                    fail(at, "split 的分隔符不能为空");
                }
                std::size_t start = 0;
                std::int64_t done = 0;
                for (std::size_t found = s.find(sep); found != npos && (limit < 0 || done < limit);
                     found = s.find(sep, start)) {
                    parts.push_back(Value(s.substr(start, found - start)));
                    start = found + sep.size();
                    ++done;
                }
                parts.push_back(Value(s.substr(start)));
                return Value(std::move(parts));
            }
            if (name == "join") {
                args.atLeast(1);
                std::string out;
                bool firstItem = true;
                for (const Value& item : sequenceOf(args.positional[0], at)) {
                    out += (firstItem ? "" : s) + textOf(item);
                    firstItem = false;
                }
                return Value(out);
            }
        }
        fail(at, std::string(kindName(subject)) + "没有方法“" + name + "”");
    }

    const Variables& globals_;
    const RenderContext& context_;
};

// ----- Rendering of parts -----

struct Renderer {
    Evaluator& evaluator;
    Variables* assigned;

    void set(const std::string& name, Value value, bool topLevel) {
        if (evaluator.scopes_.empty()) {
            evaluator.scopes_.emplace_back();
        }
        evaluator.scopes_.back()[name] = value;
        if (topLevel && assigned != nullptr) {
            (*assigned)[name] = std::move(value);
        }
    }

    void render(const std::vector<Part>& parts, std::string& out, bool topLevel) {
        for (const Part& part : parts) {
            switch (part.kind) {
                case Part::Kind::Text:
                    out += part.text;
                    break;
                case Part::Kind::Output:
                    out += evaluator.eval(*part.expression).toText();
                    break;
                case Part::Kind::Set:
                    set(part.targets[0], evaluator.eval(*part.expression), topLevel);
                    break;
                case Part::Kind::If:
                    for (const auto& [condition, body] : part.branches) {
                        if (!condition || evaluator.eval(*condition).truthy()) {
                            render(body, out, topLevel);
                            break;
                        }
                    }
                    break;
                case Part::Kind::For: {
                    const ValueList items =
                        evaluator.sequenceOf(evaluator.eval(*part.expression), part.position);
                    if (items.empty()) {
                        render(part.elseBody, out, topLevel);
                        break;
                    }
                    for (std::size_t i = 0; i < items.size(); ++i) {
                        Variables scope;
                        if (part.targets.size() == 1) {
                            scope[part.targets[0]] = items[i];
                        } else {
                            const ValueList unpacked =
                                evaluator.sequenceOf(items[i], part.position);
                            if (unpacked.size() != part.targets.size()) {
                                fail(part.position, "循环的元素不能拆成 " +
                                                        std::to_string(part.targets.size()) +
                                                        " 个变量");
                            }
                            for (std::size_t k = 0; k < unpacked.size(); ++k) {
                                scope[part.targets[k]] = unpacked[k];
                            }
                        }
                        const auto n = static_cast<std::int64_t>(items.size());
                        const auto k = static_cast<std::int64_t>(i);
                        scope["loop"] = Value(ValueMap{{"index", Value(k + 1)},
                                                       {"index0", Value(k)},
                                                       {"first", Value(i == 0)},
                                                       {"last", Value(k + 1 == n)},
                                                       {"length", Value(n)},
                                                       {"revindex", Value(n - k)},
                                                       {"revindex0", Value(n - k - 1)}});
                        evaluator.scopes_.push_back(std::move(scope));
                        render(part.body, out, false);
                        evaluator.scopes_.pop_back();
                    }
                    break;
                }
            }
        }
    }
};

TemplateError errorOf(std::string_view text, const Failure& failure) {
    return TemplateError{characterPosition(text, failure.offset), failure.message};
}

}  // namespace

// ---------------------------------------------------------------------------------------------

RenderContext systemRenderContext() {
    auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
    RenderContext context;
    context.now = [] { return std::chrono::system_clock::now(); };
    context.random = [engine] { return (*engine)(); };
    return context;
}

std::variant<Expression, TemplateError> Expression::compile(std::string_view text) {
    try {
        return Expression(parseExpression(text, 0, text.size()),
                          std::make_shared<const std::string>(text));
    } catch (const Failure& failure) {
        return errorOf(text, failure);
    }
}

std::variant<Value, TemplateError> Expression::evaluate(const Variables& variables,
                                                        const RenderContext& context) const {
    try {
        Evaluator evaluator(variables, context);
        return evaluator.eval(*root_);
    } catch (const Failure& failure) {
        return errorOf(*source_, failure);
    }
}

std::vector<std::string> Expression::names() const {
    std::vector<std::string> out;
    collectNames(root_, out, {});
    return out;
}

std::optional<std::variant<Statement, TemplateError>> parseStatement(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    if (first == npos || text.substr(first, 2) != "{%" || last < first + 3 ||
        text.substr(last - 1, 2) != "%}") {
        return std::nullopt;
    }
    try {
        const std::optional<Block> block = nextBlock(text, first);
        if (!block || block->type != '%' || block->close != last + 1) {
            return std::nullopt;
        }
        auto source = std::make_shared<const std::string>(text);
        Parser parser(*source, block->inner, block->innerEnd);
        Statement statement;
        const std::size_t wordAt = parser.position();
        statement.keyword = parser.expectName();
        const std::string& word = statement.keyword;
        if (word == "if" || word == "elif" || word == "while") {
            statement.expression.emplace(Expression(parser.expression(), source));
        } else if (word == "for") {
            statement.targets.push_back(parser.expectName());
            while (parser.acceptOp(",")) {
                statement.targets.push_back(parser.expectName());
            }
            if (!parser.acceptName("in")) {
                fail(parser.position(), "这里应当是“in”");
            }
            statement.expression.emplace(Expression(parser.expression(), source));
        } else if (word == "set") {
            statement.targets.push_back(parser.expectName());
            parser.expectOp("=");
            statement.expression.emplace(Expression(parser.expression(), source));
        } else if (word != "else" && word != "endif" && word != "endfor" && word != "endwhile") {
            fail(wordAt, "不认识的语句“" + word + "”");
        }
        parser.expectEnd();
        return statement;
    } catch (const Failure& failure) {
        return errorOf(text, failure);
    }
}

Template::Template()
    : parts_(std::make_shared<const std::vector<Part>>()),
      source_(std::make_shared<const std::string>()) {}

std::variant<Template, TemplateError> Template::compile(std::string_view text) {
    try {
        return Template(std::make_shared<const std::vector<Part>>(TemplateParser(text).run()),
                        std::make_shared<const std::string>(text));
    } catch (const Failure& failure) {
        return errorOf(text, failure);
    }
}

std::variant<std::string, TemplateError> Template::render(const Variables& variables,
                                                          const RenderContext& context,
                                                          Variables* assigned) const {
    try {
        Evaluator evaluator(variables, context);
        Renderer renderer{evaluator, assigned};
        std::string out;
        renderer.render(*parts_, out, true);
        return out;
    } catch (const Failure& failure) {
        return errorOf(*source_, failure);
    }
}

bool Template::isPlain() const {
    return parts_->empty() || (parts_->size() == 1 && parts_->front().kind == Part::Kind::Text);
}

std::vector<std::string> Template::names() const {
    std::vector<std::string> out;
    collectPartNames(*parts_, out, {});
    return out;
}

std::string percentEncode(std::string_view text, std::string_view safe) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '.' || c == '-' || c == '~' ||
            (u < 0x80 && safe.find(c) != std::string_view::npos)) {
            out += c;
        } else {
            out += '%';
            out += hex[u >> 4];
            out += hex[u & 15];
        }
    }
    return out;
}

std::string percentDecode(std::string_view text, bool plusAsSpace) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
            hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else if (plusAsSpace && text[i] == '+') {
            out += ' ';
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string decodeUnicodeEscapes(std::string_view text) {
    std::string out;
    const auto hex4 = [&](std::size_t at) -> std::optional<std::uint32_t> {
        if (at + 4 > text.size()) {
            return std::nullopt;
        }
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int h = hexDigit(text[at + k]);
            if (h < 0) {
                return std::nullopt;
            }
            v = v * 16 + static_cast<std::uint32_t>(h);
        }
        return v;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'u' || text[i + 1] == 'U')) {
            if (auto cp = hex4(i + 2)) {
                std::size_t used = 6;
                if (*cp >= 0xD800 && *cp < 0xDC00 && i + 7 < text.size() && text[i + 6] == '\\' &&
                    (text[i + 7] == 'u' || text[i + 7] == 'U')) {
                    if (auto low = hex4(i + 8); low && *low >= 0xDC00 && *low < 0xE000) {
                        *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
                        used = 12;
                    }
                }
                if (*cp >= 0xD800 && *cp < 0xE000) {
                    *cp = 0xFFFD;
                }
                appendUtf8(out, *cp);
                i += used - 1;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string htmlUnescape(std::string_view text) {
    static const std::pair<std::string_view, std::string_view> kNamed[] = {
        {"amp", "&"},
        {"lt", "<"},
        {"gt", ">"},
        {"quot", "\""},
        {"apos", "'"},
        {"nbsp", "\xC2\xA0"},
        {"copy", "\xC2\xA9"},
        {"reg", "\xC2\xAE"},
        {"middot", "\xC2\xB7"},
        {"hellip", "\xE2\x80\xA6"},
        {"mdash", "\xE2\x80\x94"},
        {"ndash", "\xE2\x80\x93"},
        {"ldquo", "\xE2\x80\x9C"},
        {"rdquo", "\xE2\x80\x9D"},
        {"lsquo", "\xE2\x80\x98"},
        {"rsquo", "\xE2\x80\x99"},
        {"times", "\xC3\x97"},
        {"yen", "\xC2\xA5"}};
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const std::size_t semicolon = text.find(';', i + 1);
        if (semicolon == npos || semicolon - i > 12) {
            out += text[i];
            continue;
        }
        const std::string_view name = text.substr(i + 1, semicolon - i - 1);
        bool done = false;
        if (!name.empty() && name[0] == '#') {
            std::uint32_t cp = 0;
            const bool hex = name.size() > 1 && (name[1] == 'x' || name[1] == 'X');
            const std::string_view digits = name.substr(hex ? 2 : 1);
            const auto [end, ec] =
                std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
            if (!digits.empty() && ec == std::errc() && end == digits.data() + digits.size() &&
                cp <= 0x10FFFF) {
                appendUtf8(out, cp == 0 || (cp >= 0xD800 && cp < 0xE000) ? 0xFFFD : cp);
                done = true;
            }
        } else {
            for (const auto& [entity, replacement] : kNamed) {
                if (name == entity) {
                    out += replacement;
                    done = true;
                    break;
                }
            }
        }
        if (done) {
            i = semicolon;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string htmlEscape(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#x27;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace vesprey::flow
