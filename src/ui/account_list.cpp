#include "ui/account_list.h"

#include <QColor>

#include "engine/sign_in_run.h"
#include "ui/qt_text.h"

namespace vesprey::ui {

AccountListModel::AccountListModel(QObject* parent) : QAbstractTableModel(parent) {}

const std::array<QString, kAccountColumns>& AccountListModel::titles() {
    static const std::array<QString, kAccountColumns> names = {
        QStringLiteral("序号"),     QStringLiteral("网站"),     QStringLiteral("请求类型"),
        QStringLiteral("响应类型"), QStringLiteral("账号状态"), QStringLiteral("返回内容")};
    return names;
}

const std::array<int, kAccountColumns>& AccountListModel::widths() {
    static const std::array<int, kAccountColumns> pixels = {50, 100, 70, 70, 70, 210};
    return pixels;
}

void AccountListModel::load(const SiteList& sites) {
    beginResetModel();
    rows_.clear();
    rows_.reserve(sites.size());
    for (std::size_t i = 0; i < sites.size(); ++i) {
        const auto texts = siteListRow(sites[i], i);
        Row row;
        for (int c = 0; c < kAccountColumns; ++c) {
            row[static_cast<std::size_t>(c)] = fromAnsi(texts[static_cast<std::size_t>(c)]);
        }
        rows_.push_back(std::move(row));
    }
    endResetModel();
}

void AccountListModel::clear() {
    beginResetModel();
    rows_.clear();
    endResetModel();
}

QString AccountListModel::cell(int row, int column) const {
    if (row < 0 || column < 0 || column >= kAccountColumns ||
        static_cast<std::size_t>(row) >= rows_.size()) {
        return {};
    }
    return rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
}

void AccountListModel::setCell(int row, int column, const QString& text) {
    if (row < 0 || column < 0 || column >= kAccountColumns ||
        static_cast<std::size_t>(row) >= rows_.size()) {
        return;
    }
    rows_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)] = text;
    const QModelIndex changed = index(row, column);
    emit dataChanged(changed, changed, {Qt::DisplayRole});
}

int AccountListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int AccountListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kAccountColumns;
}

QVariant AccountListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        return cell(index.row(), index.column());
    }
    if (role == Qt::TextAlignmentRole && index.column() != 1 && index.column() != 5) {
        return QVariant::fromValue(Qt::AlignCenter);
    }
    if (role == Qt::ForegroundRole && index.column() == kColumnAccount) {
        const bool hasCookie = cell(index.row(), index.column()) == QStringLiteral("√");
        return QVariant::fromValue(hasCookie ? QColor(0x2e, 0x7d, 0x32) : QColor(0xc6, 0x28, 0x28));
    }
    return {};
}

QVariant AccountListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kAccountColumns) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return titles()[static_cast<std::size_t>(section)];
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::AlignCenter);
    }
    return {};
}

}  // namespace vesprey::ui
