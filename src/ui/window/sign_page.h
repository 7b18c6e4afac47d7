// Page 0 "签到区": the account list and its context menu. The menu's row commands work here on
// the row selected when they start (browser login, manual fill, a further account, delete,
// modify); "开始签到" and "签到历史" are the window's, asked for by signal. During a pass the list
// shows each row's result as the window hands it in.
#pragma once

#include <QList>
#include <QPointer>
#include <QString>
#include <QWidget>

#include "engine/verdict.h"
#include "store/site_database.h"
#include "ui/window/capture.h"

class QAction;
class QMenu;
class QTreeView;

namespace vesprey::ui {

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
    // The row was ready when the list was loaded ("√", SiteBook::ready): a pass requests it.
    bool ready(int row) const;
    int selectedRow() const;  // -1 when no row is selected
    int rowCount() const;

    // The account list's size: the page's room less the list's margin.
    void setListSize(const QSize& size);

    // The menu's commands are disabled while a pass runs; "停止签到" only then enabled.
    void setPassControlsEnabled(bool enabled);

signals:
    void signInRequested();   // "开始签到"
    void historyRequested();  // "签到历史"
    void stopRequested();     // "停止签到"

public slots:
    void copySelectedResult();  // double-click: "返回内容" of the selected row to the clipboard

private:
    void buildContextMenu();
    // The menu's row commands: the selection guard, then the command.
    bool requireSelection();
    void notYet(const QString& what);
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

    SiteBook& book_;
    CaptureState& capture_;
    WindowQueue& calls_;
    AccountListModel* model_ = nullptr;
    QTreeView* list_ = nullptr;
    QMenu* menu_ = nullptr;
    QAction* signInAction_ = nullptr;
    QAction* stopAction_ = nullptr;
    QList<QAction*> rowActions_;
    QPointer<ManualFillDialog> manualFill_;  // the menu's open manual-fill window, if any
};

}  // namespace vesprey::ui
