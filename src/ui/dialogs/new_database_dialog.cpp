#include "ui/dialogs/new_database_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <utility>

#include "store/site_database.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"

namespace vesprey::ui {
namespace {

constexpr int kWidth = 420;
constexpr int kHeight = 200;

QPushButton* button(QWidget* parent, const QString& name, const QString& caption, int x) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setGeometry(x, kHeight - 35, 71, 25);
    return b;
}

}  // namespace

NewDatabaseDialog::NewDatabaseDialog(std::filesystem::path path,
                                     std::filesystem::path dataDirectory, QWidget* owner)
    : ToolWindow(QStringLiteral("新建 Sign.db"), QStringLiteral("欢迎使用 Vesprey"), kWidth,
                 kHeight, owner),
      path_(std::move(path)),
      dataDirectory_(std::move(dataDirectory)) {
    setObjectName(QStringLiteral("窗口_新建数据库"));
    auto* text =
        new QLabel(QStringLiteral("还没有保存网站和账号的 Sign.db。要在这里新建一个吗？\n%1\n\n"
                                  "不新建时列表是空的，签到和保存都不会生效；可以随时关闭程序。")
                       .arg(QString::fromStdString(path_.string())),
                   this);
    text->setObjectName(QStringLiteral("标签_说明"));
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text->setGeometry(12, 34, kWidth - 24, 96);
    demo_ = new QCheckBox(QStringLiteral("加入两个示例网站（没有账号，可以看看模板怎么写）"), this);
    demo_->setObjectName(QStringLiteral("选择框_示例网站"));
    demo_->setGeometry(12, 134, kWidth - 24, 20);
    demo_->setChecked(true);

    auto* create = button(this, QStringLiteral("超级按钮_新建"), QStringLiteral("新建"),
                          kWidth - 12 - 71 - 10 - 71);
    auto* decline =
        button(this, QStringLiteral("超级按钮_不新建"), QStringLiteral("不新建"), kWidth - 12 - 71);
    create->setDefault(true);
    decline->setAutoDefault(false);
    connect(create, &QPushButton::clicked, this, &NewDatabaseDialog::create);
    connect(decline, &QPushButton::clicked, this, &QDialog::reject);
    placeBeside(owner, 150, 100);
}

void NewDatabaseDialog::create() {
    Text error;
    if (!initSiteDatabase(path_, demo_->isChecked(), dataDirectory_, &error)) {
        MessageBoxes::inform(this, QStringLiteral("新建失败！\r\n") + fromAnsi(error),
                             QStringLiteral("新建 Sign.db"), BoxIcon::Warning);
        return;
    }
    created_ = true;
    accept();
}

bool offerNewDatabase(const std::filesystem::path& path, const std::filesystem::path& dataDirectory,
                      QWidget* owner) {
    NewDatabaseDialog dialog(path, dataDirectory, owner);
    dialog.exec();
    return dialog.created();
}

}  // namespace vesprey::ui
