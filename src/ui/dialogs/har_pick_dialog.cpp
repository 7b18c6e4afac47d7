#include "ui/dialogs/har_pick_dialog.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <algorithm>

namespace vesprey::ui {
namespace {

QTableWidgetItem* cell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    item->setToolTip(text);
    return item;
}

}  // namespace

HarPickDialog::HarPickDialog(const std::vector<flow::HarEntry>& entries, QWidget* owner)
    : ToolWindow(QStringLiteral("选择请求"), QStringLiteral("选出签到要用的请求"), 640, 380, owner),
      entries_(entries) {
    setObjectName(QStringLiteral("窗口_选择请求"));
    auto* hint = new QLabel(
        QStringLiteral("这是浏览器保存的 HAR 文件：按住 Ctrl 或 Shift 选出签到要用的请求，"
                       "按序号的顺序导入。"),
        this);
    hint->setGeometry(10, 32, 620, 20);
    list_ = new QTableWidget(static_cast<int>(entries_.size()), 4, this);
    list_->setObjectName(QStringLiteral("列表_HAR请求"));
    list_->setGeometry(10, 56, 620, 282);
    list_->setHorizontalHeaderLabels({QStringLiteral("序号"), QStringLiteral("方法"),
                                      QStringLiteral("状态"), QStringLiteral("网址")});
    list_->verticalHeader()->hide();
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->horizontalHeader()->setStretchLastSection(true);
    list_->setColumnWidth(0, 44);
    list_->setColumnWidth(1, 64);
    list_->setColumnWidth(2, 44);
    for (std::size_t row = 0; row < entries_.size(); ++row) {
        const flow::HarEntry& entry = entries_[row];
        const int r = static_cast<int>(row);
        list_->setItem(r, 0, cell(QString::number(entry.number)));
        list_->setItem(r, 1, cell(QString::fromStdString(entry.method)));
        list_->setItem(
            r, 2, cell(entry.status == 0 ? QStringLiteral("-") : QString::number(entry.status)));
        list_->setItem(r, 3, cell(QString::fromStdString(entry.url)));
    }
    import_ = new QPushButton(QStringLiteral("导 入"), this);
    import_->setObjectName(QStringLiteral("超级按钮_导入"));
    import_->setGeometry(545, 346, 85, 25);
    import_->setAutoDefault(false);
    import_->setEnabled(false);
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { import_->setEnabled(list_->selectionModel()->hasSelection()); });
    connect(import_, &QPushButton::clicked, this, &HarPickDialog::store);
    placeBeside(owner, 80, 60);
    list_->setFocus();
}

void HarPickDialog::store() {
    picks_.clear();
    for (const QModelIndex& row : list_->selectionModel()->selectedRows()) {
        picks_.push_back(entries_[static_cast<std::size_t>(row.row())].number);
    }
    std::sort(picks_.begin(), picks_.end());
    if (!picks_.empty()) {
        accept();
    }
}

}  // namespace vesprey::ui
