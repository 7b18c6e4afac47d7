// "签到历史": what History.db beside Sign.db holds of the last 30 days. A grid with one row per
// account and one cell per day, coloured by the verdict that stands for the day (the colours
// explained below it, the months named above their first days), the pass's time,
// verdict and result as the cell's tooltip; a click on an account lists its passes below, newest
// first; "导出 CSV" writes the shown passes as UTF-8 with a byte-order mark, to a file the user
// picks (first offered in Documents, or the home folder), and says where.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QDialog>
#include <QList>
#include <QPair>
#include <QString>
#include <filesystem>
#include <string_view>
#include <vector>

#include "store/history.h"

class QDate;
class QLabel;
class QTableWidget;

namespace vesprey::ui {

inline constexpr int kHistoryShownDays = 30;

// A day's colour in the grid for a verdict name: green for success and already, red for failed,
// orange for expired, grey for unknown; an invalid colour (the cell stays empty) for no pass.
QColor historyDayColour(std::string_view verdict);

// The passes as CSV: a header line, then one line per row, fields quoted where needed, lines
// ended by CR LF, UTF-8 after a byte-order mark.
QByteArray historyCsv(const std::vector<HistoryEntry>& rows);

// The month names above the grid's day columns: "4月" over the first shown day, "5月" over the
// first of May, and so on, following the columns as they scroll or change width.
class MonthStrip : public QWidget {
    Q_OBJECT
public:
    MonthStrip(QTableWidget& grid, const std::vector<Text>& days, QWidget* parent);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void place();

    QTableWidget& grid_;
    QList<QPair<int, QLabel*>> labels_;  // the column, its label
};

// The file "导出 CSV" offers first: "签到历史-<day>.csv" in the user's Documents folder, or in
// the home folder when there is none.
QString historyCsvSuggestion(const QDate& day);

class HistoryWindow : public QDialog {
    Q_OBJECT
public:
    // Reads the last kHistoryShownDays days up to `now` (a date-time) from History.db beside
    // `database`; a file that cannot be read leaves the grid empty and says why above it.
    HistoryWindow(const std::filesystem::path& database, double now, QWidget* parent = nullptr);

    // The shown passes, oldest first.
    const std::vector<HistoryEntry>& rows() const { return rows_; }
    // Writes historyCsv(rows()) to `path`; false (and the reason in `error`) when it cannot.
    bool exportCsv(const QString& path, QString* error) const;

private:
    void showAccount(int row);
    void askAndExport();

    std::vector<HistoryEntry> rows_;
    std::vector<AccountHistory> accounts_;
    QLabel* note_ = nullptr;
    QTableWidget* grid_ = nullptr;
    QTableWidget* passes_ = nullptr;
};

}  // namespace vesprey::ui
