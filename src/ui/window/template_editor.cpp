#include "ui/window/template_editor.h"

#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSignalBlocker>
#include <algorithm>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/evaluation.h"
#include "engine/template_import.h"
#include "session/pass_session.h"
#include "text/gbk_text.h"
#include "ui/dialogs/edit_text.h"
#include "ui/dialogs/har_pick_dialog.h"
#include "ui/dialogs/import_dialog.h"
#include "ui/dialogs/manual_fill_dialog.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/dialogs/step_editor.h"
#include "ui/dialogs/verdict_rules_dialog.h"
#include "ui/qt_text.h"
#include "ui/window/flow_trial.h"
#include "ui/window/sign_in_pass.h"
#include "ui/window/site_book.h"
#include "ui/window/trial_request.h"

namespace vesprey::ui {
namespace {

template <class W>
W* control(QWidget* page, const char16_t* name) {
    auto* widget = page->findChild<W*>(QString::fromUtf16(name));
    Q_ASSERT(widget != nullptr);
    return widget;
}

// Checks one button of an exclusive pair, or neither (-1).
void checkOne(QRadioButton* first, QRadioButton* second, int which) {
    for (QRadioButton* b : {first, second}) {
        b->setAutoExclusive(false);
        b->setChecked(false);
    }
    if (which == 0) {
        first->setChecked(true);
    } else if (which == 1) {
        second->setChecked(true);
    }
    for (QRadioButton* b : {first, second}) {
        b->setAutoExclusive(true);
    }
}

// How much of the pending cookie and body the page shows; the tooltip shows more.
constexpr std::size_t kCookieShown = 24;
constexpr std::size_t kBodyShown = 16;
constexpr std::size_t kTooltipShown = 200;

QString originCaption(const PendingCapture& pending) {
    QString caption;
    switch (pending.origin) {
        case CookieOrigin::Unknown:
            break;
        case CookieOrigin::Browser:
            caption = QStringLiteral("浏览器");
            break;
        case CookieOrigin::ManualFill:
            caption = QStringLiteral("人工填写");
            break;
        case CookieOrigin::AddAccount:
            caption = QStringLiteral("增加");
            break;
        case CookieOrigin::Import:
            caption = QStringLiteral("一键置入");
            break;
    }
    if (!pending.originSite.empty()) {
        caption +=
            (caption.isEmpty() ? QString() : QStringLiteral("·")) + fromAnsi(pending.originSite);
    }
    return caption.isEmpty() ? caption : QStringLiteral("（") + caption + QStringLiteral("）");
}

// The lines of a header text that hold something.
int lineCount(const Text& text) {
    int lines = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        if (text.find_first_not_of("\r\n", start) < (end == Text::npos ? text.size() : end)) {
            ++lines;
        }
        start = end == Text::npos ? text.size() : end + 1;
    }
    return lines;
}

// The start of a text on one line.
QString oneLine(const Text& text, std::size_t shown) {
    QString line = fromAnsi(gbk::shortened(text, shown));
    line.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return line;
}

// "多步骤模板（3 个请求）；Cookie（增加·甲站）：a=second；Headers 2 行；Date：day=1", the
// cookie and the body cut short at `cookieShown` and `bodyShown` characters; "无" when nothing
// waits. `flowRequests` is the number of requests of the pending flow, 0 without one.
QString pendingText(const PendingCapture& pending, std::size_t flowRequests,
                    std::size_t cookieShown, std::size_t bodyShown) {
    QStringList parts;
    if (flowRequests != 0) {
        parts << QStringLiteral("多步骤模板（%1 个请求）").arg(flowRequests);
    }
    if (!pending.Cookie.empty()) {
        parts << QStringLiteral("Cookie") + originCaption(pending) + QStringLiteral("：") +
                     oneLine(pending.Cookie, cookieShown);
    }
    if (!pending.Headers.empty()) {
        parts << QStringLiteral("Headers %1 行").arg(lineCount(pending.Headers));
    }
    if (!pending.Date.empty()) {
        parts << QStringLiteral("Date：") + oneLine(pending.Date, bodyShown);
    }
    return parts.isEmpty() ? QStringLiteral("无") : parts.join(QStringLiteral("；"));
}

}  // namespace

