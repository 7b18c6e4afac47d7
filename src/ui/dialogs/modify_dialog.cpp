#include "ui/dialogs/modify_dialog.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <map>
#include <stop_token>
#include <tuple>
#include <utility>

#include "engine/flow/formats.h"
#include "engine/flow/step_list.h"
#include "engine/template_import.h"
#include "session/pass_session.h"
#include "ui/dialogs/edit_text.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/dialogs/step_editor.h"
#include "ui/dialogs/verdict_rules_dialog.h"
#include "ui/layout.h"
#include "ui/qt_text.h"
#include "ui/window/flow_trial.h"
#include "ui/window/sign_in_pass.h"
#include "ui/window/site_book.h"
#include "ui/window/trial_request.h"

namespace vesprey::ui {
namespace {

void fieldLabel(QWidget* parent, const QString& text, int fieldLeft, int y) {
    auto* l = new QLabel(text, parent);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    l->setGeometry(2, y, fieldLeft - 5, 20);
}

QPlainTextEdit* textBox(QWidget* parent, const QString& name, int x, int y, int w, int h) {
    auto* box = place(new QPlainTextEdit(parent), name, x, y, w, h);
    box->setTabChangesFocus(true);
    return box;
}

const QString kModifyCaption = QStringLiteral("修改模板");

bool sameRules(const VerdictRules& a, const VerdictRules& b) {
    return a.success == b.success && a.already == b.already && a.expired == b.expired;
}

}  // namespace

ModifyDialog::ModifyDialog(QWidget* owner, SiteBook& book, WindowQueue& calls, SiteTemplate entry)
    : ToolWindow(kModifyCaption, QStringLiteral("修改模板参数"), 455, 451, owner),
      book_(book),
      calls_(calls),
      entry_(std::move(entry)) {
    setObjectName(QStringLiteral("窗口_修改模板"));
    fieldLabel(this, QStringLiteral("网站名称："), 71, 38);
    name_ = place(new QLineEdit(this), QStringLiteral("编辑框_网络名称"), 71, 36, 290, 24);
    ownButton_ = place(new QPushButton(QStringLiteral("周期与代理…"), this),
                       QStringLiteral("超级按钮_周期与代理"), 367, 36, 82, 24);
    ownButton_->setAutoDefault(false);
    connect(ownButton_, &QPushButton::clicked, this, &ModifyDialog::editOwnSettings);
    fieldLabel(this, QStringLiteral("登录链接："), 71, 68);
    login_ = place(new QLineEdit(this), QStringLiteral("编辑框_登录链接"), 71, 66, 378, 24);
    fieldLabel(this, QStringLiteral("签到链接："), 71, 99);
    link_ = place(new QLineEdit(this), QStringLiteral("编辑框_签到链接"), 71, 97, 378, 24);

    fieldLabel(this, QStringLiteral("请求模式："), 71, 128);
    auto* method = place(new QGroupBox(this), QStringLiteral("分组框1"), 72, 122, 144, 32);
    get_ = place(new QRadioButton(QStringLiteral("GET"), method), QStringLiteral("单选框_get"), 9,
                 7, 56, 18);
    post_ = place(new QRadioButton(QStringLiteral("POST"), method), QStringLiteral("单选框_post"),
                  72, 7, 64, 18);
    fieldLabel(this, QStringLiteral("响应类型："), 280, 128);
    auto* answer = place(new QGroupBox(this), QStringLiteral("分组框2"), 280, 122, 166, 32);
    json_ = place(new QRadioButton(QStringLiteral("JSON"), answer), QStringLiteral("单选框_json"),
                  9, 7, 60, 18);
    regex_ = place(new QRadioButton(QStringLiteral("正则表达式"), answer),
                   QStringLiteral("单选框_正则表达式"), 72, 7, 90, 18);

    fieldLabel(this, QStringLiteral("绑定语句："), 71, 162);
    tying_ = textBox(this, QStringLiteral("编辑框_绑定语句"), 71, 160, 378, 50);
    fieldLabel(this, QStringLiteral("返回语句："), 71, 216);
    result_ = textBox(this, QStringLiteral("编辑框_返回语句"), 71, 214, 378, 50);
    fieldLabel(this, QStringLiteral("编码转换："), 71, 269);
    conversion_ = place(new QComboBox(this), QStringLiteral("组合框_编码转换"), 71, 269, 113, 20);
    conversion_->addItems(
        {QStringLiteral("默认"), QStringLiteral("UTF-8解码"), QStringLiteral("USC2-ANSI")});
    hint_ = place(new QLabel(this), QStringLiteral("标签_编码提示"), 190, 264, 259, 34);
    hint_->setWordWrap(true);
    hint_->setStyleSheet(QStringLiteral("color: #c0392b;"));
    hint_->hide();
    fieldLabel(this, QStringLiteral("Headers："), 71, 304);
    headers_ = textBox(this, QStringLiteral("编辑框_Headers"), 71, 302, 378, 50);
    fieldLabel(this, QStringLiteral("Date："), 71, 358);
    date_ = textBox(this, QStringLiteral("编辑框_date"), 71, 356, 378, 50);

    // The inputs of a multi-step template's account go below Date, the buttons below them.
    int below = 416;
    if (entry_.Cid != 0) {
        if (const auto account = book_.flowAccount(entry_)) {
            inputs_.emplace(this, *account, 71, below - 4, 449);
            if (inputs_->empty()) {
                inputs_.reset();
            } else {
                below += inputs_->height();
            }
        }
    }
    verdict_ = place(new QLabel(this), QStringLiteral("标签_判定"), 8, below, 150, 25);
    auto* stepsButton = place(new QPushButton(QStringLiteral("多步骤…"), this),
                              QStringLiteral("超级按钮_多步骤"), 162, below, 76, 25);
    trial_.emplace(result_, verdict_, hint_);
    auto* rulesButton = place(new QPushButton(QStringLiteral("判定规则"), this),
                              QStringLiteral("超级按钮_判定规则"), 244, below, 61, 25);
    auto* trialButton = place(new QPushButton(QStringLiteral("调试"), this),
                              QStringLiteral("超级按钮_调试"), 316, below, 61, 25);
    auto* saveButton = place(new QPushButton(QStringLiteral("保存"), this),
                             QStringLiteral("超级按钮_保存1"), 388, below, 61, 25);
    for (QPushButton* b : {stepsButton, rulesButton, trialButton, saveButton}) {
        b->setAutoDefault(false);
    }
    connect(stepsButton, &QPushButton::clicked, this, &ModifyDialog::editSteps);
    connect(rulesButton, &QPushButton::clicked, this, &ModifyDialog::editRules);
    connect(trialButton, &QPushButton::clicked, this, &ModifyDialog::trial);
    connect(saveButton, &QPushButton::clicked, this, &ModifyDialog::save);

    // The entry's template; the result box stays empty.
    setEditText(name_, entry_.WebName);
    setEditText(login_, entry_.Weblogin);
    setEditText(link_, entry_.WebLink);
    setEditText(tying_, entry_.Tying);
    setEditText(headers_, entry_.Headers);
    setEditText(date_, entry_.Date);
    conversion_->setCurrentIndex(
        entry_.Ctype >= 0 && entry_.Ctype < conversion_->count() ? entry_.Ctype : -1);
    (entry_.Rtype == AnswerType::Json ? json_ : regex_)->setChecked(true);
    (entry_.Qtype == RequestMethod::Get ? get_ : post_)->setChecked(true);
    storedRules_ = book_.rules(entry_.id);
    rules_ = storedRules_;
    std::tie(storedOwn_.proxy, storedOwn_.schedule) = book_.ownSettings(entry_.id);
    own_ = storedOwn_;
    ownButton_->setToolTip(ownSettingsSummary(own_));
    // Only the user's choice converts: the entry's item above was selected before this.
    connect(conversion_, &QComboBox::currentIndexChanged, this, &ModifyDialog::conversionChanged);

    if (inputs_) {
        setWindowHeight(below + 35);
    }
    placeBeside(owner, 170, -34);
    name_->setFocus();
}

ModifyDialog::~ModifyDialog() {
    if (flowTrial_ != nullptr) {
        flowTrial_->stopAndWait();
    }
}

TemplateFields ModifyDialog::fields() const {
    TemplateFields f;
    f.WebName = editText(name_);
    f.Weblogin = editText(login_);
    f.WebLink = editText(link_);
    f.Qtype = get_->isChecked() ? RequestMethod::Get : RequestMethod::Post;
    f.Rtype = json_->isChecked() ? AnswerType::Json : AnswerType::Regex;
    f.Ctype = conversion_->currentIndex();
    f.Tying = editText(tying_);
    f.Headers = editText(headers_);
    f.Date = editText(date_);
    return f;
}

void ModifyDialog::editRules() {
    VerdictRulesDialog dialog(rules_, this);
    if (dialog.exec() == QDialog::Accepted) {
        rules_ = dialog.rules();
    }
}

void ModifyDialog::editOwnSettings() {
    ScheduleProxyDialog dialog(own_, this);
    if (dialog.exec() == QDialog::Accepted) {
        own_ = dialog.settings();
        ownButton_->setToolTip(ownSettingsSummary(own_));
    }
}

TrialSetup ModifyDialog::trialSetup() const {
    TrialSetup setup;
    setup.url = editText(link_);
    setup.get = get_->isChecked();
    setup.conversion = conversion_->currentIndex();
    setup.json = json_->isChecked();
    setup.regex = regex_->isChecked();
    setup.tying = editText(tying_);
    setup.login = editText(login_);
    setup.rules = rules_;
    return setup;
}

void ModifyDialog::conversionChanged(int index) {
    const AccountAnswer* answer = trial_->answerShown();
    if (answer == nullptr) {
        return;
    }
    TrialSetup setup = trialSetup();
    setup.conversion = index;
    WindowMessageSink messages(calls_, std::stop_token{});
    trial_->show(reevaluateTrial(setup, *answer, messages));
}

StepEditorDialog* ModifyDialog::stepEditor() const {
    return stepEditor_.data();
}

void ModifyDialog::editSteps() {
    if (stepEditor_ != nullptr) {
        stepEditor_->raise();
        return;
    }
    const std::optional<std::string> steps = editedSteps_ ? editedSteps_ : book_.steps(entry_.id);
    stepEditor_ = StepEditorDialog::open(
        flow::stepListFor(steps, fields()), this, [this](std::string edited) {
            // The first request's address and method on the
            // window, as the list shows them.
            auto read = flow::importFlowText(edited, flow::TemplateFormat::CommunityJson, {}, {});
            if (const auto* imported = std::get_if<flow::ImportedFlow>(&read)) {
                setEditText(link_, imported->fields.WebLink);
                (imported->fields.Qtype == RequestMethod::Get ? get_ : post_)->setChecked(true);
            }
            editedSteps_ = std::move(edited);
        });
}

void ModifyDialog::trial() {
    if (editedSteps_) {
        // The edited steps, with the account's inputs.
        auto account = std::make_shared<FlowAccount>(*readableFlow(editText(name_), *editedSteps_));
        if (const auto stored = book_.flowAccount(entry_)) {
            account->inputs = stored->inputs;
        }
        trialFlow(*account);
        return;
    }
    if (const std::shared_ptr<const FlowAccount> account = book_.flowAccount(entry_)) {
        trialFlow(*account);
        return;
    }
    const TrialSetup setup = trialSetup();
    // Copies of the window's fields: the request does not change them. The entry's cookie
    // receives what the site sets.
    Text headers = editText(headers_);
    const Text body = editText(date_);
    WindowMessageSink messages(calls_, std::stop_token{});
    trial_->show(runTrial(setup, entry_.Cookie, headers, body, messages));
}

void ModifyDialog::trialFlow(const FlowAccount& account) {
    if (flowTrial_ != nullptr && flowTrial_->running()) {
        flowTrial_->show();
        flowTrial_->raise();
        return;
    }
    // The entry as the window now holds it: its cookie, the fields as edited.
    SiteTemplate site = entry_;
    site.WebName = editText(name_);
    site.Weblogin = editText(login_);
    site.Tying = editText(tying_);
    site.Rtype = json_->isChecked() ? AnswerType::Json : AnswerType::Regex;
    if (const auto refusal = flowTrialRefusal(account, site.hasCookie())) {
        MessageBoxes::inform(this, *refusal, QStringLiteral("调试工具"), BoxIcon::Information);
        return;
    }
    if (flowTrial_ == nullptr) {
        flowTrial_ = new FlowTrialWindow(this, calls_);
        connect(flowTrial_, &FlowTrialWindow::finished, this, &ModifyDialog::flowTrialFinished);
    }
    trial_->clear();
    flowTrialCookie_ = site.Cookie;
    flowTrial_->start(site, account, rules_);
}

void ModifyDialog::flowTrialFinished(const FlowTrialOutcome& outcome) {
    setEditText(result_, outcome.run.listText);
    showTrialVerdict(verdict_, outcome.verdict);
    if (entry_.Cookie == flowTrialCookie_) {
        entry_.Cookie = outcome.run.cookie;
    }
}

void ModifyDialog::save() {
    if (name_->text().isEmpty()) {
        MessageBoxes::inform(this, QStringLiteral("修改信息不完整，请补充完毕再保存！"),
                             QStringLiteral("修改工具"), BoxIcon::Information);
        return;
    }
    // Rules stored by an import have not been through the rules window: the same check holds.
    if (const auto invalid = invalidVerdictRule(rules_)) {
        MessageBoxes::inform(this, fromAnsi(*invalid), QStringLiteral("判定规则"),
                             BoxIcon::Warning);
        return;
    }
    const TemplateFields changed = fields();
    if (const std::optional<QString> oversized = oversizedSaveText(changed, {})) {
        MessageBoxes::inform(this, *oversized, kModifyCaption, BoxIcon::Warning);
        return;
    }
    if (inputs_) {
        if (const std::optional<QString> oversized = inputs_->oversizedText()) {
            MessageBoxes::inform(this, *oversized, kModifyCaption, BoxIcon::Warning);
            return;
        }
    }
    const WriteResult written = book_.updateTemplate(entry_.id, changed);
    if (!written.prepared) {
        MessageBoxes::inform(this, QStringLiteral("SQL语句执行失败！"), kModifyCaption,
                             BoxIcon::Warning);
        return;
    }
    if (!written.done) {
        MessageBoxes::inform(this,
                             QStringLiteral("模板信息提交失败！\r\n") + fromAnsi(written.error),
                             kModifyCaption, BoxIcon::Information);
        return;
    }
    // Unchanged rules are not written, so a file without the Verdict table keeps it that way.
    if (!sameRules(rules_, storedRules_)) {
        const WriteResult rules = book_.saveRules(entry_.id, rules_);
        if (!rules) {
            MessageBoxes::inform(this,
                                 QStringLiteral("判定规则保存失败！\r\n") + fromAnsi(rules.error),
                                 kModifyCaption, BoxIcon::Information);
            book_.reload();  // the template itself did change
            return;
        }
        storedRules_ = rules_;
    }
    if (own_ != storedOwn_) {
        const WriteResult own = book_.saveOwnSettings(entry_.id, own_.proxy, own_.schedule);
        if (!own) {
            MessageBoxes::inform(this,
                                 QStringLiteral("周期与代理保存失败！\r\n") + fromAnsi(own.error),
                                 kModifyCaption, BoxIcon::Information);
            book_.reload();  // the template itself did change
            return;
        }
        storedOwn_ = own_;
    }
    if (editedSteps_) {
        const WriteResult stored = book_.saveSteps(entry_.id, *editedSteps_);
        if (!stored) {
            MessageBoxes::inform(this,
                                 QStringLiteral("步骤保存失败！\r\n") + fromAnsi(stored.error),
                                 kModifyCaption, BoxIcon::Information);
            book_.reload();  // the template itself did change
            return;
        }
        editedSteps_.reset();
    }
    if (inputs_) {
        if (const std::vector<InputChange> changes = inputs_->changes(); !changes.empty()) {
            const WriteResult stored = book_.changeInputs(entry_.Cid, changes);
            if (!stored) {
                MessageBoxes::inform(
                    this, QStringLiteral("账号参数保存失败！\r\n") + fromAnsi(stored.error),
                    kModifyCaption, BoxIcon::Information);
                book_.reload();  // the template itself did change
                return;
            }
            inputs_->markStored();
        }
    }
    MessageBoxes::inform(this, QStringLiteral("模板信息修改成功！"), kModifyCaption,
                         BoxIcon::Information);
    book_.reload();
}

}  // namespace vesprey::ui
