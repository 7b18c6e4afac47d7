#include "ui/window/flow_trial.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <utility>

#include "ui/qt_text.h"
#include "ui/window/sign_in_pass.h"
#include "ui/window/trial_request.h"

namespace vesprey::ui {
namespace {

QString utf8(const std::string& text) {
    return QString::fromStdString(text);
}

bool sameName(std::string_view a, std::string_view b) {
    return QString::fromUtf8(a.data(), static_cast<qsizetype>(a.size()))
               .compare(QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size())),
                        Qt::CaseInsensitive) == 0;
}

// A header line with its value shortened as a variable of that name would be; the cookies a
// request sends or an answer sets as the cookie.
QString headerLine(const std::string& name, const std::string& value) {
    const bool cookie = sameName(name, "Cookie") || sameName(name, "Set-Cookie");
    return utf8(name + ": " + shownValue(cookie ? "cookie" : name, value));
}

// A form body's password-like and token fields shortened as in an address; any other body as
// it is.
std::string shownBody(const std::string& body) {
    const bool form = !body.empty() && body.front() != '{' && body.front() != '[' &&
                      body.find('=') != std::string::npos && body.find('#') == std::string::npos;
    return form ? shownUrl("?" + body).substr(1) : body;
}

QString stepRequest(const flow::StepTrace& step) {
    return step.utility ? QStringLiteral("本地接口 ") + utf8(shownUrl(step.request.url))
                        : utf8(step.request.method + " " + shownUrl(step.request.url));
}

QString stepVariables(const flow::StepTrace& step) {
    QStringList set;
    for (const auto& [name, value] : step.set) {
        set << utf8(name + " = " + shownValue(name, value.toText()));
    }
    return set.join(QStringLiteral("；"));
}

enum Column { kNumber, kRequest, kStatus, kTime, kDecided, kSet, kColumns };

}  // namespace

std::optional<QString> flowTrialRefusal(const FlowAccount& account, bool hasCookie) {
    if (!account.flow) {
        return fromAnsi(account.unreadable) + QStringLiteral("。");
    }
    const std::vector<std::string> missing =
        missingInputs(*account.flow, account.inputs, hasCookie);
    if (missing.empty()) {
        return std::nullopt;
    }
    QStringList names;
    for (const std::string& name : missing) {
        names << utf8(name);
    }
    return QStringLiteral("还缺这些值，没有调试：") + names.join(QStringLiteral("、")) +
           QStringLiteral(
               "。cookie 请用“软件登录”或“人工填写”抓取；其他的值请给账号设置"
               "（vesprey-cli inputs）后再试。");
}

QString stepDetailText(const flow::StepTrace& step) {
    QStringList lines;
    lines << QStringLiteral("第 %1 步").arg(step.number) << QString() << QStringLiteral("请求：")
          << stepRequest(step);
    for (const auto& [name, value] : step.request.headers) {
        lines << headerLine(name, value);
    }
    if (!step.request.body.empty()) {
        lines << QString() << utf8(shownBody(step.request.body));
    }
    lines << QString() << QStringLiteral("答复：");
    if (!step.response) {
        lines << QStringLiteral("（没有答复）");
    } else {
        const flow::FlowResponse& response = *step.response;
        lines << (step.utility ? QStringLiteral("状态 %1").arg(response.status)
                               : QStringLiteral("状态 %1，%2 毫秒")
                                     .arg(response.status)
                                     .arg(response.elapsedMs));
        if (!response.encodingNote.empty()) {
            lines << utf8(response.encodingNote);
        }
        for (const auto& [name, value] : response.headers) {
            lines << headerLine(name, value);
        }
        lines << QString() << utf8(response.body);
        if (step.bodyCut) {
            lines << QStringLiteral("（答复过长，只显示了开头）");
        }
    }
    if (!step.decided.empty()) {
        lines << QString() << QStringLiteral("判定条件：") + utf8(step.decided);
    }
    if (!step.set.empty()) {
        lines << QStringLiteral("提取变量：") + stepVariables(step);
    }
    return lines.join(QLatin1Char('\n'));
}

FlowTrialWindow::FlowTrialWindow(QWidget* owner, WindowQueue& calls)
    : QDialog(owner), calls_(calls) {
    setObjectName(QStringLiteral("窗口_调试步骤"));
    setWindowTitle(QStringLiteral("调试步骤"));
    resize(720, 480);
    auto* layout = new QVBoxLayout(this);
    steps_ = new QTreeWidget(this);
    steps_->setObjectName(QStringLiteral("列表_调试步骤"));
    steps_->setColumnCount(kColumns);
    steps_->setHeaderLabels({QStringLiteral("步"), QStringLiteral("请求"), QStringLiteral("状态"),
                             QStringLiteral("用时"), QStringLiteral("判定条件"),
                             QStringLiteral("提取变量")});
    steps_->setRootIsDecorated(false);
    steps_->setUniformRowHeights(true);
    steps_->header()->setStretchLastSection(true);
    layout->addWidget(steps_, 3);
    // The step double-clicked last: its request and its answer.
    detail_ = new QPlainTextEdit(this);
    detail_->setObjectName(QStringLiteral("编辑框_步骤详情"));
    detail_->setReadOnly(true);
    detail_->setPlaceholderText(QStringLiteral("双击一步，查看它的请求和答复"));
    layout->addWidget(detail_, 2);
    auto* bottom = new QHBoxLayout;
    result_ = new QLabel(this);
    result_->setObjectName(QStringLiteral("标签_调试结果"));
    result_->setWordWrap(true);
    result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bottom->addWidget(result_, 1);
    stop_ = new QPushButton(QStringLiteral("停止"), this);
    stop_->setObjectName(QStringLiteral("超级按钮_停止"));
    stop_->setAutoDefault(false);
    stop_->setEnabled(false);
    bottom->addWidget(stop_);
    layout->addLayout(bottom);
    connect(stop_, &QPushButton::clicked, this, &FlowTrialWindow::stop);
    connect(steps_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { showStep(item); });
}

