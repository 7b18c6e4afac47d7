#include "engine/evaluation.h"

#include <cstddef>
#include <vector>

#include "engine/messages.h"
#include "json/json.h"
#include "text/gbk_text.h"
#include "web/regex.h"

namespace vesprey {
namespace {

constexpr std::size_t npos = std::string_view::npos;

constexpr std::string_view kArrow = "=>";
constexpr std::string_view kOr = "||";
constexpr std::string_view kValueMark = "[@]";
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kCrLfMark = "{$}";
constexpr std::string_view kRightQuote = "\xA1\xAF";  // "’" in code page 936

// The evaluation's texts, in code page 936.
const Text& caption() {
    static const Text text = utf8ToAnsi("信息：");
    return text;
}
const Text& regexCreateFailed() {
    static const Text text = utf8ToAnsi("正则创建失败，请检查正则表达式语句是否有误！");
    return text;
}
const Text& regexNoMatch() {
    static const Text text = utf8ToAnsi("匹配失败，请检检查正则语句是否有误，数量：0");
    return text;
}

const Text& regexTimedOut() {
    static const Text text =
        utf8ToAnsi("正则表达式运行超时：0.5 秒内没有在答复里找完，请把正则语句写得更具体！");
    return text;
}

// --- Searching code page 936 text one character at a time ---
//
// Every search starts at a character boundary and only matches at boundaries (the text layer's
// rule of where a character starts), so a marker never matches across the two bytes of one
// character.

// First occurrence of `marker` at a boundary at or after the boundary `from`.
std::size_t findMarker(std::string_view text, std::string_view marker, std::size_t from = 0) {
    return gbk::find(text, marker, from);
}

std::size_t findLastMarker(std::string_view text, std::string_view marker) {
    std::size_t last = npos;
    for (std::size_t at = findMarker(text, marker); at != npos;
         at = findMarker(text, marker, at + gbk::charLength(text, at))) {
        last = at;
    }
    return last;
}

bool hasMarker(std::string_view text, std::string_view marker) {
    return findMarker(text, marker) != npos;
}

// Every occurrence of `from` replaced by `to`, left to right, replacements not rescanned.
Text replaceMarker(std::string_view text, std::string_view from, std::string_view to) {
    Text out;
    out.reserve(text.size());
    std::size_t start = 0;
    for (std::size_t at = findMarker(text, from); at != npos; at = findMarker(text, from, start)) {
        out.append(text.substr(start, at - start));
        out.append(to);
        start = at + from.size();
    }
    out.append(text.substr(start));
    return out;
}

// The pieces between the markers, in order: every piece before a marker is kept, even an empty
// one; the piece after the last marker only when it is not empty.
std::vector<std::string_view> splitAtMarker(std::string_view text, std::string_view marker) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t at = findMarker(text, marker); at != npos;
         at = findMarker(text, marker, start)) {
        pieces.push_back(text.substr(start, at - start));
        start = at + marker.size();
    }
    if (start < text.size()) {
        pieces.push_back(text.substr(start));
    }
    return pieces;
}

// The template of a statement: the text after its last "=>", empty without one.
std::string_view resultTemplate(std::string_view tying) {
    const std::size_t last = findLastMarker(tying, kArrow);
    return last == npos ? std::string_view{} : tying.substr(last + kArrow.size());
}

std::string_view untilNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

// --- "UTF-8解码" ---

int hexDigitValue(std::string_view text, std::size_t at) {
    if (at >= text.size()) {
        return 0;  // the text has ended
    }
    char c = text[at];
    if (c >= 'a' && c <= 'z') {
        c = static_cast<char>(c - 'a' + 'A');
    }
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    const std::size_t index = kDigits.find(c);
    return index == npos ? -2 : static_cast<int>(index);
}

Text decodePercentUtf8(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '%') {
            bytes.push_back(text[at]);
            continue;
        }
        const int value = (16 * hexDigitValue(text, at + 1) + hexDigitValue(text, at + 2)) & 0xFF;
        if (value != 0) {
            bytes.push_back(static_cast<char>(value));
        }
        at += 2;
    }
    return utf8ToAnsi(bytes);
}

// --- "USC2-ANSI" ---

int hexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

// The value of `count` hex digits at `at`, or -1 when there are not that many.
long hexRun(std::u16string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) {
        return -1;
    }
    long value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const int digit = hexValue(text[at + i]);
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

bool isOctal(char16_t c) {
    return c >= u'0' && c <= u'7';
}

