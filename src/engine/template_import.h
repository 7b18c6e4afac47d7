// Templates shared as JSON text: the one-click import of the template editor and
// `vesprey-cli import` read the same top-level members: nine, and three optional verdict rules.
//
//   {"网站": "...", "登录链接": "...", "签到链接": "...", "请求模式": 0, "响应类型": 0,
//    "绑定语句": "...", "编码转换": 0, "Headers": "...", "Date": "...",
//    "成功判定": "...", "已签判定": "...", "失效判定": "..."}
//
// "请求模式" is 0 for GET and 1 for POST, "响应类型" 0 for JSON and 1 for a regular expression,
// "编码转换" the index of the conversion (0 默认, 1 UTF-8解码, 2 USC2-ANSI). The numbers may also
// be written as digit strings ("1"). A missing member reads as empty text or 0.
#pragma once

#include <optional>
#include <string_view>

#include "model/site.h"
#include "text/text.h"
#include "web/web_client.h"

namespace vesprey {

// The members as read, texts in code page 936.
struct TemplateImport {
    Text WebName;                          // "网站"
    Text Weblogin;                         // "登录链接"
    Text WebLink;                          // "签到链接"
    std::optional<RequestMethod> method;   // "请求模式" (sharedMethod); nothing: neither
    std::optional<AnswerType> answerType;  // "响应类型" (sharedAnswerType); nothing: neither
    Text Tying;                            // "绑定语句"
    int conversion = 0;                    // "编码转换"
    Text Headers;                          // extra request header lines
    Text Date;                             // request body
    VerdictRules rules;                    // "成功判定", "已签判定", "失效判定"
};

// The first of the rules that is not a valid regular expression, as a sentence for the user:
// "“失效判定”第 3 个字符有误：括号 ( 没有对应的 )". Nothing when all are valid (or empty).
std::optional<Text> invalidVerdictRule(const VerdictRules& rules);

// What a template may hold, so that one pasted by mistake (a whole page as its name, say) is
// refused rather than stored, listed and padded to: a site name of at most 200 characters, an
// address of at most 8 KB, header lines of at most 64 KB, and a cookie of at most
// kMaxCookieBytes.
inline constexpr std::size_t kMaxSiteNameCharacters = 200;
inline constexpr std::size_t kMaxAddressBytes = 8 * 1024;
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

// The first field of `fields` over its limit, as a sentence without final punctuation: "“网站”太长
// （312 个字，最多 200 个字）". Nothing when all fit.
std::optional<Text> oversizedTemplateField(const TemplateFields& fields);
// "Cookie 太长（…，最多 64 KB）" when `cookie` is over kMaxCookieBytes.
std::optional<Text> oversizedCookie(std::string_view cookie);

// Parses the JSON text (code page 936) and reads the members. Nothing when the text is not JSON;
// the caller then tells the user templateImportFailedMessage().
std::optional<TemplateImport> parseTemplateImport(std::string_view text);

// "Json数据匹配失败，请检检查语句是否有误！"
Text templateImportFailedMessage();

// The conversion list's item an imported "编码转换" selects: the number itself for 0 to 2, -1
// (no item) for anything else.
int importedConversion(int conversion);

// The Template row the editor saves after the import: GET only when GET ends up checked (request
// mode 0), JSON only when JSON does (response type 0), Ctype the selected item.
TemplateFields importedTemplateFields(const TemplateImport& imported);

}  // namespace vesprey
