#include "ui/dialogs/history_window.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "engine/verdict.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/qt_text.h"

namespace vesprey::ui {
namespace {

constexpr int kDayCellWidth = 22;

// The caption of a verdict name; the name itself when it is none of the known ones.
QString verdictCaptionOf(const Text& name) {
    for (std::size_t i = 0; i < kVerdictCount; ++i) {
        const auto verdict = static_cast<Verdict>(i);
        if (verdictName(verdict) == name) {
            return fromAnsi(verdictCaption(verdict));
        }
    }
    return fromAnsi(name);
}

// One CSV field: quoted when it holds a comma, a quote or a line break.
QString csvField(const QString& text) {
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n') &&
        !text.contains(u'\r')) {
        return text;
    }
    QString quoted = text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QTableWidgetItem* item(const QString& text) {
    auto* cell = new QTableWidgetItem(text);
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return cell;
}

// The colours of the grid with what they stand for, in a row: a small square of each colour and
// its caption; the last one, no pass, is the grid's empty cell.
QWidget* colourLegend(QWidget* parent, const QColor& empty) {
    auto* legend = new QWidget(parent);
    legend->setObjectName(QStringLiteral("图例_历史"));
    auto* row = new QHBoxLayout(legend);
    row->setContentsMargins(0, 0, 0, 0);
    const struct {
        const char16_t* caption;
        QColor colour;
    } entries[] = {{u"成功 / 已签到", historyDayColour(verdictName(Verdict::Success))},
                   {u"Cookie失效", historyDayColour(verdictName(Verdict::Expired))},
                   {u"失败", historyDayColour(verdictName(Verdict::Failed))},
                   {u"未知", historyDayColour(verdictName(Verdict::Unknown))},
                   {u"没有签到", empty}};
    for (const auto& entry : entries) {
        const QString caption = QString::fromUtf16(entry.caption);
        auto* swatch = new QLabel(legend);
        swatch->setObjectName(QStringLiteral("图例色块_") + caption);
        swatch->setFixedSize(12, 12);
        swatch->setStyleSheet(
            QStringLiteral("background: %1; border: 1px solid #b0bac6;").arg(entry.colour.name()));
        auto* label = new QLabel(caption, legend);
        label->setObjectName(QStringLiteral("图例_") + caption);
        row->addWidget(swatch);
        row->addWidget(label);
        row->addSpacing(10);
    }
    return legend;
}

}  // namespace

MonthStrip::MonthStrip(QTableWidget& grid, const std::vector<Text>& days, QWidget* parent)
    : QWidget(parent), grid_(grid) {
    setObjectName(QStringLiteral("栏_月份"));
    for (std::size_t day = 0; day < days.size(); ++day) {
        // "yyyy-MM-dd": the first shown day and every first of a month.
        const QString date = fromAnsi(days[day]);
        if (day != 0 && !date.endsWith(QStringLiteral("-01"))) {
            continue;
        }
        auto* label = new QLabel(QStringLiteral("%1月").arg(date.mid(5, 2).toInt()), this);
        label->setObjectName(QStringLiteral("标签_月份"));
        label->setToolTip(date.left(7));
        labels_.append({static_cast<int>(day) + 1, label});
    }
    setFixedHeight(fontMetrics().height() + 2);
    connect(grid.horizontalHeader(), &QHeaderView::sectionResized, this, &MonthStrip::place);
    connect(grid.horizontalHeader(), &QHeaderView::sectionMoved, this, &MonthStrip::place);
    connect(grid.horizontalScrollBar(), &QScrollBar::valueChanged, this, &MonthStrip::place);
}

void MonthStrip::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    place();
}

void MonthStrip::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    place();
}

void MonthStrip::place() {
    // Over the month's first column; a label that would reach over the next one's start is cut
    // there, and one whose column has scrolled out of view is hidden.
    auto leftOf = [this](int column) {
        const int inGrid = grid_.columnViewportPosition(column);
        return mapFromGlobal(grid_.viewport()->mapToGlobal(QPoint(inGrid, 0))).x();
    };
    const int viewLeft = mapFromGlobal(grid_.viewport()->mapToGlobal(QPoint(0, 0))).x();
    for (int i = 0; i < labels_.size(); ++i) {
        const int left = leftOf(labels_[i].first);
        const int next = i + 1 < labels_.size() ? leftOf(labels_[i + 1].first) : width();
        QLabel* label = labels_[i].second;
        label->setGeometry(left, 0, std::max(0, std::min(label->sizeHint().width(), next - left)),
                           height());
        label->setVisible(grid_.columnViewportPosition(labels_[i].first) >= 0 && left >= viewLeft);
    }
}

