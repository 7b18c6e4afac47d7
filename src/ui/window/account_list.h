// The rows of the account list: six texts per row, as loadSiteList fills them and the sign-in
// pass writes the result column, the verdict of each requested row, shown as an icon in the
// result cell with the rule that decided as its tooltip, a warning mark in the "账号状态"
// cell of an account whose cookie needs a new login, and the account's 备注 beside its site's
// name ("甲站（大号）"), edited in place. Lives on the window thread. AccountFilter shows the
// rows a search finds.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "engine/verdict.h"
#include "store/site_database.h"

namespace vesprey::ui {

inline constexpr int kAccountColumns = 6;

// The verdict a row of the list got, as Verdict's number, in the result column (nothing without
// one).
inline constexpr int kVerdictRole = Qt::UserRole + 1;

// The icon of a verdict: a coloured disc with a white glyph (success a green tick, already a
// teal double tick, expired an orange "!", failed a red cross, unknown a grey "?"). Skipped rows
// get none: a null icon.
QIcon verdictIcon(Verdict verdict);
// "<caption>：<reason>", or the caption alone when no rule gave a reason.
QString verdictToolTip(const AccountVerdict& verdict);
// The cookie warning's mark: a small orange triangle with a white "!".
QIcon cookieWarningIcon();

class AccountListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using Row = std::array<QString, kAccountColumns>;

    explicit AccountListModel(QObject* parent = nullptr);

    // Stores an edited 备注 of the account with that Cid; false when it could not be kept (the
    // row then shows the note it had).
    using NoteStore = std::function<bool(int cid, const QString& note)>;

    // Replaces every row with the list's rows; an entry's "账号状态" is "√" when `ready` says a
    // pass signs it, its 备注 what `note` gives for its Cid. A row that was listed before (the
    // same template and account) keeps its result and verdict; the others start without.
    void load(const SiteList& sites, const std::function<bool(const SiteTemplate&)>& ready,
              const std::function<QString(int cid)>& note = {});
    void clear();
    // Empties every row's result and takes its verdict away (a pass starting); with `rows`, only
    // those rows'.
    void clearResults();
    void clearResults(const std::vector<int>& rows);

    // The row's 备注; empty when it has none. An account's note (the site name's cell) is edited
    // in place: what is typed goes to the store set here, and the row shows it once it is kept.
    // A site without an account has no note.
    QString note(int row) const;
    void setNoteStore(NoteStore store) { noteStore_ = std::move(store); }
    // Whether the row has an account, and so can have a note.
    bool hasAccount(int row) const;

    // Whether the row holds every one of `words` (without regard to case) in its site name, its
    // 备注, its result (the greyed reason too) or its verdict's caption and reason.
    bool matches(int row, const QStringList& words) const;

    // The row was ready when the list was loaded ("√"): a pass requests it.
    bool ready(int row) const;
    // Out-of-range cells read as empty text; writes to them are ignored.
    QString cell(int row, int column) const;
    void setCell(int row, int column, const QString& text);
    // The row's verdict, until the list is loaded or cleared again; out-of-range rows are
    // ignored. A failed or expired row whose result is empty shows the verdict's reason greyed in
    // the cell (its display text; cell() stays empty).
    void setVerdict(int row, const AccountVerdict& verdict);
    // The row's cookie warning (its tooltip), until the list is loaded or cleared again; an
    // empty text takes the mark away. Out-of-range rows are ignored.
    void setCookieWarning(int row, const QString& warning);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    static const std::array<QString, kAccountColumns>& titles();
    static const std::array<int, kAccountColumns>& widths();

private:
    struct Shown {
        Verdict verdict;
        QString toolTip;
        QString emptyText;  // shown greyed in an empty result cell: a failure's reason
    };

    // The greyed text of the row's empty result cell; nothing when the cell has text.
    QString emptyResultText(int row) const;

    std::vector<Row> rows_;
    std::vector<std::pair<int, int>> keys_;       // one per row: the template's id and the Cid
    std::vector<std::optional<Shown>> verdicts_;  // one per row
    std::vector<QString> cookieWarnings_;         // one per row; empty: no mark
    std::vector<bool> ready_;                     // one per row
    std::vector<QString> notes_;                  // one per row; empty: none
    NoteStore noteStore_;
    mutable QIcon warningIcon_;
    // Drawn when first shown; a model's own, so that no pixmap outlives the application.
    mutable std::array<QIcon, kVerdictCount> icons_;
};

// The rows of an AccountListModel that a search finds: the text typed is cut at blanks into
// words, and a row is shown when it holds every word (AccountListModel::matches). An empty
// search shows every row. Rows keep their order.
class AccountFilter : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit AccountFilter(AccountListModel* list, QObject* parent = nullptr);

    void setSearch(const QString& text);
    const QString& search() const { return search_; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    AccountListModel* list_;
    QString search_;
    QStringList words_;
};

}  // namespace vesprey::ui
