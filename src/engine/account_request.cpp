#include "engine/account_request.h"

namespace vesprey {

AccountRequest accountRequestFor(const SiteTemplate& site) {
    AccountRequest request;
    request.url = site.WebLink;
    request.get = site.Qtype == 1;
    request.cookie = site.Cookie;
    request.headers = site.Headers;
    request.body = site.Date;
    request.conversion = site.Ctype;
    request.extraction = site.Rtype == 1 ? Extraction::Json : Extraction::Regex;
    request.tying = site.Tying;
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

    AccountAnswer outcome;
    outcome.response = WebClient::send(http);
    outcome.cookie = std::move(outcome.response.cookie);
    if (ownHeaders) {
        outcome.headers = std::move(outcome.response.sentHeaders);
    }
    outcome.answer = convertAnswer(outcome.response.body, request.conversion);
    if (!request.tying.empty() && request.extraction != Extraction::None) {
        outcome.extracted = true;
        outcome.result = request.extraction == Extraction::Json
                             ? evaluateJson(outcome.answer, request.tying)
                             : evaluateRegex(outcome.answer, request.tying, messages);
    }
    return outcome;
}

Text AccountAnswer::listText() const {
    const Text& shown = extracted ? result : answer;
    if (!shown.empty()) {
        return shown;
    }
    const Bytes& body = response.body;
    return body.substr(0, body.find('\0'));
}

Text AccountAnswer::trialText() const {
    return result.empty() || result == matchFailedText() ? answer : result;
}

}  // namespace vesprey
