// The rows of the account list: six texts per row, as loadSiteList fills them and the sign-in
// pass writes the result column. Lives on the window thread.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <array>
#include <vector>

#include "store/site_database.h"

namespace vesprey::ui {

inline constexpr int kAccountColumns = 6;

class AccountListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using Row = std::array<QString, kAccountColumns>;

    explicit AccountListModel(QObject* parent = nullptr);

    // Replaces every row with the list's rows (the result column empty).
    void load(const SiteList& sites);
    void clear();

    // Out-of-range cells read as empty text; writes to them are ignored.
    QString cell(int row, int column) const;
    void setCell(int row, int column, const QString& text);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    static const std::array<QString, kAccountColumns>& titles();
    static const std::array<int, kAccountColumns>& widths();

private:
    std::vector<Row> rows_;
};

}  // namespace vesprey::ui
