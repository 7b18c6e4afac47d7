// The sites and accounts of the open Sign.db, as the window and its dialogs change them: the
// list as last loaded, and one call per change the dialogs make (add a site, update a template,
// store a captured cookie, add or delete an account, the verdict rules); the caller reloads once
// its change is done and said, so the window's list shows what the file holds. The dialogs reach
// the file only through this; the window keeps the file itself for its settings and the pass.
#pragma once

#include <QDateTime>
#include <QString>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "session/pass_session.h"
#include "store/flows.h"
#include "store/site_database.h"
#include "store/template_settings.h"
#include "ui/browser/browser_loader.h"
#include "ui/window/capture.h"

namespace vesprey::ui {

class SiteBook {
public:
    // `db` is the window's connection to `path`; it may still be closed (it is opened at
    // start-up) and outlives the book.
    SiteBook(SqlDatabase& db, std::filesystem::path path);

    const std::filesystem::path& path() const { return path_; }
    const SiteList& sites() const { return sites_; }
    // The loaded entries, for the pass's end to keep the merged cookies in without a reload.
    SiteList& sites() { return sites_; }

    // Whether a change may reload now: false while a pass runs, which works on the list.
    void setReloadAllowed(std::function<bool()> allowed) { reloadAllowed_ = std::move(allowed); }
    // Called after every reload with what the read gave; the window rebuilds its list view.
    void setReloaded(std::function<void(const ReadResult&)> reloaded) {
        reloaded_ = std::move(reloaded);
    }
    // Where a failure the user should hear of but that stops nothing goes (the status strip).
    void setNotice(std::function<void(const QString&)> notice) { notice_ = std::move(notice); }

    // Reads the list afresh. Refused (false) while a pass runs.
    bool reload();

    // A new site with its first account (none when `cookie` is empty), in one transaction;
    // `newCid` receives the account's Cid, 0 without one.
    AddSiteResult addSite(const TemplateFields& fields, const Text& cookie, int* newCid);
    // A new multi-step site: its template row, its steps (community JSON, UTF-8) and its first
    // account with `cookie` (which may be empty) and `inputs`, in one transaction.
    AddFlowSiteResult addFlowSite(const TemplateFields& fields, const Text& cookie,
                                  const std::string& steps, const AccountInputs& inputs);

    // The multi-step templates as the last reload read them: an account's flow and inputs (null
    // for a one-request template), and whether a pass signs it (every input its flow reads has
    // a value; a one-request account: it has a cookie).
    std::shared_ptr<const FlowAccount> flowAccount(const SiteTemplate& site);
    bool ready(const SiteTemplate& site);
    // Sets and removes inputs of an account (a value of nothing removes it), in one transaction,
    // and reads the flows again.
    WriteResult changeInputs(int cid, const std::vector<InputChange>& changes);
    WriteResult updateTemplate(int templateId, const TemplateFields& fields);
    // A template's stored steps (community JSON, UTF-8); nothing for a one-request template or
    // when Sign.db cannot say (`read` receives which).
    std::optional<std::string> steps(int templateId, ReadResult* read = nullptr);
    // Stores the template's steps in place of any it had, and reads the flows again.
    WriteResult saveSteps(int templateId, const std::string& steps);
    // The stored rules of the template; none when it has none or the file cannot say.
    VerdictRules rules(int templateId);
    WriteResult saveRules(int templateId, const VerdictRules& rules);
    // The template's own proxy address and 签到周期 (store/template_settings.h); empty ones when
    // it has none or the file cannot say.
    std::pair<Text, StoredSchedule> ownSettings(int templateId);
    // Stores both; an empty proxy or rule removes it.
    WriteResult saveOwnSettings(int templateId, const Text& proxy, const StoredSchedule& schedule);

    // Whether a cookie for the entry goes into the entry's own row rather than a new account: it
    // has a cookie, or it is an account of a multi-step template (its inputs are on that row).
    bool ownsCookieRow(const SiteTemplate& site);
    // A cookie typed by hand for the account, which has a cookie row already; an empty or blank
    // cookie is refused and the stored one stays.
    WriteResult updateCookie(int cid, const Text& cookie);
    // A further account row of the template, stamped now.
    WriteResult addAccount(int templateId, const Text& cookie);
    // A further account of a multi-step template, stamped now, with its inputs, in one
    // transaction.
    WriteResult addFlowAccount(int templateId, const Text& cookie, const AccountInputs& inputs);
    // Only the account row goes; the site stays, listed with "×" once it has none left.
    WriteResult deleteAccount(int cid);
    // The whole site: its template, its accounts with their inputs, its steps and its rules.
    WriteResult deleteSite(int templateId);
    // The account's 备注 as the last reload (or save) read it; empty when it has none.
    QString note(int cid) const;
    // Keeps the account's 备注 (an empty one removes it); the book's notes follow.
    WriteResult saveNote(int cid, const QString& note);
    // The built-in browser's capture for the remembered account (storeAccountCookie), with
    // the capture's expiry kept; true when the window may close.
    bool storeCapturedCookie(const SelectedAccount& account, const Text& cookie,
                             const QDateTime& expires, const CaptureNotice& notice);

    // Keeps what a browser capture knew of the account's cookie expiry in History.db; an invalid
    // `expires` (a cookie typed by hand) forgets it. A failure goes to the notice.
    void rememberCookieExpiry(int cid, const QDateTime& expires);

private:
    SqlDatabase& db_;
    std::filesystem::path path_;
    SiteList sites_;
    FlowBook flows_;
    std::map<int, Text> notes_;  // by Cid
    std::function<bool()> reloadAllowed_;
    std::function<void(const ReadResult&)> reloaded_;
    std::function<void(const QString&)> notice_;
};

// The sentence a save is refused with when a field or the cookie is longer than a template may
// hold ("“网站”太长（…），请改短后再保存。"); nothing when everything fits.
std::optional<QString> oversizedSaveText(const TemplateFields& fields, const Text& cookie);

}  // namespace vesprey::ui
