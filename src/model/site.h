// The records of Sign.db as the rest of the program sees them: one account of a site, the push
// keys and the fields of a template. The site store reads and writes them; the engine works on
// them without knowing where they are kept.
#pragma once

#include <vector>

#include "text/text.h"

namespace vesprey {

// One account of one site: a Template row joined with one of its WebCookie rows.
struct SiteTemplate {
    Text id;
    Text WebName;
    Text Weblogin;
    Text WebLink;
    int Qtype = 0;  // 1 GET, anything else POST
    int Rtype = 0;  // 1 JSON, anything else regular expression
    int Ctype = 0;  // 0 none, 1 UTF-8 decoding, 2 "USC2-ANSI"
    Text Tying;
    Text Headers;
    Text Date;
    Text Cookie;  // empty when the site has no account row
    int Cid = 0;  // 0 when the site has no account row

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
    int Qtype = 1;
    int Rtype = 1;
    int Ctype = 0;
    Text Tying;
    Text Headers;
    Text Date;
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
