// The login window: a borderless window with a title strip ("软件登录" and a close button), the
// browser view, and the capture button "登录成功后，点我获取Cookie" over the lower right of the
// view. It opens the login address at once and takes no input until a first page has loaded with
// its document ready; only the close button (and Escape) work before that, so a page that never
// loads cannot trap the user.
#pragma once

#include <QDialog>
#include <QPoint>

#include "ui/browser/browser_module.h"

class QLabel;
class QPushButton;

namespace vesprey::ui {

class EngineView;

class LoginWindow : public QDialog {
    Q_OBJECT
public:
    explicit LoginWindow(BrowserWindowSetup setup);
    ~LoginWindow() override;

    // True once a page has loaded and the window takes input.
    bool isReady() const { return ready_; }
    EngineView* engine() const { return engine_; }

signals:
    void readyChanged(bool ready);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void placeAgainstOwner();
    void setReady(bool ready);
    void onLoadFinished(const BrowserLoad& load);
    void capture();
    // The "录制" toggle: on records the page's requests, off hands them over.
    void record(bool on);

    BrowserWindowSetup setup_;
    QWidget* titleStrip_ = nullptr;
    QLabel* title_ = nullptr;
    QPushButton* close_ = nullptr;
    EngineView* engine_ = nullptr;
    QPushButton* capture_ = nullptr;
    QPushButton* record_ = nullptr;  // only when the setup asks for recordings
    bool ready_ = false;
    QPoint dragOffset_;
    bool dragging_ = false;
};

}  // namespace vesprey::ui