TemplateEditor::TemplateEditor(QWidget* owner, SiteBook& book, CaptureState& capture,
                               WindowQueue& calls, QWidget* page)
    : QObject(page), owner_(owner), book_(book), capture_(capture), calls_(calls) {
    name_ = control<QLineEdit>(page, u"编辑框_网络名称");
    login_ = control<QLineEdit>(page, u"编辑框_登录链接");
    link_ = control<QLineEdit>(page, u"编辑框_签到链接");
    get_ = control<QRadioButton>(page, u"单选框_get");
    post_ = control<QRadioButton>(page, u"单选框_post");
    json_ = control<QRadioButton>(page, u"单选框_json");
    regex_ = control<QRadioButton>(page, u"单选框_正则表达式");
    tying_ = control<QPlainTextEdit>(page, u"编辑框_绑定语句");
    result_ = control<QPlainTextEdit>(page, u"编辑框_返回语句");
    conversion_ = control<QComboBox>(page, u"组合框_编码转换");
    verdict_ = control<QLabel>(page, u"标签_判定");
    hint_ = control<QLabel>(page, u"标签_编码提示");
    trial_.emplace(result_, verdict_, hint_);
    pending_ = control<QLabel>(page, u"标签_待保存");
    // The menu's captures change the pending cookie while another page is shown.
    page->installEventFilter(this);
    showPending();
    // Only the user's choice converts: the program's own selections are made with the signal
    // blocked.
    connect(conversion_, &QComboBox::currentIndexChanged, this, &TemplateEditor::conversionChanged);
}

bool TemplateEditor::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show) {
        showPending();
    }
    return QObject::eventFilter(watched, event);
}

void TemplateEditor::showPending() {
    const PendingCapture& pending = capture_.pending;
    const QString text = pendingText(pending, flowRequests_, kCookieShown, kBodyShown);
    pending_->setText(pending_->fontMetrics().elidedText(text, Qt::ElideRight, pending_->width()));
    QString whole = pendingText(pending, flowRequests_, kTooltipShown, kTooltipShown);
    if (!pending.Headers.empty()) {
        QString headers = fromAnsi(pending.Headers);
        headers.remove(QLatin1Char('\r'));
        whole += QStringLiteral("\n") + headers;
    }
    pending_->setToolTip(whole);
}

Text TemplateEditor::loginAddress() const {
    return editText(login_);
}

Text TemplateEditor::tying() const {
    return editText(tying_);
}

void TemplateEditor::setMethod(std::optional<RequestMethod> method) {
    checkOne(get_, post_, !method ? -1 : *method == RequestMethod::Get ? 0 : 1);
}

void TemplateEditor::setAnswerType(std::optional<AnswerType> type) {
    checkOne(json_, regex_, !type ? -1 : *type == AnswerType::Json ? 0 : 1);
}

void TemplateEditor::manualFill() {
    ManualFillDialog dialog(owner_, book_, capture_, capture_.mode, capture_.selected);
    dialog.exec();
    showPending();
}

void TemplateEditor::oneClickImport() {
    ImportDialog dialog(owner_);
    // A text that was not imported comes back, to be mended.
    dialog.setText(refusedImport_);
    dialog.exec();
    // Closed with its close button, the window imports nothing.
    if (!dialog.stored()) {
        return;
    }
    importText_ = dialog.importText();
    refusedImport_.clear();
    if (!importText_.empty() &&
        !importTemplate(dialog.shownText().toStdString(), importText_, dialog.fileName())) {
        refusedImport_ = dialog.shownText();
    }
}

