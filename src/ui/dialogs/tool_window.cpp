#include "ui/dialogs/tool_window.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <algorithm>

#include "ui/skin.h"

namespace vesprey::ui {
namespace {

constexpr int kStripHeight = 26;
constexpr int kCloseSize = 13;

}  // namespace

ToolWindow::ToolWindow(const QString& caption, const QString& title, int width, int height,
                       QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint) {
    setWindowTitle(caption);
    setFixedSize(width, height);

    strip_ = new QWidget(this);
    strip_->setObjectName(QStringLiteral("图片框1"));
    strip_->setGeometry(0, 0, width, kStripHeight);
    strip_->setAttribute(Qt::WA_StyledBackground);
    strip_->setStyleSheet(QStringLiteral("QWidget#图片框1 { background: #22334d; }"));
    strip_->installEventFilter(this);

    title_ = new QLabel(title, strip_);
    title_->setObjectName(QStringLiteral("标签_标题"));
    title_->setGeometry(8, 1, width - 40, kStripHeight - 2);
    title_->setStyleSheet(QStringLiteral("color: white; font-weight: bold;"));

    close_ = new PictureButton(Picture::Close, {}, strip_);
    close_->setObjectName(QStringLiteral("图形按钮_关闭"));
    close_->setToolTip(QStringLiteral("关闭"));
    close_->setGeometry(width - kCloseSize - 10, (kStripHeight - kCloseSize) / 2, kCloseSize,
                        kCloseSize);
    connect(close_, &QAbstractButton::clicked, this, &QDialog::reject);
}

void ToolWindow::placeBeside(const QWidget* owner, int dx, int dy) {
    QPoint at(dx, dy);
    if (owner != nullptr) {
        at += owner->geometry().topLeft();
    }
    const QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) {
        const QRect area = screen->availableGeometry();
        at.setX(std::max(area.left(), std::min(at.x(), area.right() + 1 - width())));
        at.setY(std::max(area.top(), std::min(at.y(), area.bottom() + 1 - height())));
    }
    move(at);
}

QHBoxLayout* ToolWindow::okCancelRow(QWidget* parent) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    auto* ok = new QPushButton(QStringLiteral("确定"), parent);
    ok->setObjectName(QStringLiteral("超级按钮_确定"));
    auto* cancel = new QPushButton(QStringLiteral("取消"), parent);
    cancel->setObjectName(QStringLiteral("超级按钮_取消"));
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    row->addWidget(ok);
    row->addWidget(cancel);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    return row;
}

void ToolWindow::setWindowHeight(int height) {
    setFixedSize(width(), height);
}

bool ToolWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched != strip_) {
        return QDialog::eventFilter(watched, event);
    }
    switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto* press = static_cast<QMouseEvent*>(event);
            if (press->button() != Qt::LeftButton) {
                break;
            }
            // The window manager moves the window where it can; otherwise we follow the mouse.
            if (windowHandle() != nullptr && windowHandle()->startSystemMove()) {
                return true;
            }
            dragging_ = true;
            grabOffset_ = press->globalPosition().toPoint() - frameGeometry().topLeft();
            return true;
        }
        case QEvent::MouseMove: {
            auto* move = static_cast<QMouseEvent*>(event);
            if (dragging_ && (move->buttons() & Qt::LeftButton)) {
                this->move(move->globalPosition().toPoint() - grabOffset_);
                return true;
            }
            break;
        }
        case QEvent::MouseButtonRelease:
            dragging_ = false;
            break;
        default:
            break;
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace vesprey::ui
