#include "ui/skin.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>
#include <algorithm>

namespace vesprey::ui {
namespace {

const QColor kNavy(0x22, 0x33, 0x4d);
const QColor kNavyLight(0x2f, 0x4a, 0x6d);
const QColor kAccent(0x3d, 0x8b, 0xfd);
const QColor kPaper(0xf6, 0xf8, 0xfb);

constexpr int kTitleHeight = 30;
constexpr int kColumnWidth = 128;

// CJK families found on Linux desktops, best first.
const QStringList& fallbackFamilies() {
    static const QStringList families = {
        QStringLiteral("Microsoft YaHei"),   QStringLiteral("WenQuanYi Micro Hei"),
        QStringLiteral("Noto Sans CJK SC"),  QStringLiteral("Source Han Sans SC"),
        QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Droid Sans Fallback"),
        QStringLiteral("AR PL UMing CN"),    QStringLiteral("Noto Sans SC")};
    return families;
}

const char* const kStyleSheet = R"(
QWidget#选择夹1 > QStackedWidget > QWidget { background: #f6f8fb; }
QTabWidget::pane { border: none; background: #f6f8fb; }
QTreeView {
    border: none; background: white; alternate-background-color: #f3f6fa;
    selection-background-color: #d7e7ff; selection-color: #1b2a3d;
}
QTreeView::item { height: 24px; }
QHeaderView::section {
    background: #eef2f7; color: #33455c; border: none; border-right: 1px solid #dde3ea;
    border-bottom: 1px solid #dde3ea; padding: 3px 4px;
}
QGroupBox {
    border: 1px solid #d5dde7; border-radius: 4px; margin-top: 10px; background: white;
}
QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 3px; color: #33455c; }
QGroupBox#分组框5, QGroupBox#分组框1, QGroupBox#分组框2 { margin-top: 0; border-color: #e3e8ee; }
QLineEdit, QPlainTextEdit, QTextEdit, QComboBox {
    border: 1px solid #cfd8e3; border-radius: 3px; background: white; padding: 1px 4px;
    selection-background-color: #3d8bfd;
}
QLineEdit:focus, QPlainTextEdit:focus, QTextEdit:focus, QComboBox:focus { border-color: #3d8bfd; }
QPushButton {
    border: 1px solid #2f74d8; border-radius: 3px; background: #3d8bfd; color: white;
    padding: 2px 8px;
}
QPushButton:hover { background: #5a9dff; }
QPushButton:pressed { background: #2f74d8; }
QPushButton:disabled { background: #b8c4d4; border-color: #a9b6c7; }
QLabel#zt1 { color: #33455c; }
QLabel#zt2 { color: #33455c; border-left: 1px solid #c9d3df; padding-left: 6px; }
QWidget#外形框1 { background: #eef2f7; border-top: 1px solid #dde3ea; }
QMenu { background: white; border: 1px solid #cfd8e3; padding: 3px; }
QMenu::item { padding: 4px 22px 4px 18px; }
QMenu::item:selected { background: #d7e7ff; color: #1b2a3d; }
QMenu::item:disabled { color: #9aa7b6; }
QMenu::separator { height: 1px; background: #e3e8ee; margin: 3px 6px; }
)";

void strokePath(QPainter& painter, const QPainterPath& path, const QColor& color, qreal width) {
    painter.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
}

}  // namespace

QString preferredFontFamily() {
    return QStringLiteral("微软雅黑");
}

QString chooseFontFamily(const QStringList& installed) {
    if (installed.contains(preferredFontFamily())) {
        return preferredFontFamily();
    }
    for (const QString& family : fallbackFamilies()) {
        if (installed.contains(family, Qt::CaseInsensitive)) {
            return family;
        }
    }
    return preferredFontFamily();
}

void applySkin(QApplication& app) {
    QFont::insertSubstitutions(preferredFontFamily(), fallbackFamilies());
    QFont font(chooseFontFamily(QFontDatabase::families()));
    font.setPointSize(9);
    QApplication::setFont(font);
    app.setStyleSheet(QString::fromUtf8(kStyleSheet));
}

void paintPicture(QPainter& painter, const QRectF& rect, Picture picture, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = std::min(rect.width(), rect.height());
    const QRectF box(rect.center().x() - s / 2, rect.center().y() - s / 2, s, s);
    const qreal pen = std::max<qreal>(1.2, s / 12);
    QPainterPath path;
    switch (picture) {
        case Picture::Minimize:
            path.moveTo(box.left() + s * 0.15, box.center().y());
            path.lineTo(box.right() - s * 0.15, box.center().y());
            strokePath(painter, path, color, pen * 1.2);
            break;
        case Picture::Maximize:
            path.addRect(QRectF(box.left() + s * 0.18, box.top() + s * 0.18, s * 0.64, s * 0.64));
            strokePath(painter, path, color, pen * 1.1);
            break;
        case Picture::Close:
            path.moveTo(box.topLeft() + QPointF(s * 0.18, s * 0.18));
            path.lineTo(box.bottomRight() - QPointF(s * 0.18, s * 0.18));
            path.moveTo(box.topRight() + QPointF(-s * 0.18, s * 0.18));
            path.lineTo(box.bottomLeft() + QPointF(s * 0.18, -s * 0.18));
            strokePath(painter, path, color, pen * 1.2);
            break;
        case Picture::SignIn: {  // a list with check marks
            for (int i = 0; i < 3; ++i) {
                const qreal y = box.top() + s * (0.25 + 0.25 * i);
                path.moveTo(box.left() + s * 0.12, y);
                path.lineTo(box.left() + s * 0.2, y + s * 0.07);
                path.lineTo(box.left() + s * 0.32, y - s * 0.07);
                path.moveTo(box.left() + s * 0.45, y);
                path.lineTo(box.right() - s * 0.1, y);
            }
            strokePath(painter, path, color, pen);
            break;
        }
        case Picture::Editor: {  // a page with a pencil
            path.addRoundedRect(box.adjusted(s * 0.15, s * 0.1, -s * 0.3, -s * 0.1), s * 0.06,
                                s * 0.06);
            path.moveTo(box.left() + s * 0.3, box.top() + s * 0.35);
            path.lineTo(box.left() + s * 0.55, box.top() + s * 0.35);
            path.moveTo(box.left() + s * 0.3, box.top() + s * 0.55);
            path.lineTo(box.left() + s * 0.5, box.top() + s * 0.55);
            path.moveTo(box.right() - s * 0.12, box.top() + s * 0.3);
            path.lineTo(box.left() + s * 0.5, box.bottom() - s * 0.2);
            strokePath(painter, path, color, pen);
            break;
        }
        case Picture::Push: {  // a bell
            path.moveTo(box.left() + s * 0.2, box.top() + s * 0.72);
            path.cubicTo(box.left() + s * 0.3, box.top() + s * 0.6, box.left() + s * 0.22,
                         box.top() + s * 0.18, box.center().x(), box.top() + s * 0.18);
            path.cubicTo(box.right() - s * 0.22, box.top() + s * 0.18, box.right() - s * 0.3,
                         box.top() + s * 0.6, box.right() - s * 0.2, box.top() + s * 0.72);
            path.closeSubpath();
            path.moveTo(box.center().x() - s * 0.08, box.top() + s * 0.82);
            path.lineTo(box.center().x() + s * 0.08, box.top() + s * 0.82);
            strokePath(painter, path, color, pen);
            break;
        }
        case Picture::About: {  // an "i" in a circle
            path.addEllipse(box.adjusted(s * 0.12, s * 0.12, -s * 0.12, -s * 0.12));
            path.moveTo(box.center().x(), box.top() + s * 0.45);
            path.lineTo(box.center().x(), box.top() + s * 0.7);
            strokePath(painter, path, color, pen);
            painter.setPen(Qt::NoPen);
            painter.setBrush(color);
            painter.drawEllipse(QPointF(box.center().x(), box.top() + s * 0.32), pen * 0.8,
                                pen * 0.8);
            break;
        }
        case Picture::Calendar: {  // the about page: a calendar page with today ticked
            const QRectF page = rect.adjusted(rect.width() * 0.12, rect.height() * 0.15,
                                              -rect.width() * 0.12, -rect.height() * 0.12);
            painter.setPen(Qt::NoPen);
            painter.setBrush(Qt::white);
            painter.drawRoundedRect(page, 10, 10);
            painter.setBrush(color);
            QPainterPath top;
            top.addRoundedRect(QRectF(page.left(), page.top(), page.width(), page.height() * 0.22),
                               10, 10);
            painter.drawPath(top);
            painter.drawRect(QRectF(page.left(), page.top() + page.height() * 0.12, page.width(),
                                    page.height() * 0.1));
            painter.setBrush(QColor(0xdd, 0xe5, 0xef));
            const qreal cell = page.width() / 7;
            for (int row = 0; row < 4; ++row) {
                for (int col = 0; col < 5; ++col) {
                    painter.drawEllipse(QPointF(page.left() + cell * (col + 1.0),
                                                page.top() + page.height() * (0.36 + 0.16 * row)),
                                        cell * 0.18, cell * 0.18);
                }
            }
            QPainterPath tick;
            const QPointF c(page.left() + cell * 5.2, page.top() + page.height() * 0.7);
            tick.moveTo(c + QPointF(-cell * 0.9, 0));
            tick.lineTo(c + QPointF(-cell * 0.3, cell * 0.6));
            tick.lineTo(c + QPointF(cell * 0.9, -cell * 0.8));
            strokePath(painter, tick, QColor(0x2e, 0x9d, 0x5b), cell * 0.28);
            break;
        }
        case Picture::Phone: {  // the about page: a phone receiving the summary
            const QRectF body(rect.center().x() - rect.width() * 0.26,
                              rect.top() + rect.height() * 0.1, rect.width() * 0.52,
                              rect.height() * 0.8);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0x2a, 0x3b, 0x55));
            painter.drawRoundedRect(body, 16, 16);
            const QRectF screen = body.adjusted(8, 22, -8, -22);
            painter.setBrush(Qt::white);
            painter.drawRoundedRect(screen, 4, 4);
            for (int i = 0; i < 3; ++i) {
                const QRectF note(screen.left() + 8, screen.top() + 10 + i * 40.0,
                                  screen.width() - 16, 30);
                painter.setBrush(i == 0 ? color : QColor(0xe6, 0xee, 0xf8));
                painter.drawRoundedRect(note, 6, 6);
            }
            break;
        }
        case Picture::Network:
            painter.setPen(Qt::NoPen);
            painter.setBrush(color);
            painter.drawEllipse(box.adjusted(s * 0.3, s * 0.3, -s * 0.3, -s * 0.3));
            path.addEllipse(box.adjusted(s * 0.12, s * 0.12, -s * 0.12, -s * 0.12));
            strokePath(painter, path, color.lighter(140), pen * 0.8);
            break;
    }
    painter.restore();
}

PictureButton::PictureButton(Picture picture, const QString& caption, QWidget* parent)
    : QAbstractButton(parent), picture_(picture) {
    setText(caption);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
}

QSize PictureButton::sizeHint() const {
    return text().isEmpty() ? QSize(13, 13) : QSize(128, 34);
}

void PictureButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void PictureButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void PictureButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = rect();
    if (text().isEmpty()) {  // the small buttons of the title strip
        const QColor color =
            hovered_ ? (picture_ == Picture::Close ? QColor(0xff, 0x6b, 0x6b) : QColor(Qt::white))
                     : QColor(0xc9, 0xd6, 0xe6);
        paintPicture(painter, area, picture_, color);
        return;
    }
    if (isChecked() || hovered_) {
        painter.fillRect(area, isChecked() ? QColor(255, 255, 255, 38) : QColor(255, 255, 255, 18));
    }
    if (isChecked()) {
        painter.fillRect(QRectF(0, 0, 3, area.height()), kAccent);
    }
    const QColor ink = isChecked() ? QColor(Qt::white) : QColor(0xc9, 0xd6, 0xe6);
    paintPicture(painter, QRectF(22, (area.height() - 16) / 2, 16, 16), picture_, ink);
    painter.setPen(ink);
    painter.setFont(font());
    painter.drawText(area.adjusted(48, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, text());
}

PictureBox::PictureBox(Picture picture, QWidget* parent) : QWidget(parent), picture_(picture) {}

void PictureBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (picture_ == Picture::Network) {
        paintPicture(painter, rect(), picture_, QColor(0x2e, 0x9d, 0x5b));
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, height());
    sky.setColorAt(0, QColor(0xe8, 0xf1, 0xff));
    sky.setColorAt(1, QColor(0xd3, 0xe3, 0xfb));
    painter.setPen(Qt::NoPen);
    painter.setBrush(sky);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    paintPicture(painter, rect(), picture_, kAccent);
}

WindowBackground::WindowBackground(QWidget* parent) : QWidget(parent) {}

void WindowBackground::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kPaper);
    QLinearGradient column(0, 0, 0, height());
    column.setColorAt(0, kNavy);
    column.setColorAt(1, kNavyLight);
    painter.fillRect(QRect(0, 0, width(), kTitleHeight), kNavy);
    painter.fillRect(QRect(0, 0, kColumnWidth, height()), column);
    // The tool's mark above the page buttons.
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF badge(kColumnWidth / 2.0 - 22, 46, 44, 44);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kAccent);
    painter.drawRoundedRect(badge, 10, 10);
    QPainterPath tick;
    tick.moveTo(badge.left() + 12, badge.center().y() + 1);
    tick.lineTo(badge.left() + 19, badge.center().y() + 8);
    tick.lineTo(badge.right() - 11, badge.top() + 14);
    strokePath(painter, tick, Qt::white, 4);
    painter.setPen(QColor(0x8f, 0xa3, 0xbd));
    painter.drawRect(QRect(0, 0, width() - 1, height() - 1));
}

void WindowBackground::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // Let the window manager move the window when it can; otherwise follow the mouse ourselves.
    QWindow* handle = window()->windowHandle();
    if (handle != nullptr && handle->startSystemMove()) {
        return;
    }
    dragging_ = true;
    grabOffset_ = event->globalPosition().toPoint() - window()->frameGeometry().topLeft();
}

void WindowBackground::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton)) {
        window()->move(event->globalPosition().toPoint() - grabOffset_);
    }
}