void TemplateEditor::setPendingFlow(std::optional<std::string> steps) {
    flow_ = std::move(steps);
    flowRequests_ = 0;
    if (flow_) {
        auto read = flow::importFlowText(*flow_, flow::TemplateFormat::CommunityJson, {}, {});
        if (const auto* imported = std::get_if<flow::ImportedFlow>(&read)) {
            flowRequests_ = imported->requests;
        }
    }
    showPending();
}

void TemplateEditor::refuseImport(const std::string& message) {
    MessageBoxes::inform(owner_, QString::fromStdString(message), MessageBoxes::defaultCaption(),
                         BoxIcon::Error);
}

bool TemplateEditor::importTemplate(const std::string& utf8, const Text& ansi,
                                    const QString& fileName) {
    const flow::TemplateFormat format = flow::detectTemplateFormat(utf8);
    const std::size_t first = utf8.find_first_not_of(" \t\r\n");
    const char lead = first == std::string::npos ? '\0' : utf8[first];
    if (format == flow::TemplateFormat::SharedJson ||
        (format == flow::TemplateFormat::Unknown && lead == '{')) {
        // Broken JSON and a text without "步骤" go as they always did.
        auto shared = flow::readSharedJson(utf8);
        const auto* read = std::get_if<flow::SharedTemplate>(&shared);
        if (read == nullptr && parseTemplateImport(ansi)) {
            refuseImport("模板没有导入：" + std::get<flow::FormatError>(shared).message);
            return false;
        }
        if (!applyImport(ansi)) {
            return false;
        }
        if (read != nullptr && read->flowJson) {
            auto steps = flow::importFlowText(*read->flowJson, flow::TemplateFormat::CommunityJson,
                                              {}, "没有导入");
            if (const auto* imported = std::get_if<flow::ImportedFlow>(&steps);
                imported != nullptr && link_->text().isEmpty()) {
                setEditText(link_, imported->fields.WebLink);
            }
        }
        setPendingFlow(read != nullptr ? read->flowJson : std::nullopt);
        if (flow_) {
            editSteps();
        }
        return true;
    }
    std::vector<std::size_t> picks;
    if (format == flow::TemplateFormat::BrowserHar) {
        auto entries = flow::browserHarEntries(utf8);
        if (const auto* error = std::get_if<flow::FormatError>(&entries)) {
            refuseImport("HAR 文件没有导入：" + error->message);
            return false;
        }
        if (std::get<std::vector<flow::HarEntry>>(entries).empty()) {
            refuseImport("HAR 文件没有导入：文件里没有请求。");
            return false;
        }
        HarPickDialog pick(std::get<std::vector<flow::HarEntry>>(entries), owner_);
        if (pick.exec() != QDialog::Accepted) {
            return false;
        }
        picks = pick.picks();
    } else if (format == flow::TemplateFormat::Unknown && lead != '[') {
        refuseImport(
            "认不出这段内容：模板应是社区模板（JSON 数组）、HAR 文件、curl 命令"
            "（浏览器的“复制为 cURL”）或 Vesprey 的模板 JSON。");
        return false;
    }
    // A broken JSON array is said as a community template's, with where it breaks.
    auto read = flow::importFlowText(
        utf8,
        format == flow::TemplateFormat::Unknown ? flow::TemplateFormat::CommunityJson : format,
        picks, "没有导入");
    if (const auto* error = std::get_if<flow::FormatError>(&read)) {
        refuseImport(error->message);
        return false;
    }
    applyFlow(std::get<flow::ImportedFlow>(read), fileName);
    editSteps();
    return true;
}

void TemplateEditor::applyFlow(const flow::ImportedFlow& read, const QString& name) {
    name_->setText(name);
    login_->clear();
    setEditText(link_, read.fields.WebLink);
    setMethod(read.fields.Qtype);
    setAnswerType(read.fields.Rtype);
    tying_->clear();
    {
        const QSignalBlocker quiet(conversion_);
        conversion_->setCurrentIndex(read.fields.Ctype);
    }
    // The steps carry their own header lines and bodies; the cookie goes to the account.
    PendingCapture& pending = capture_.pending;
    pending.Headers.clear();
    pending.Date.clear();
    if (!read.cookie.empty()) {
        pending.setCookie(utf8ToAnsi(read.cookie), CookieOrigin::Import);
    }
    rules_ = {};
    flow_ = read.json;
    flowRequests_ = read.requests;
    showPending();
}

