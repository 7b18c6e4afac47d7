// The import and export formats of the multi-step templates: what a pasted or opened text is, the
// community format made out of a HAR file, a "Copy as cURL" command line or a one-request
// template, the one text a community template is stored and exported as, and Vesprey's own shared
// template JSON with the steps of a flow in it.
//
// Every text here is UTF-8 except the fields and rules of the one-request templates
// (TemplateFields, VerdictRules, TemplateImport), which are code page 936. Every failure is a
// Chinese sentence saying what is wrong and where.
//
// The community JSON made here is written in the style of normalizedCommunityJson and is accepted
// by parseFlow. Texts taken from a browser (a browser's HAR, a curl command, a one-request
// template) are literal: a "{{", "{%" or "{#" in them is written so that it renders as itself.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/template_import.h"
#include "model/site.h"

namespace vesprey::flow {

enum class TemplateFormat {
    CommunityJson,  // a JSON array of steps
    QdHar,          // a HAR file whose entries have "checked" marks or rule lists
    BrowserHar,     // a HAR file without them, as a browser saves it
    Curl,           // a command line starting with "curl "
    SharedJson,     // Vesprey's one-request template JSON ("网站", "签到链接", ...)
    Unknown,
};

// What the text is. A byte order mark and white space before it are skipped.
TemplateFormat detectTemplateFormat(std::string_view utf8);
// The format's name for messages: "多步模板（JSON）", "QD 的 HAR 文件", "浏览器保存的 HAR 文件",
// "curl 命令", "Vesprey 的模板 JSON", "认不出的内容".
std::string_view templateFormatName(TemplateFormat format);

struct FormatError {
    std::string message;
};

// One request of a HAR file, as a list of them shows it.
struct HarEntry {
    std::size_t number = 0;  // from 1, in file order
    std::string method;
    std::string url;
    int status = 0;       // the answer's status; 0 when the file has none
    bool checked = true;  // false: the entry is marked "checked": false
};

// The requests of a HAR file, for the user to pick from.
std::variant<std::vector<HarEntry>, FormatError> browserHarEntries(std::string_view utf8);

// A community template made out of another format, and the cookie found in it. The cookie goes to
// the account: a step sends it as "Cookie: {{cookie}}" instead of holding it.
struct CommunityImport {
    std::string json;
    std::string cookie;  // empty when the input had none
};

// The steps of the picked entries (numbers as browserHarEntries gives them, in the order given).
// An empty `picks` takes every checked entry of a QD HAR; a browser's HAR needs picks. The method,
// URL, headers (without the pseudo-headers, Content-Length and Host), cookies, postData.text as
// the data and the MIME type are kept, and a QD HAR's rule lists become each step's rule. The
// entries of a browser's HAR are its user's own requests: their Cookie header becomes
// "Cookie: {{cookie}}" and their cookie list is left out, the cookie (of the first picked entry
// that has one) being returned for the account.
std::variant<CommunityImport, FormatError> communityFromHar(std::string_view utf8,
                                                            const std::vector<std::size_t>& picks);

// The one step of a curl command line as browsers copy it (bash quoting with '…', "…", $'…' and
// "\" line continuations, or Windows cmd quoting with ^). Understood: -X/--request, the URL
// (positional or --url), -H/--header, -d/--data, --data-ascii, --data-raw, --data-binary,
// --data-urlencode, --json, -G/--get, -I/--head, -b/--cookie, -A/--user-agent, -e/--referer,
// -u/--user; options that change nothing of the request (--compressed, -k, -s, -L, timeouts, ...)
// are ignored. Options that would send something a step cannot (-F/--form, -T, a body or cookie
// read from a file) and options Vesprey does not know are refused by name. The method is -X's,
// else POST when there is data, else GET.
std::variant<CommunityImport, FormatError> communityFromCurl(std::string_view utf8);

// A multi-step template read out of a community template, a HAR file or a curl command: its
// community JSON (normalized, accepted by parseFlow), the cookie the text held for the account
// (a curl command's or a browser HAR's; empty when none), the Template fields the first request
// gives the site (WebLink and Qtype, code page 936; the rest as a new template has them) and the
// number of requests.
struct ImportedFlow {
    std::string json;
    std::string cookie;
    TemplateFields fields;
    std::size_t requests = 0;
};

// Reads `utf8`, of the format `format`, as a multi-step template: a browser's HAR takes the
// entries `picks` names. A failure says what and where, `what` saying what did not happen
// ("没有导入"): "模板没有导入：…" for a community template or one that cannot run (with its
// step), "HAR 文件没有导入：…", "curl 命令没有导入：…"; a text of another format is refused as
// not being any of them.
std::variant<ImportedFlow, FormatError> importFlowText(std::string_view utf8, TemplateFormat format,
                                                       const std::vector<std::size_t>& picks,
                                                       std::string_view what);

// The one step of a one-request template: its method, 签到链接 as the URL, its header lines as
// headers (the User-Agent the program sends when there are none), "Cookie: {{cookie}}" (the
// account's cookie goes with every request), Date as the data where the program sends it (with a
// POST, or with header lines), and for a POST the content type as the MIME type. The binding
// statement, the conversion and the verdict rules have no place in the community format and are
// left out. A template without 签到链接 is refused.
std::variant<std::string, FormatError> communityFromFields(const TemplateFields& fields);

// The text a community template is stored and exported as: read as JSON and written with four
// spaces of indentation, members in their order, characters past ASCII as they are, no final line
// break. Normalizing a normalized text gives the same bytes.
std::variant<std::string, FormatError> normalizedCommunityJson(std::string_view utf8);

// Vesprey's shared template JSON (engine/template_import.h), UTF-8, with the member "步骤"
// holding the community array of a template that has a flow. Numbers are written as numbers,
// the three verdict rules always.
std::variant<std::string, FormatError> sharedJsonFor(const TemplateFields& fields,
                                                     const VerdictRules& rules,
                                                     const std::optional<std::string>& flowJson);

struct SharedTemplate {
    TemplateImport imported;
    std::optional<std::string> flowJson;  // "步骤", normalized; nothing without it
};

// Reads a shared template JSON: the members as parseTemplateImport reads them (a lone line feed in
// a text coming back as CR LF) and "步骤", which must be a community array that parseFlow accepts.
// A file without "步骤" may be written as leniently as parseTemplateImport allows.
std::variant<SharedTemplate, FormatError> readSharedJson(std::string_view utf8);

}  // namespace vesprey::flow
