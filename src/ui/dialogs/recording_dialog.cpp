#include "ui/dialogs/recording_dialog.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>

#include "ui/dialogs/message_boxes.h"

namespace vesprey::ui {
namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 380;
const QString kCaption = QStringLiteral("录制签到");

QTableWidgetItem* cell(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    return item;
}

}  // namespace

RecordingDialog::RecordingDialog(const std::vector<flow::RecordedRequest>& recorded,
                                 std::size_t likely, QWidget* owner)
    : ToolWindow(kCaption, kCaption, kWidth, kHeight, owner) {
    setObjectName(QStringLiteral("窗口_录制签到"));
    auto* hint = new QLabel(QStringLiteral("选出签到要发的请求（可多选）；它们用到的令牌、formhash "
                                           "和时间，Vesprey 会从前面的答复里取："),
                            this);
    hint->setObjectName(QStringLiteral("标签_说明"));
    hint->setGeometry(10, 32, kWidth - 20, 20);

    list_ = new QTableWidget(static_cast<int>(recorded.size()), 4, this);
    list_->setObjectName(QStringLiteral("列表_录制请求"));
    list_->setGeometry(10, 56, kWidth - 20, kHeight - 56 - 45);
    list_->setHorizontalHeaderLabels({QStringLiteral("序号"), QStringLiteral("方法"),
                                      QStringLiteral("状态"), QStringLiteral("网址")});
    list_->verticalHeader()->hide();
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::MultiSelection);
    list_->horizontalHeader()->setStretchLastSection(true);
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        const auto row = static_cast<int>(i);
        const flow::RecordedRequest& r = recorded[i];
        QString number = QString::number(i + 1);
        if (i == likely) {
            number += QStringLiteral(" ★");  // the likely sign-in
        }
        list_->setItem(row, 0, cell(number));
        list_->setItem(row, 1,
                       cell(QString::fromStdString(r.method) +
                            (r.script ? QStringLiteral("（脚本）") : QString())));
        list_->setItem(row, 2,
                       cell(r.status == 0 ? QStringLiteral("-") : QString::number(r.status)));
        list_->setItem(row, 3, cell(QString::fromStdString(r.url)));
    }
    list_->resizeColumnsToContents();
    if (likely < recorded.size()) {
        list_->selectRow(static_cast<int>(likely));
        list_->scrollToItem(list_->item(static_cast<int>(likely), 0));
    }

    auto* ok = new QPushButton(QStringLiteral("生成模板"), this);
    ok->setObjectName(QStringLiteral("超级按钮_生成模板"));
    ok->setGeometry(kWidth - 10 - 81 - 10 - 61, kHeight - 35, 81, 25);
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName(QStringLiteral("超级按钮_取消"));
    cancel->setGeometry(kWidth - 10 - 61, kHeight - 35, 61, 25);
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &RecordingDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &RecordingDialog::reject);
}

std::vector<std::size_t> RecordingDialog::picks() const {
    std::vector<std::size_t> picked;
    for (int row = 0; row < list_->rowCount(); ++row) {
        if (list_->item(row, 0) != nullptr && list_->item(row, 0)->isSelected()) {
            picked.push_back(static_cast<std::size_t>(row));
        }
    }
    return picked;
}

void RecordingDialog::accept() {
    if (picks().empty()) {
        MessageBoxes::inform(this, QStringLiteral("请至少选出一个请求（签到时发的那个）。"),
                             kCaption, BoxIcon::Information);
        return;
    }
    ToolWindow::accept();
}

}  // namespace vesprey::ui
