#include "ui/dialogs/message_boxes.h"

#include <QMessageBox>
#include <utility>

namespace vesprey::ui {
namespace {

MessageBoxes::Answerer& answerer() {
    static MessageBoxes::Answerer instance;
    return instance;
}

QMessageBox::Icon qtIcon(BoxIcon icon) {
    switch (icon) {
        case BoxIcon::None:
            return QMessageBox::NoIcon;
        case BoxIcon::Information:
            return QMessageBox::Information;
        case BoxIcon::Warning:
            return QMessageBox::Warning;
        case BoxIcon::Error:
            return QMessageBox::Critical;
        case BoxIcon::Question:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

BoxAnswer MessageBoxes::show(QWidget* parent, const BoxRequest& request) {
    if (answerer()) {
        return answerer()(request);
    }
    const auto buttons = request.buttons == BoxButtons::OkCancel
                             ? QMessageBox::Ok | QMessageBox::Cancel
                             : QMessageBox::StandardButtons(QMessageBox::Ok);
    QMessageBox box(qtIcon(request.icon), request.caption, request.text, buttons, parent);
    box.setObjectName(QStringLiteral("消息框"));
    return box.exec() == QMessageBox::Ok ? BoxAnswer::Ok : BoxAnswer::Cancel;
}

void MessageBoxes::inform(QWidget* parent, const QString& text, const QString& caption,
                          BoxIcon icon) {
    show(parent, BoxRequest{text, caption, icon, BoxButtons::Ok});
}

void MessageBoxes::setAnswerer(Answerer replacement) {
    answerer() = std::move(replacement);
}

QString MessageBoxes::defaultCaption() {
    return QStringLiteral("信息：");
}

}  // namespace vesprey::ui
