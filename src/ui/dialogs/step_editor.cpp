#include "ui/dialogs/step_editor.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/dialogs/message_boxes.h"

namespace vesprey::ui {
namespace {

constexpr int kWidth = 900;
constexpr int kHeight = 620;
constexpr int kStrip = 26;
const QString kCaption = QStringLiteral("多步骤模板");
const QString kMarked = QStringLiteral("border: 1px solid #c0392b;");
const QColor kMarkedCell(255, 222, 222);

enum Page { EmptyPage, RequestPage, ControlPage };

// The places a rule looks in, as the place column offers them.
const QStringList kPlaces{QStringLiteral("内容"), QStringLiteral("状态码"),
                          QStringLiteral("响应头"), QStringLiteral("某个响应头")};

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

std::string utf8(const QString& text) {
    return text.toStdString();
}

QString placeCaption(flow::StepField field) {
    switch (field) {
        case flow::StepField::Entry:
            return {};
        case flow::StepField::Comment:
            return QStringLiteral("注释");
        case flow::StepField::Expression:
            return QStringLiteral("表达式");
        case flow::StepField::Method:
            return QStringLiteral("方法");
        case flow::StepField::Url:
            return QStringLiteral("网址");
        case flow::StepField::Headers:
            return QStringLiteral("请求头");
        case flow::StepField::Cookies:
            return QStringLiteral("Cookie");
        case flow::StepField::Data:
            return QStringLiteral("请求体");
        case flow::StepField::Success:
            return QStringLiteral("成功条件");
        case flow::StepField::Failure:
            return QStringLiteral("失败条件");
        case flow::StepField::Extractions:
            return QStringLiteral("提取变量");
    }
    return {};
}

bool rowField(flow::StepField field) {
    return field == flow::StepField::Headers || field == flow::StepField::Cookies ||
           field == flow::StepField::Success || field == flow::StepField::Failure ||
           field == flow::StepField::Extractions;
}

QComboBox* placeBox(const std::string& from) {
    auto* box = new QComboBox;
    box->addItems(kPlaces);
    std::string lowered = from;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    if (lowered.empty() || lowered == "content") {
        box->setCurrentIndex(0);
    } else if (lowered == "status") {
        box->setCurrentIndex(1);
    } else if (lowered == "header") {
        box->setCurrentIndex(2);
    } else if (lowered.rfind("header-", 0) == 0) {
        box->setCurrentIndex(3);
    } else {
        box->addItem(fromUtf8(from));  // kept as written, and marked
        box->setCurrentIndex(4);
    }
    return box;
}

std::string fromOf(const QComboBox* box, const QString& header) {
    switch (box->currentIndex()) {
        case 0:
            return "content";
        case 1:
            return "status";
        case 2:
            return "header";
        case 3:
            return "header-" + utf8(header.trimmed());
        default:
            return utf8(box->currentText());
    }
}

QString headerOf(const std::string& from) {
    return from.size() > 7 &&
                   QString::fromStdString(from.substr(0, 7)).toLower() == QStringLiteral("header-")
               ? fromUtf8(from.substr(7))
               : QString();
}

QTableWidget* ruleTable(const QString& name, const QString& first, QWidget* parent) {
    auto* table = new QTableWidget(0, 4, parent);
    table->setObjectName(name);
    table->setHorizontalHeaderLabels(
        {first, QStringLiteral("正则表达式"), QStringLiteral("位置"), QStringLiteral("响应头名")});
    table->verticalHeader()->hide();
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    table->setColumnWidth(0, 90);
    table->setColumnWidth(2, 100);
    table->setColumnWidth(3, 100);
    return table;
}

QPushButton* button(const QString& text, const QString& name, QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

}  // namespace

StepEditorDialog::StepEditorDialog(flow::StepList list, QWidget* owner)
    : ToolWindow(kCaption, kCaption, kWidth, kHeight, owner), list_(std::move(list)) {
    setObjectName(QStringLiteral("窗口_步骤"));
    opened_ = flow::writeStepList(list_);
    auto* body = new QWidget(this);
    body->setGeometry(0, kStrip, kWidth, kHeight - kStrip);
    auto* whole = new QVBoxLayout(body);
    auto* columns = new QHBoxLayout;
    whole->addLayout(columns, 1);

    // The list and what changes it.
    auto* left = new QVBoxLayout;
    columns->addLayout(left, 2);
    steps_ = new QListWidget(body);
    steps_->setObjectName(QStringLiteral("列表_步骤"));
    steps_->setTextElideMode(Qt::ElideMiddle);
    steps_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    left->addWidget(steps_, 1);
    auto* listButtons = new QHBoxLayout;
    left->addLayout(listButtons);
    auto* addRequestButton =
        button(QStringLiteral("添加请求"), QStringLiteral("按钮_添加请求"), body);
    listButtons->addWidget(addRequestButton);
    auto* addControlButton =
        button(QStringLiteral("添加控制"), QStringLiteral("按钮_添加控制"), body);
    auto* controls = new QMenu(addControlButton);
    for (flow::ControlKind kind :
         {flow::ControlKind::If, flow::ControlKind::Elif, flow::ControlKind::Else,
          flow::ControlKind::Endif, flow::ControlKind::For, flow::ControlKind::Endfor,
          flow::ControlKind::While, flow::ControlKind::Endwhile, flow::ControlKind::Set}) {
        const QString caption = fromUtf8(std::string(flow::controlCaption(kind)));
        QAction* action = controls->addAction(caption);
        action->setObjectName(QStringLiteral("动作_") + caption);
        connect(action, &QAction::triggered, this, [this, kind] { addControl(kind); });
    }
    addControlButton->setMenu(controls);
    listButtons->addWidget(addControlButton);
    auto* moveButtons = new QHBoxLayout;
    left->addLayout(moveButtons);
    auto* duplicate = button(QStringLiteral("复制"), QStringLiteral("按钮_复制步骤"), body);
    auto* remove = button(QStringLiteral("删除"), QStringLiteral("按钮_删除步骤"), body);
    auto* up = button(QStringLiteral("上移"), QStringLiteral("按钮_上移"), body);
    auto* down = button(QStringLiteral("下移"), QStringLiteral("按钮_下移"), body);
    for (QPushButton* b : {duplicate, remove, up, down}) {
        moveButtons->addWidget(b);
        entryButtons_.push_back(b);
    }
    connect(addRequestButton, &QPushButton::clicked, this, &StepEditorDialog::addRequest);
    connect(duplicate, &QPushButton::clicked, this, &StepEditorDialog::duplicateEntry);
    connect(remove, &QPushButton::clicked, this, &StepEditorDialog::removeEntry);
    connect(up, &QPushButton::clicked, this, &StepEditorDialog::moveUp);
    connect(down, &QPushButton::clicked, this, &StepEditorDialog::moveDown);

    // The selected entry.
    auto* right = new QVBoxLayout;
    columns->addLayout(right, 3);
    auto* common = new QHBoxLayout;
    right->addLayout(common);
    enabled_ = new QCheckBox(QStringLiteral("启用"), body);
    enabled_->setObjectName(QStringLiteral("复选框_启用"));
    enabled_->setToolTip(QStringLiteral("不启用的步骤留在模板里，但不运行"));
    common->addWidget(enabled_);
    common->addWidget(new QLabel(QStringLiteral("注释："), body));
    comment_ = new QLineEdit(body);
    comment_->setObjectName(QStringLiteral("编辑框_注释"));
    common->addWidget(comment_, 1);

    pages_ = new QStackedWidget(body);
    pages_->setObjectName(QStringLiteral("页_步骤"));
    right->addWidget(pages_, 1);
    auto* empty = new QLabel(QStringLiteral("没有步骤：点“添加请求”或“添加控制”开始。"), pages_);
    empty->setAlignment(Qt::AlignCenter);
    pages_->addWidget(empty);

    auto* request = new QWidget(pages_);
    auto* form = new QFormLayout(request);
    form->setContentsMargins(0, 0, 0, 0);
    auto* line = new QHBoxLayout;
    method_ = new QComboBox(request);
    method_->setObjectName(QStringLiteral("组合框_方法"));
    method_->setEditable(true);
    method_->addItems({QStringLiteral("GET"), QStringLiteral("POST"), QStringLiteral("PUT"),
                       QStringLiteral("DELETE"), QStringLiteral("PATCH"), QStringLiteral("HEAD"),
                       QStringLiteral("OPTIONS")});
    line->addWidget(method_);
    url_ = new QLineEdit(request);
    url_->setObjectName(QStringLiteral("编辑框_网址"));
    url_->setPlaceholderText(QStringLiteral("https://…，可用 {{变量}}"));
    line->addWidget(url_, 1);
    login_ = new QCheckBox(QStringLiteral("登录"), request);
    login_->setObjectName(QStringLiteral("复选框_登录"));
    login_->setToolTip(QStringLiteral(
        "登录步骤平时不运行：只在 Cookie 失效、开了“失效时自动登录”时运行，重新登录后再签到"));
    line->addWidget(login_);
    form->addRow(QStringLiteral("请求："), line);
    headers_ = new QPlainTextEdit(request);
    headers_->setObjectName(QStringLiteral("编辑框_请求头"));
    headers_->setPlaceholderText(QStringLiteral("每行一个“名字: 值”；行首 # 的不发送"));
    headers_->setTabChangesFocus(true);
    form->addRow(QStringLiteral("请求头："), headers_);
    cookies_ = new QPlainTextEdit(request);
    cookies_->setObjectName(QStringLiteral("编辑框_Cookie条目"));
    cookies_->setPlaceholderText(
        QStringLiteral("每行一个“名字=值”；账号的 Cookie 用请求头 Cookie: {{cookie}}"));
    cookies_->setTabChangesFocus(true);
    cookies_->setMaximumHeight(48);
    form->addRow(QStringLiteral("Cookie："), cookies_);
    data_ = new QPlainTextEdit(request);
    data_->setObjectName(QStringLiteral("编辑框_请求体"));
    data_->setTabChangesFocus(true);
    data_->setMaximumHeight(60);
    form->addRow(QStringLiteral("请求体："), data_);
    mimeType_ = new QLineEdit(request);
    mimeType_->setObjectName(QStringLiteral("编辑框_类型"));
    mimeType_->setPlaceholderText(QStringLiteral("application/x-www-form-urlencoded"));
    form->addRow(QStringLiteral("内容类型："), mimeType_);

    checks_ = ruleTable(QStringLiteral("表格_检查"), QStringLiteral("条件"), request);
    auto* checkBox = new QVBoxLayout;
    checkBox->addWidget(checks_);
    auto* checkButtons = new QHBoxLayout;
    auto* addCheckButton =
        button(QStringLiteral("添加检查"), QStringLiteral("按钮_添加检查"), request);
    auto* removeCheckButton =
        button(QStringLiteral("删除检查"), QStringLiteral("按钮_删除检查"), request);
    checkButtons->addWidget(addCheckButton);
    checkButtons->addWidget(removeCheckButton);
    checkButtons->addStretch(1);
    checkBox->addLayout(checkButtons);
    form->addRow(QStringLiteral("检查："), checkBox);
    extractions_ = ruleTable(QStringLiteral("表格_提取"), QStringLiteral("名称"), request);
    auto* extractBox = new QVBoxLayout;
    extractBox->addWidget(extractions_);
    auto* extractButtons = new QHBoxLayout;
    auto* addExtractionButton =
        button(QStringLiteral("添加提取"), QStringLiteral("按钮_添加提取"), request);
    auto* removeExtractionButton =
        button(QStringLiteral("删除提取"), QStringLiteral("按钮_删除提取"), request);
    extractButtons->addWidget(addExtractionButton);
    extractButtons->addWidget(removeExtractionButton);
    extractButtons->addStretch(1);
    extractBox->addLayout(extractButtons);
    form->addRow(QStringLiteral("提取变量："), extractBox);
    pages_->addWidget(request);
    connect(addCheckButton, &QPushButton::clicked, this, &StepEditorDialog::addCheck);
    connect(removeCheckButton, &QPushButton::clicked, this, &StepEditorDialog::removeCheck);
    connect(addExtractionButton, &QPushButton::clicked, this, &StepEditorDialog::addExtraction);
    connect(removeExtractionButton, &QPushButton::clicked, this,
            &StepEditorDialog::removeExtraction);

    auto* controlPage = new QWidget(pages_);
    auto* controlForm = new QFormLayout(controlPage);
    controlForm->setContentsMargins(0, 0, 0, 0);
    controlKind_ = new QComboBox(controlPage);
    controlKind_->setObjectName(QStringLiteral("组合框_控制"));
    for (int k = 0; k <= static_cast<int>(flow::ControlKind::Set); ++k) {
        controlKind_->addItem(
            fromUtf8(std::string(flow::controlCaption(static_cast<flow::ControlKind>(k)))));
    }
    controlForm->addRow(QStringLiteral("语句："), controlKind_);
    expression_ = new QLineEdit(controlPage);
    expression_->setObjectName(QStringLiteral("编辑框_表达式"));
    expression_->setPlaceholderText(
        QStringLiteral("如果：条件，如 status == 200；循环：x in 列表；设置变量：名字 = 表达式"));
    controlForm->addRow(QStringLiteral("表达式："), expression_);
    pages_->addWidget(controlPage);

    problem_ = new QLabel(body);
    problem_->setObjectName(QStringLiteral("标签_问题"));
    problem_->setWordWrap(true);
    problem_->setStyleSheet(QStringLiteral("color: #c0392b;"));
    whole->addWidget(problem_);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    auto* ok = button(QStringLiteral("确定"), QStringLiteral("按钮_确定"), body);
    auto* cancel = button(QStringLiteral("取消"), QStringLiteral("按钮_取消"), body);
    bottom->addWidget(ok);
    bottom->addWidget(cancel);
    whole->addLayout(bottom);
    connect(ok, &QPushButton::clicked, this, &StepEditorDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &StepEditorDialog::reject);

    // Every edit goes into the list at once, so that its marks follow the typing.
    connect(enabled_, &QCheckBox::toggled, this, &StepEditorDialog::edited);
    connect(login_, &QCheckBox::toggled, this, &StepEditorDialog::edited);
    for (QLineEdit* edit : {comment_, url_, mimeType_, expression_}) {
        connect(edit, &QLineEdit::textChanged, this, &StepEditorDialog::edited);
    }
    connect(method_, &QComboBox::currentTextChanged, this, &StepEditorDialog::edited);
    for (QPlainTextEdit* edit : {headers_, cookies_, data_}) {
        connect(edit, &QPlainTextEdit::textChanged, this, &StepEditorDialog::edited);
    }
    connect(controlKind_, &QComboBox::currentIndexChanged, this, &StepEditorDialog::edited);
    for (QTableWidget* table : {checks_, extractions_}) {
        connect(table, &QTableWidget::itemChanged, this, &StepEditorDialog::edited);
    }
    connect(steps_, &QListWidget::currentRowChanged, this, &StepEditorDialog::showEntry);

    problems_ = flow::stepListProblems(list_);
    showRows();
    select(list_.entries.empty() ? -1 : 0);
    placeBeside(owner, 20, -60);
}

StepEditorDialog* StepEditorDialog::open(std::variant<flow::StepList, flow::FormatError> read,
                                         QWidget* owner, std::function<void(std::string)> changed) {
    if (const auto* error = std::get_if<flow::FormatError>(&read)) {
        MessageBoxes::inform(owner, QStringLiteral("步骤打不开：") + fromUtf8(error->message),
                             kCaption, BoxIcon::Error);
        return nullptr;
    }
    auto* dialog = new StepEditorDialog(std::get<flow::StepList>(std::move(read)), owner);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QDialog::accepted, dialog, [dialog, changed = std::move(changed)] {
        if (dialog->changed()) {
            changed(dialog->json());
        }
    });
    dialog->QDialog::open();
    return dialog;
}

int StepEditorDialog::current() const {
    const int row = steps_->currentRow();
    return row >= 0 && row < static_cast<int>(list_.entries.size()) ? row : -1;
}

void StepEditorDialog::select(int row) {
    steps_->setCurrentRow(row);
    showEntry();
}

void StepEditorDialog::showRows() {
    const std::vector<int> indents = flow::stepIndents(list_);
    const QSignalBlocker quiet(steps_);
    const int keep = steps_->currentRow();
    while (steps_->count() > static_cast<int>(list_.entries.size())) {
        delete steps_->takeItem(steps_->count() - 1);
    }
    while (steps_->count() < static_cast<int>(list_.entries.size())) {
        steps_->addItem(QString());
    }
    int number = 0;
    for (std::size_t i = 0; i < list_.entries.size(); ++i) {
        const flow::EditedEntry& entry = list_.entries[i];
        QString text = QString(indents[i] * 4, QLatin1Char(' '));
        text += entry.checked ? QStringLiteral("%1. ").arg(++number) : QStringLiteral("—  ");
        if (entry.control) {
            text += fromUtf8(std::string(flow::controlCaption(*entry.control)));
            if (flow::takesExpression(*entry.control)) {
                text += QLatin1Char(' ') + fromUtf8(entry.expression);
            }
        } else {
            text += entry.login ? QStringLiteral("【登录】") : QString();
            text += fromUtf8(entry.method) + QLatin1Char(' ') +
                    (entry.url.empty() ? QStringLiteral("（没有网址）") : fromUtf8(entry.url));
        }
        if (!entry.comment.empty()) {
            text += QStringLiteral("  — ") + fromUtf8(entry.comment);
        }
        if (!entry.checked) {
            text += QStringLiteral("（停用）");
        }
        QStringList reasons;
        for (const flow::StepProblem& p : problems_) {
            if (p.entry == i) {
                reasons << problemText(p);
            }
        }
        QListWidgetItem* item = steps_->item(static_cast<int>(i));
        item->setText(reasons.isEmpty() ? text : QStringLiteral("⚠ ") + text);
        item->setToolTip(reasons.join(QLatin1Char('\n')));
        item->setForeground(!reasons.isEmpty() ? QColor(0xc0, 0x39, 0x2b)
                            : entry.checked    ? palette().text().color()
                                               : palette().placeholderText().color());
    }
    steps_->setCurrentRow(std::min(keep, steps_->count() - 1));
}

void StepEditorDialog::addRuleRow(QTableWidget* table, const flow::EditedRule& rule, bool success,
                                  bool named) {
    // The row's cells are set one by one: no edit is taken from a row not yet whole.
    const bool wasLoading = loading_;
    loading_ = true;
    const int row = table->rowCount();
    table->insertRow(row);
    if (named) {
        table->setItem(row, 0, new QTableWidgetItem(fromUtf8(rule.name)));
    } else {
        auto* kind = new QComboBox;
        kind->addItems({QStringLiteral("成功"), QStringLiteral("失败")});
        kind->setCurrentIndex(success ? 0 : 1);
        table->setCellWidget(row, 0, kind);
        connect(kind, &QComboBox::currentIndexChanged, this, &StepEditorDialog::edited);
    }
    table->setItem(row, 1, new QTableWidgetItem(fromUtf8(rule.re)));
    QComboBox* place = placeBox(rule.from);
    table->setCellWidget(row, 2, place);
    connect(place, &QComboBox::currentIndexChanged, this, &StepEditorDialog::edited);
    table->setItem(row, 3, new QTableWidgetItem(headerOf(rule.from)));
    loading_ = wasLoading;
}

std::vector<flow::EditedRule> StepEditorDialog::rulesOf(QTableWidget* table, bool named,
                                                        std::optional<bool> success) const {
    std::vector<flow::EditedRule> out;
    const auto text = [&](int row, int column) {
        const QTableWidgetItem* item = table->item(row, column);
        return item != nullptr ? item->text() : QString();
    };
    for (int row = 0; row < table->rowCount(); ++row) {
        if (success) {
            const auto* kind = qobject_cast<QComboBox*>(table->cellWidget(row, 0));
            if (kind != nullptr && (kind->currentIndex() == 0) != *success) {
                continue;
            }
        }
        flow::EditedRule rule;
        if (named) {
            rule.name = utf8(text(row, 0).trimmed());
        }
        rule.re = utf8(text(row, 1));
        rule.from = fromOf(qobject_cast<QComboBox*>(table->cellWidget(row, 2)), text(row, 3));
        out.push_back(std::move(rule));
    }
    return out;
}

void StepEditorDialog::showEntry() {
    const int row = current();
    for (QPushButton* b : entryButtons_) {
        b->setEnabled(row >= 0);
    }
    enabled_->setEnabled(row >= 0);
    comment_->setEnabled(row >= 0);
    loading_ = true;
    if (row < 0) {
        pages_->setCurrentIndex(EmptyPage);
        enabled_->setChecked(false);
        comment_->clear();
    } else {
        const flow::EditedEntry& entry = list_.entries[static_cast<std::size_t>(row)];
        enabled_->setChecked(entry.checked);
        comment_->setText(fromUtf8(entry.comment));
        if (entry.control) {
            pages_->setCurrentIndex(ControlPage);
            controlKind_->setCurrentIndex(static_cast<int>(*entry.control));
            expression_->setText(fromUtf8(entry.expression));
            expression_->setEnabled(flow::takesExpression(*entry.control));
        } else {
            pages_->setCurrentIndex(RequestPage);
            login_->setChecked(entry.login);
            method_->setCurrentText(fromUtf8(entry.method));
            url_->setText(fromUtf8(entry.url));
            url_->setCursorPosition(0);
            headers_->setPlainText(fromUtf8(flow::pairLines(entry.headers, ':')));
            cookies_->setPlainText(fromUtf8(flow::pairLines(entry.cookies, '=')));
            data_->setPlainText(fromUtf8(entry.data));
            mimeType_->setText(fromUtf8(entry.mimeType));
            checks_->setRowCount(0);
            // The checks in their lists' order: the success conditions first.
            for (const flow::EditedRule& rule : entry.success) {
                addRuleRow(checks_, rule, true, false);
            }
            for (const flow::EditedRule& rule : entry.failure) {
                addRuleRow(checks_, rule, false, false);
            }
            extractions_->setRowCount(0);
            for (const flow::EditedRule& rule : entry.extractions) {
                addRuleRow(extractions_, rule, true, true);
            }
        }
    }
    loading_ = false;
    showProblems();
}

void StepEditorDialog::edited() {
    const int row = current();
    if (loading_ || row < 0) {
        return;
    }
    flow::EditedEntry& entry = list_.entries[static_cast<std::size_t>(row)];
    entry.checked = enabled_->isChecked();
    entry.comment = utf8(comment_->text());
    if (entry.control) {
        entry.control = static_cast<flow::ControlKind>(controlKind_->currentIndex());
        entry.expression = utf8(expression_->text());
        expression_->setEnabled(flow::takesExpression(*entry.control));
    } else {
        entry.login = login_->isChecked();
        entry.method = utf8(method_->currentText().trimmed());
        entry.url = utf8(url_->text());
        entry.headers = flow::readPairLines(utf8(headers_->toPlainText()), ':');
        entry.cookies = flow::readPairLines(utf8(cookies_->toPlainText()), '=');
        entry.data = utf8(data_->toPlainText());
        entry.mimeType = utf8(mimeType_->text().trimmed());
        entry.success = rulesOf(checks_, false, true);
        entry.failure = rulesOf(checks_, false, false);
        entry.extractions = rulesOf(extractions_, true, std::nullopt);
    }
    problems_ = flow::stepListProblems(list_);
    showRows();
    showProblems();
}

QWidget* StepEditorDialog::fieldWidget(const flow::StepProblem& problem) const {
    switch (problem.field) {
        case flow::StepField::Entry:
            return nullptr;
        case flow::StepField::Comment:
            return comment_;
        case flow::StepField::Expression:
            return expression_;
        case flow::StepField::Method:
            return method_;
        case flow::StepField::Url:
            return url_;
        case flow::StepField::Headers:
            return headers_;
        case flow::StepField::Cookies:
            return cookies_;
        case flow::StepField::Data:
            return data_;
        case flow::StepField::Success:
        case flow::StepField::Failure:
            return checks_;
        case flow::StepField::Extractions:
            return extractions_;
    }
    return nullptr;
}

QString StepEditorDialog::problemText(const flow::StepProblem& problem) const {
    QString where = placeCaption(problem.field);
    if (rowField(problem.field)) {
        where += QStringLiteral("第 %1 行").arg(problem.row + 1);
    }
    return where.isEmpty() ? fromUtf8(problem.message)
                           : where + QStringLiteral("：") + fromUtf8(problem.message);
}

void StepEditorDialog::showProblems() {
    // Marking a cell is no edit of it.
    const QSignalBlocker quietChecks(checks_);
    const QSignalBlocker quietExtractions(extractions_);
    for (QWidget* w : std::initializer_list<QWidget*>{comment_, expression_, method_, url_,
                                                      headers_, cookies_, data_}) {
        w->setStyleSheet(QString());
        w->setToolTip(QString());
    }
    for (QTableWidget* table : {checks_, extractions_}) {
        for (int row = 0; row < table->rowCount(); ++row) {
            for (int column : {0, 1, 3}) {
                if (QTableWidgetItem* item = table->item(row, column)) {
                    item->setBackground(QBrush());
                    item->setToolTip(QString());
                }
            }
        }
    }
    const int row = current();
    QStringList lines;
    for (const flow::StepProblem& p : problems_) {
        if (row < 0 || p.entry != static_cast<std::size_t>(row)) {
            continue;
        }
        const QString text = problemText(p);
        lines << text;
        QWidget* widget = fieldWidget(p);
        if (widget == checks_ || widget == extractions_) {
            // The rule's row: the success conditions' rows come before the failure conditions'.
            auto* table = static_cast<QTableWidget*>(widget);
            int tableRow = -1;
            int seen = -1;
            for (int r = 0; r < table->rowCount(); ++r) {
                const auto* kind = qobject_cast<QComboBox*>(table->cellWidget(r, 0));
                const bool matches = kind == nullptr || (kind->currentIndex() == 0) ==
                                                            (p.field == flow::StepField::Success);
                if (matches && ++seen == static_cast<int>(p.row)) {
                    tableRow = r;
                    break;
                }
            }
            if (QTableWidgetItem* item = tableRow >= 0 ? table->item(tableRow, 1) : nullptr) {
                item->setBackground(kMarkedCell);
                item->setToolTip(text);
            }
        } else if (widget != nullptr) {
            widget->setStyleSheet(kMarked);
            widget->setToolTip(text);
        }
    }
    if (row < 0 && !problems_.empty() && list_.entries.empty()) {
        lines << fromUtf8(problems_.front().message);
    }
    problem_->setText(lines.join(QLatin1Char('\n')));
}

void StepEditorDialog::accept() {
    problems_ = flow::stepListProblems(list_);
    if (problems_.empty()) {
        ToolWindow::accept();
        return;
    }
    showRows();
    const flow::StepProblem& first = problems_.front();
    if (first.entry < list_.entries.size()) {
        select(static_cast<int>(first.entry));
        if (QWidget* widget = fieldWidget(first)) {
            widget->setFocus();
        }
    } else {
        showProblems();
    }
}

void StepEditorDialog::insertEntry(int at, flow::EditedEntry entry) {
    list_.entries.insert(list_.entries.begin() + at, std::move(entry));
}

void StepEditorDialog::addRequest() {
    const int at = current() + 1;
    flow::EditedEntry entry;
    entry.headers = {{"Cookie", "{{cookie}}", true}};
    insertEntry(at, std::move(entry));
    problems_ = flow::stepListProblems(list_);
    showRows();
    select(at);
    url_->setFocus();
}

void StepEditorDialog::addControl(flow::ControlKind kind) {
    const int at = current() + 1;
    flow::EditedEntry entry;
    entry.control = kind;
    insertEntry(at, std::move(entry));
    // A block is added with its end, the entries to go inside it between them.
    std::optional<flow::ControlKind> end;
    switch (kind) {
        case flow::ControlKind::If:
            end = flow::ControlKind::Endif;
            break;
        case flow::ControlKind::For:
            end = flow::ControlKind::Endfor;
            break;
        case flow::ControlKind::While:
            end = flow::ControlKind::Endwhile;
            break;
        default:
            break;
    }
    if (end) {
        flow::EditedEntry closing;
        closing.control = *end;
        insertEntry(at + 1, std::move(closing));
    }
    problems_ = flow::stepListProblems(list_);
    showRows();
    select(at);
    expression_->setFocus();
}

void StepEditorDialog::duplicateEntry() {
    const int row = current();
    if (row < 0) {
        return;
    }
    insertEntry(row + 1, list_.entries[static_cast<std::size_t>(row)]);
    problems_ = flow::stepListProblems(list_);
    showRows();
    select(row + 1);
}

void StepEditorDialog::removeEntry() {
    const int row = current();
    if (row < 0) {
        return;
    }
    list_.entries.erase(list_.entries.begin() + row);
    problems_ = flow::stepListProblems(list_);
    showRows();
    select(std::min(row, static_cast<int>(list_.entries.size()) - 1));
}

void StepEditorDialog::moveEntry(int by) {
    const int row = current();
    const int to = row + by;
    if (row < 0 || to < 0 || to >= static_cast<int>(list_.entries.size())) {
        return;
    }
    std::swap(list_.entries[static_cast<std::size_t>(row)],
              list_.entries[static_cast<std::size_t>(to)]);
    problems_ = flow::stepListProblems(list_);
    showRows();
    select(to);
}

void StepEditorDialog::moveUp() {
    moveEntry(-1);
}

void StepEditorDialog::moveDown() {
    moveEntry(1);
}

void StepEditorDialog::addCheck() {
    if (current() < 0 || pages_->currentIndex() != RequestPage) {
        return;
    }
    addRuleRow(checks_, flow::EditedRule{}, true, false);
    edited();
    checks_->setCurrentCell(checks_->rowCount() - 1, 1);
}

void StepEditorDialog::removeCheck() {
    if (checks_->currentRow() >= 0) {
        checks_->removeRow(checks_->currentRow());
        edited();
    }
}

void StepEditorDialog::addExtraction() {
    if (current() < 0 || pages_->currentIndex() != RequestPage) {
        return;
    }
    addRuleRow(extractions_, flow::EditedRule{}, true, true);
    edited();
    extractions_->setCurrentCell(extractions_->rowCount() - 1, 0);
}

void StepEditorDialog::removeExtraction() {
    if (extractions_->currentRow() >= 0) {
        extractions_->removeRow(extractions_->currentRow());
        edited();
    }
}

}  // namespace vesprey::ui