bool TemplateEditor::applyImport(const Text& text) {
    const auto imported = parseTemplateImport(text);
    if (!imported) {
        MessageBoxes::inform(owner_, fromAnsi(templateImportFailedMessage()),
                             MessageBoxes::defaultCaption(), BoxIcon::Error);
        return false;
    }
    // The rules are checked as vesprey-cli import checks them, before anything changes.
    if (const std::optional<Text> invalid = invalidVerdictRule(imported->rules)) {
        refuseImport("模板没有导入：判定规则不是有效的正则表达式：" + ansiToUtf8(*invalid) + "。");
        return false;
    }
    setEditText(name_, imported->WebName);
    setEditText(login_, imported->Weblogin);
    setEditText(link_, imported->WebLink);
    setMethod(imported->method);
    setAnswerType(imported->answerType);
    setEditText(tying_, imported->Tying);
    {
        const QSignalBlocker quiet(conversion_);
        conversion_->setCurrentIndex(importedConversion(imported->conversion));
    }
    PendingCapture& pending = capture_.pending;
    pending.Headers = imported->Headers;
    pending.Date = imported->Date;
    rules_ = imported->rules;
    showPending();
    return true;
}

void TemplateEditor::editRules() {
    VerdictRulesDialog dialog(rules_, owner_);
    if (dialog.exec() == QDialog::Accepted) {
        const VerdictRules rules = dialog.rules();
        const bool changed = rules.success != rules_.success || rules.already != rules_.already ||
                             rules.expired != rules_.expired;
        rules_ = rules;
        if (changed) {
            // The verdict shown was made by the old rules.
            showTrialVerdict(verdict_, std::nullopt);
        }
    }
}

void TemplateEditor::reset() {
    name_->clear();
    link_->clear();
    result_->clear();
    tying_->clear();
    {
        const QSignalBlocker quiet(conversion_);
        conversion_->setCurrentIndex(0);
    }
    setMethod(RequestMethod::Get);
    setAnswerType(AnswerType::Json);
    capture_.pending.clear();
    rules_ = {};
    flow_.reset();
    flowRequests_ = 0;
    trial_->clear();
    showPending();
}

void TemplateEditor::applyRecordedFlow(std::string steps, const Text& link, RequestMethod method) {
    setEditText(link_, link);
    setMethod(method);
    setPendingFlow(std::move(steps));
}

void TemplateEditor::clearPending() {
    capture_.pending.clear();
    showPending();
}

TrialSetup TemplateEditor::trialSetup() const {
    TrialSetup setup;
    setup.url = editText(link_);
    setup.get = get_->isChecked();
    setup.conversion = conversion_->currentIndex();
    setup.json = json_->isChecked();
    setup.regex = regex_->isChecked();
    setup.tying = tying();
    setup.login = editText(login_);
    setup.rules = rules_;
    return setup;
}

void TemplateEditor::trial() {
    if (flow_) {
        trialFlow();
        return;
    }
    if (link_->text().isEmpty()) {
        MessageBoxes::inform(owner_, QStringLiteral("信息不完整，请抓取完整的信息，再进行调试！"),
                             QStringLiteral("调试工具"), BoxIcon::Information);
        return;
    }
    const TrialSetup setup = trialSetup();
    // The pending cookie receives the merge with what the site set, and pending header lines
    // their completion with the default headers; a later save stores them so.
    PendingCapture& pending = capture_.pending;
    const Text body = pending.Date;
    WindowMessageSink messages(calls_, std::stop_token{});
    trial_->show(runTrial(setup, pending.Cookie, pending.Headers, body, messages));
    showPending();
}

