// Response evaluation: turns a site's answer into the short message the user sees.
//
// First `convertAnswer` repairs the answer's character encoding as the template's Ctype asks,
// then `evaluateJson` (answer type JSON) or `evaluateRegex` (otherwise) extracts the message
// with the template's binding statement (Tying). All texts are code page 936; every marker
// search steps over double-byte characters as units.
//
// The binding statement's markers: "=>" separates what to extract from a result template (the
// text after the last "=>" of the whole statement), "||" separates alternatives tried in turn,
// "[@]" in the template stands for the extracted value, and "#引号" in a regular expression
// stands for a double quote.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "text/text.h"

namespace vesprey {

class MessageSink;

// The Ctype of a template: the items of the "编码转换" list, in this order.
inline constexpr int kCtypeNone = 0;        // "默认"
inline constexpr int kCtypeUtf8Decode = 1;  // "UTF-8解码": percent-decoding, then UTF-8 to GBK
inline constexpr int kCtypeUsc2Ansi = 2;    // "USC2-ANSI": \u and % escapes unescaped

// The answer converted as `ctype` asks; any other value leaves it unchanged. The answer ends at
// its first NUL. Never fails; an empty answer gives an empty text.
Text convertAnswer(std::string_view text, int ctype);

// JSON mode: the value at the statement's path (or one of its "||" paths), put into the
// template when there is one; the whole answer when the single path gives no text. Shows no
// messages. `tying` is not empty.
Text evaluateJson(std::string_view answer, std::string_view tying);

// Regex mode: the first capture group of the first match of the first alternative that matches
// with a group, put into the template where one applies; "匹配失败" otherwise, and
// "正则表达式运行超时" when a search ran out of its half second before the end of the answer.
// Tells `messages` (caption "信息：", error icon) when a pattern does not compile or the last
// alternative finds nothing, and waits for it to return. `tying` is not empty.
Text evaluateRegex(std::string_view answer, std::string_view tying, MessageSink& messages);

// "匹配失败", what evaluateRegex gives when nothing matched.
const Text& matchFailedText();

// The script step of "USC2-ANSI": `body` is read as the text between the quotes of a
// single-quoted string literal of the script language (\b \f \n \r \t \' \" \\, octal \0 to
// \377, \xHH, \uHHHH; \v and any other escaped character stand for themselves), and the result
// goes through ECMAScript unescape (%uHHHH and %HH). Nothing on a syntax error: a raw line feed
// or carriage return, a raw apostrophe, \x or \u without enough hex digits, or a backslash at
// the end (which would escape the closing quote).
std::optional<std::u16string> unescapeScriptLiteral(std::u16string_view body);

}  // namespace vesprey
