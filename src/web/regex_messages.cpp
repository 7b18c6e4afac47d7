#include "web/regex_messages.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <iterator>

namespace vesprey {

std::string regexErrorText(int code) {
    switch (code) {
        case PCRE2_ERROR_END_BACKSLASH:
            return "末尾多了一个反斜杠 \\";
        case PCRE2_ERROR_END_BACKSLASH_C:
            return "末尾的 \\c 后面缺少字符";
        case PCRE2_ERROR_UNKNOWN_ESCAPE:
        case PCRE2_ERROR_UNSUPPORTED_ESCAPE_SEQUENCE:
            return "不认识的转义：反斜杠后面的字符没有特别的意思，要找反斜杠本身请写 \\\\";
        case PCRE2_ERROR_QUANTIFIER_OUT_OF_ORDER:
            return "{} 里的次数前大后小";
        case PCRE2_ERROR_QUANTIFIER_TOO_BIG:
            return "{} 里的次数太大";
        case PCRE2_ERROR_MISSING_SQUARE_BRACKET:
            return "方括号 [ 没有对应的 ]";
        case PCRE2_ERROR_ESCAPE_INVALID_IN_CLASS:
            return "方括号里不能用这个转义";
        case PCRE2_ERROR_CLASS_RANGE_ORDER:
            return "方括号里的范围前大后小（如 z-a）";
        case PCRE2_ERROR_CLASS_INVALID_RANGE:
            return "方括号里的范围不成立";
        case PCRE2_ERROR_QUANTIFIER_INVALID:
        case PCRE2_ERROR_INTERNAL_UNEXPECTED_REPEAT:
            return "* + ? 或 {} 前面没有可以重复的内容（要找这些字符本身，请在前面加 \\）";
        case PCRE2_ERROR_INVALID_AFTER_PARENS_QUERY:
            return "“(?” 后面的字符不认识";
        case PCRE2_ERROR_MISSING_CLOSING_PARENTHESIS:
            return "括号 ( 没有对应的 )";
        case PCRE2_ERROR_UNMATCHED_CLOSING_PARENTHESIS:
            return "多了一个 )，它前面没有对应的 (";
        case PCRE2_ERROR_MISSING_COMMENT_CLOSING:
            return "注释 (?# 没有对应的 )";
        case PCRE2_ERROR_BAD_SUBPATTERN_REFERENCE:
            return "引用了不存在的分组";
        case PCRE2_ERROR_LOOKBEHIND_NOT_FIXED_LENGTH:
            return "(?<= 或 (?<! 里的内容长度必须固定";
        case PCRE2_ERROR_UNKNOWN_POSIX_CLASS:
            return "不认识的字符类 [:…:]";
        case PCRE2_ERROR_POSIX_CLASS_NOT_IN_CLASS:
            return "[:…:] 只能写在方括号里，如 [[:digit:]]";
        default:
            break;
    }
    PCRE2_UCHAR words[256] = {};
    const int length = pcre2_get_error_message(code, words, std::size(words));
    return length > 0
               ? std::string(reinterpret_cast<const char*>(words), static_cast<std::size_t>(length))
               : "正则表达式无法编译（错误 " + std::to_string(code) + "）";
}

}  // namespace vesprey