void TemplateEditor::trialFlow() {
    const QString caption = QStringLiteral("调试工具");
    if (flowTrial_ != nullptr && flowTrial_->running()) {
        flowTrial_->show();
        flowTrial_->raise();
        return;
    }
    SiteTemplate site;
    site.WebName = editText(name_);
    site.Weblogin = editText(login_);
    site.Tying = tying();
    site.Rtype = json_->isChecked() ? AnswerType::Json : AnswerType::Regex;
    site.Cookie = capture_.pending.Cookie;
    const std::shared_ptr<const FlowAccount> account = readableFlow(site.WebName, *flow_);
    if (const auto refusal = flowTrialRefusal(*account, site.hasCookie())) {
        MessageBoxes::inform(owner_, *refusal, caption, BoxIcon::Information);
        return;
    }
    if (flowTrial_ == nullptr) {
        flowTrial_ = new FlowTrialWindow(owner_, calls_);
        connect(flowTrial_, &FlowTrialWindow::finished, this, &TemplateEditor::flowTrialFinished);
    }
    trial_->clear();
    flowTrialCookie_ = site.Cookie;
    flowTrial_->start(site, *account, rules_);
}

void TemplateEditor::flowTrialFinished(const FlowTrialOutcome& outcome) {
    setEditText(result_, outcome.run.listText);
    showTrialVerdict(verdict_, outcome.verdict);
    // The cookie merged with what the sites set, unless another was captured meanwhile.
    if (capture_.pending.Cookie == flowTrialCookie_) {
        capture_.pending.Cookie = outcome.run.cookie;
    }
    showPending();
}

void TemplateEditor::stopTrial() {
    if (flowTrial_ != nullptr) {
        flowTrial_->stopAndWait();
    }
}

void TemplateEditor::conversionChanged(int index) {
    if (const AccountAnswer* answer = trial_->answerShown()) {
        TrialSetup setup = trialSetup();
        setup.conversion = index;
        WindowMessageSink messages(calls_, std::stop_token{});
        trial_->show(reevaluateTrial(setup, *answer, messages));
        return;
    }
    Text text = editText(result_);
    text = convertAnswer(text, index);  // items other than 1 and 2 leave it
    const Text statement = tying();
    if (!statement.empty()) {
        if (json_->isChecked() && !text.empty()) {
            text = evaluateJson(text, statement);
        } else if (regex_->isChecked()) {
            WindowMessageSink messages(calls_, std::stop_token{});
            text = evaluateRegex(text, statement, messages);
        }
    }
    setEditText(result_, text);
}

TemplateFields TemplateEditor::pageFields() const {
    TemplateFields fields;
    fields.WebName = editText(name_);
    fields.WebLink = editText(link_);
    fields.Weblogin = editText(login_);
    fields.Rtype = json_->isChecked() ? AnswerType::Json : AnswerType::Regex;
    fields.Qtype = get_->isChecked() ? RequestMethod::Get : RequestMethod::Post;
    fields.Ctype = conversion_->currentIndex();
    fields.Tying = tying();
    fields.Headers = capture_.pending.Headers;
    fields.Date = capture_.pending.Date;
    return fields;
}

StepEditorDialog* TemplateEditor::stepEditor() const {
    return stepEditor_.data();
}

void TemplateEditor::editSteps() {
    if (stepEditor_ != nullptr) {
        stepEditor_->raise();
        return;
    }
    stepEditor_ =
        StepEditorDialog::open(flow::stepListFor(flow_, pageFields()), owner_,
                               [this](std::string steps) { applySteps(std::move(steps)); });
}

void TemplateEditor::applySteps(std::string steps) {
    const bool wasFlow = flow_.has_value();
    auto read = flow::importFlowText(steps, flow::TemplateFormat::CommunityJson, {}, {});
    if (const auto* imported = std::get_if<flow::ImportedFlow>(&read)) {
        setEditText(link_, imported->fields.WebLink);
        setMethod(imported->fields.Qtype);
    }
    if (!wasFlow) {
        // The one step carries the page's header lines and body now.
        capture_.pending.Headers.clear();
        capture_.pending.Date.clear();
    }
    trial_->clear();
    setPendingFlow(std::move(steps));
}