FlowTrialWindow::~FlowTrialWindow() {
    stopAndWait();
}

void FlowTrialWindow::stopAndWait() {
    // A message the run waits for on the window thread is given up once the stop is requested.
    thread_.request_stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool FlowTrialWindow::start(const SiteTemplate& site, const FlowAccount& account,
                            const VerdictRules& rules) {
    if (running_) {
        show();
        raise();
        return false;
    }
    if (thread_.joinable()) {
        thread_.join();  // the last run's thread has ended; only its join was left
    }
    running_ = true;
    trace_.clear();
    steps_->clear();
    detail_->clear();
    result_->setText(QStringLiteral("正在调试“") + fromAnsi(site.WebName) + QStringLiteral("”…"));
    stop_->setEnabled(true);
    show();
    raise();
    thread_ = std::jthread([this, site, account, rules](std::stop_token stop) {
        WindowMessageSink messages(calls_, stop);
        FlowRunSettings settings;
        settings.trace = true;
        settings.stop = stop;
        // Each step goes to the list as it begins and again once it is over.
        settings.traced = [this](const flow::StepTrace& step, bool done) {
            auto shown = std::make_shared<flow::StepTrace>(step);
            QMetaObject::invokeMethod(
                this, [this, shown, done] { showLiveStep(*shown, done); }, Qt::QueuedConnection);
        };
        auto outcome = std::make_shared<FlowTrialOutcome>();
        outcome->run = runFlowAccount(site, account, settings, messages);
        outcome->verdict = decideFlowVerdict(outcome->run.outcome, site.Weblogin, rules, messages);
        // Run on the window thread; dropped when this window is gone by then (its destructor has
        // joined this thread first).
        QMetaObject::invokeMethod(
            this,
            [this, outcome] {
                running_ = false;
                stop_->setEnabled(false);
                showOutcome(*outcome);
                emit finished(*outcome);
            },
            Qt::QueuedConnection);
    });
    return true;
}

void FlowTrialWindow::stop() {
    thread_.request_stop();
}

void FlowTrialWindow::closeEvent(QCloseEvent* event) {
    stop();
    QDialog::closeEvent(event);
}

void FlowTrialWindow::fillStep(QTreeWidgetItem* item, const flow::StepTrace& step,
                               std::size_t index) {
    item->setText(kNumber, QString::number(step.number));
    item->setText(kRequest, stepRequest(step));
    item->setText(
        kStatus, step.response ? QString::number(step.response->status) : QStringLiteral("无答复"));
    item->setText(kTime, step.response && !step.utility
                             ? QStringLiteral("%1 毫秒").arg(step.response->elapsedMs)
                             : QString());
    item->setText(kDecided, utf8(step.decided));
    item->setText(kSet, stepVariables(step));
    item->setData(kNumber, Qt::UserRole, static_cast<qulonglong>(index));
}

void FlowTrialWindow::showLiveStep(const flow::StepTrace& step, bool done) {
    if (!running_) {
        return;  // the outcome is shown already
    }
    if (!done) {
        trace_.push_back(step);
        auto* item = new QTreeWidgetItem(steps_);
        fillStep(item, step, trace_.size() - 1);
        item->setText(kStatus, QStringLiteral("进行中…"));
        steps_->scrollToItem(item);
        return;
    }
    if (trace_.empty() || steps_->topLevelItemCount() == 0) {
        return;
    }
    trace_.back() = step;
    fillStep(steps_->topLevelItem(steps_->topLevelItemCount() - 1), step, trace_.size() - 1);
}

void FlowTrialWindow::showOutcome(const FlowTrialOutcome& outcome) {
    const flow::FlowResult& result = outcome.run.result;
    // The whole run as it ended, in place of the rows shown while it went on.
    steps_->clear();
    trace_ = result.trace;
    for (std::size_t i = 0; i < trace_.size(); ++i) {
        fillStep(new QTreeWidgetItem(steps_), trace_[i], i);
    }
    for (int column = 0; column < kSet; ++column) {
        steps_->resizeColumnToContents(column);
    }
    QString text;
    // A run that ended before a step was traced (stopped, looping, too long) says why.
    if (!result.passed &&
        (result.trace.empty() || result.trace.back().number != result.failedStep)) {
        text += utf8(result.message) + QLatin1Char('\n');
    }
    text += QStringLiteral("结果：") + fromAnsi(outcome.run.listText) + QLatin1Char('\n') +
            trialVerdictText(outcome.verdict);
    result_->setText(text);
}

void FlowTrialWindow::showStep(QTreeWidgetItem* item) {
    const auto index = item->data(kNumber, Qt::UserRole).toULongLong();
    if (index < trace_.size()) {
        detail_->setPlainText(stepDetailText(trace_[index]));
    }
}

}  // namespace vesprey::ui
