// The request of one account: sent as a sign-in pass sends it, the answer converted and its result
// extracted as the pass does. The pass and the trial requests of the template editor and of the
// modify window all go through requestAccount; they differ only in what they show of the outcome.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stop_token>
#include <string_view>

#include "engine/evaluation.h"
#include "model/site.h"
#include "text/text.h"
#include "web/web_client.h"

namespace vesprey {

class MessageSink;

// The whole header text of a request whose template has no header lines of its own, and of the
// DingTalk robot's request after its content type.
inline constexpr std::string_view kDesktopUserAgentLine =
    "User-Agent: Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/50.0.2661.87 Safari/537.36";

// The result an account keeps for the list, the printed table and the summary: at most this many
// characters, the last of a longer one being "…".
inline constexpr std::size_t kMaxResultCharacters = 500;

// How the result is taken from the answer.
enum class Extraction { None, Json, Regex };

struct AccountRequest {
    std::string_view url;
    bool get = true;  // otherwise POST
    std::string_view cookie;
    // The template's header lines. When there are some they go with `body` whatever the method;
    // without them the User-Agent line above is the header text, and `body` goes only with a POST.
    std::string_view headers;
    std::string_view body;
    int conversion = kCtypeNone;  // a template's Ctype
    Extraction extraction = Extraction::None;
    std::string_view tying;  // the binding statement; empty: nothing is extracted
    // False for a caller that reads only the converted answer (a pass): an answer that needs no
    // conversion is then moved into `answer` rather than copied, leaving the response's body
    // empty.
    bool keepBody = true;
    bool verifyTls = false;  // check the site's certificate ("签到也校验证书", --strict-tls)
    long deadlineMs = 0;     // the request's bound in all; 0: kRequestDeadlineMs
    std::stop_token stop;    // once requested, the request ends within about a second
    // Shared by the requests running at once: the answer holds its bytes in it until the outcome
    // goes (HttpRequest::answerBudget); null: only the body limit.
    std::shared_ptr<AnswerBudget> answerBudget{};
    std::string_view proxy{};  // a proxy address (web/proxy.h) the request goes through
};

// The request of a stored account, as a pass sends it (without keeping the raw body).
AccountRequest accountRequestFor(const SiteTemplate& site);

struct AccountAnswer {
    HttpResponse response;   // status, error, final address, time; the body as received
                             // (empty when moved into `answer`, see AccountRequest::keepBody)
    Text answer;             // the body up to its first NUL, converted as asked
    bool extracted = false;  // a binding statement was applied
    Text result;             // what it gave; empty when none was applied
    Text cookie;             // the cookie merged with what the site set
    Text headers;  // the template's header lines completed with the defaults; empty without them

    // The account list's text: the result (without a statement, the converted answer), or the
    // answer as received when that is empty; at most kMaxResultCharacters. When the request could
    // not go out, or its answer was too large to hold, why.
    Text listText() const;
    // The trial's text: the result, or the converted answer when the result is empty or
    // "匹配失败".
    Text trialText() const;
};

// The hint for an answer taken without conversion that is UTF-8 text (valid UTF-8 with characters
// beyond ASCII), which a template for such a site should decode: "答复像是 UTF-8 编码，请把“编码
// 转换”设为“UTF-8解码”". Nothing for any other answer or conversion.
std::optional<Text> encodingHint(std::string_view rawAnswer, int conversion);

// Sends the request and evaluates the answer; the evaluation's messages go to `messages`.
AccountAnswer requestAccount(const AccountRequest& request, MessageSink& messages);

// Converts the body `outcome` received as `request` asks and extracts its result: `answer`,
// `extracted` and `result` made anew. requestAccount ends with it; a trial whose conversion is
// changed afterwards runs it again on the body it kept, without a new request.
void evaluateAnswer(AccountAnswer& outcome, const AccountRequest& request, MessageSink& messages);

}  // namespace vesprey
