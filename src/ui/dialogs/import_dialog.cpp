#include "ui/dialogs/import_dialog.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringDecoder>

#include "ui/dialogs/edit_text.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"

namespace vesprey::ui {
namespace {

// A template is a few short members; a browser's HAR file holds every answer of the page and may
// be large, but not larger than this.
constexpr qint64 kMaxTemplateFileBytes = 16 * 1024 * 1024;

}  // namespace

ImportDialog::ImportDialog(QWidget* owner)
    : ToolWindow(QStringLiteral("一键置入"), QStringLiteral("一键置入签到数据"), 451, 277, owner) {
    setObjectName(QStringLiteral("窗口_一键置入"));
    auto* label = new QLabel(QStringLiteral("Json数据："), this);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setGeometry(4, 35, 64, 20);
    json_ = new QPlainTextEdit(this);
    json_->setObjectName(QStringLiteral("编辑框_Cookie"));
    json_->setGeometry(71, 33, 369, 202);
    json_->setTabChangesFocus(true);
    json_->setPlaceholderText(
        QStringLiteral("Vesprey 的模板 JSON、社区模板、HAR 文件或 curl 命令（浏览器的“复制为 "
                       "cURL”）"));
    open_ = new QPushButton(QStringLiteral("打开文件…"), this);
    open_->setObjectName(QStringLiteral("按钮_打开文件"));
    open_->setGeometry(71, 245, 85, 25);
    open_->setAutoDefault(false);
    connect(open_, &QPushButton::clicked, this, &ImportDialog::chooseFile);
    parse_ = new QPushButton(QStringLiteral("解 析"), this);
    parse_->setObjectName(QStringLiteral("超级按钮_保存"));
    parse_->setGeometry(356, 245, 85, 25);
    parse_->setAutoDefault(false);
    connect(parse_, &QPushButton::clicked, this, &ImportDialog::store);
    placeBeside(owner, 170, 75);
    json_->setFocus();
}

void ImportDialog::setText(const QString& text) {
    json_->setPlainText(text);
}

void ImportDialog::chooseFile() {
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("打开模板"), QString(),
        QStringLiteral("模板 (*.json *.har *.txt *.sh);;所有文件 (*)"));
    if (!path.isEmpty()) {
        openFile(path);
    }
}

bool ImportDialog::openFile(const QString& path) {
    QFile file(path);
    const QString caption = QStringLiteral("一键置入");
    if (!file.open(QIODevice::ReadOnly)) {
        MessageBoxes::inform(this,
                             QStringLiteral("无法读取模板文件：") + path + QStringLiteral("。"),
                             caption, BoxIcon::Error);
        return false;
    }
    if (file.size() > kMaxTemplateFileBytes) {
        MessageBoxes::inform(this,
                             QStringLiteral("模板文件太大（超过 16 MB），不像是一个网站模板：") +
                                 path + QStringLiteral("。"),
                             caption, BoxIcon::Error);
        return false;
    }
    QByteArray bytes = file.readAll();
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        bytes.remove(0, 3);
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(bytes);
    if (utf8.hasError()) {
        // Windows editors save in code page 936.
        text = fromAnsi(Text(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    }
    json_->setPlainText(text);
    openedName_ = QFileInfo(path).completeBaseName();
    openedText_ = json_->toPlainText();
    return true;
}

void ImportDialog::store() {
    text_ = editText(json_);
    shown_ = json_->toPlainText();
    keptFileName_ = !openedName_.isEmpty() && shown_ == openedText_ ? openedName_ : QString();
    stored_ = true;
    accept();
}

}  // namespace vesprey::ui