// ECMAScript unescape: %uHHHH gives that code unit, %HH that character; all else stays.
std::u16string unescapePercent(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char16_t c = text[at];
        if (c == u'%') {
            if (at + 1 < text.size() && text[at + 1] == u'u') {
                if (const long unit = hexRun(text, at + 2, 4); unit >= 0) {
                    out.push_back(static_cast<char16_t>(unit));
                    at += 5;
                    continue;
                }
            }
            if (const long code = hexRun(text, at + 1, 2); code >= 0) {
                out.push_back(static_cast<char16_t>(code));
                at += 2;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

Text convertUsc2Ansi(std::string_view answer) {
    Text text = replaceMarker(answer, kCrLf, kCrLfMark);
    if (!text.empty() && text.front() == '\r') {
        text.erase(0, 1);
    }
    if (hasMarker(text, "\\u")) {
        text = replaceMarker(text, "\\u", "%u");
    }
    text = replaceMarker(text, "'", kRightQuote);

    Text result;
    if (auto script = unescapeScriptLiteral(ansiToUtf16(text))) {
        // The script's result is handed over as a NUL-terminated text.
        result = utf16ToAnsi(std::u16string_view(*script).substr(0, script->find(u'\0')));
    }
    if (result.empty()) {
        result = decodeUtf16Bytes(text);
    }
    return replaceMarker(replaceMarker(result, kRightQuote, "'"), kCrLfMark, kCrLf);
}

}  // namespace

const Text& matchFailedText() {
    static const Text text = utf8ToAnsi("匹配失败");
    return text;
}

const Text& regexTimedOutText() {
    static const Text text = utf8ToAnsi("正则表达式运行超时");
    return text;
}

std::optional<std::u16string> unescapeScriptLiteral(std::u16string_view body) {
    std::u16string literal;
    literal.reserve(body.size());
    for (std::size_t at = 0; at < body.size(); ++at) {
        const char16_t c = body[at];
        if (c == u'\n' || c == u'\r' || c == u'\'') {
            return std::nullopt;  // a line break, or the literal would end early
        }
        if (c != u'\\') {
            literal.push_back(c);
            continue;
        }
        if (at + 1 == body.size()) {
            return std::nullopt;  // the backslash escapes the closing quote: unterminated
        }
        const char16_t e = body[++at];
        switch (e) {
            case u'b':
                literal.push_back(u'\b');
                break;
            case u'f':
                literal.push_back(u'\f');
                break;
            case u'n':
                literal.push_back(u'\n');
                break;
            case u'r':
                literal.push_back(u'\r');
                break;
            case u't':
                literal.push_back(u'\t');
                break;
            case u'\n':
            case u'\r':
                return std::nullopt;
            case u'x':
            case u'u': {
                const std::size_t digits = e == u'x' ? 2 : 4;
                const long unit = hexRun(body, at + 1, digits);
                if (unit < 0) {
                    return std::nullopt;
                }
                literal.push_back(static_cast<char16_t>(unit));
                at += digits;
                break;
            }
            default:
                if (isOctal(e)) {
                    // \0 to \377: up to three digits from 0-3, up to two from 4-7.
                    int value = e - u'0';
                    const std::size_t more = e <= u'3' ? 2 : 1;
                    for (std::size_t i = 0;
                         i < more && at + 1 < body.size() && isOctal(body[at + 1]); ++i) {
                        value = value * 8 + (body[++at] - u'0');
                    }
                    literal.push_back(static_cast<char16_t>(value));
                } else {
                    literal.push_back(e);  // \' \" \\ \v and every other character
                }
        }
    }
    return unescapePercent(literal);
}

Text convertAnswer(std::string_view text, int ctype) {
    text = untilNul(text);
    switch (ctype) {
        case kCtypeUtf8Decode:
            return decodePercentUtf8(text);
        case kCtypeUsc2Ansi:
            return convertUsc2Ansi(text);
        default:
            return Text(text);
    }
}

Text evaluateJson(std::string_view answer, std::string_view tying) {
    const std::size_t arrow = findMarker(tying, kArrow);
    const std::string_view paths = arrow == npos ? tying : tying.substr(0, arrow);
    const std::string_view templateText = resultTemplate(tying);

    JsonDocument document;
    document.Parse(answer, /*decodeUnicodeEscapes=*/true);  // a failure leaves it empty

    if (!hasMarker(paths, kOr)) {
        Text value = document.GetText(paths);
        if (value.empty()) {
            return Text(answer);
        }
        if (templateText.empty()) {
            return value;  // moved out, not copied: the value may be most of a large answer
        }
        return replaceMarker(templateText, kValueMark, value);
    }
    // Several paths: the first one's value when it goes into a template, otherwise the value
    // of the last one, whatever it is.
    const std::vector<std::string_view> alternatives = splitAtMarker(paths, kOr);
    const Text first = document.GetText(alternatives.front());
    if (!first.empty() && !templateText.empty()) {
        return replaceMarker(templateText, kValueMark, first);
    }
    return document.GetText(alternatives.back());
}

Text evaluateRegex(std::string_view answer, std::string_view tying, MessageSink& messages) {
    // Only the first match is ever read: the search stops there instead of going through the
    // rest of a large page.
    constexpr RegexOptions kOptions{.caseSensitive = false,
                                    .multiline = false,
                                    .global = false,
                                    .expandQuotePlaceholder = true};
    const std::string_view templateText = resultTemplate(tying);
    const std::vector<std::string_view> alternatives = splitAtMarker(tying, kOr);

    RegexMatcher matcher;
    // The template applies from the first alternative that has a "=>" on.
    bool templateApplies = false;
    bool gaveUp = false;  // a search ran out of its time before the end of the answer
    for (std::size_t k = 0; k < alternatives.size(); ++k) {
        const std::string_view alternative = alternatives[k];
        const std::size_t arrow = findMarker(alternative, kArrow);
        templateApplies = templateApplies || arrow != npos;
        const std::string_view pattern = arrow == npos ? alternative : alternative.substr(0, arrow);
        if (!matcher.run(pattern, answer, kOptions)) {
            messages.showMessage(regexCreateFailed(), caption(), MessageIcon::Error);
            return matchFailedText();
        }
        if (matcher.matchCount() == 0) {
            gaveUp = gaveUp || matcher.gaveUp();
            if (k + 1 == alternatives.size()) {
                if (gaveUp) {
                    messages.showMessage(regexTimedOut(), caption(), MessageIcon::Error);
                    return regexTimedOutText();
                }
                messages.showMessage(regexNoMatch(), caption(), MessageIcon::Error);
                return matchFailedText();
            }
            continue;
        }
        if (matcher.subMatchCount() == 0) {
            continue;
        }
        const Text captured = matcher.subMatch(1, 1);
        return templateApplies ? replaceMarker(templateText, kValueMark, captured) : captured;
    }
    return matchFailedText();
}

}  // namespace vesprey
