// `import`: a template shared as JSON text (the format of the editor's one-click import) saved as
// a new site, with its first account when a cookie is given.

#include "app/cli.h"
#include "engine/template_import.h"
#include "store/site_database.h"

namespace vesprey::cli {
namespace {

// A template is a few short members; a file larger than this is something else.
constexpr std::size_t kMaxTemplateFileBytes = 1024 * 1024;

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
        printError(tooLarge ? "模板文件太大（超过 1 MB），不像是一个网站模板：" + file + "。"
                            : "无法读取模板文件：" + file + "。");
        return kExitBadInput;
    }
    const auto imported = parseTemplateImport(templateText(*bytes));
    if (!imported) {
        printError(ansiToUtf8(templateImportFailedMessage()));
        return kExitBadInput;
    }
    const TemplateFields fields = importedTemplateFields(*imported);
    if (fields.WebName.empty() && fields.WebLink.empty()) {
        printError("模板里既没有“网站”也没有“签到链接”，没有可以保存的内容。");
        return kExitBadInput;
    }

    if (const std::optional<Text> oversized = oversizedTemplateField(fields)) {
        printError("模板没有导入：" + ansiToUtf8(*oversized) + "。");
        return kExitBadInput;
    }
    if (const std::optional<Text> invalid = invalidVerdictRule(imported->rules)) {
        printError("判定规则不是有效的正则表达式：" + ansiToUtf8(*invalid) + "。");
        return kExitBadInput;
    }
    // `--cookie -`: the cookie from standard input, out of the shell's history and the process
    // list; a final line break is no part of it.
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
    if (cookie) {
        if (const std::optional<Text> oversized = oversizedCookie(*cookie)) {
            printError("模板没有导入：" + ansiToUtf8(*oversized) + "。");
            return kExitBadInput;
        }
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
        .summary = "把分享的网站模板（JSON）存为新网站，可同时添加第一个账号",
        .options = {databaseOption("Sign.db 的路径"),
                    {.name = "--cookie",
                     .value = "TEXT|-",
                     .help = "同时添加这个网站的第一个账号，Cookie 原样保存；写 - 时从标准输入\n"
                             "读取（不会留在命令行历史和进程列表里）"}},
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
            "退出码: 0 已保存；1 参数错误、文件读不出或不是 JSON；2 数据库打不开或写不进。\n",
        .database = DatabaseUse::Open,
        .run = runImport};
    return command;
}

}  // namespace vesprey::cli
