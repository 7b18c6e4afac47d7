// The small borderless windows of the maintenance commands: a 26-pixel title strip with the
// window's title at 8, 1 and a 13 × 13 close button at its right end. Dragging the strip moves
// the window. The close button (like Escape) rejects the dialog.
#pragma once

#include <QDialog>
#include <QPoint>

class QHBoxLayout;
class QLabel;

namespace vesprey::ui {

class PictureButton;

class ToolWindow : public QDialog {
    Q_OBJECT
public:
    // `caption` is the window's own title (what a task bar would show), `title` the strip's.
    ToolWindow(const QString& caption, const QString& title, int width, int height, QWidget* owner);

    QWidget* titleStrip() const { return strip_; }
    PictureButton* closeButton() const { return close_; }

    // Puts the window at the owner's left + dx and top + dy, moved back inside the owner's
    // screen where it would stick out.
    void placeBeside(const QWidget* owner, int dx, int dy);

    // Resizes the window; the title strip and its close button follow the width.
    void setWindowHeight(int height);

    // For a window laid out by layouts: a row with "确定" (the default button, which accepts)
    // and "取消" (which rejects) at its right end, made in `parent`.
    QHBoxLayout* okCancelRow(QWidget* parent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* strip_ = nullptr;
    QLabel* title_ = nullptr;
    PictureButton* close_ = nullptr;
    bool dragging_ = false;
    QPoint grabOffset_;
};

}  // namespace vesprey::ui
