// Helpers of the template editor and maintenance tests, on top of ui_fixtures: acting on a modal
// window while it runs, selecting a list row, the editor's controls, reading back the rows and
// verdict rules of a Sign.db, and a site on 127.0.0.1 that records what it was sent.
#pragma once

#include <strings.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store/flows.h"
#include "store/site_database.h"
#include "ui/qt_text.h"
#include "ui_fixtures.h"

namespace vesprey::uitest {

// Runs `act` on the window named `name` as soon as it is shown (polling from the event loop that
// the modal window runs). Call before the command that opens the window.
inline void whenShown(const QString& name, std::function<void(QWidget*)> act) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, name, act = std::move(act)] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->objectName() == name && w->isVisible()) {
                timer->stop();
                timer->deleteLater();
                act(w);
                // A failed check inside `act` must not leave a modal window waiting forever.
                if (QTest::currentTestFailed() && w->isVisible()) {
                    w->close();
                }
                return;
            }
        }
    });
    timer->start();
}

inline void selectRow(ui::MainWindow& window, int row) {
    auto* list = window.findChild<QTreeView*>(QStringLiteral("超级列表框_签到区"));
    const QRect cell = list->visualRect(list->model()->index(row, 1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
}

template <class W>
W* child(QWidget* parent, const char* utf8Name) {
    auto* w = parent->findChild<W*>(QString::fromUtf8(utf8Name));
    if (w == nullptr) {
        qFatal("no control %s", utf8Name);
    }
    return w;
}

inline void click(QWidget* parent, const char* utf8Name) {
    child<QAbstractButton>(parent, utf8Name)->click();
}

inline void setBox(QWidget* parent, const char* utf8Name, const QString& text) {
    if (auto* line = parent->findChild<QLineEdit*>(QString::fromUtf8(utf8Name))) {
        line->setText(text);
        return;
    }
    child<QPlainTextEdit>(parent, utf8Name)->setPlainText(text);
}

inline QString boxText(QWidget* parent, const char* utf8Name) {
    if (auto* line = parent->findChild<QLineEdit*>(QString::fromUtf8(utf8Name))) {
        return line->text();
    }
    return child<QPlainTextEdit>(parent, utf8Name)->toPlainText();
}

inline bool checked(QWidget* parent, const char* utf8Name) {
    return child<QRadioButton>(parent, utf8Name)->isChecked();
}

// The verdict the last trial shows beside its button. The label may cut a long text short with
// "…" (the whole text is its tooltip); anything else it shows comes back marked as wrong.
inline QString trialVerdict(QWidget* parent) {
    const auto* label = child<QLabel>(parent, "标签_判定");
    const QString whole = label->toolTip();
    const QString shown = label->text();
    const bool cut = shown.endsWith(QStringLiteral("…")) && whole.startsWith(shown.chopped(1));
    return shown == whole || cut ? whole : QStringLiteral("label shows: ") + shown;
}

// One WebCookie row.
struct AccountRow {
    int id = 0;
    std::string cookie;  // UTF-8
    int cid = 0;
};

// A Template row, texts in UTF-8.
struct TemplateRow {
    int id = 0;
    std::string name, login, link;
    int qtype = 0, rtype = 0, ctype = 0;
    std::string tying, headers, body;
};

// Runs one statement on its own connection (for setting up failures).
inline void execute(const std::filesystem::path& path, const std::string& sql) {
    SqlDatabase db;
    if (!openSiteDatabase(db, path) || db.prepare(sql).stepCode() != kSqliteDone) {
        qFatal("cannot run %s: %s", sql.c_str(), db.errorMessage().c_str());
    }
}

inline std::vector<AccountRow> accounts(const std::filesystem::path& path) {
    SqlDatabase db;
    openSiteDatabase(db, path);
    std::vector<AccountRow> rows;
    SqlStatement stmt = db.prepare("select Id, Cookie, Cid from WebCookie order by Cid");
    while (stmt.step()) {
        rows.push_back({stmt.columnInt(0), ansiToUtf8(stmt.columnText(1)), stmt.columnInt(2)});
    }
    return rows;
}

inline std::vector<TemplateRow> templates(const std::filesystem::path& path) {
    SqlDatabase db;
    openSiteDatabase(db, path);
    std::vector<TemplateRow> rows;
    SqlStatement stmt = db.prepare("select * from Template order by id");
    while (stmt.step()) {
        TemplateRow r;
        r.id = stmt.columnInt(0);
        r.name = ansiToUtf8(stmt.columnText(1));
        r.login = ansiToUtf8(stmt.columnText(2));
        r.link = ansiToUtf8(stmt.columnText(3));
        r.qtype = stmt.columnInt(4);
        r.rtype = stmt.columnInt(5);
        r.ctype = stmt.columnInt(6);
        r.tying = ansiToUtf8(stmt.columnText(7));
        r.headers = ansiToUtf8(stmt.columnText(8));
        r.body = ansiToUtf8(stmt.columnText(9));
        rows.push_back(std::move(r));
    }
    return rows;
}

// The steps of table Flow (UTF-8), by template id.
inline std::map<int, std::string> storedFlows(const std::filesystem::path& path) {
    SqlDatabase db;
    openSiteDatabase(db, path);
    std::map<int, std::string> steps;
    readFlows(db, steps);
    return steps;
}

// The verdict rules of table Verdict, by template id.
inline std::map<int, VerdictRules> storedRules(const std::filesystem::path& path) {
    SqlDatabase db;
    openSiteDatabase(db, path);
    std::map<int, VerdictRules> rules;
    readVerdictRules(db, rules);
    return rules;
}

// What the site was last sent.
struct SentRequest {
    std::string method;
    std::string path;
    std::string body;
    std::multimap<std::string, std::string> headers;  // httplib's own, case-insensitive order

    std::string header(const std::string& name) const {
        for (const auto& [key, value] : headers) {
            if (strcasecmp(key.c_str(), name.c_str()) == 0) {
                return value;
            }
        }
        return {};
    }
    bool has(const std::string& name) const {
        for (const auto& [key, value] : headers) {
            if (strcasecmp(key.c_str(), name.c_str()) == 0) {
                return true;
            }
        }
        return false;
    }
};

class RecordingSite {
public:
    // `answer` gives the body (raw bytes) for a path; every answer also sets the cookie sid=s1.
    explicit RecordingSite(std::function<std::string(const httplib::Request&)> answer)
        : answer_(std::move(answer)) {
        auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            {
                std::lock_guard lock(mutex_);
                SentRequest sent;
                sent.method = request.method;
                sent.path = request.path;
                sent.body = request.body;
                for (const auto& [key, value] : request.headers) {
                    sent.headers.emplace(key, value);
                }
                sent_.push_back(std::move(sent));
            }
            response.set_header("Set-Cookie", "sid=s1; Path=/");
            response.set_content(answer_(request), "text/plain");
        };
        // One request per connection: nothing is left waiting for a next request when the site
        // stops.
        site_.server().set_keep_alive_max_count(1);
        site_.server().Get(".*", handler);
        site_.server().Post(".*", handler);
        site_.start();
    }

    std::string url(const std::string& path) const { return site_.url(path); }

    std::vector<SentRequest> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    SentRequest last() const {
        std::lock_guard lock(mutex_);
        return sent_.empty() ? SentRequest{} : sent_.back();
    }

private:
    std::function<std::string(const httplib::Request&)> answer_;
    mutable std::mutex mutex_;
    std::vector<SentRequest> sent_;
    FakeSite site_;
};

}  // namespace vesprey::uitest
