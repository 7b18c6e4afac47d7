// The records of Sign.db as the rest of the program sees them: one account of a site, the push
// keys and the fields of a template. The site store reads and writes them; the engine works on
// them without knowing where they are kept.
#pragma once

#include <optional>
#include <vector>

#include "text/text.h"

namespace vesprey {

// How a template's sign-in request goes.
enum class RequestMethod { Get, Post };
// How the result is taken from a template's answer: a JSON path, or a regular expression.
enum class AnswerType { Json, Regex };

// The two as Sign.db's Template row keeps them (Qtype, Rtype): 1 is GET and JSON, anything else
// POST and the regular expression; written as 1 and 2.
constexpr RequestMethod storedMethod(int qtype) {
    return qtype == 1 ? RequestMethod::Get : RequestMethod::Post;
}
constexpr int storedQtype(RequestMethod method) {
    return method == RequestMethod::Get ? 1 : 2;
}
constexpr AnswerType storedAnswerType(int rtype) {
    return rtype == 1 ? AnswerType::Json : AnswerType::Regex;
}
constexpr int storedRtype(AnswerType type) {
    return type == AnswerType::Json ? 1 : 2;
}

// The two as a shared template writes them ("请求模式", "响应类型"): 0 is GET and JSON, 1 POST
// and the regular expression; any other number is neither.
constexpr std::optional<RequestMethod> sharedMethod(int mode) {
    return mode == 0   ? std::optional(RequestMethod::Get)
           : mode == 1 ? std::optional(RequestMethod::Post)
                       : std::nullopt;
}
constexpr std::optional<AnswerType> sharedAnswerType(int type) {
    return type == 0   ? std::optional(AnswerType::Json)
           : type == 1 ? std::optional(AnswerType::Regex)
                       : std::nullopt;
}

// One account of one site: a Template row joined with one of its WebCookie rows.
struct SiteTemplate {
    int id = 0;  // Template.id
    Text WebName;
    Text Weblogin;
    Text WebLink;
    RequestMethod Qtype = RequestMethod::Post;
    AnswerType Rtype = AnswerType::Regex;
    int Ctype = 0;  // 0 none, 1 UTF-8 decoding, 2 "USC2-ANSI"
    Text Tying;
    Text Headers;
    Text Date;    // the request's body (sent with a POST, and with any method of a template that
                  // has header lines of its own)
    Text Cookie;  // empty when the site has no account row
    int Cid = 0;  // WebCookie.Cid; 0 when the site has no account row

    // The account list shows the account as present ("√"), and a pass requests it.
    bool hasCookie() const { return !Cookie.empty(); }
};

// Entry i belongs to row i of the account list.
using SiteList = std::vector<SiteTemplate>;

// The Send rows in file order: entry 0 Bark, 1 ServerChan, 2 DingTalk robot.
struct PushChannel {
    Text id;
    Text RobotId;
};
using PushSettings = std::vector<PushChannel>;

// The fields of a Template row as the editor and the import fill them.
struct TemplateFields {
    Text WebName;
    Text Weblogin;
    Text WebLink;
    RequestMethod Qtype = RequestMethod::Get;
    AnswerType Rtype = AnswerType::Json;
    int Ctype = 0;
    Text Tying;
    Text Headers;
    Text Date;  // the request's body
};

// A template's own rules for telling how a sign-in went: code page 936 regular expressions,
// searched without case; an empty one is not used. Kept in table Verdict by template id.
struct VerdictRules {
    Text success;
    Text already;
    Text expired;
    bool empty() const { return success.empty() && already.empty() && expired.empty(); }
};

// One list row of one pass.
struct HistoryEntry {
    Text time;           // the pass's time, the same for all its rows
    int templateId = 0;  // Template.id
    int cid = 0;         // WebCookie.Cid; 0 for a site without an account
    Text site;           // the site's name at the time
    Text verdict;        // the verdict's name: success, already, expired, failed, unknown, skipped
    Text reason;         // which rule decided
    Text result;         // the list's 返回内容 (at most 500 characters)
    int status = 0;      // HTTP status, 0 without an answer
    int ms = 0;          // the request's time
};

}  // namespace vesprey