void WindowBackground::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    QWidget::mouseReleaseEvent(event);
}

void WindowBackground::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && event->position().y() < kTitleHeight) {
        toggleMaximized(*window());
        return;
    }
    QWidget::mouseDoubleClickEvent(event);
}

void toggleMaximized(QWidget& window) {
    if (window.isMaximized()) {
        window.showNormal();
    } else {
        window.showMaximized();
    }
}

ResizeGrip::ResizeGrip(Qt::Edges edges, QWidget* parent) : QWidget(parent), edges_(edges) {
    const bool horizontal = edges.testAnyFlags(Qt::LeftEdge | Qt::RightEdge);
    const bool vertical = edges.testAnyFlags(Qt::TopEdge | Qt::BottomEdge);
    if (horizontal && vertical) {
        const bool falling =
            edges == (Qt::TopEdge | Qt::LeftEdge) || edges == (Qt::BottomEdge | Qt::RightEdge);
        setCursor(falling ? Qt::SizeFDiagCursor : Qt::SizeBDiagCursor);
    } else {
        setCursor(horizontal ? Qt::SizeHorCursor : Qt::SizeVerCursor);
    }
}

void ResizeGrip::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || window()->isMaximized()) {
        QWidget::mousePressEvent(event);
        return;
    }
    QWindow* handle = window()->windowHandle();
    if (handle != nullptr && handle->startSystemResize(edges_)) {
        return;
    }
    dragging_ = true;
    grabbedAt_ = event->globalPosition().toPoint();
    grabbedGeometry_ = window()->geometry();
}

void ResizeGrip::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_ || !(event->buttons() & Qt::LeftButton)) {
        return;
    }
    const QPoint moved = event->globalPosition().toPoint() - grabbedAt_;
    const QSize least = window()->minimumSize();
    QRect wanted = grabbedGeometry_;
    if (edges_ & Qt::RightEdge) {
        wanted.setRight(std::max(wanted.right() + moved.x(), wanted.left() + least.width() - 1));
    }
    if (edges_ & Qt::BottomEdge) {
        wanted.setBottom(std::max(wanted.bottom() + moved.y(), wanted.top() + least.height() - 1));
    }
    if (edges_ & Qt::LeftEdge) {
        wanted.setLeft(std::min(wanted.left() + moved.x(), wanted.right() - least.width() + 1));
    }
    if (edges_ & Qt::TopEdge) {
        wanted.setTop(std::min(wanted.top() + moved.y(), wanted.bottom() - least.height() + 1));
    }
    window()->setGeometry(wanted);
}

void ResizeGrip::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    QWidget::mouseReleaseEvent(event);
}

}  // namespace vesprey::ui
