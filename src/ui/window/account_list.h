// The rows of the account list: six texts per row, as loadSiteList fills them and the sign-in
// pass writes the result column, the verdict of each requested row, shown as an icon in the
// result cell with the rule that decided as its tooltip, and a warning mark in the "账号状态"
// cell of an account whose cookie needs a new login. Lives on the window thread.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>
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

    // Replaces every row with the list's rows; an entry's "账号状态" is "√" when `ready` says a
    // pass signs it. A row that was listed before (the same template and account) keeps its
    // result and verdict; the others start without.
    void load(const SiteList& sites, const std::function<bool(const SiteTemplate&)>& ready);
    void clear();
    // Empties every row's result and takes its verdict away (a pass starting).
    void clearResults();

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
    mutable QIcon warningIcon_;
    // Drawn when first shown; a model's own, so that no pixmap outlives the application.
    mutable std::array<QIcon, kVerdictCount> icons_;
};

}  // namespace vesprey::ui
