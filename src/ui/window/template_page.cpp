#include "ui/window/template_page.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <chrono>
#include <optional>

#include "ui/browser/browser_loader.h"
#include "ui/browser/recorded_requests.h"
#include "ui/dialogs/message_boxes.h"
#include "ui/dialogs/recording_dialog.h"
#include "ui/layout.h"
#include "ui/window/capture.h"
#include "ui/window/template_editor.h"

namespace vesprey::ui {
TemplatePage::TemplatePage(QWidget* owner, SiteBook& book, CaptureState& capture,
                           WindowQueue& calls)
    : owner_(owner), capture_(capture) {
    QWidget* page = this;
    label(page, QStringLiteral("数据模式："), 16, 12);
    auto* browser = place(new QPushButton(QStringLiteral("软件登录 "), page),
                          QStringLiteral("超级按钮_软件登录"), 80, 10, 92, 25);
    auto* manual = place(new QPushButton(QStringLiteral("人工填写"), page),
                         QStringLiteral("超级按钮_人工填写"), 179, 10, 92, 25);
    auto* import = place(new QPushButton(QStringLiteral("一键置入"), page),
                         QStringLiteral("超级按钮_一键置入"), 278, 10, 92, 25);
    // What the last "调试" would be judged as.
    place(new QLabel(page), QStringLiteral("标签_判定"), 378, 10, 210, 25);

    label(page, QStringLiteral("网站名称："), 16, 48);
    place(new QLineEdit(page), QStringLiteral("编辑框_网络名称"), 79, 46, 497, 24);
    label(page, QStringLiteral("登录链接："), 16, 77);
    place(new QLineEdit(page), QStringLiteral("编辑框_登录链接"), 79, 75, 497, 24);
    label(page, QStringLiteral("签到链接："), 16, 107);
    place(new QLineEdit(page), QStringLiteral("编辑框_签到链接"), 79, 105, 497, 24);

    label(page, QStringLiteral("请求模式："), 16, 137);
    auto* method = place(new QGroupBox(page), QStringLiteral("分组框1"), 80, 131, 169, 32);
    place(new QRadioButton(QStringLiteral("GET"), method), QStringLiteral("单选框_get"), 9, 7, 60,
          18)
        ->setChecked(true);
    place(new QRadioButton(QStringLiteral("POST"), method), QStringLiteral("单选框_post"), 84, 7,
          70, 18);
    label(page, QStringLiteral("响应类型："), 264, 137);
    auto* answer = place(new QGroupBox(page), QStringLiteral("分组框2"), 328, 131, 169, 32);
    place(new QRadioButton(QStringLiteral("JSON"), answer), QStringLiteral("单选框_json"), 9, 7, 60,
          18)
        ->setChecked(true);
    place(new QRadioButton(QStringLiteral("正则表达式"), answer),
          QStringLiteral("单选框_正则表达式"), 74, 7, 90, 18);

    label(page, QStringLiteral("绑定语句："), 16, 169);
    place(new QPlainTextEdit(page), QStringLiteral("编辑框_绑定语句"), 79, 167, 497, 46);
    // What a save stores besides the fields: the pending cookie, header lines and body.
    label(page, QStringLiteral("待保存："), 16, 217);
    place(new QLabel(page), QStringLiteral("标签_待保存"), 79, 215, 428, 20);
    auto* clearPending = place(new QPushButton(QStringLiteral("清除"), page),
                               QStringLiteral("超级按钮_清除"), 514, 214, 61, 22);
    label(page, QStringLiteral("返回语句："), 16, 240);
    place(new QPlainTextEdit(page), QStringLiteral("编辑框_返回语句"), 79, 238, 497, 48);
    // "答复像是 UTF-8 编码…" after a trial whose answer wants another conversion.
    auto* hint = place(new QLabel(page), QStringLiteral("标签_编码提示"), 79, 288, 497, 20);
    hint->setStyleSheet(QStringLiteral("color: #c0392b;"));
    hint->hide();
    label(page, QStringLiteral("编码转换："), 16, 313);
    conversion_ = place(new QComboBox(page), QStringLiteral("组合框_编码转换"), 79, 313, 113, 20);
    conversion_->addItems(
        {QStringLiteral("默认"), QStringLiteral("UTF-8解码"), QStringLiteral("USC2-ANSI")});

    auto* steps = place(new QPushButton(QStringLiteral("多步骤…"), page),
                        QStringLiteral("超级按钮_多步骤"), 206, 312, 84, 25);
    auto* rules = place(new QPushButton(QStringLiteral("判定规则"), page),
                        QStringLiteral("超级按钮_判定规则"), 297, 312, 61, 25);
    auto* reset = place(new QPushButton(QStringLiteral("初始化"), page),
                        QStringLiteral("超级按钮_初始化"), 369, 312, 61, 25);
    auto* trial = place(new QPushButton(QStringLiteral("调试"), page),
                        QStringLiteral("超级按钮_调试"), 442, 312, 61, 25);
    save_ = place(new QPushButton(QStringLiteral("保存"), page), QStringLiteral("超级按钮_保存"),
                  514, 312, 61, 25);

    editor_ = new TemplateEditor(owner, book, capture, calls, page);
    connect(browser, &QPushButton::clicked, this, &TemplatePage::browserLogin);
    connect(manual, &QPushButton::clicked, editor_, &TemplateEditor::manualFill);
    connect(import, &QPushButton::clicked, editor_, &TemplateEditor::oneClickImport);
    connect(steps, &QPushButton::clicked, editor_, &TemplateEditor::editSteps);
    connect(rules, &QPushButton::clicked, editor_, &TemplateEditor::editRules);
    connect(reset, &QPushButton::clicked, editor_, &TemplateEditor::reset);
    connect(clearPending, &QPushButton::clicked, editor_, &TemplateEditor::clearPending);
    connect(trial, &QPushButton::clicked, editor_, &TemplateEditor::trial);
    connect(save_, &QPushButton::clicked, editor_, &TemplateEditor::save);
}

void TemplatePage::setSaveEnabled(bool enabled) {
    save_->setEnabled(enabled);
}

void TemplatePage::browserLogin() {
    QString failure;
    CapturedCookie captured;
    // A recording the user picked requests of: the flow they make, and the sign-in request.
    std::optional<flow::RecordedFlow> written;
    flow::RecordedRequest signIn;
    auto recorded = [&](const QList<BrowserRecordedRequest>& requests, const QByteArray& cookie,
                        QWidget* window) {
        const std::vector<flow::RecordedRequest> all = recordedRequests(requests);
        if (all.empty()) {
            MessageBoxes::inform(
                window, QStringLiteral("没有录到请求：请先打开“录制”，再登录、点网站的签到按钮。"),
                QStringLiteral("录制签到"), BoxIcon::Information);
            return false;
        }
        RecordingDialog dialog(all, flow::likelySignIn(all), window);
        if (dialog.exec() != QDialog::Accepted) {
            return false;  // the window stays: the user may record again
        }
        const std::vector<std::size_t> picks = dialog.picks();
        const std::string cookieText = cookie.toStdString();
        written = flow::flowFromRecording(all, picks, cookieText, std::chrono::system_clock::now());
        signIn = all[picks.back()];
        captured.cookie = utf8ToAnsi(cookieText);
        return true;
    };
    const BrowserLoginResult result =
        captureForEditor(owner_, editor_->loginAddress(), &captured, &failure, recorded);
    capture_.mode = CaptureMode::ForEditor;
    if (result == BrowserLoginResult::Captured || result == BrowserLoginResult::Recorded) {
        capture_.pending.setCookie(std::move(captured.cookie), CookieOrigin::Browser, {},
                                   captured.expires);
    }
    editor_->showPending();
    if (result == BrowserLoginResult::Recorded && written) {
        editor_->applyRecordedFlow(
            std::move(written->json), utf8ToAnsi(signIn.url),
            signIn.method == "GET" ? RequestMethod::Get : RequestMethod::Post);
        // The new flow runs at once, so that the user sees it work before saving.
        editor_->trial();
        return;
    }
    if (result == BrowserLoginResult::Unavailable) {
        MessageBoxes::inform(owner_, failure, QStringLiteral("软件登录"), BoxIcon::Warning);
    }
}

}  // namespace vesprey::ui
