// A Sign.db with many sites and accounts for the benchmarks, made once per process in a
// temporary directory: `sites` templates (GET and POST, JSON and regex) with
// `accountsPerSite` accounts each, 300-byte cookies, Chinese site names.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

#include "store/site_database.h"

namespace vesprey::bench {

inline std::filesystem::path makeSiteDatabase(int sites, int accountsPerSite) {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "vesprey-bench-XXXXXX").string();
    const fs::path db = fs::path(mkdtemp(pattern.data())) / "Sign.db";
    createSiteDatabase(db, nullptr);
    SqlDatabase conn;
    openSiteDatabase(conn, db);
    conn.prepare("BEGIN").stepCode();
    const std::string cookie(300, 'c');
    for (int i = 0; i < sites; ++i) {
        TemplateFields f;
        f.WebName = utf8ToAnsi("签到网站 " + std::to_string(i));
        f.Weblogin = "https://example.com/login";
        f.WebLink = "https://example.com/api/sign?id=" + std::to_string(i);
        f.Qtype = storedMethod(1 + i % 2);
        f.Rtype = storedAnswerType(1 + i % 3 / 2);
        f.Tying = utf8ToAnsi("data.msg=>签到成功||message");
        f.Headers = "User-Agent: Mozilla/5.0\r\nReferer: https://example.com/";
        insertTemplate(conn, f);
        for (int a = 0; a < accountsPerSite; ++a) {
            insertWebCookie(conn, i + 1, "2020-12-19 08:05:09", cookie + std::to_string(a));
        }
    }
    conn.prepare("COMMIT").stepCode();
    return db;
}

}  // namespace vesprey::bench