namespace {}  // namespace

QColor historyDayColour(std::string_view verdict) {
    if (verdict == verdictName(Verdict::Success) || verdict == verdictName(Verdict::Already)) {
        return {0x43, 0xa0, 0x47};
    }
    if (verdict == verdictName(Verdict::Failed)) {
        return {0xe5, 0x39, 0x35};
    }
    if (verdict == verdictName(Verdict::Expired)) {
        return {0xfb, 0x8c, 0x00};
    }
    if (verdict == verdictName(Verdict::Unknown)) {
        return {0x9e, 0x9e, 0x9e};
    }
    return {};
}

QByteArray historyCsv(const std::vector<HistoryEntry>& rows) {
    QString text = QStringLiteral("时间,模板,账号,网站,判定,规则,返回内容,HTTP状态,耗时(ms)\r\n");
    for (const HistoryEntry& row : rows) {
        const QStringList fields = {
            fromAnsi(row.time),   QString::number(row.templateId), QString::number(row.cid),
            fromAnsi(row.site),   verdictCaptionOf(row.verdict),   fromAnsi(row.reason),
            fromAnsi(row.result), QString::number(row.status),     QString::number(row.ms)};
        QStringList quoted;
        for (const QString& field : fields) {
            quoted << csvField(field);
        }
        text += quoted.join(u',') + QStringLiteral("\r\n");
    }
    return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

HistoryWindow::HistoryWindow(const std::filesystem::path& database, double now, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("窗口_签到历史"));
    setWindowTitle(QStringLiteral("签到历史"));
    resize(860, 560);

    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("标签_历史说明"));
    if (HistoryDatabase::exists(database)) {
        HistoryDatabase history;
        ReadResult read = history.open(database);
        if (read.ok()) {
            read = history.readDays(kHistoryShownDays, now, rows_);
        }
        if (!read.ok()) {
            rows_.clear();
            note_->setText(QStringLiteral("签到历史读不出：") +
                           fromAnsi(historyReadFailureText(read)));
        }
    }
    if (note_->text().isEmpty() && rows_.empty()) {
        note_->setText(QStringLiteral("最近 %1 天还没有签到记录。").arg(kHistoryShownDays));
    }
    note_->setVisible(!note_->text().isEmpty());

    const std::vector<Text> days = historyDays(kHistoryShownDays, now);
    accounts_ = accountHistories(rows_, days);

    grid_ = new QTableWidget(static_cast<int>(accounts_.size()), static_cast<int>(days.size()) + 1,
                             this);
    grid_->setObjectName(QStringLiteral("表格_历史"));
    grid_->setSelectionBehavior(QAbstractItemView::SelectItems);
    grid_->setSelectionMode(QAbstractItemView::SingleSelection);
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->verticalHeader()->hide();
    grid_->setHorizontalHeaderItem(0, new QTableWidgetItem(QStringLiteral("网站")));
    for (std::size_t day = 0; day < days.size(); ++day) {
        // The day of the month fits a cell; the whole date is the tooltip.
        const QString date = fromAnsi(days[day]);
        auto* title = new QTableWidgetItem(QString::number(date.right(2).toInt()));
        title->setToolTip(date);
        grid_->setHorizontalHeaderItem(static_cast<int>(day) + 1, title);
    }
    grid_->horizontalHeader()->setMinimumSectionSize(kDayCellWidth);
    grid_->setColumnWidth(0, 120);
    auto* months = new MonthStrip(*grid_, days, this);
    for (int column = 1; column < grid_->columnCount(); ++column) {
        grid_->setColumnWidth(column, kDayCellWidth);
    }
    for (std::size_t row = 0; row < accounts_.size(); ++row) {
        const AccountHistory& account = accounts_[row];
        const int r = static_cast<int>(row);
        grid_->setItem(r, 0, item(fromAnsi(account.site)));
        for (std::size_t day = 0; day < account.days.size(); ++day) {
            QTableWidgetItem* cell = item(QString());
            const QColor colour = historyDayColour(account.days[day]);
            if (colour.isValid()) {
                cell->setBackground(colour);
                // The row that stands for the day: the last one of the day with its verdict.
                for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
                    if (it->templateId == account.templateId && it->cid == account.cid &&
                        it->time.compare(0, 10, days[day]) == 0 &&
                        it->verdict == account.days[day]) {
                        cell->setToolTip(fromAnsi(it->time) + QStringLiteral("  ") +
                                         verdictCaptionOf(it->verdict) + QStringLiteral("\n") +
                                         fromAnsi(it->result));
                        break;
                    }
                }
            }
            grid_->setItem(r, static_cast<int>(day) + 1, cell);
        }
    }
    // Only the site's name shows the choice: a selected row would hide the days' colours.
    connect(grid_, &QTableWidget::cellClicked, this, [this](int row, int) {
        grid_->setCurrentCell(row, 0);
        showAccount(row);
    });

    passes_ = new QTableWidget(0, 4, this);
    passes_->setObjectName(QStringLiteral("表格_账号历史"));
    passes_->setHorizontalHeaderLabels({QStringLiteral("时间"), QStringLiteral("判定"),
                                        QStringLiteral("规则"), QStringLiteral("返回内容")});
    passes_->verticalHeader()->hide();
    passes_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    passes_->horizontalHeader()->setStretchLastSection(true);
    passes_->setColumnWidth(0, 140);

    auto* exportButton = new QPushButton(QStringLiteral("导出 CSV"), this);
    exportButton->setObjectName(QStringLiteral("按钮_导出CSV"));
    exportButton->setEnabled(!rows_.empty());
    connect(exportButton, &QPushButton::clicked, this, &HistoryWindow::askAndExport);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(colourLegend(this, grid_->palette().color(QPalette::Base)));
    buttons->addStretch();
    buttons->addWidget(exportButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(note_);
    layout->addWidget(months);
    layout->addWidget(grid_, 3);
    layout->addWidget(passes_, 2);
    layout->addLayout(buttons);
}

