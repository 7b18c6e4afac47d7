// The look of the desktop program: the font (with a CJK fallback when "微软雅黑" is missing), the
// style sheet, and the pictures drawn on the borderless windows' buttons and backgrounds. All
// pictures are painted at the device's pixel ratio, so they stay sharp on high-DPI screens.
#pragma once

#include <QAbstractButton>
#include <QString>
#include <QStringList>
#include <QWidget>

class QApplication;

namespace vesprey::ui {

// The family the program asks for.
QString preferredFontFamily();
// The family to use given the installed ones: "微软雅黑" when present, otherwise the first CJK
// family of our fallback list that is installed, otherwise "微软雅黑" (left to fontconfig).
QString chooseFontFamily(const QStringList& installed);

// Font, palette and style sheet for the whole program; call once after QApplication exists.
void applySkin(QApplication& app);

enum class Picture {
    Minimize,
    Maximize,
    Close,
    SignIn,
    Editor,
    Push,
    About,
    Calendar,
    Phone,
    Network
};

// Draws one picture into `rect`.
void paintPicture(QPainter& painter, const QRectF& rect, Picture picture, const QColor& color);

// A flat button that shows a picture and, optionally, a caption beside it. Checkable picture
// buttons of the left column show the current page.
class PictureButton : public QAbstractButton {
    Q_OBJECT
public:
    PictureButton(Picture picture, const QString& caption, QWidget* parent);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    Picture picture_;
    bool hovered_ = false;
};

// A widget that only shows a picture (the about page, the status icon).
class PictureBox : public QWidget {
    Q_OBJECT
public:
    PictureBox(Picture picture, QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Picture picture_;
};

// The main window's background: the title strip across the top and the navigation column on the
// left. Dragging it moves the window; a double click on the title strip maximises it or brings
// it back to its size.
class WindowBackground : public QWidget {
    Q_OBJECT
public:
    explicit WindowBackground(QWidget* parent);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    bool dragging_ = false;
    QPoint grabOffset_;
};

// Maximises the window, or brings a maximised one back to its size.
void toggleMaximized(QWidget& window);

// An invisible strip along an edge (or a corner) of a borderless window: dragging it resizes the
// window, through the window manager when it can, otherwise following the mouse, never below the
// window's minimum size.
class ResizeGrip : public QWidget {
    Q_OBJECT
public:
    ResizeGrip(Qt::Edges edges, QWidget* parent);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    Qt::Edges edges_;
    bool dragging_ = false;
    QPoint grabbedAt_;
    QRect grabbedGeometry_;
};

}  // namespace vesprey::ui
