// `cookiecloud`: the browser's cookies from a CookieCloud server, compared with the accounts'
// (names only) and with --apply written into Sign.db; and the same sync before `sign`.

#include <algorithm>
#include <string>

#include "app/cli.h"
#include "session/cookie_cloud_sync.h"
#include "store/site_database.h"

namespace vesprey::cli {
namespace {

// A password is a line; more than this is no password.
constexpr std::size_t kMaxPasswordBytes = 4096;

std::string namesText(const std::vector<Text>& names) {
    std::string text;
    for (const Text& name : names) {
        text += (text.empty() ? "" : "、") + terminalText(name);
    }
    return text;
}

// "新增 a、b；更改 sid；删除 old" for an account whose cookie changes; what is the case otherwise.
std::string accountChangeText(const AccountCookieSync& account) {
    if (account.shared && account.merge.differs()) {
        return "同一网站的几个账号 Cookie 各不相同，不同步";
    }
    if (account.offered == 0 && !account.merge.differs()) {
        return "浏览器里没有这个网站的 Cookie";
    }
    if (!account.merge.differs()) {
        return "与浏览器的相同";
    }
    std::string text;
    for (const auto& [label, names] :
         {std::pair{"新增 ", &account.merge.added}, std::pair{"更改 ", &account.merge.changed},
          std::pair{"删除 ", &account.merge.removed}}) {
        if (!names->empty()) {
            text += (text.empty() ? "" : "；") + std::string(label) + namesText(*names);
        }
    }
    return text;
}

// The password from standard input, its final line break dropped; nothing after saying why.
std::optional<std::string> passwordFromInput(const std::string& option) {
    if (option != "-") {
        printError(
            "密码不要写在命令行上（会留在命令历史和进程列表里）：用 --password - "
            "从标准输入读取，如 printf '%s' \"$PASS\" | vesprey-cli cookiecloud "
            "--password -。");
        return std::nullopt;
    }
    bool tooLarge = false;
    std::optional<Bytes> read = readInput("-", kMaxPasswordBytes, &tooLarge);
    if (!read) {
        printError(tooLarge ? "标准输入超过 4 KB，不像是一个密码。" : "无法从标准输入读取密码。");
        return std::nullopt;
    }
    std::string password = std::move(*read);
    if (password.ends_with('\n')) {
        password.pop_back();
    }
    if (password.ends_with('\r')) {
        password.pop_back();
    }
    if (password.empty()) {
        printError("标准输入里没有密码：请把 CookieCloud 的端对端加密密码写到标准输入。");
        return std::nullopt;
    }
    return password;
}

// A setting as Sign.db can keep it: UTF-8 of characters code page 936 has, on one line.
bool keepable(const std::string& value, std::string_view option) {
    const bool oneLine = std::none_of(value.begin(), value.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (!isValidUtf8(value) || !oneLine || ansiToUtf8(utf8ToAnsi(value)) != value) {
        printError(std::string(option) +
                   " 里有 Sign.db 存不下的字符（控制字符、表情符号或不是 UTF-8 的字节）。");
        return false;
    }
    return true;
}

int runCookieCloud(const Arguments& args) {
    if (!args.positionals().empty()) {
        printError("cookiecloud 不接受多余的参数：" + args.positionals().front() + "。");
        return kExitBadInput;
    }
    const std::optional<std::string> url = args.value("--url");
    const std::optional<std::string> uuid = args.value("--uuid");
    std::optional<std::string> password;
    if (const auto option = args.value("--password")) {
        password = passwordFromInput(*option);
        if (!password) {
            return kExitBadInput;
        }
    }
    for (const auto& [value, option] :
         {std::pair{&url, "--url"}, std::pair{&uuid, "--uuid"},
          std::pair{static_cast<const std::optional<std::string>*>(&password), "--password"}}) {
        if (*value && !keepable(**value, option)) {
            return kExitBadInput;
        }
    }
    if (url && !url->empty() && cookieCloudAddress({*url, "x", ""}).empty()) {
        printError("--url 要是 CookieCloud 服务器的地址，以 http:// 或 https:// 开头，不是 " +
                   *url + "。");
        return kExitBadInput;
    }
    CommandDatabase database;
    if (const int code = openDatabase(args, database); code != kExitOk) {
        return code;
    }
    if (url || uuid || password) {
        if (const WriteResult written = writeCookieCloudAccess(database.db, url, uuid, password);
            !written) {
            printError("CookieCloud 的设置没有保存：" + writeFailureText(written) + "（" +
                       database.path.string() + "）。");
            return kExitDatabase;
        }
        std::printf("已保存 CookieCloud 的设置。\n");
    }
    return syncFromCookieCloud(database, args.flag("--apply"), SyncReport::Accounts);
}

}  // namespace

int syncFromCookieCloud(CommandDatabase& database, bool apply, SyncReport report) {
    const bool listed = report == SyncReport::Accounts;
    const CookieCloudAccess access = readCookieCloudAccess(database.db);
    const CookieCloudData data = fetchCookieCloud(access);
    const CookieCloudSync sync = planCookieCloudSync(data, database.sites, unixNow());
    if (sync.failure) {
        printError(terminalText(sync.failure.message) + "（Cookie 都没有改动）。");
        return kExitCookieCloud;
    }
    if (listed) {
        std::printf("CookieCloud 里有 %zu 个 Cookie。\n", sync.cookies);
        for (const AccountCookieSync& account : sync.accounts) {
            std::printf("  账号 %d  %s：%s\n", account.cid,
                        fitWidth(terminalText(account.site), kMaxCellColumns).c_str(),
                        accountChangeText(account).c_str());
        }
        if (sync.accounts.empty()) {
            std::printf("Sign.db 里还没有账号。\n");
        }
    }
    if (const Text shared = sharedAccountsText(sync); !shared.empty() && !listed) {
        printError(terminalText(shared) + "。");
    }
    if (sync.changing() == 0) {
        if (listed) {
            std::printf("没有需要改动的 Cookie。\n");
        }
        return kExitOk;
    }
    if (!apply) {
        std::printf("有 %zu 个账号的 Cookie 与浏览器的不同；加 --apply 写进 Sign.db。\n",
                    sync.changing());
        return kExitOk;
    }
    const CookieSaveResult saved = applyCookieCloudSync(database.db, sync);
    if (!saved.written) {
        printError("从 CookieCloud 同步的 Cookie 没有保存：" + writeFailureText(saved.written) +
                   "（" + database.path.string() + "）。");
        return kExitDatabase;
    }
    const std::string line =
        "已从 CookieCloud 同步 " + std::to_string(saved.saved.size()) + " 个账号的 Cookie" +
        (saved.saved.empty() ? std::string()
                             : "：" + terminalText(syncedAccountsText(sync, saved.saved))) +
        "。";
    if (listed) {
        std::printf("%s\n", line.c_str());
    } else {
        printError(line);
    }
    if (!saved.changed.empty()) {
        printError("这些账号的 Cookie 在同步期间被改动或删除，没有覆盖：" +
                   terminalText(syncedAccountsText(sync, saved.changed)) + "。");
    }
    return kExitOk;
}

const Command& cookieCloudCommand() {
    static const Command command{
        .name = "cookiecloud",
        .summary = "从 CookieCloud 服务器同步浏览器的 Cookie 到各账号（先只比较，--apply 才写入）",
        .options = {databaseOption("Sign.db 的路径"),
                    {.name = "--url",
                     .value = "URL",
                     .help = "CookieCloud 服务器的地址（如 https://cc.example.com），存进 Sign.db"},
                    {.name = "--uuid",
                     .value = "UUID",
                     .help = "浏览器扩展里的“用户KEY · UUID”，存进 Sign.db"},
                    {.name = "--password",
                     .value = "-",
                     .help = "从标准输入读取扩展里的“端对端加密密码”，存进 Sign.db\n"
                             "（密码不写在命令行上）"},
                    {.name = "--apply",
                     .help = "把与浏览器不同的 Cookie 写进 Sign.db（在一个事务里；期间被改动\n"
                             "或删除的账号不覆盖）"}},
        .description =
            "先保存给出的设置（--url、--uuid、--password），再从服务器取回加密的 Cookie\n"
            "（GET 服务器/get/UUID，最多 30 秒、32 MB），在本机用 UUID 和密码解密（旧的\n"
            "AES-256-CBC “Salted__” 格式和新的 aes-128-cbc-fixed 格式都认），然后逐个账号列出\n"
            "浏览器会向它的签到链接发送的 Cookie（域名、路径、secure 只发给 https、未过期）\n"
            "与它现有的 Cookie 有什么不同：新增、更改、删除了哪些名字（从不显示值）。\n"
            "同名的 Cookie 换成浏览器的值，新的加在后面，浏览器里已过期的删去，其余保持不变。\n"
            "同一网站的几个账号 Cookie 各不相同时不同步它们（不知道浏览器登录的是哪一个）。\n"
            "密码错误、服务器连不上或数据解不开时说明原因，什么也不改。\n"
            "sign --cookiecloud 在签到前做同样的同步（相当于 --apply）。\n",
        .epilogue =
            "退出码: 0 已比较（或已写入）；1 参数错误；2 数据库打不开、读不出或写不进；\n"
            "7 CookieCloud 没有设置、连不上、答复不对或解不开（什么也没改）。\n"
            "例: printf '%s' \"$CC_PASS\" | vesprey-cli cookiecloud --url https://cc.example.com "
            "--uuid myuuid --password -\n"
            "    vesprey-cli cookiecloud --apply\n",
        .database = DatabaseUse::Accounts,
        .run = runCookieCloud};
    return command;
}

}  // namespace vesprey::cli
