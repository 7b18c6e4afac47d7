// `export`: a template written out to be shared, in the community format (a one-request template
// as one step) or as Vesprey's shared JSON (with "步骤" for a multi-step template). Never an
// account's cookie or inputs.

#include <cstdio>

#include "app/cli.h"
#include "engine/flow/formats.h"
#include "store/flows.h"

namespace vesprey::cli {
namespace {

TemplateFields fieldsOf(const SiteTemplate& site) {
    TemplateFields fields;
    fields.WebName = site.WebName;
    fields.Weblogin = site.Weblogin;
    fields.WebLink = site.WebLink;
    fields.Qtype = site.Qtype;
    fields.Rtype = site.Rtype;
    fields.Ctype = site.Ctype;
    fields.Tying = site.Tying;
    fields.Headers = site.Headers;
    fields.Date = site.Date;
    return fields;
}

int runExport(const Arguments& args) {
    const std::optional<std::string> idText = args.value("--id");
    const int id = idText ? std::atoi(idText->c_str()) : 0;
    if (!idText || id <= 0 || std::to_string(id) != *idText) {
        printError("请用 --id 给出模板的编号（正整数，vesprey-cli import 导入时会说）。");
        return kExitBadInput;
    }
    const std::string format = args.value("--format").value_or("qd");
    if (format != "qd" && format != "vesprey") {
        printError("--format 只能是 qd（社区模板）或 vesprey（Vesprey 的模板 JSON），不是 " +
                   format + "。");
        return kExitBadInput;
    }
    if (args.positionals().size() > 1) {
        printError("export 只写一个文件，多出的参数：" + args.positionals()[1] + "。");
        return kExitBadInput;
    }
    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    const SiteTemplate* site = nullptr;
    for (const SiteTemplate& row : database.sites) {
        if (row.id == id) {
            site = &row;
            break;
        }
    }
    if (site == nullptr) {
        printError("没有编号为 " + *idText + " 的模板。");
        return kExitBadInput;
    }
    std::optional<std::string> steps;
    std::map<int, VerdictRules> rules;
    ReadResult read = readFlow(database.db, id, steps);
    if (read.ok()) {
        read = readVerdictRules(database.db, rules);
    }
    if (!read.ok()) {
        printError("无法读取 " + database.path.string() + "：" + ansiToUtf8(readFailureText(read)) +
                   "。");
        return kExitDatabase;
    }
    const TemplateFields fields = fieldsOf(*site);
    std::variant<std::string, flow::FormatError> written;
    if (format == "vesprey") {
        written =
            flow::sharedJsonFor(fields, rules.count(id) != 0 ? rules[id] : VerdictRules{}, steps);
    } else if (steps) {
        written = flow::normalizedCommunityJson(*steps);  // as another program may have left it
    } else {
        written = flow::communityFromFields(fields);
    }
    if (auto* error = std::get_if<flow::FormatError>(&written)) {
        printError("模板没有导出：" + error->message);
        return kExitBadInput;
    }
    const std::string text = std::get<std::string>(written) + "\n";
    const std::string file = args.positionals().empty() ? "-" : args.positionals().front();
    if (file == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return kExitOk;
    }
    std::FILE* out = std::fopen(file.c_str(), "wbx");
    if (out == nullptr) {
        printError("无法写入 " + file + "（文件已存在时不会覆盖）。");
        return kExitBadInput;
    }
    const bool done = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !done) {
        printError("写入 " + file + " 失败。");
        return kExitBadInput;
    }
    std::printf("已导出“%s”到 %s。\n", terminalText(site->WebName).c_str(), file.c_str());
    return kExitOk;
}

}  // namespace

const Command& exportCommand() {
    static const Command command{
        .name = "export",
        .summary = "把一个模板导出为社区模板或 Vesprey 的模板 JSON（不含 Cookie 和输入）",
        .options = {databaseOption("Sign.db 的路径"),
                    {.name = "--id",
                     .value = "ID",
                     .help = "模板的编号（vesprey-cli import 导入时说的编号）",
                     .required = true},
                    {.name = "--format",
                     .value = "qd|vesprey",
                     .help = "qd（默认）：社区模板的 JSON 数组，一个请求的模板成为一步；\n"
                             "vesprey：“一键置入”用的 JSON，多步骤模板的步骤在“步骤”里"}},
        .operands = "[文件|-]",
        .description =
            "把模板写到文件（已存在的文件不会被覆盖）或标准输出（- 或省略）。账号的\n"
            "Cookie 和输入从不导出。导出的文件再导入、再导出，内容不变。\n",
        .epilogue =
            "退出码: 0 已导出；1 参数错误、没有这个模板或文件写不进；2 数据库打不开或读不出。\n",
        .database = DatabaseUse::Accounts,
        .run = runExport};
    return command;
}

}  // namespace vesprey::cli
