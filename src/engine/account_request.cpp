#include "engine/account_request.h"

#include <algorithm>

#include "text/gbk_text.h"

namespace vesprey {

AccountRequest accountRequestFor(const SiteTemplate& site) {
    AccountRequest request;
    request.url = site.WebLink;
    request.get = site.Qtype == RequestMethod::Get;
    request.cookie = site.Cookie;
    request.headers = site.Headers;
    request.body = site.Date;
    request.conversion = site.Ctype;
    request.extraction = site.Rtype == AnswerType::Json ? Extraction::Json : Extraction::Regex;
    request.tying = site.Tying;
    request.keepBody = false;
    return request;
}

AccountAnswer requestAccount(const AccountRequest& request, MessageSink& messages) {
    HttpRequest http;
    http.url = request.url;
    http.method = request.get ? HttpMethod::Get : HttpMethod::Post;
    http.cookie = request.cookie;
    const bool ownHeaders = !request.headers.empty();
    http.headers = ownHeaders ? request.headers : kDesktopUserAgentLine;
    if (ownHeaders || !request.get) {
        http.body = request.body;
    }
    http.verifyTls = request.verifyTls;
    http.deadlineMs = request.deadlineMs;
    http.stop = request.stop;
    http.answerBudget = request.answerBudget;
    http.proxy = request.proxy;

    AccountAnswer outcome;
    outcome.response = WebClient::send(http);
    outcome.cookie = std::move(outcome.response.cookie);
    if (ownHeaders) {
        outcome.headers = std::move(outcome.response.sentHeaders);
    }
    if (!outcome.response.sent()) {
        return outcome;  // nothing to evaluate; listText says why
    }
    evaluateAnswer(outcome, request, messages);
    return outcome;
}

void evaluateAnswer(AccountAnswer& outcome, const AccountRequest& request, MessageSink& messages) {
    Bytes& body = outcome.response.body;
    if (!request.keepBody && request.conversion != kCtypeUtf8Decode &&
        request.conversion != kCtypeUsc2Ansi && body.find('\0') == Bytes::npos) {
        outcome.answer = std::move(body);  // the answer is the body as it came
        body.clear();
    } else {
        outcome.answer = convertAnswer(body, request.conversion);
    }
    outcome.extracted = !request.tying.empty() && request.extraction != Extraction::None;
    outcome.result.clear();
    if (outcome.extracted) {
        outcome.result = request.extraction == Extraction::Json
                             ? evaluateJson(outcome.answer, request.tying)
                             : evaluateRegex(outcome.answer, request.tying, messages);
    }
}

std::optional<Text> encodingHint(std::string_view rawAnswer, int conversion) {
    rawAnswer = rawAnswer.substr(0, rawAnswer.find('\0'));
    const bool beyondAscii = std::any_of(rawAnswer.begin(), rawAnswer.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x80;
    });
    if (conversion != kCtypeNone || !beyondAscii || !isValidUtf8(rawAnswer)) {
        return std::nullopt;
    }
    return utf8ToAnsi("答复像是 UTF-8 编码，请把“编码转换”设为“UTF-8解码”");
}

Text AccountAnswer::listText() const {
    if (!response.sent() || response.error.code == HttpErrorCode::AnswerTooLarge) {
        return response.error.message;
    }
    std::string_view shown = extracted ? result : answer;
    if (shown.empty()) {
        // The body as received; when it was moved into the answer, the two were the same.
        shown = response.body.empty() ? std::string_view(answer) : response.body;
        shown = shown.substr(0, shown.find('\0'));
    }
    return gbk::shortened(shown, kMaxResultCharacters);
}

Text AccountAnswer::trialText() const {
    return result.empty() || result == matchFailedText() ? answer : result;
}

}  // namespace vesprey
