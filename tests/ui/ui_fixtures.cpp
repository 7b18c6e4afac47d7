#include "ui_fixtures.h"

#include <QTest>

#include "store/site_database.h"
#include "text/text.h"

namespace vesprey::uitest {

std::filesystem::path makeDatabase(const QTemporaryDir& dir, const std::vector<SiteSpec>& sites,
                                   const PushKeys& keys) {
    const std::filesystem::path path = std::filesystem::path(dir.path().toStdString()) / "Sign.db";
    Text error;
    if (!createSiteDatabase(path, &error)) {
        qFatal("cannot create %s", path.c_str());
    }
    SqlDatabase db;
    if (!openSiteDatabase(db, path)) {
        qFatal("cannot open %s", path.c_str());
    }
    for (const SiteSpec& site : sites) {
        TemplateFields fields;
        fields.WebName = utf8ToAnsi(site.name);
        fields.Weblogin = "http://127.0.0.1/login";
        fields.WebLink = site.link;
        fields.Qtype = storedMethod(site.qtype);
        fields.Rtype = storedAnswerType(site.rtype);
        fields.Ctype = site.ctype;
        fields.Tying = utf8ToAnsi(site.tying);
        fields.Headers = utf8ToAnsi(site.headers);
        fields.Date = utf8ToAnsi(site.body);
        if (!insertTemplate(db, fields).done) {
            qFatal("cannot insert a template");
        }
        const int id = selectMaxTemplateId(db).value_or(0);
        for (const std::string& cookie : site.cookies) {
            if (!insertWebCookie(db, id, "2024-01-01 08:00:00", cookie).done) {
                qFatal("cannot insert an account");
            }
        }
    }
    updatePushKey(db, 1, keys.bark);
    updatePushKey(db, 2, keys.serverChan);
    updatePushKey(db, 3, keys.dingTalk);
    return path;
}

BoxRecorder::BoxRecorder() {
    ui::MessageBoxes::setAnswerer([this](const ui::BoxRequest& request) {
        boxes.append(request);
        if (onBox) {
            onBox(request);
        }
        return answer;
    });
}

BoxRecorder::~BoxRecorder() {
    ui::MessageBoxes::setAnswerer({});
}

std::unique_ptr<ui::MainWindow> openWindow(const std::filesystem::path& database,
                                           std::shared_ptr<const ui::ScheduleClock> clock) {
    auto window = std::make_unique<ui::MainWindow>(database);
    if (clock) {
        window->scheduler().setClock(std::move(clock));
    }
    window->setFinishedHold(std::chrono::milliseconds(20));
    window->show();
    window->startUp();
    return window;
}

std::string gbk(const std::string& utf8) {
    return utf8ToAnsi(utf8);
}

ui::LocalTime secondsBefore(int hour, int minute, int seconds) {
    // 2024-05-15 is a plain day (no clock change anywhere near it); the day before is the 14th, the
    // day after the 16th.
    int total = hour * 3600 + minute * 60 - seconds;
    int day = 15;
    while (total < 0) {
        total += 86400;
        --day;
    }
    while (total >= 86400) {
        total -= 86400;
        ++day;
    }
    return ui::LocalTime{2024, 5, day, total / 3600, total % 3600 / 60, total % 60};
}

}  // namespace vesprey::uitest