void HistoryWindow::showAccount(int row) {
    passes_->setRowCount(0);
    if (row < 0 || static_cast<std::size_t>(row) >= accounts_.size()) {
        return;
    }
    const AccountHistory& account = accounts_[static_cast<std::size_t>(row)];
    for (auto it = rows_.rbegin(); it != rows_.rend(); ++it) {
        if (it->templateId != account.templateId || it->cid != account.cid ||
            it->verdict == verdictName(Verdict::Skipped)) {
            continue;
        }
        const int r = passes_->rowCount();
        passes_->insertRow(r);
        passes_->setItem(r, 0, item(fromAnsi(it->time)));
        passes_->setItem(r, 1, item(verdictCaptionOf(it->verdict)));
        passes_->setItem(r, 2, item(fromAnsi(it->reason)));
        passes_->setItem(r, 3, item(fromAnsi(it->result)));
    }
}

bool HistoryWindow::exportCsv(const QString& path, QString* error) const {
    QFile file(path);
    const QByteArray bytes = historyCsv(rows_);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        if (error != nullptr) {
            *error = file.errorString();
        }
        return false;
    }
    return true;
}

QString historyCsvSuggestion(const QDate& day) {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists()) {
        folder = QDir::homePath();
    }
    return QDir(folder).filePath(QStringLiteral("签到历史-%1.csv").arg(day.toString(Qt::ISODate)));
}

void HistoryWindow::askAndExport() {
    const QString suggested = historyCsvSuggestion(QDate::currentDate());
    QFileDialog ask(this, QStringLiteral("导出 CSV"), QFileInfo(suggested).absolutePath(),
                    QStringLiteral("CSV 文件 (*.csv)"));
    ask.setObjectName(QStringLiteral("窗口_导出CSV"));
    ask.setAcceptMode(QFileDialog::AcceptSave);
    ask.setFileMode(QFileDialog::AnyFile);
    ask.setDefaultSuffix(QStringLiteral("csv"));
    ask.selectFile(QFileInfo(suggested).fileName());
    if (ask.exec() != QDialog::Accepted || ask.selectedFiles().isEmpty()) {
        return;
    }
    const QString path = ask.selectedFiles().constFirst();
    QString error;
    if (!exportCsv(path, &error)) {
        MessageBoxes::inform(this, QStringLiteral("导出失败！\r\n") + error,
                             QStringLiteral("签到历史"), BoxIcon::Warning);
        return;
    }
    MessageBoxes::inform(this,
                         QStringLiteral("签到历史已导出到：\r\n") + QDir::toNativeSeparators(path),
                         QStringLiteral("签到历史"), BoxIcon::Information);
}

}  // namespace vesprey::ui
