#include "ui/trial_request.h"

#include <QApplication>
#include <QCursor>

#include "engine/evaluation.h"
#include "engine/messages.h"
#include "web/web_client.h"

namespace vesprey::ui {
namespace {

// The wait cursor for as long as the object lives.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

const Text& matchFailed() {
    static const Text text = utf8ToAnsi("匹配失败");
    return text;
}

}  // namespace

Text convertForTrial(std::string_view answer, int conversion) {
    if (conversion == kCtypeUtf8Decode || conversion == kCtypeUsc2Ansi) {
        return convertAnswer(answer, conversion);
    }
    return Text(answer);
}

Text extractForTrial(std::string_view answer, const TrialSetup& setup, MessageSink& messages) {
    if (setup.tying.empty()) {
        return {};
    }
    if (setup.json) {
        return evaluateJson(answer, setup.tying);
    }
    if (setup.regex) {
        return evaluateRegex(answer, setup.tying, messages);
    }
    return {};
}

Text runTrial(const TrialSetup& setup, Text& cookie, Text& headers, std::string_view body,
              MessageSink& messages) {
    const int method = setup.get ? HttpMethod::Get : HttpMethod::Post;
    RequestOptions options;
    options.cookie = &cookie;
    Text userAgent;
    if (!headers.empty()) {
        options.headers = &headers;
        options.body = body;
    } else {
        userAgent = kTrialUserAgent;
        options.headers = &userAgent;
        if (method == HttpMethod::Post) {
            options.body = body;
        }
    }
    Bytes bytes;
    {
        BusyCursor busy;
        bytes = WebClient::request(setup.url, method, options);
    }
    // The answer is the body as received, up to its first NUL.
    const Text answer = convertForTrial(bytes.substr(0, bytes.find('\0')), setup.conversion);
    const Text result = extractForTrial(answer, setup, messages);
    return result.empty() || result == matchFailed() ? answer : result;
}

}  // namespace vesprey::ui
