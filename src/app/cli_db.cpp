// `init-db` and `list`: creating a Sign.db and showing its account list.

#include <algorithm>
#include <array>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "app/cli.h"
#include "session/pass_session.h"
#include "store/site_database.h"

namespace vesprey::cli {
namespace {

int runInitDb(const Arguments& args) {
    if (!args.positionals().empty()) {
        printError("init-db 不接受多余的参数：" + args.positionals().front() + "。");
        return kExitBadInput;
    }
    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    const std::filesystem::path& path = database.path;
    Text error;
    if (!initSiteDatabase(path, args.flag("--demo"), environment().folders.dataDirectory, &error)) {
        printError(ansiToUtf8(error));
        return kExitBadInput;
    }
    std::printf("已创建 %s\n", path.c_str());
    return kExitOk;
}

int runList(const Arguments& args) {
    if (!args.positionals().empty()) {
        printError("list 不接受多余的参数：" + args.positionals().front() + "。");
        return kExitBadInput;
    }
    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    SqlDatabase& db = database.db;
    const std::filesystem::path& path = database.path;
    auto readFailed = [&](const ReadResult& read) {
        printError("无法读取 " + path.string() + "：" + ansiToUtf8(readFailureText(read)) + "。");
        return kExitDatabase;
    };

    // Columns 序号, 网站, 请求类型, 响应类型, 账号状态, aligned on display width; then
    // "Cookie 过期" from History.db, only when some account has something in it, so that the
    // list of a file without cookie records has the five columns alone. The rows are printed as
    // they are read: what decides the widths and that column is read first, without the cookies.
    constexpr std::size_t kShown = 5;
    SiteListShape shape;
    if (const ReadResult read = readSiteListShape(db, shape); !read.ok()) {
        return readFailed(read);
    }
    const CookieHealth health = readCookieHealth(path);
    const double now = nowDateTime();
    std::set<int> markedCids;  // accounts whose cookie cell is not empty
    auto markIfShown = [&](int cid) {
        if (!cookieHealthText(health, cid, now).empty()) {
            markedCids.insert(cid);
        }
    };
    for (const auto& [cid, expiry] : health.expiries) {
        markIfShown(cid);
    }
    for (const auto& [cid, verdicts] : health.lastVerdicts) {
        markIfShown(cid);
    }
    const bool cookieColumn = std::any_of(shape.cids.begin(), shape.cids.end(),
                                          [&](int cid) { return markedCids.count(cid) > 0; });
    const std::size_t columns = cookieColumn ? kShown + 1 : kShown;
    std::vector<std::string> header = {"序号", "网站", "请求类型", "响应类型", "账号状态"};
    if (cookieColumn) {
        header.push_back("Cookie 过期");
    }
    // Every method, answer type and account mark is narrower than its heading; the number and
    // the site name may be wider.
    std::vector<std::size_t> widths(columns, 0);
    for (std::size_t c = 0; c < columns; ++c) {
        widths[c] = displayWidth(header[c]);
    }
    widths[0] = std::max(widths[0], std::to_string(shape.rows).size());
    for (const Text& name : shape.names) {
        widths[1] =
            std::max(widths[1], std::min(displayWidth(terminalText(name)), kMaxCellColumns));
    }
    auto printRow = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t c = 0; c < columns; ++c) {
            line += c + 1 < columns ? padRight(row[c], widths[c] + 2) : row[c];
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();  // an empty last cell
        }
        line += '\n';
        std::fputs(line.c_str(), stdout);
    };
    // An account of a multi-step template is √ when its flow has every value it reads.
    FlowBook flows;
    if (const ReadResult read = flows.read(db); !read.ok()) {
        return readFailed(read);
    }
    static const Text kYes = utf8ToAnsi("√");
    static const Text kNo = utf8ToAnsi("×");
    printRow(header);
    std::size_t index = 0;
    const ReadResult read = readSiteListRows(db, [&](SiteTemplate&& site) {
        auto cells = siteListRow(site, index++);
        cells[kColumnAccount] = flows.ready(site) ? kYes : kNo;
        std::vector<std::string> row;
        for (std::size_t c = 0; c < kShown; ++c) {
            row.push_back(fitWidth(terminalText(cells[c]), kMaxCellColumns));
        }
        if (cookieColumn) {
            row.push_back(cookieHealthText(health, site.Cid, now));
        }
        printRow(row);
    });
    if (!read.ok()) {
        std::fflush(stdout);  // the rows before the failure stay, as the message says
        return readFailed(read);
    }
    return kExitOk;
}

}  // namespace

const Command& initDbCommand() {
    static const Command command{
        .name = "init-db",
        .summary = "创建一个新的加密 Sign.db（三张表，推送密钥为空）",
        .options = {databaseOption("新文件的路径"),
                    {.name = "--demo", .help = "另外写入两个没有账号的示例网站"}},
        .description =
            "创建一个新的加密 Sign.db，含 Template、WebCookie、Send 三张表，\n"
            "Send 表有三个推送通道（1 Bark、2 Server酱、3 钉钉机器人），密钥为空。\n"
            "已存在的文件不会被改动：命令拒绝并以 1 退出。\n",
        .database = DatabaseUse::Path,
        .run = runInitDb};
    return command;
}

const Command& listCommand() {
    static const Command command{
        .name = "list",
        .summary = "列出所有网站账号（序号、网站、请求类型、响应类型、账号状态）",
        .options = {databaseOption("Sign.db 的路径")},
        .description =
            "每个账号一行，与主窗口的列表相同：序号、网站、请求类型、响应类型、账号状态\n"
            "（√ 已有 Cookie，× 没有；多步骤模板的账号在它用到的每个输入都有值时为 √）。\n"
            "没有账号的网站列出一次。\n"
            "Sign.db 旁边的 History.db 记着内置浏览器抓到的 Cookie 何时过期时，最后多一栏\n"
            "“Cookie 过期”：过期日期（yyyy-MM-dd），已过期的写“已过期”，最近两次签到都判定\n"
            "Cookie 失效的写“失效”。没有这类记录时输出与以前完全相同。\n",
        .epilogue = "退出码: 0 成功；1 参数错误；2 数据库打不开或读不出。\n",
        .database = DatabaseUse::Open,
        .run = runList};
    return command;
}

}  // namespace vesprey::cli
