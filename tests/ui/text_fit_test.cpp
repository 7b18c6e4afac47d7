// Every caption of the main window's pages and of the windows they open is shown whole: a
// button's, a check box's or a one-line label's text fits in the size it was given. The suite
// runs at the scale factors users have (QT_SCALE_FACTOR 1, 1.25, 1.5 and 2, one run each).
#include <QAbstractButton>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <algorithm>
#include <memory>

#include "editor_test_support.h"
#include "ui/window/main_window.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

// The captions of `root` that are cut: "名字：“文字” 宽 w，要 h".
QStringList cutCaptions(QWidget* root) {
    QStringList cut;
    const auto check = [&cut](QWidget* w, const QString& text, int needed) {
        if (!w->isVisibleTo(w->window()) || text.isEmpty() || w->width() <= 0) {
            return;
        }
        if (needed > w->width()) {
            cut << QStringLiteral("%1：“%2” 宽 %3，要 %4")
                       .arg(w->objectName(), text)
                       .arg(w->width())
                       .arg(needed);
        }
    };
    for (QAbstractButton* b : root->findChildren<QAbstractButton*>()) {
        if (b->text().isEmpty()) {
            continue;  // a picture button
        }
        if (auto* push = qobject_cast<QPushButton*>(b)) {
            // The room the style (its sheet's padding included) leaves the text.
            QStyleOptionButton option;
            option.initFrom(push);
            option.text = push->text();
            const QRect room =
                push->style()->subElementRect(QStyle::SE_PushButtonContents, &option, push);
            const int text = push->fontMetrics().horizontalAdvance(push->text());
            check(push, push->text(), push->width() - room.width() + text);
        } else {
            check(b, b->text(), b->sizeHint().width());
        }
    }
    for (QLabel* l : root->findChildren<QLabel*>()) {
        // Labels that wrap, hold a picture, cut their own text with "…" (the tooltip whole) or
        // hold rich text.
        if (l->wordWrap() || l->text().contains(QChar(0x2026)) || !l->pixmap().isNull() ||
            l->text().contains(QLatin1Char('<'))) {
            continue;
        }
        const int text = l->fontMetrics().horizontalAdvance(l->text()) + 2 * l->margin() +
                         std::max(l->indent(), 0);
        check(l, l->text(), l->width() - l->contentsRect().width() + text);
    }
    return cut;
}

}  // namespace

class TextFitTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        db_ =
            makeDatabase(*dir_, {{.name = "甲站", .link = "https://a.test/", .cookies = {"a=1"}}});
        boxes_ = std::make_unique<BoxRecorder>();
        window_ = openWindow(db_);
    }

    void cleanup() {
        window_.reset();
        boxes_.reset();
        dir_.reset();
    }

    void thePagesShowEveryCaptionWhole() {
        QStringList cut;
        for (int page = 0; page < 4; ++page) {
            window_->selectPage(page);
            QCoreApplication::processEvents();
            cut << cutCaptions(window_.get());
        }
        cut.removeDuplicates();
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));
    }

    // Each window as its button on its page opens it.
    void theWindowsOfThePagesShowEveryCaptionWhole_data() {
        QTest::addColumn<int>("page");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("window");
        QTest::newRow("判定规则") << 1 << QStringLiteral("超级按钮_判定规则")
                                  << QStringLiteral("窗口_判定规则");
        QTest::newRow("人工填写") << 1 << QStringLiteral("超级按钮_人工填写")
                                  << QStringLiteral("窗口_人工填写");
        QTest::newRow("一键置入") << 1 << QStringLiteral("超级按钮_一键置入")
                                  << QStringLiteral("窗口_一键置入");
        QTest::newRow("多步骤") << 1 << QStringLiteral("超级按钮_多步骤")
                                << QStringLiteral("窗口_步骤");
        QTest::newRow("更多渠道") << 2 << QStringLiteral("超级按钮_推送渠道")
                                  << QStringLiteral("窗口_推送渠道");
    }
    void theWindowsOfThePagesShowEveryCaptionWhole() {
        QFETCH(int, page);
        QFETCH(QString, button);
        QFETCH(QString, window);
        window_->selectPage(page);
        QStringList cut;
        bool seen = false;
        whenShown(window, [&](QWidget* w) {
            seen = true;
            QCoreApplication::processEvents();
            cut = cutCaptions(w);
            w->close();
        });
        child<QAbstractButton>(window_.get(), button.toUtf8().constData())->click();
        QTRY_VERIFY(seen);
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QLatin1Char('\n'))));
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path db_;
    std::unique_ptr<BoxRecorder> boxes_;
    std::unique_ptr<ui::MainWindow> window_;
};

QTEST_MAIN(TextFitTest)
#include "text_fit_test.moc"
