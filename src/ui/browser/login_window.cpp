#include "ui/browser/login_window.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include "ui/browser/engine_view.h"

namespace vesprey::ui {

namespace {

constexpr int kWidth = 672;
constexpr int kHeight = 599;

}  // namespace

LoginWindow::LoginWindow(BrowserWindowSetup setup)
    : QDialog(setup.owner, Qt::Dialog | Qt::FramelessWindowHint), setup_(std::move(setup)) {
    setObjectName(QStringLiteral("浏览器登录窗口"));
    setWindowTitle(QStringLiteral("软件登录"));
    setFixedSize(kWidth, kHeight);
    setModal(true);

    engine_ = new EngineView(this);
    engine_->setObjectName(QStringLiteral("浏览器"));
    engine_->setGeometry(-8, 26, 680, 574);

    titleStrip_ = new QWidget(this);
    titleStrip_->setObjectName(QStringLiteral("图片框1"));
    titleStrip_->setGeometry(0, 0, 673, 26);
    titleStrip_->setAutoFillBackground(true);
    QPalette strip = titleStrip_->palette();
    strip.setColor(QPalette::Window, QColor(0x2b, 0x57, 0x9a));
    strip.setColor(QPalette::WindowText, Qt::white);
    titleStrip_->setPalette(strip);
    titleStrip_->installEventFilter(this);

    title_ = new QLabel(QStringLiteral("软件登录"), titleStrip_);
    title_->setObjectName(QStringLiteral("标签1"));
    title_->setGeometry(8, 1, 200, 24);
    title_->setAttribute(Qt::WA_TransparentForMouseEvents);

    close_ = new QPushButton(QStringLiteral("×"), titleStrip_);
    close_->setObjectName(QStringLiteral("图形按钮_关闭"));
    close_->setGeometry(649, 6, 13, 13);
    close_->setFlat(true);
    close_->setFocusPolicy(Qt::NoFocus);
    // Enter belongs to the page (a login form): no button of the window is the default one.
    close_->setAutoDefault(false);
    close_->setStyleSheet(
        QStringLiteral("QPushButton { color: white; border: none; padding: 0; font-weight: bold; }"
                       "QPushButton:hover { color: #ffb0b0; }"));
    close_->setToolTip(QStringLiteral("关闭"));
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);

    capture_ = new QPushButton(QStringLiteral("登录成功后，点我获取Cookie"), this);
    capture_->setObjectName(QStringLiteral("超级按钮_获取Cookie"));
    capture_->setGeometry(477, 560, 181, 25);
    capture_->setAutoDefault(false);
    capture_->raise();
    connect(capture_, &QPushButton::clicked, this, &LoginWindow::capture);

    if (setup_.recorded) {
        record_ = new QPushButton(QStringLiteral("录制"), this);
        record_->setObjectName(QStringLiteral("按钮_录制"));
        record_->setCheckable(true);
        record_->setGeometry(377, 560, 92, 25);
        record_->setAutoDefault(false);
        record_->setToolTip(QStringLiteral(
            "打开后登录网站、点网站自己的“签到”按钮，再关掉：Vesprey 按录下的请求写出签到模板"));
        record_->raise();
        connect(record_, &QPushButton::toggled, this, &LoginWindow::record);
    }

    connect(engine_, &EngineView::loadFinished, this, &LoginWindow::onLoadFinished);

    placeAgainstOwner();
    engine_->navigate(setup_.address);
    setReady(false);
}

LoginWindow::~LoginWindow() {
    // The view first, while the window's own members still stand: the engine may report on its
    // way out.
    delete engine_;
    engine_ = nullptr;
}

void LoginWindow::placeAgainstOwner() {
    if (setup_.owner == nullptr) {
        return;
    }
    const QPoint ownerTopLeft = setup_.owner->window()->frameGeometry().topLeft();
    QPoint at(ownerTopLeft.x() + 25, ownerTopLeft.y() - 100);
    // A main window near the top of the screen would put the title strip, and with it the
    // only way out, above the screen; keep the window on the owner's screen.
    if (const QScreen* screen = setup_.owner->screen()) {
        const QRect room = screen->availableGeometry();
        at.setX(std::clamp(at.x(), room.left(), std::max(room.left(), room.right() - kWidth + 1)));
        at.setY(std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() - kHeight + 1)));
    }
    move(at);
}

void LoginWindow::setReady(bool ready) {
    ready_ = ready;
    engine_->setEnabled(ready);
    capture_->setEnabled(ready);
    if (record_ != nullptr) {
        record_->setEnabled(ready);
    }
    emit readyChanged(ready);
}

void LoginWindow::onLoadFinished(const BrowserLoad& load) {
    if (setup_.loaded) {
        setup_.loaded(load);
    }
    if (ready_ || load.result != 0 || !engine_->isLoadingCompleted()) {
        return;
    }
    engine_->queryDocumentReady([this](bool documentReady) {
        if (documentReady && !ready_ && engine_->isLoadingCompleted()) {
            setReady(true);
        }
    });
}

void LoginWindow::capture() {
    if (!ready_) {
        return;
    }
    const QByteArray cookie = engine_->cookieString();
    if (!setup_.capture || setup_.capture(cookie, engine_->cookieExpiry())) {
        accept();
    }
}

void LoginWindow::record(bool on) {
    record_->setText(on ? QStringLiteral("停止录制") : QStringLiteral("录制"));
    if (on) {
        engine_->setRecording(true);
        return;
    }
    const QList<BrowserRecordedRequest> requests = engine_->takeRecording();
    engine_->setRecording(false);
    if (setup_.recorded(requests, engine_->cookieString())) {
        accept();
    }
}

bool LoginWindow::eventFilter(QObject* watched, QEvent* event) {
    // The title strip moves the borderless window.
    if (watched == titleStrip_) {
        switch (event->type()) {
            case QEvent::MouseButtonPress: {
                auto* mouse = static_cast<QMouseEvent*>(event);
                if (mouse->button() == Qt::LeftButton) {
                    dragging_ = true;
                    dragOffset_ = mouse->globalPosition().toPoint() - frameGeometry().topLeft();
                }
                break;
            }
            case QEvent::MouseMove:
                if (dragging_) {
                    auto* mouse = static_cast<QMouseEvent*>(event);
                    move(mouse->globalPosition().toPoint() - dragOffset_);
                }
                break;
            case QEvent::MouseButtonRelease:
                dragging_ = false;
                break;
            default:
                break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace vesprey::ui
