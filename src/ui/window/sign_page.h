// Page 0 "签到区": the account list and its context menu. The menu's row commands work here on
// the row selected when they start (browser login, manual fill, a further account, delete,
// modify, 备注); "开始签到", "签到选中" and "签到历史" are the window's, asked for by signal.
// During a pass the list shows each row's result as the window hands it in.
//
// For long lists: several rows can be selected (Ctrl, Shift) for "签到选中" and "删除"; Ctrl+F
// opens a search bar under the list that shows only the rows holding every word typed (site
// name, 备注, result, verdict); the menu's commands have keys (Delete, F2 for the 备注, F5 …).
// Rows are always the model's (the list's order), whatever the search hides.
#pragma once

#include <QList>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>
#include <vector>

#include "engine/verdict.h"
#include "store/site_database.h"
#include "ui/window/capture.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QTreeView;

namespace vesprey::ui {

class AccountFilter;
class AccountListModel;
class ManualFillDialog;
class SiteBook;
class WindowQueue;

class SignPage : public QWidget {
    Q_OBJECT
public:
    // The row commands store through `book` and hand captures over in `capture`; the modify
    // window's trial messages go through `calls`.
    SignPage(SiteBook& book, CaptureState& capture, WindowQueue& calls);

    // Shows the list as the book has just read it; a list the file gave up on part way, or a
    // file held by another program, is said.
    void showList(const ReadResult& read);
    // The list's cookie warnings from History.db, at load and after each pass.
    void showCookieHealth();

    QString cellText(int row, int column) const;
    void setCellText(int row, int column, const QString& text);
    // The row's verdict: an icon in its "返回内容" cell, the reason as the cell's tooltip.
    void setRowVerdict(int row, const AccountVerdict& verdict);
    // Empties every row's "返回内容" and takes the verdicts away, as a pass starts; a reload
    // keeps them for the rows it lists again.
    void clearResults();
    void clearResults(const std::vector<int>& rows);  // those rows' only
    // The row was ready when the list was loaded ("√", SiteBook::ready): a pass requests it.
    bool ready(int row) const;
    // The selected row the row commands work on: the current one when it is selected, else the
    // first selected; -1 when no row is selected.
    int selectedRow() const;
    // Every selected row, in list order.
    std::vector<int> selectedRows() const;
    int rowCount() const;
    // The list's search ("" when the bar is closed), and how many rows it shows.
    QString searchText() const;
    int shownRowCount() const;

    // The account list's size: the page's room less the list's margin.
    void setListSize(const QSize& size);

    // Edits not yet committed (a 备注 being typed) are dropped from now on: the window is going.
    void dropEditing();

    // The menu's commands are disabled while a pass runs; "停止签到" only then enabled.
    void setPassControlsEnabled(bool enabled);

signals:
    void signInRequested();      // "开始签到"
    void signChosenRequested();  // "签到选中": the selected rows (selectedRows())
    void historyRequested();     // "签到历史"
    void stopRequested();        // "停止签到"

public slots:
    void copySelectedResult();  // double-click: "返回内容" of the selected row to the clipboard
    void openSearch();          // "查找": shows the search bar and puts the cursor in it
    void closeSearch();         // Escape in the bar: every row shown again, the bar hidden

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildContextMenu();
    // The menu's row commands: the selection guard, then the command.
    bool requireSelection();
    // Remembers the selected row for an operation; false when the row has no SiteList entry.
    bool rememberSelection();
    // "登录" → "软件登录": the browser login for the selected account; the captured cookie
    // replaces the account's cookie, or becomes its first account row.
    void browserLogin();
    void openManualFill(CaptureMode mode);
    void manualFillAccount();  // "登录" → "人工填写"
    void addAccount();         // "增加(&N)"
    void deleteAccount();      // "删除(&D)"; on a row without account, as "删除网站"
    void deleteSite();         // "删除网站": the site with everything it has, after a question
    QString deleteSiteQuestion(const SiteTemplate& entry);
    void modifyTemplate();  // "修改(&U)"
    void editNote();        // "备注(&R)": the selected account's note, edited in place
    // "删除" on several rows: their accounts after one question naming them.
    void deleteAccounts(const std::vector<int>& rows);
    bool storeNote(int cid, const QString& note);
    void layoutList();
    void fitSiteColumn();  // "网站" wide enough for the notes
    void showSearchCount();

    SiteBook& book_;
    CaptureState& capture_;
    WindowQueue& calls_;
    AccountListModel* model_ = nullptr;
    AccountFilter* filter_ = nullptr;
    QTreeView* list_ = nullptr;
    QWidget* searchBar_ = nullptr;
    QLineEdit* search_ = nullptr;
    QLabel* searchCount_ = nullptr;
    QSize listSize_;
    QMenu* menu_ = nullptr;
    QAction* signInAction_ = nullptr;
    QAction* stopAction_ = nullptr;
    QAction* signChosenAction_ = nullptr;
    QList<QAction*> rowActions_;
    QPointer<ManualFillDialog> manualFill_;  // the menu's open manual-fill window, if any
};

}  // namespace vesprey::ui
