// `import`: a template shared as JSON text (the format of the editor's one-click import) saved as
// a new site, with its first account when a cookie is given.

#include <algorithm>
#include <filesystem>

#include "app/cli.h"
#include "engine/flow/flow.h"
#include "engine/flow/formats.h"
#include "engine/flow_account.h"
#include "engine/template_import.h"
#include "store/flows.h"
#include "store/site_database.h"

namespace vesprey::cli {
namespace {

// A template is a few short members; a file larger than this is something else.
// A browser's HAR file holds every answer of the page: it may be large.
constexpr std::size_t kMaxTemplateFileBytes = 16 * 1024 * 1024;

bool isUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
        } else {
            return false;
        }
        if (i + length > bytes.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// The file's text in code page 936. Templates are written in UTF-8 (a byte order mark is
// skipped); a file that is not UTF-8 is taken as code page 936, as Windows editors save it.
Text templateText(std::string_view bytes) {
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (bytes.starts_with(kBom)) {
        bytes.remove_prefix(kBom.size());
    }
    return isUtf8(bytes) ? utf8ToAnsi(bytes) : Text(bytes);
}

// Why a template cannot be saved, said on stderr: a field over its limit, a verdict rule that is
// not a valid expression, a cookie over its limit. False when none of these holds.
bool refusedTemplate(const TemplateFields& fields, const VerdictRules& rules,
                     const std::optional<std::string>& cookie) {
    if (const std::optional<Text> oversized = oversizedTemplateField(fields)) {
        printError("模板没有导入：" + ansiToUtf8(*oversized) + "。");
        return true;
    }
    if (const std::optional<Text> invalid = invalidVerdictRule(rules)) {
        printError("判定规则不是有效的正则表达式：" + ansiToUtf8(*invalid) + "。");
        return true;
    }
    if (cookie) {
        if (const std::optional<Text> oversized = oversizedCookie(*cookie)) {
            printError("模板没有导入：" + ansiToUtf8(*oversized) + "。");
            return true;
        }
    }
    return false;
}

// Lists a browser's HAR for --pick.
void printHarEntries(const std::vector<flow::HarEntry>& entries) {
    std::printf("%s  %s  %s  %s\n", padRight("序号", 4).c_str(), padRight("方法", 7).c_str(),
                padRight("状态", 4).c_str(), "网址");
    for (const flow::HarEntry& entry : entries) {
        std::printf("%s  %s  %s  %s\n", padRight(std::to_string(entry.number), 4).c_str(),
                    padRight(escapedUtf8(entry.method), 7).c_str(),
                    padRight(entry.status == 0 ? "-" : std::to_string(entry.status), 4).c_str(),
                    escapedUtf8(fitWidth(entry.url, 120)).c_str());
    }
}

}  // namespace

std::optional<std::vector<std::size_t>> picksOf(const std::string& given) {
    std::vector<std::size_t> picks;
    std::size_t start = 0;
    while (start <= given.size()) {
        std::size_t end = given.find(',', start);
        if (end == std::string::npos) {
            end = given.size();
        }
        const std::string item = given.substr(start, end - start);
        if (item.empty() || item.size() > 6 ||
            !std::all_of(item.begin(), item.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoul(item) == 0) {
            printError("--pick 要写 HAR 里请求的序号，用逗号隔开（比如 --pick 3,5），不是 " +
                       given + "。");
            return std::nullopt;
        }
        picks.push_back(std::stoul(item));
        start = end + 1;
    }
    return picks;
}

std::optional<flow::ImportedFlow> flowOfFile(std::string_view utf8, flow::TemplateFormat format,
                                             const std::vector<std::size_t>& picks,
                                             std::string_view what) {
    if (format == flow::TemplateFormat::BrowserHar && picks.empty()) {
        auto entries = flow::browserHarEntries(utf8);
        if (auto* error = std::get_if<flow::FormatError>(&entries)) {
            printError("HAR 文件" + std::string(what) + "：" + error->message);
            return std::nullopt;
        }
        printHarEntries(std::get<std::vector<flow::HarEntry>>(entries));
        printError("这是浏览器保存的 HAR 文件，" + std::string(what) +
                   "：请用 --pick 选出签到要用的请求（上面的序号，按顺序，比如 --pick 3,5）。");
        return std::nullopt;
    }
    auto read = flow::importFlowText(utf8, format, picks, what);
    if (auto* error = std::get_if<flow::FormatError>(&read)) {
        printError(error->message);
        return std::nullopt;
    }
    return std::get<flow::ImportedFlow>(std::move(read));
}

namespace {

// Saves a multi-step template `read` with its first account, and says what it still needs.
int importFlow(const Arguments& args, const flow::ImportedFlow& read, const std::string& name,
               std::optional<std::string> cookie, bool standardInputTaken,
               const TemplateImport* shared = nullptr) {
    const std::string& json = read.json;
    auto parsed = flow::parseFlow(json);
    if (auto* refused = std::get_if<flow::FlowError>(&parsed)) {
        printError("模板没有导入：" + refused->message);
        return kExitBadInput;
    }
    const flow::Flow& steps = std::get<flow::Flow>(parsed);
    const auto assignments = readInputAssignments(args.values("--input"), standardInputTaken);
    if (!assignments) {
        return kExitBadInput;
    }
    AccountInputs inputs;
    for (const InputAssignment& assignment : *assignments) {
        if (assignment.name == "cookie") {
            cookie = assignment.value.value_or(std::string());
        } else if (assignment.value) {
            inputs[assignment.name] = *assignment.value;
        }
    }
    // A shared template keeps its own fields (login page, binding statement...) beside its steps.
    TemplateFields fields = read.fields;
    fields.WebName = utf8ToAnsi(name);
    VerdictRules rules;
    if (shared != nullptr) {
        const TemplateFields own = importedTemplateFields(*shared);
        fields.Weblogin = own.Weblogin;
        fields.Rtype = own.Rtype;
        fields.Tying = own.Tying;
        fields.WebLink = own.WebLink.empty() ? fields.WebLink : own.WebLink;
        rules = shared->rules;
    }
    if (refusedTemplate(fields, rules, cookie)) {
        return kExitBadInput;
    }
    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    const AddFlowSiteResult added =
        addFlowSite(database.db, fields, utf8ToAnsi(cookie.value_or(std::string())), json, inputs);
    if (!added.site.write) {
        printError("增加模板失败：" + writeFailureText(added.site.write) + "（" +
                   database.path.string() + "）");
        return kExitDatabase;
    }
    if (!rules.empty()) {
        if (const WriteResult saved = saveVerdictRules(database.db, added.site.id, rules); !saved) {
            printError("模板已导入，但判定规则没有保存：" + writeFailureText(saved) + "（" +
                       database.path.string() + "）");
            return kExitDatabase;
        }
    }
    std::printf("已导入多步骤模板“%s”（编号 %d，%zu 个请求），并添加了账号 %d。\n",
                escapedUtf8(name).c_str(), added.site.id, read.requests, added.cid);
    const auto missing = missingInputs(steps, inputs, cookie.has_value() && !cookie->empty());
    if (!missing.empty()) {
        std::string names;
        std::string example;
        for (const std::string& input : missing) {
            names += (names.empty() ? "" : "、") + input;
            example += " " + input + "=" + (isPasswordLike(input) ? "-" : "…");
        }
        printError("签到前还要给出：" + names + "。用 vesprey-cli inputs --cid " +
                   std::to_string(added.cid) + example + " 设置（=- 从标准输入读取，一次一个）。");
    }
    return kExitOk;
}

int runImport(const Arguments& args) {
    if (args.positionals().size() != 1) {
        printError(args.positionals().empty()
                       ? "请给出模板文件（JSON），或用 - 从标准输入读取。"
                       : "import 只接受一个模板文件，多出的参数：" + args.positionals()[1] + "。");
        return kExitBadInput;
    }
    const std::string& file = args.positionals().front();
    std::optional<std::string> cookie = args.value("--cookie");
    if (cookie == "-" && file == "-") {
        printError(
            "模板和 Cookie 不能都从标准输入读取：请给出模板文件，或把 Cookie 写在 --cookie "
            "后面。");
        return kExitBadInput;
    }
    bool tooLarge = false;
    const auto bytes = readInput(file, kMaxTemplateFileBytes, &tooLarge);
    if (!bytes) {
        printError(tooLarge ? "模板文件太大（超过 16 MB），不像是一个网站模板：" + file + "。"
                            : "无法读取模板文件：" + file + "。");
        return kExitBadInput;
    }
    std::string_view utf8 = *bytes;
    if (utf8.starts_with("\xEF\xBB\xBF")) {
        utf8.remove_prefix(3);
    }
    const std::string name = args.value("--name").value_or(
        file == "-" ? std::string("导入的模板") : std::filesystem::path(file).stem().string());
    const flow::TemplateFormat format =
        isUtf8(utf8) ? flow::detectTemplateFormat(utf8) : flow::TemplateFormat::SharedJson;
    const bool standardInputTaken = file == "-" || cookie == "-";
    if (cookie == "-") {
        const auto given = readInput("-", kMaxCookieBytes + 2, &tooLarge);
        if (!given) {
            printError(tooLarge ? "模板没有导入：Cookie 太长（最多 64 KB）。"
                                : "无法从标准输入读取 Cookie。");
            return kExitBadInput;
        }
        cookie = *given;
        while (!cookie->empty() && (cookie->back() == '\n' || cookie->back() == '\r')) {
            cookie->pop_back();
        }
    }
    std::vector<std::size_t> picks;
    if (auto given = args.value("--pick")) {
        auto read = picksOf(*given);
        if (!read) {
            return kExitBadInput;
        }
        picks = std::move(*read);
    }
    switch (format) {
        case flow::TemplateFormat::CommunityJson:
        case flow::TemplateFormat::BrowserHar:
        case flow::TemplateFormat::QdHar:
        case flow::TemplateFormat::Curl: {
            auto read = flowOfFile(utf8, format, picks, "没有导入");
            if (!read) {
                return kExitBadInput;
            }
            if (!cookie && !read->cookie.empty()) {
                cookie = read->cookie;
            }
            return importFlow(args, *read, name, cookie, standardInputTaken);
        }
        case flow::TemplateFormat::SharedJson:
            if (isUtf8(utf8)) {
                auto shared = flow::readSharedJson(utf8);
                if (auto* read = std::get_if<flow::SharedTemplate>(&shared);
                    read && read->flowJson) {
                    const std::string sharedName =
                        args.value("--name") || read->imported.WebName.empty()
                            ? name
                            : ansiToUtf8(read->imported.WebName);
                    // The steps are already a community template that parseFlow accepts.
                    auto steps = flow::importFlowText(
                        *read->flowJson, flow::TemplateFormat::CommunityJson, {}, "没有导入");
                    if (auto* error = std::get_if<flow::FormatError>(&steps)) {
                        printError(error->message);
                        return kExitBadInput;
                    }
                    return importFlow(args, std::get<flow::ImportedFlow>(steps), sharedName, cookie,
                                      standardInputTaken, &read->imported);
                }
            }
            break;
        case flow::TemplateFormat::Unknown:
            // Broken JSON: an object is said as a shared template's, an array as a community
            // template's, each with where it breaks.
            if (const std::size_t first = utf8.find_first_not_of(" \t\r\n");
                first != std::string_view::npos && utf8[first] == '{') {
                break;
            } else if (first != std::string_view::npos && utf8[first] == '[') {
                auto normalized = flow::normalizedCommunityJson(utf8);
                printError("模板没有导入：" + (std::holds_alternative<flow::FormatError>(normalized)
                                                   ? std::get<flow::FormatError>(normalized).message
                                                   : std::string("不是社区模板的步骤")));
                return kExitBadInput;
            }
            printError(
                "认不出这个文件：模板应是社区模板（JSON 数组）、HAR 文件、curl 命令"
                "（浏览器的“复制为 cURL”）或 Vesprey 的模板 JSON。");
            return kExitBadInput;
    }
    if (!args.values("--input").empty() || !picks.empty()) {
        printError("这是一个请求的模板，只用 Cookie：--input 和 --pick 用不上。");
        return kExitBadInput;
    }

    const auto imported = parseTemplateImport(templateText(*bytes));
    if (!imported) {
        printError(ansiToUtf8(templateImportFailedMessage()));
        return kExitBadInput;
    }
    TemplateFields fields = importedTemplateFields(*imported);
    if (auto given = args.value("--name")) {
        fields.WebName = utf8ToAnsi(*given);
    }
    if (fields.WebName.empty() && fields.WebLink.empty()) {
        printError("模板里既没有“网站”也没有“签到链接”，没有可以保存的内容。");
        return kExitBadInput;
    }

    if (refusedTemplate(fields, imported->rules, cookie)) {
        return kExitBadInput;
    }

    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    SqlDatabase& db = database.db;
    const std::filesystem::path& path = database.path;
    int id = 0;
    WriteResult written;
    if (cookie) {
        const AddSiteResult added = addSite(db, fields, utf8ToAnsi(*cookie));
        written = added.write;
        id = added.id;
    } else {
        written = insertTemplate(db, fields);
        if (written) {
            id = selectMaxTemplateId(db).value_or(0);
        }
    }
    if (!written) {
        printError("增加模板失败：" + writeFailureText(written) + "（" + path.string() + "）");
        return kExitDatabase;
    }
    if (!imported->rules.empty()) {
        if (const WriteResult saved = saveVerdictRules(db, id, imported->rules); !saved) {
            printError("模板已导入，但判定规则没有保存：" + writeFailureText(saved) + "（" +
                       path.string() + "）");
            return kExitDatabase;
        }
    }
    const char* accountNote = !cookie           ? "还没有账号"
                              : cookie->empty() ? "并添加了一个没有 Cookie 的账号"
                                                : "并添加了第一个账号";
    std::printf("已导入网站模板“%s”（编号 %d，%s，%s），%s。\n", ansiToUtf8(fields.WebName).c_str(),
                id, fields.Qtype == RequestMethod::Get ? "GET" : "POST",
                fields.Rtype == AnswerType::Json ? "JSON" : "正则", accountNote);
    return kExitOk;
}

}  // namespace

const Command& importCommand() {
    static const Command command{
        .name = "import",
        .summary = "把模板（社区模板、HAR、curl 命令或分享的 JSON）存为新网站，可同时添加账号",
        .options = {databaseOption("Sign.db 的路径"),
                    {.name = "--name",
                     .value = "NAME",
                     .help = "网站的名字（默认：分享的 JSON 里的“网站”，否则文件名去掉扩展名）"},
                    {.name = "--cookie",
                     .value = "TEXT|-",
                     .help = "同时添加这个网站的第一个账号，Cookie 原样保存；写 - 时从标准输入\n"
                             "读取（不会留在命令行历史和进程列表里）"},
                    {.name = "--input",
                     .value = "名字=值",
                     .help = "多步骤模板的账号的一个输入（如 username=me@example.com）；名字=-\n"
                             "从标准输入读取（如密码）；可写多次",
                     .repeated = true},
                    {.name = "--pick",
                     .value = "N,…",
                     .help = "浏览器保存的 HAR 文件：导入这些序号的请求（不给时列出所有请求）"}},
        .operands = "文件|-",
        .description =
            "读取一个 JSON 模板文件（省略为 - 时从标准输入读取），格式与窗口里“一键置入”相同：\n"
            "  {\"网站\": \"...\", \"登录链接\": \"...\", \"签到链接\": \"...\", \"请求模式\": 0,\n"
            "   \"响应类型\": 0, \"绑定语句\": \"...\", \"编码转换\": 0, \"Headers\": \"...\", "
            "\"Date\": \"...\"}\n"
            "请求模式 0 为 GET、1 为 POST；响应类型 0 为 JSON、1 为正则；编码转换 0 默认、\n"
            "1 UTF-8解码、2 USC2-ANSI。数字也可以写成字符串（\"1\"），缺少的项按空文本或 0 处理。\n"
            "文件用 UTF-8 编码（GBK 编码的文件也能读）。模板作为新网站存入 Sign.db。\n"
            "\n"
            "可选的 \"成功判定\"、\"已签判定\"、\"失效判定\" "
            "是判断签到结果的正则表达式（不分大小写），\n"
            "无效的表达式会被拒绝并指出出错的位置。\n",
        .epilogue =
            "多步骤模板：社区模板（qd-today/templates 的 JSON 数组，或 QD 的 HAR 文件）、浏览器\n"
            "保存的 HAR 文件（用 --pick 选出请求）和 curl 命令（浏览器开发者工具里的“复制为\n"
            "cURL”，其中的 Cookie 成为账号的 Cookie）存为多步骤模板，并添加第一个账号（Cookie\n"
            "可以为空）。模板还缺的输入（如 password）写在标准错误里，之后用 vesprey-cli inputs\n"
            "设置。要识别验证码（api://util/dddd/ocr）、RSA 或 toolbox 的模板不能导入，会说明是\n"
            "第几步；读不懂的表达式也一样。\n"
            "\n"
            "退出码: 0 已保存；1 参数错误、文件读不出、认不出或模板不能运行；2 数据库打不开或\n"
            "写不进。\n",
        .database = DatabaseUse::Open,
        .run = runImport};
    return command;
}

}  // namespace vesprey::cli
