#include "engine/template_import.h"

#include <string>
#include <tuple>

#include "engine/evaluation.h"
#include "json/json.h"
#include "text/gbk_text.h"
#include "web/regex.h"

namespace vesprey {
namespace {

struct MemberNames {
    Text site = utf8ToAnsi("网站");
    Text login = utf8ToAnsi("登录链接");
    Text link = utf8ToAnsi("签到链接");
    Text method = utf8ToAnsi("请求模式");
    Text answer = utf8ToAnsi("响应类型");
    Text tying = utf8ToAnsi("绑定语句");
    Text conversion = utf8ToAnsi("编码转换");
};

const MemberNames& names() {
    static const MemberNames n;
    return n;
}

}  // namespace

std::optional<TemplateImport> parseTemplateImport(std::string_view text) {
    JsonDocument doc;
    // Plain parse: \u escapes stay as they are written, as a binding statement may hold them.
    if (!doc.Parse(text)) {
        return std::nullopt;
    }
    const MemberNames& n = names();
    TemplateImport imported;
    imported.WebName = doc.GetText(n.site);
    imported.Weblogin = doc.GetText(n.login);
    imported.WebLink = doc.GetText(n.link);
    // Numbers, or strings read as decimal numbers from their start; missing members are 0.
    imported.method = sharedMethod(doc.GetInt32(n.method));
    imported.answerType = sharedAnswerType(doc.GetInt32(n.answer));
    imported.Tying = doc.GetText(n.tying);
    imported.conversion = doc.GetInt32(n.conversion);
    imported.Headers = doc.GetText(std::string_view("Headers"));
    imported.Date = doc.GetText(std::string_view("Date"));
    imported.rules.success = doc.GetText(utf8ToAnsi("成功判定"));
    imported.rules.already = doc.GetText(utf8ToAnsi("已签判定"));
    imported.rules.expired = doc.GetText(utf8ToAnsi("失效判定"));
    return imported;
}

Text templateImportFailedMessage() {
    return utf8ToAnsi("Json数据匹配失败，请检检查语句是否有误！");
}

int importedConversion(int conversion) {
    return conversion >= kCtypeNone && conversion <= kCtypeUsc2Ansi ? conversion : -1;
}

TemplateFields importedTemplateFields(const TemplateImport& imported) {
    TemplateFields fields;
    fields.WebName = imported.WebName;
    fields.Weblogin = imported.Weblogin;
    fields.WebLink = imported.WebLink;
    fields.Qtype = imported.method == RequestMethod::Get ? RequestMethod::Get : RequestMethod::Post;
    fields.Rtype = imported.answerType == AnswerType::Json ? AnswerType::Json : AnswerType::Regex;
    fields.Ctype = importedConversion(imported.conversion);
    fields.Tying = imported.Tying;
    fields.Headers = imported.Headers;
    fields.Date = imported.Date;
    return fields;
}

namespace {

std::string sizeText(std::size_t bytes) {
    return bytes >= 1024 * 1024 ? std::to_string(bytes / (1024 * 1024)) + " MB"
                                : std::to_string((bytes + 1023) / 1024) + " KB";
}

std::optional<Text> oversized(const char* field, std::string_view value, std::size_t limit) {
    if (value.size() <= limit) {
        return std::nullopt;
    }
    return utf8ToAnsi(std::string(field) + "太长（" + sizeText(value.size()) + "，最多 " +
                      sizeText(limit) + "）");
}

}  // namespace

std::optional<Text> oversizedTemplateField(const TemplateFields& fields) {
    if (const std::size_t characters = gbk::characterCount(fields.WebName);
        characters > kMaxSiteNameCharacters) {
        return utf8ToAnsi("“网站”太长（" + std::to_string(characters) + " 个字，最多 " +
                          std::to_string(kMaxSiteNameCharacters) + " 个字）");
    }
    for (const auto& [field, value, limit] :
         {std::tuple<const char*, std::string_view, std::size_t>{"“登录链接”", fields.Weblogin,
                                                                 kMaxAddressBytes},
          {"“签到链接”", fields.WebLink, kMaxAddressBytes},
          {"“Headers”", fields.Headers, kMaxHeaderBytes}}) {
        if (std::optional<Text> problem = oversized(field, value, limit)) {
            return problem;
        }
    }
    return std::nullopt;
}

std::optional<Text> oversizedCookie(std::string_view cookie) {
    return oversized("Cookie ", cookie, kMaxCookieBytes);
}

std::optional<Text> invalidVerdictRule(const VerdictRules& rules) {
    const std::pair<const Text*, const char*> named[] = {
        {&rules.success, "成功判定"}, {&rules.already, "已签判定"}, {&rules.expired, "失效判定"}};
    for (const auto& [pattern, name] : named) {
        if (pattern->empty()) {
            continue;
        }
        if (const std::optional<RegexError> error = regexError(*pattern)) {
            return utf8ToAnsi(std::string("“") + name + "”第 " + std::to_string(error->position) +
                              " 个字符有误：") +
                   error->message;
        }
    }
    return std::nullopt;
}

}  // namespace vesprey