void TemplateEditor::save() {
    const Text name = editText(name_);
    const Text link = editText(link_);
    if (name.empty() && link.empty()) {
        MessageBoxes::inform(owner_, QStringLiteral("信息不完整，请调试完毕后，再进行保存！"),
                             QStringLiteral("保存工具"), BoxIcon::Information);
        return;
    }
    // Imported rules have not been through the rules window: the same check holds here.
    if (const auto invalid = invalidVerdictRule(rules_)) {
        MessageBoxes::inform(owner_, fromAnsi(*invalid), QStringLiteral("判定规则"),
                             BoxIcon::Warning);
        return;
    }
    if (!confirmNameTaken(name)) {
        return;
    }
    const PendingCapture& pending = capture_.pending;
    const TemplateFields fields = pageFields();

    if (const std::optional<QString> oversized = oversizedSaveText(fields, pending.Cookie)) {
        MessageBoxes::inform(owner_, *oversized, QStringLiteral("保存工具"), BoxIcon::Warning);
        return;
    }
    // The template and its first account go in together or not at all; a multi-step template's
    // account is added even without a cookie, for its inputs.
    int newCid = 0;
    AddSiteResult added;
    if (flow_) {
        const AddFlowSiteResult flowSite = book_.addFlowSite(fields, pending.Cookie, *flow_, {});
        added = flowSite.site;
        newCid = flowSite.cid;
    } else {
        added = book_.addSite(fields, pending.Cookie, &newCid);
    }
    if (!added.write.prepared && !added.templateInserted) {
        return;  // the template's statement could not be prepared
    }
    const QString caption = QStringLiteral("增加模板");
    if (!added.write) {
        MessageBoxes::inform(
            owner_,
            QStringLiteral("增加模板失败，请截图错误提示！\r\n") + fromAnsi(added.write.error),
            caption, BoxIcon::Information);
        return;
    }
    // The rules go in after the site, under its new id; the site stays when they fail.
    WriteResult rules;
    rules.done = true;
    if (!rules_.empty()) {
        rules = book_.saveRules(added.id, rules_);
    }
    if (!rules) {
        MessageBoxes::inform(
            owner_,
            QStringLiteral("新增网站模板成功，但判定规则保存失败！\r\n") + fromAnsi(rules.error),
            caption, BoxIcon::Warning);
    } else {
        MessageBoxes::inform(owner_, QStringLiteral("新增网站模板成功！"), caption,
                             BoxIcon::Information);
    }
    if (newCid != 0 && pending.cookieExpires.isValid()) {
        book_.rememberCookieExpiry(newCid, pending.cookieExpires);
    }
    // What went in with the site (its account's cookie, header lines and body, its rules and
    // steps) is not kept for the next one; the page's fields stay for a similar site.
    capture_.pending.clear();
    rules_ = {};
    flow_.reset();
    flowRequests_ = 0;
    showPending();
    book_.reload();
}

bool TemplateEditor::confirmNameTaken(const Text& name) {
    if (name.empty()) {
        return true;
    }
    const SiteList& sites = book_.sites();
    const bool taken = std::any_of(sites.begin(), sites.end(), [&name](const SiteTemplate& site) {
        return site.WebName == name;
    });
    if (!taken) {
        return true;
    }
    BoxRequest question;
    question.text = QStringLiteral("已有同名网站“%1”：再保存会多出一个同名的网站。仍要保存吗？")
                        .arg(fromAnsi(name));
    question.caption = QStringLiteral("保存工具");
    question.icon = BoxIcon::Question;
    question.buttons = BoxButtons::OkCancel;
    return MessageBoxes::show(owner_, question) == BoxAnswer::Ok;
}

}  // namespace vesprey::ui
