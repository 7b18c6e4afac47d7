#include "ui/window/site_book.h"

#include <map>
#include <utility>

#include "engine/template_import.h"
#include "store/account_notes.h"
#include "store/flows.h"
#include "ui/qt_text.h"
#include "ui/window/pass_history.h"

namespace vesprey::ui {

SiteBook::SiteBook(SqlDatabase& db, std::filesystem::path path) : db_(db), path_(std::move(path)) {}

bool SiteBook::reload() {
    if (reloadAllowed_ && !reloadAllowed_()) {
        return false;
    }
    ReadResult read = readSiteList(db_, sites_);
    if (read.ok()) {
        read = flows_.read(db_);
    }
    // Notes only name the rows: a file whose notes cannot be read lists its rows without them.
    if (const ReadResult notes = readAccountNotes(db_, notes_); !notes.ok() && notice_) {
        notice_(QStringLiteral("账号的备注读不出：") + fromAnsi(readFailureText(notes)));
    }
    if (reloaded_) {
        reloaded_(read);
    }
    return true;
}

AddSiteResult SiteBook::addSite(const TemplateFields& fields, const Text& cookie, int* newCid) {
    AddSiteResult added = vesprey::addSite(db_, fields, cookie);
    // The site's first account is the last row the save inserted.
    *newCid = added.write && !cookie.empty() ? static_cast<int>(db_.lastInsertId()) : 0;
    return added;
}

AddFlowSiteResult SiteBook::addFlowSite(const TemplateFields& fields, const Text& cookie,
                                        const std::string& steps, const AccountInputs& inputs) {
    return vesprey::addFlowSite(db_, fields, cookie, steps, inputs);
}

std::shared_ptr<const FlowAccount> SiteBook::flowAccount(const SiteTemplate& site) {
    return flows_.account(site);
}

bool SiteBook::ready(const SiteTemplate& site) {
    return flows_.ready(site);
}

WriteResult SiteBook::changeInputs(int cid, const std::vector<InputChange>& changes) {
    WriteResult written = changeAccountInputs(db_, cid, changes);
    flows_.read(db_);
    return written;
}

WriteResult SiteBook::updateTemplate(int templateId, const TemplateFields& fields) {
    return vesprey::updateTemplate(db_, templateId, fields);
}

std::optional<std::string> SiteBook::steps(int templateId, ReadResult* read) {
    std::optional<std::string> steps;
    const ReadResult result = readFlow(db_, templateId, steps);
    if (read != nullptr) {
        *read = result;
    }
    return result.ok() ? steps : std::nullopt;
}

WriteResult SiteBook::saveSteps(int templateId, const std::string& steps) {
    WriteResult written = saveFlow(db_, templateId, steps);
    flows_.read(db_);
    return written;
}

VerdictRules SiteBook::rules(int templateId) {
    std::map<int, VerdictRules> all;
    if (!readVerdictRules(db_, all).ok()) {
        return {};
    }
    const auto found = all.find(templateId);
    return found != all.end() ? found->second : VerdictRules{};
}

WriteResult SiteBook::saveRules(int templateId, const VerdictRules& rules) {
    return saveVerdictRules(db_, templateId, rules);
}

std::pair<Text, StoredSchedule> SiteBook::ownSettings(int templateId) {
    std::map<int, Text> proxies;
    std::map<int, StoredSchedule> schedules;
    std::pair<Text, StoredSchedule> own;
    if (readTemplateProxies(db_, proxies).ok()) {
        if (const auto found = proxies.find(templateId); found != proxies.end()) {
            own.first = found->second;
        }
    }
    if (readTemplateSchedules(db_, schedules).ok()) {
        if (const auto found = schedules.find(templateId); found != schedules.end()) {
            own.second = found->second;
        }
    }
    return own;
}

WriteResult SiteBook::saveOwnSettings(int templateId, const Text& proxy,
                                      const StoredSchedule& schedule) {
    WriteResult written = saveTemplateProxy(db_, templateId, proxy);
    if (written) {
        written = saveTemplateSchedule(db_, templateId, schedule);
    }
    return written;
}

bool SiteBook::ownsCookieRow(const SiteTemplate& site) {
    return site.hasCookie() || (site.Cid != 0 && flows_.account(site) != nullptr);
}

WriteResult SiteBook::updateCookie(int cid, const Text& cookie) {
    if (cookie.find_first_not_of(" \t\r\n") == Text::npos) {
        // A cookie is replaced by another one, never by nothing.
        WriteResult refused;
        refused.error = toAnsi(QStringLiteral("Cookie 为空"));
        return refused;
    }
    return updateWebCookie(db_, cid, cookie);
}

WriteResult SiteBook::addAccount(int templateId, const Text& cookie) {
    return insertWebCookie(db_, templateId, dateTimeToText(std::nullopt, 1), cookie);
}

WriteResult SiteBook::addFlowAccount(int templateId, const Text& cookie,
                                     const AccountInputs& inputs) {
    int cid = 0;
    return vesprey::addFlowAccount(db_, templateId, dateTimeToText(std::nullopt, 1), cookie, inputs,
                                   &cid);
}

WriteResult SiteBook::deleteAccount(int cid) {
    // The account's inputs of a multi-step template go with it.
    return vesprey::deleteAccount(db_, cid);
}

QString SiteBook::note(int cid) const {
    const auto found = notes_.find(cid);
    return found != notes_.end() ? fromAnsi(found->second) : QString();
}

WriteResult SiteBook::saveNote(int cid, const QString& note) {
    WriteResult written = writeAccountNote(db_, cid, toAnsi(note));
    if (written) {
        std::map<int, Text> notes;
        if (readAccountNotes(db_, notes).ok()) {
            notes_ = std::move(notes);
        }
    }
    return written;
}

WriteResult SiteBook::deleteSite(int templateId) {
    return vesprey::deleteSite(db_, templateId);
}

bool SiteBook::storeCapturedCookie(const SelectedAccount& account, const Text& cookie,
                                   const QDateTime& expires, const CaptureNotice& notice) {
    int storedCid = 0;
    return storeAccountCookie(
        db_, account.entry, account.templateId, cookie, notice,
        // The expiry goes in before the list is rebuilt, so that the rebuilt list shows it.
        [this, &storedCid, &expires] {
            rememberCookieExpiry(storedCid, expires);
            reload();
        },
        &storedCid, ownsCookieRow(account.entry));
}

void SiteBook::rememberCookieExpiry(int cid, const QDateTime& expires) {
    const WriteResult written = recordCookieExpiry(path_, cid, expires);
    if (!written && notice_) {
        notice_(QStringLiteral("Cookie 的过期时间没有保存：") + fromAnsi(written.error));
    }
}

std::optional<QString> oversizedSaveText(const TemplateFields& fields, const Text& cookie) {
    std::optional<Text> oversized = oversizedTemplateField(fields);
    if (!oversized) {
        oversized = oversizedCookie(cookie);
    }
    if (!oversized) {
        return std::nullopt;
    }
    return fromAnsi(*oversized) + QStringLiteral("，请改短后再保存。");
}

}  // namespace vesprey::ui
