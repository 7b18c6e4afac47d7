// "签到历史": the grid of the last 30 days coloured by verdict, the tooltips, the passes of the
// clicked account, the CSV export, and the menu command that opens the window.
#include "ui/dialogs/history_window.h"

#include <QAction>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QTableWidget>
#include <QTest>

#include "editor_test_support.h"
#include "store/history.h"
#include "ui/qt_text.h"

using namespace vesprey;
using namespace vesprey::uitest;

namespace {

// Noon of the last shown day.
const double kNow = makeDateTime(2024, 5, 15, 12, 0, 0);
// The grid's column of a day of May 2024 (the last shown day is the 15th, in column 30).
constexpr int dayColumn(int day) {
    return ui::kHistoryShownDays - (15 - day);
}

HistoryEntry pass(int templateId, int cid, const char* site, const char* time, Verdict verdict,
                  const char* result) {
    return {.time = utf8ToAnsi(time),
            .templateId = templateId,
            .cid = cid,
            .site = utf8ToAnsi(site),
            .verdict = Text(verdictName(verdict)),
            .reason = {},
            .result = utf8ToAnsi(result),
            .status = 200,
            .ms = 10};
}

// 甲 and 乙 over four days, each pass of its own; the 13th has two passes of 甲.
const std::vector<HistoryEntry>& fixedHistory() {
    static const std::vector<HistoryEntry> rows = {
        pass(2, 20, "乙", "2024-05-12 08:00:00", Verdict::Skipped, ""),
        pass(1, 10, "甲", "2024-05-13 08:00:00", Verdict::Failed, "无法连接"),
        pass(1, 10, "甲", "2024-05-13 09:00:00", Verdict::Success, "ok"),
        pass(1, 10, "甲", "2024-05-14 08:00:00", Verdict::Expired, "unauthorized"),
        pass(2, 20, "乙", "2024-05-14 08:00:00", Verdict::Already, "今日已签到"),
        pass(1, 10, "甲", "2024-05-15 08:00:00", Verdict::Success, "ok, \"5\""),
        pass(2, 20, "乙", "2024-05-15 08:00:00", Verdict::Unknown, "?")};
    return rows;
}

QTableWidget* table(ui::HistoryWindow& window, const QString& name) {
    return window.findChild<QTableWidget*>(name);
}

}  // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        database_ = makeDatabase(*dir_, {});
        for (const HistoryEntry& row : fixedHistory()) {
            HistoryDatabase history;
            QVERIFY(history.create(database_));
            QVERIFY(history.appendPass({row}));
        }
        window_ = std::make_unique<ui::HistoryWindow>(database_, kNow);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    }

    void cleanup() {
        window_.reset();
        dir_.reset();
    }

    void gridIsColouredByTheVerdictOfEachDay() {
        QTableWidget* grid = table(*window_, QStringLiteral("表格_历史"));
        QCOMPARE(grid->rowCount(), 2);
        QCOMPARE(grid->columnCount(), ui::kHistoryShownDays + 1);
        QCOMPARE(grid->item(0, 0)->text(), QStringLiteral("甲"));
        QCOMPARE(grid->horizontalHeaderItem(dayColumn(15))->text(), QStringLiteral("15"));
        QCOMPARE(grid->horizontalHeaderItem(dayColumn(15))->toolTip(),
                 QStringLiteral("2024-05-15"));
        QCOMPARE(grid->item(1, 0)->text(), QStringLiteral("乙"));
        grid->clearSelection();
        const QImage drawn = grid->viewport()->grab().toImage();
        const QColor empty = grid->palette().color(QPalette::Base);
        const struct {
            int row;
            int day;
            QColor colour;
        } cells[] = {{0, 12, empty},
                     {0, 13, ui::historyDayColour("failed")},  // the worse of the day's two
                     {0, 14, ui::historyDayColour("expired")},
                     {0, 15, ui::historyDayColour("success")},
                     {1, 12, empty},  // skipped: no pass
                     {1, 13, empty},
                     {1, 14, ui::historyDayColour("already")},
                     {1, 15, ui::historyDayColour("unknown")}};
        for (const auto& cell : cells) {
            const QRect rect =
                grid->visualRect(grid->model()->index(cell.row, dayColumn(cell.day)));
            QCOMPARE(drawn.pixelColor(rect.center()), cell.colour);
        }
        QCOMPARE(ui::historyDayColour("success"), ui::historyDayColour("already"));
        QCOMPARE(grid->item(0, dayColumn(15))->toolTip(),
                 QStringLiteral("2024-05-15 08:00:00  成功\nok, \"5\""));
        QCOMPARE(grid->item(0, dayColumn(13))->toolTip(),
                 QStringLiteral("2024-05-13 08:00:00  失败\n无法连接"));
    }

    // Below the grid each colour is named, the empty cell too; above it the months are named over
    // their first shown days.
    void legendAndMonthsExplainTheGrid() {
        QTableWidget* grid = table(*window_, QStringLiteral("表格_历史"));
        const struct {
            QString caption;
            QColor colour;
        } entries[] = {{QStringLiteral("成功 / 已签到"), ui::historyDayColour("success")},
                       {QStringLiteral("Cookie失效"), ui::historyDayColour("expired")},
                       {QStringLiteral("失败"), ui::historyDayColour("failed")},
                       {QStringLiteral("未知"), ui::historyDayColour("unknown")},
                       {QStringLiteral("没有签到"), grid->palette().color(QPalette::Base)}};
        auto* legend = window_->findChild<QWidget*>(QStringLiteral("图例_历史"));
        QVERIFY(legend->isVisible());
        for (const auto& entry : entries) {
            auto* caption = legend->findChild<QLabel*>(QStringLiteral("图例_") + entry.caption);
            QVERIFY2(caption != nullptr, qPrintable(entry.caption));
            QCOMPARE(caption->text(), entry.caption);
            auto* swatch = legend->findChild<QLabel*>(QStringLiteral("图例色块_") + entry.caption);
            const QImage drawn = swatch->grab().toImage();
            QCOMPARE(drawn.pixelColor(drawn.rect().center()), entry.colour);
        }

        const QList<QLabel*> months =
            window_->findChild<QWidget*>(QStringLiteral("栏_月份"))->findChildren<QLabel*>();
        QCOMPARE(months.size(), 2);
        const struct {
            QString text;
            int column;
        } expected[] = {{QStringLiteral("4月"), 1}, {QStringLiteral("5月"), dayColumn(1)}};
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(months[i]->text(), expected[i].text);
            QVERIFY(months[i]->isVisible());
            const QPoint column = grid->viewport()->mapToGlobal(
                QPoint(grid->columnViewportPosition(expected[i].column), 0));
            QCOMPARE(months[i]->mapToGlobal(QPoint(0, 0)).x(), column.x());
            QVERIFY(months[i]->mapToGlobal(QPoint(0, months[i]->height())).y() <= column.y());
        }
        QCOMPARE(grid->horizontalHeaderItem(1)->toolTip(), QStringLiteral("2024-04-16"));
    }

    void clickedAccountShowsItsPassesNewestFirst() {
        QTableWidget* grid = table(*window_, QStringLiteral("表格_历史"));
        QTableWidget* passes = table(*window_, QStringLiteral("表格_账号历史"));
        QCOMPARE(passes->rowCount(), 0);
        // A day of the account is clicked: the day keeps its colour, the name shows the choice.
        const QRect rect = grid->visualRect(grid->model()->index(0, dayColumn(15)));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, rect.center());
        QCOMPARE(grid->viewport()->grab().toImage().pixelColor(rect.center()),
                 ui::historyDayColour("success"));
        QCOMPARE(grid->selectedItems(), QList<QTableWidgetItem*>{grid->item(0, 0)});
        QCOMPARE(passes->rowCount(), 4);
        QCOMPARE(passes->item(0, 0)->text(), QStringLiteral("2024-05-15 08:00:00"));
        QCOMPARE(passes->item(0, 3)->text(), QStringLiteral("ok, \"5\""));
        QCOMPARE(passes->item(3, 0)->text(), QStringLiteral("2024-05-13 08:00:00"));
        QCOMPARE(passes->item(3, 1)->text(), QStringLiteral("失败"));
    }

    void exportWritesTheShownPassesAsCsv() {
        const QString path = dir_->filePath(QStringLiteral("history.csv"));
        QString error;
        QVERIFY(window_->exportCsv(path, &error));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QStringList lines = QString::fromUtf8(bytes.mid(3)).split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 1 + 7 + 1);  // the header, the passes, the empty end
        QCOMPARE(lines[0],
                 QStringLiteral("时间,模板,账号,网站,判定,规则,返回内容,HTTP状态,耗时(ms)"));
        QCOMPARE(lines[6],
                 QStringLiteral("2024-05-15 08:00:00,1,10,甲,成功,,\"ok, \"\"5\"\"\",200,10"));
        QCOMPARE(lines.last(), QString());
    }

    // "导出 CSV" offers a dated file in Documents, or in the home folder without one, writes
    // where the user says and tells where that is.
    void exportOffersAFileAndSaysWhereItWent_data() {
        QTest::addColumn<bool>("documents");
        QTest::newRow("Documents") << true;
        QTest::newRow("home") << false;
    }
    void exportOffersAFileAndSaysWhereItWent() {
        QFETCH(bool, documents);
        QTemporaryDir home;
        const QByteArray oldHome = qgetenv("HOME");
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
        if (documents) {
            QVERIFY(QDir(home.path()).mkdir(QStringLiteral("Documents")));
        }
        const QString folder = documents ? home.filePath(QStringLiteral("Documents")) : home.path();
        QCOMPARE(ui::historyCsvSuggestion(QDate(2024, 5, 15)),
                 folder + QStringLiteral("/签到历史-2024-05-15.csv"));

        BoxRecorder boxes;
        const QString target = home.filePath(QStringLiteral("导出.csv"));
        QString offeredFolder;
        QString offeredFile;
        whenShown(QStringLiteral("窗口_导出CSV"), [&](QWidget* w) {
            auto* ask = qobject_cast<QFileDialog*>(w);
            offeredFolder = ask->directory().absolutePath();
            offeredFile = QFileInfo(ask->selectedFiles().value(0)).fileName();
            ask->selectFile(target);
            static_cast<QDialog*>(ask)->accept();  // QFileDialog::accept, through the base
        });
        click(window_.get(), "按钮_导出CSV");
        qputenv("HOME", oldHome);
        if (oldConfig.isNull()) {
            qunsetenv("XDG_CONFIG_HOME");
        } else {
            qputenv("XDG_CONFIG_HOME", oldConfig);
        }
        QCOMPARE(offeredFolder, QDir(folder).absolutePath());
        QCOMPARE(offeredFile,
                 QStringLiteral("签到历史-%1.csv").arg(QDate::currentDate().toString(Qt::ISODate)));
        QVERIFY(QFile::exists(target));
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes[0].text, QStringLiteral("签到历史已导出到：\r\n") + target);
        QCOMPARE(boxes.boxes[0].icon, ui::BoxIcon::Information);
    }

    void menuOpensTheHistoryWindow() {
        BoxRecorder boxes;
        auto window = openWindow(database_);
        window->findChild<QAction*>(QStringLiteral("菜单_签到历史"))->trigger();
        auto* shown = window->findChild<ui::HistoryWindow*>(QStringLiteral("窗口_签到历史"));
        QVERIFY(shown != nullptr && shown->isVisible());
        QVERIFY(boxes.boxes.isEmpty());
    }

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::filesystem::path database_;
    std::unique_ptr<ui::HistoryWindow> window_;
};

QTEST_MAIN(HistoryWindowTest)
#include "history_window_test.moc"
