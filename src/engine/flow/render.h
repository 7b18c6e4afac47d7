// The template renderer of the multi-step templates: texts with "{{ expression }}" in a subset of
// Jinja2, parsed once into a compiled form and rendered against variables.
//
// Expressions: variables, string literals ('…' or "…" with Python's escapes), integers, floats,
// true/false/none (any case of the first letter), lists [a, b] and maps {'k': v}; a.b, a[i],
// a[i:j]; unary - + and not; ** * / // % + - ~; comparisons (chained) and in / not in; and, or;
// "x if c else y"; filters "x|f(args)"; tests "x is defined"; calls of the functions below and of
// a few methods of texts and maps. "{% if %}…{% elif %}…{% else %}…{% endif %}",
// "{% for x in xs %}…{% endfor %}" and "{% set x = e %}" may appear inside a text too, and
// "{# … #}" is a comment; "-" inside a delimiter trims the white space next to it.
//
// Values follow Jinja2: an undefined variable renders as nothing, is false, iterates as nothing,
// and its members are undefined; arithmetic on it is an error. 7 / 2 is 3.5, 7 // 2 is 3.
//
// Filters: abs, b64decode, b64encode, bool, capitalize, count, default/d (value[, boolean]),
// first, float, int, join, last, length, list, lower, max, md5, min, regex_replace, replace,
// reverse, round, sha1, sha256, sort, string, striptags, sum, title, tojson, trim, truncate,
// unicode, unique, upper, urldecode, urlencode.
// Functions: add, sub, multiply, divide, random(a, b[, n]) (a whole number from a to b with n 0,
// else a number from a to b with n decimals), timestamp(['int' | 'float']), date_time(format) or
// date_time(date, time) (flags for "%Y-%m-%d" and "%H:%M:%S"), md5, sha1, sha256, unicode,
// urlencode, urldecode, range, list, int, float, str, bool, len, totp(secret[, digits, period])
// (the RFC 6238 one-time password of a Base32 secret at the context's time: 6 digits and 30 s
// steps unless given; engine/flow/totp.h).
//
// Texts are UTF-8 throughout (engine/flow/value.h); md5 and urlencode work on UTF-8 bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/flow/value.h"

namespace vesprey::flow {

// The variables a text is rendered against, by name.
using Variables = std::map<std::string, Value, std::less<>>;

// What rendering needs from outside: the clock, the random source and the local time zone. Tests
// fix all three.
struct RenderContext {
    std::function<std::chrono::system_clock::time_point()> now;
    // Uniformly distributed 64-bit numbers.
    std::function<std::uint64_t()> random;
    // The local time's offset from UTC; the system's time zone when empty.
    std::optional<std::chrono::minutes> utcOffset;
};

// The system clock, a random device and the system's time zone.
RenderContext systemRenderContext();

// Why a text cannot be parsed or rendered: the character of the text (from 1) where the
// expression concerned starts or goes wrong, and a Chinese sentence saying what is wrong.
struct TemplateError {
    std::size_t position = 0;
    std::string message;
};

struct Statement;

// One parsed expression, as the control entries of a flow hold them.
class Expression {
public:
    static std::variant<Expression, TemplateError> compile(std::string_view text);
    std::variant<Value, TemplateError> evaluate(const Variables& variables,
                                                const RenderContext& context) const;
    // The variable names the expression reads (loop and set targets inside it excluded).
    std::vector<std::string> names() const;

    struct Node;

private:
    friend std::optional<std::variant<Statement, TemplateError>> parseStatement(std::string_view);
    Expression(std::shared_ptr<const Node> root, std::shared_ptr<const std::string> source)
        : root_(std::move(root)), source_(std::move(source)) {}
    std::shared_ptr<const Node> root_;
    std::shared_ptr<const std::string> source_;
};

// One "{% … %}" statement standing alone, as a control entry of a flow holds it: if, elif and
// while with their condition; for with its loop variables and sequence; set with its name and
// value; else, endif, endfor and endwhile with nothing.
struct Statement {
    std::string keyword;
    std::vector<std::string> targets;
    std::optional<Expression> expression;
};

// The statement when `text` (white space around it aside) is one "{% … %}" block and nothing
// else; nothing when it is not; the error when it is one but does not parse or is not one of the
// statements above.
std::optional<std::variant<Statement, TemplateError>> parseStatement(std::string_view text);

class Template {
public:
    Template();  // the empty text
    static std::variant<Template, TemplateError> compile(std::string_view text);
    // The rendered text. `assigned`, when given, receives the variables "{% set %}" set at the top
    // level of the text.
    std::variant<std::string, TemplateError> render(const Variables& variables,
                                                    const RenderContext& context,
                                                    Variables* assigned = nullptr) const;
    // True when the text holds no delimiters: rendering gives it back as it is.
    bool isPlain() const;
    // The variable names the text reads, in order of first use, each once.
    std::vector<std::string> names() const;

    struct Part;

private:
    Template(std::shared_ptr<const std::vector<Part>> parts,
             std::shared_ptr<const std::string> source)
        : parts_(std::move(parts)), source_(std::move(source)) {}
    std::shared_ptr<const std::vector<Part>> parts_;
    std::shared_ptr<const std::string> source_;
};

// Text functions the renderer's filters use, offered to the runner too.
// Percent-encodes the UTF-8 bytes of `text` except ASCII letters, digits, "_.-~" and `safe`.
std::string percentEncode(std::string_view text, std::string_view safe = "/");
// Decodes %XX sequences (and "+" as a space with `plusAsSpace`); a bad sequence stays as it is.
std::string percentDecode(std::string_view text, bool plusAsSpace = false);
// Decodes \uXXXX escapes (surrogate pairs included) into UTF-8; everything else stays.
std::string decodeUnicodeEscapes(std::string_view text);
// Decodes the HTML character references (&amp; &lt; &#39; &#x4e2d; …) into UTF-8.
std::string htmlUnescape(std::string_view text);
// Escapes & < > " and ' for HTML.
std::string htmlEscape(std::string_view text);

}  // namespace vesprey::flow
