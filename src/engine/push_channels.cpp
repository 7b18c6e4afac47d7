// The push channels: one table entry each, with what the channel's settings are, where its
// service is, how its request is built, what its limit counts, its line end and escaping, and how
// its answer says that a push failed. Also e-mail, whose parts go as mails, and changing a
// channel's settings.

#include "engine/push_channels.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "engine/account_request.h"
#include "engine/push.h"
#include "json/json.h"
#include "text/gbk_text.h"
#include "web/mail.h"
#include "web/web_client.h"

namespace vesprey {
namespace push_detail {

Settings::Settings(std::string_view json) {
    JsonDocument doc;
    if (!doc.Parse(json, true) || doc.GetType(std::string_view()) != JsonKind::Object) {
        return;
    }
    for (const Text& name : doc.GetKeys(std::string_view())) {
        values_.emplace(name, doc.GetMember(std::string_view(), name).GetText(std::string_view()));
    }
}

Settings Settings::ofKey(Text key) {
    Settings settings;
    settings.values_.emplace("key", std::move(key));
    return settings;
}

Text Settings::get(std::string_view member) const {
    const auto found = values_.find(member);
    return found != values_.end() ? found->second : Text{};
}

PushError settingsError(std::string_view utf8) {
    return {PushErrorCode::Settings, utf8ToAnsi(utf8)};
}

std::size_t utf8Size(std::string_view content) {
    return ansiToUtf8(content).size();
}

}  // namespace push_detail

namespace {

using push_detail::Call;
using push_detail::Channel;
using push_detail::Counted;
using push_detail::kErrorCode;
using push_detail::PushReply;
using push_detail::PushRequest;
using push_detail::Settings;
using push_detail::settingsError;
using push_detail::utf8Size;
using push_detail::Verdict;

// ----- Addresses -----

// `base` and `path` with one "/" between them, whether or not `base` ends in "/".
std::string joinUrl(std::string_view base, std::string_view path) {
    while (base.ends_with('/')) {
        base.remove_suffix(1);
    }
    std::string url(base);
    url += '/';
    url += path;
    return url;
}

// A text as one path segment: its UTF-8 bytes percent-encoded except ASCII letters, digits, "-",
// ".", "_" and "~"; a segment of dots only has its dots encoded too. "/", "?", "#" and "../" in
// a key cannot leave its segment.
Text urlSegment(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const std::string utf8 = ansiToUtf8(text);
    // "." and ".." are taken by the server (or the client) as this directory and the one above.
    const bool dotsOnly = utf8.find_first_not_of('.') == std::string::npos;
    Text out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        const bool kept = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                          (byte >= '0' && byte <= '9') || c == '-' || c == '_' || c == '~' ||
                          (c == '.' && !dotsOnly);
        if (kept) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        }
    }
    return out;
}

// Percent-encoded UTF-8, as an address or a form carries a text.
Text encoded(std::string_view text) {
    return urlEncode(text, true, true);
}

// ----- Sizes and escaping -----

std::size_t encodedSize(std::string_view content) {
    return encoded(content).size();
}

std::size_t utf16Size(std::string_view content) {
    return ansiToUtf16(content).size();
}

std::size_t jsonSize(std::string_view content) {
    return jsonUtf8String(content).size() - 2;
}

// Double quotes and backslashes escaped for a JSON string, one character at a time: the trail
// byte of a GBK character may be 0x5C and is no backslash.
Text escapeQuotes(std::string_view text) {
    Text out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = gbk::charLength(text, at);
        if (length == 1 && (text[at] == '"' || text[at] == '\\')) {
            out.push_back('\\');
        }
        out.append(text.substr(at, length));
        at += length;
    }
    return out;
}

// ----- The requests -----

constexpr std::string_view kJsonHeaders = "Content-Type: application/json; charset=utf-8\r\n";

// Title and content as one text, for a service that has no place for a title.
Text titled(std::string_view title, std::string_view content) {
    Text text(title);
    if (!content.empty()) {
        text += '\n';
        text += content;
    }
    return text;
}

// Title and content as a form: `titleName`=title&desp=content.
Text form(std::string_view titleName, const Call& call) {
    return std::string(titleName) + "=" + encoded(call.title) + "&desp=" + encoded(call.content);
}

PushRequest jsonRequest(std::string url, std::string body) {
    PushRequest request;
    request.url = std::move(url);
    request.headers = std::string(kJsonHeaders) + std::string(kDesktopUserAgentLine);
    request.byteBody = std::move(body);
    return request;
}

// Bark: title and content are path segments after the key.
PushRequest barkRequest(const Call& call) {
    PushRequest request;
    request.url = joinUrl(call.base, urlSegment(call.settings.get("key")) + "/" +
                                         encoded(call.title) + "/" + encoded(call.content));
    request.method = HttpMethod::Get;
    return request;
}

PushRequest serverChanRequest(const Call& call) {
    PushRequest request;
    request.url = joinUrl(call.base, urlSegment(call.settings.get("key")) + ".send");
    request.body = form("text", call);
    return request;
}

// The DingTalk robot takes Markdown: the title as a heading, the content quoted, a time stamp
// ("hh:mm:ss签到") below. The members are written in the order set, on one line, and the
// strings unescaped: the CR LF pairs reach the service as they are, and so does the content,
// whose quotes and backslashes the line packing escaped.
PushRequest dingTalkRequest(const Call& call) {
    static const Text kShownTitle = utf8ToAnsi("签到提醒");
    const Text stamp = formatDateTime(nowDateTime(), {}, "hh:mm:ss", true) + utf8ToAnsi("签到");
    JsonDocument doc;
    doc.Create();
    doc.SetText("msgtype", "markdown");
    doc.SetText("markdown.title", kShownTitle);
    doc.SetText("markdown.text", "#### " + escapeQuotes(call.title) + "  \r\n> " +
                                     std::string(call.content) + "\r\n ###### " + stamp);
    PushRequest request;
    request.url =
        joinUrl(call.base, "robot/send?access_token=" + urlSegment(call.settings.get("key")));
    request.headers = "Content-Type: application/json\r\n" + std::string(kDesktopUserAgentLine);
    request.body = doc.ToText({}, false, false);
    return request;
}

// ntfy: the content is the body, the title a header in RFC 2047 encoded words.
PushRequest ntfyRequest(const Call& call) {
    PushRequest request;
    request.url = joinUrl(call.base, urlSegment(call.settings.get("topic")));
    request.headers = "Content-Type: text/plain; charset=utf-8\r\nTitle: " +
                      encodedWords(ansiToUtf8(call.title)) + "\r\n";
    if (const Text token = call.settings.get("token"); !token.empty()) {
        request.headers += "Authorization: Bearer " + token + "\r\n";
    }
    request.headers += kDesktopUserAgentLine;
    request.byteBody = ansiToUtf8(call.content);
    return request;
}

PushRequest gotifyRequest(const Call& call) {
    return jsonRequest(
        joinUrl(call.base, "message?token=" + urlSegment(call.settings.get("token"))),
        "{\"title\":" + jsonUtf8String(call.title) +
            ",\"message\":" + jsonUtf8String(call.content) + ",\"priority\":5}");
}

PushRequest telegramRequest(const Call& call) {
    // A bot token is "<bot id>:<secret>"; a path carries the colon as it is.
    const std::string token = gbk::replaceAll(urlSegment(call.settings.get("token")), "%3A", ":");
    return jsonRequest(joinUrl(call.base, "bot" + token + "/sendMessage"),
                       "{\"chat_id\":" + jsonUtf8String(call.settings.get("chat_id")) +
                           ",\"text\":" + jsonUtf8String(titled(call.title, call.content)) + "}");
}

PushRequest weComRequest(const Call& call) {
    return jsonRequest(
        joinUrl(call.base, "cgi-bin/webhook/send?key=" + urlSegment(call.settings.get("key"))),
        "{\"msgtype\":\"text\",\"text\":{\"content\":" +
            jsonUtf8String(titled(call.title, call.content)) + "}}");
}

PushRequest feishuRequest(const Call& call) {
    return jsonRequest(
        joinUrl(call.base, "open-apis/bot/v2/hook/" + urlSegment(call.settings.get("token"))),
        "{\"msg_type\":\"text\",\"content\":{\"text\":" +
            jsonUtf8String(titled(call.title, call.content)) + "}}");
}

PushRequest pushPlusRequest(const Call& call) {
    return jsonRequest(joinUrl(call.base, "send"),
                       "{\"token\":" + jsonUtf8String(call.settings.get("token")) +
                           ",\"title\":" + jsonUtf8String(call.title) + ",\"content\":" +
                           jsonUtf8String(call.content) + ",\"template\":\"txt\"}");
}

PushRequest serverChan3Request(const Call& call) {
    PushRequest request;
    request.url = joinUrl(call.base, urlSegment(call.settings.get("sendkey")) + ".send");
    request.headers =
        "Content-Type: application/x-www-form-urlencoded\r\n" + std::string(kDesktopUserAgentLine);
    request.body = form("title", call);
    return request;
}

PushRequest webhookRequest(const Call& call) {
    return jsonRequest(std::string(call.base), "{\"title\":" + jsonUtf8String(call.title) +
                                                   ",\"text\":" + jsonUtf8String(call.content) +
                                                   "}");
}

// ----- The table -----

constexpr PushSettingField kKeyFields[] = {{"key", true, true}};
constexpr PushSettingField kNtfyFields[] = {
    {"topic", true, false}, {"token", false, true}, {"url", false, false}};
constexpr PushSettingField kGotifyFields[] = {{"url", true, false}, {"token", true, true}};
constexpr PushSettingField kTelegramFields[] = {
    {"token", true, true}, {"chat_id", true, false}, {"url", false, false}};
constexpr PushSettingField kWeComFields[] = {{"key", true, true}, {"url", false, false}};
constexpr PushSettingField kTokenFields[] = {{"token", true, true}, {"url", false, false}};
constexpr PushSettingField kServerChan3Fields[] = {{"sendkey", true, true}, {"url", false, false}};
constexpr PushSettingField kWebhookFields[] = {{"url", true, false}};
constexpr PushSettingField kEmailFields[] = {{"host", true, false},  {"port", false, false},
                                             {"user", false, false}, {"password", false, true},
                                             {"from", false, false}, {"to", false, false},
                                             {"tls", false, false}};

// Every channel, those of Send rows 1 to 3 first, in the order of their rows.
//
// Bark's limit is on its whole address, ServerChan's and DingTalk's on the body; each line of
// theirs ends in CR LF, DingTalk's in a Markdown line break and quote mark the service reads
// (backslash, n, ">", twice). ntfy.sh makes a longer message an attachment; Telegram counts
// characters (UTF-16 units, which is never fewer); a WeCom robot's text takes 2,048 bytes; a
// Feishu robot's request 20 KB, of which its other members take less than 64 bytes. ServerChan³
// reads Markdown, where a single line break is no break.
constexpr Channel kChannels[] = {
    {.info = {"bark", kPushBark, "VESPREY_BARK_URL", "https://api.day.app/", kKeyFields},
     .request = barkRequest,
     .limit = kBarkUrlLimit,
     .counted = Counted::Address,
     .size = encodedSize,
     .lineEnd = "\r\n",
     .endsLastLine = true,
     .verdicts = {Verdict{.member = "code", .success = 200, .words = {"message"}}},
     .scalarWords = true,
     .unexplained = kErrorCode},
    // Its two generations answer with "errno" and with "code".
    {.info = {"serverchan", kPushServerChan, "VESPREY_SERVERCHAN_URL", "https://sc.ftqq.com/",
              kKeyFields},
     .request = serverChanRequest,
     .limit = kServerChanBodyLimit,
     .counted = Counted::Body,
     .size = encodedSize,
     .lineEnd = "\r\n",
     .endsLastLine = true,
     .verdicts = {Verdict{.member = "errno", .words = {"errmsg", "message"}},
                  Verdict{.member = "code", .words = {"message", "errmsg"}}},
     .scalarWords = true,
     .unexplained = kErrorCode},
    {.info = {"dingtalk", kPushDingTalk, "VESPREY_DINGTALK_URL", "https://oapi.dingtalk.com",
              kKeyFields},
     .request = dingTalkRequest,
     .limit = kDingTalkBodyLimit,
     .counted = Counted::Body,
     .lineEnd = "\\n>\\n>",
     .endsLastLine = true,
     .escape = escapeQuotes,
     .verdicts = {Verdict{.member = "errcode", .words = {"errmsg"}}},
     .scalarWords = true,
     .unexplained = kErrorCode},
    {.info = {"ntfy", 0, "VESPREY_NTFY_URL", "https://ntfy.sh", kNtfyFields},
     .request = ntfyRequest,
     .limit = 4096,
     .statusWords = {"error"}},
    {.info = {"gotify", 0, "VESPREY_GOTIFY_URL", "", kGotifyFields},
     .request = gotifyRequest,
     .statusWords = {"errorDescription", "error"}},
    {.info = {"telegram", 0, "VESPREY_TELEGRAM_URL", "https://api.telegram.org", kTelegramFields},
     .request = telegramRequest,
     .limit = 4096,
     .size = utf16Size,
     .titleInText = true,
     .verdicts = {Verdict{.member = "ok", .boolean = true, .words = {"description"}}},
     .statusWords = {"description"}},
    {.info = {"wecom", 0, "VESPREY_WECOM_URL", "https://qyapi.weixin.qq.com", kWeComFields},
     .request = weComRequest,
     .limit = 2048,
     .titleInText = true,
     .verdicts = {Verdict{.member = "errcode", .words = {"errmsg"}}},
     .statusWords = {"errmsg"}},
    {.info = {"feishu", 0, "VESPREY_FEISHU_URL", "https://open.feishu.cn", kTokenFields},
     .request = feishuRequest,
     .limit = 20000 - 64,
     .size = jsonSize,
     .titleInText = true,
     .verdicts = {Verdict{.member = "code", .words = {"msg"}}},
     .statusWords = {"msg"}},
    {.info = {"pushplus", 0, "VESPREY_PUSHPLUS_URL", "https://www.pushplus.plus", kTokenFields},
     .request = pushPlusRequest,
     .verdicts = {Verdict{.member = "code", .success = 200, .words = {"msg"}}},
     .statusWords = {"msg"}},
    {.info = {"serverchan3", 0, "VESPREY_SERVERCHAN3_URL", "https://sctapi.ftqq.com",
              kServerChan3Fields},
     .request = serverChan3Request,
     .lineEnd = "\n\n",
     .verdicts = {Verdict{.member = "code", .words = {"message", "error"}}},
     .statusWords = {"message", "error"}},
    {.info = {"webhook", 0, "VESPREY_WEBHOOK_URL", "", kWebhookFields}, .request = webhookRequest},
    {.info = {"email", 0, "VESPREY_EMAIL_URL", "", kEmailFields}},
};

// The channels' public part, in the table's order.
constexpr auto kInfos = [] {
    std::array<PushChannelInfo, std::size(kChannels)> infos{};
    for (std::size_t i = 0; i < infos.size(); ++i) {
        infos[i] = kChannels[i].info;
    }
    return infos;
}();

// ----- E-mail -----

struct MailSettings {
    std::string host;  // code page 936, like the rest
    int port = 0;
    MailSecurity security = MailSecurity::StartTls;
    Text user;
    Text password;
    Text from;
    std::vector<Text> to;
};

std::optional<MailSecurity> securityNamed(std::string_view tls, int port) {
    if (tls.empty()) {
        return port == defaultMailPort(MailSecurity::Tls) ? MailSecurity::Tls
                                                          : MailSecurity::StartTls;
    }
    if (tls == "starttls") {
        return MailSecurity::StartTls;
    }
    if (tls == "ssl") {
        return MailSecurity::Tls;
    }
    if (tls == "none") {
        return MailSecurity::None;
    }
    return std::nullopt;
}

std::optional<int> portNumber(std::string_view text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != Text::npos) {
        return std::nullopt;
    }
    const int port = std::atoi(std::string(text).c_str());
    return port >= 1 && port <= 65535 ? std::optional<int>(port) : std::nullopt;
}

// Addresses separated by commas, semicolons or blanks.
std::vector<Text> addressList(std::string_view text) {
    std::vector<Text> addresses;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find_first_of(",; ", at), text.size());
        if (end > at) {
            addresses.emplace_back(text.substr(at, end - at));
        }
        at = end + 1;
    }
    return addresses;
}

// The server the environment names ("smtp://host:port" or "smtps://host:port", from
// VESPREY_EMAIL_URL) in place of the settings' host, port and security.
PushError applyMailUrl(std::string_view url, MailSettings& mail) {
    std::string_view rest = url;
    if (rest.starts_with("smtps://")) {
        mail.security = MailSecurity::Tls;
        rest.remove_prefix(8);
    } else if (rest.starts_with("smtp://")) {
        if (mail.security == MailSecurity::Tls) {
            mail.security = MailSecurity::StartTls;
        }
        rest.remove_prefix(7);
    } else {
        return settingsError("VESPREY_EMAIL_URL 应写成 smtp://主机:端口 或 smtps://主机:端口");
    }
    rest = rest.substr(0, rest.find('/'));
    const std::size_t colon = rest.rfind(':');
    mail.port = 0;
    if (colon != std::string_view::npos && rest.find(']', colon) == std::string_view::npos) {
        const std::optional<int> port = portNumber(rest.substr(colon + 1));
        if (!port) {
            return settingsError("VESPREY_EMAIL_URL 里的端口无效");
        }
        mail.port = *port;
        rest = rest.substr(0, colon);
    }
    mail.host = rest;
    return {};
}

// The mail settings, or what is wrong with them.
PushError mailSettings(const Settings& settings, const PushEnvironment& environment,
                       MailSettings& mail) {
    const Text port = settings.get("port");
    if (!port.empty()) {
        const std::optional<int> number = portNumber(port);
        if (!number) {
            return settingsError("电子邮件的 port 应是 1 到 65535 之间的数");
        }
        mail.port = *number;
    }
    const std::optional<MailSecurity> security = securityNamed(settings.get("tls"), mail.port);
    if (!security) {
        return settingsError("电子邮件的 tls 只能是 starttls、ssl 或 none");
    }
    mail.security = *security;
    mail.host = settings.get("host");
    if (const auto url = environment.baseUrls.find(std::string_view("email"));
        url != environment.baseUrls.end() && !url->second.empty()) {
        if (PushError error = applyMailUrl(url->second, mail)) {
            return error;
        }
    }
    if (mail.host.empty()) {
        return settingsError("没有设置服务地址（电子邮件的 host）");
    }
    mail.user = settings.get("user");
    mail.password = settings.get("password");
    mail.from = settings.get("from");
    if (mail.from.empty()) {
        mail.from = mail.user;
    }
    mail.to = addressList(settings.get("to"));
    if (mail.to.empty() && !mail.from.empty()) {
        mail.to.push_back(mail.from);
    }
    if (mail.from.empty()) {
        return settingsError("没有设置发件人（电子邮件的 from，或作为发件地址的 user）");
    }
    return {};
}

PushReply sendMailPart(const MailSettings& mail, std::string_view title, std::string_view content,
                       const PushEnvironment& environment) {
    MailRequest request;
    request.host = mail.host;
    request.port = mail.port;
    request.security = mail.security;
    request.user = mail.user;
    request.password = mail.password;
    request.from = mail.from;
    request.to.assign(mail.to.begin(), mail.to.end());
    request.subject = title;
    request.body = content;
    request.verifyTls = true;
    request.caFile = environment.caFile;
    request.deadlineMs = environment.deadlineMs;
    request.proxy = environment.proxy;
    MailOutcome sent = sendMail(request);
    PushReply reply;
    reply.answer = std::move(sent.answer);
    if (sent.refused()) {
        reply.error = {PushErrorCode::ServiceError, std::move(sent.error.message)};
    } else if (sent.error) {
        HttpResponse failed;
        failed.error = std::move(sent.error);
        reply.error = push_detail::transportError(failed, environment);
    }
    return reply;
}

// ----- Changing the settings -----

// A value the settings can hold: a text, a number, or null to remove the member.
bool storableKind(JsonKind kind) {
    return kind == JsonKind::String || kind == JsonKind::Integer || kind == JsonKind::Real ||
           kind == JsonKind::Null;
}

bool knownMember(const PushChannelInfo& channel, std::string_view member) {
    return std::any_of(channel.fields.begin(), channel.fields.end(),
                       [&](const PushSettingField& field) { return field.member == member; });
}

// What is wrong with one value the user gave; empty when nothing is.
// What the lenient parser would let through in settings the user gives: nothing at all, a
// second value after the object (of which the parser keeps the last), and a control character,
// raw or written as \u0000 to \u001F, inside a text (where it would be dropped or end the text).
std::string givenTextProblem(std::string_view given) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t at = 0;
    while (at < given.size() && blank(given[at])) {
        ++at;
    }
    if (at == given.size()) {
        return "设置是空的：请给出一个 JSON 对象，如 {\"token\":\"…\"}";
    }
    int depth = 0;
    bool inText = false;
    bool ended = false;
    for (; at < given.size(); at += std::max<std::size_t>(gbk::charLength(given, at), 1)) {
        const char c = given[at];
        if (ended) {
            if (!blank(c)) {
                return "设置里只能有一个 JSON 对象，它后面还有别的内容";
            }
            continue;
        }
        if (inText) {
            if (static_cast<unsigned char>(c) < 0x20) {
                return "设置的文本里不能有控制字符";
            }
            if (c == '"') {
                inText = false;
            } else if (c == '\\' && at + 1 < given.size()) {
                ++at;
                if (given[at] == 'u' && at + 4 < given.size()) {
                    const std::string hex(given.substr(at + 1, 4));
                    if (hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos &&
                        std::stoi(hex, nullptr, 16) < 0x20) {
                        return "设置的文本里不能有控制字符（" + std::string("\\u") + hex + "）";
                    }
                }
            }
            continue;
        }
        if (c == '"') {
            inText = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            ended = --depth == 0;
        }
    }
    return {};
}

std::string valueProblem(const PushChannelInfo& channel, std::string_view member,
                         const JsonDocument& value) {
    const std::string where = pushSettingName(channel.name, member);
    if (!storableKind(value.GetType(std::string_view()))) {
        return where + " 应是文本";
    }
    if (value.GetType(std::string_view()) == JsonKind::Null) {
        return {};
    }
    const Text text = value.GetText(std::string_view());
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != Text::npos) {
        return where + " 不能含换行符";
    }
    if (channel.name == "email" && member == "port" && !text.empty() && !portNumber(text)) {
        return where + " 应是 1 到 65535 之间的数";
    }
    if (channel.name == "email" && member == "tls" && (text.empty() || !securityNamed(text, 0))) {
        return where + " 只能是 starttls、ssl 或 none";
    }
    return {};
}

}  // namespace

namespace push_detail {

const Channel* channelNamed(std::string_view name) {
    const auto found =
        std::find_if(std::begin(kChannels), std::end(kChannels),
                     [&](const Channel& channel) { return channel.info.name == name; });
    return found != std::end(kChannels) ? found : nullptr;
}

PushOutcome mailParts(const Settings& settings, std::string_view title,
                      const std::vector<Text>& parts, const PushEnvironment& environment,
                      std::stop_token stop) {
    MailSettings mail;
    if (PushError wrong = mailSettings(settings, environment, mail)) {
        PushOutcome outcome;
        outcome.error = std::move(wrong);
        return outcome;
    }
    return sendParts(
        parts, [&](std::string_view part) { return sendMailPart(mail, title, part, environment); },
        stop);
}

}  // namespace push_detail

std::span<const PushChannelInfo> pushChannels() {
    return kInfos;
}

const PushChannelInfo* findPushChannel(std::string_view name) {
    const auto found =
        std::find_if(kInfos.begin(), kInfos.end(),
                     [&](const PushChannelInfo& channel) { return channel.name == name; });
    return found != kInfos.end() ? &*found : nullptr;
}

std::string_view pushChannelOfRow(int row) {
    const auto found = std::find_if(
        kInfos.begin(), kInfos.end(),
        [&](const PushChannelInfo& channel) { return row != 0 && channel.row == row; });
    return found != kInfos.end() ? found->name : std::string_view();
}

std::string pushChannelNames(std::string_view separator) {
    std::string names;
    for (const PushChannelInfo& channel : kInfos) {
        if (!names.empty()) {
            names += separator;
        }
        names += channel.name;
    }
    return names;
}

Text channelSetting(std::string_view settings, std::string_view member) {
    return Settings(settings).get(member);
}

ChannelSettingsUpdate updateChannelSettings(const PushChannelInfo& channel, std::string_view stored,
                                            std::string_view given) {
    ChannelSettingsUpdate update;
    if (const std::string problem = givenTextProblem(given); !problem.empty()) {
        update.error = utf8ToAnsi(problem);
        return update;
    }
    JsonDocument changes;
    std::int32_t position = 0;
    if (!changes.Parse(given, true, false, nullptr, &position)) {
        update.error =
            utf8ToAnsi("设置不是有效的 JSON（第 " + std::to_string(position) + " 个字符附近有错）");
        return update;
    }
    if (changes.GetType(std::string_view()) != JsonKind::Object) {
        update.error = utf8ToAnsi("设置应是一个 JSON 对象，如 {\"token\":\"…\"}");
        return update;
    }
    const std::vector<Text> members = changes.GetKeys(std::string_view());
    for (const Text& member : members) {
        const std::string problem =
            valueProblem(channel, member, changes.GetMember(std::string_view(), member));
        if (!problem.empty()) {
            update.error = utf8ToAnsi(problem);
            return update;
        }
    }

    if (channel.row != 0) {
        // A Send row's channel keeps its key as the plain text of its row.
        update.settings = stored;
        for (const Text& member : members) {
            if (member != "key") {
                update.error =
                    utf8ToAnsi(std::string(channel.name) + " 只有 key 一项设置，没有 ") + member;
                return update;
            }
            update.settings = changes.GetText("key");
        }
        return update;
    }

    JsonDocument merged;
    if (!merged.Parse(stored, true) || merged.GetType(std::string_view()) != JsonKind::Object) {
        merged.Create();
    }
    for (const Text& member : members) {
        const JsonDocument value = changes.GetMember(std::string_view(), member);
        if (value.GetType(std::string_view()) == JsonKind::Null) {
            merged.RemoveMember(std::string_view(), member);
        } else {
            merged.SetMemberDocument(std::string_view(), member, value);
        }
        if (!knownMember(channel, member)) {
            update.unknown.push_back(member);
        }
    }
    update.settings = merged.ToText();
    return update;
}

std::string_view pushChannelCaption(std::string_view name) {
    static constexpr std::pair<std::string_view, std::string_view> kCaptions[] = {
        {"bark", "Bark"},           {"serverchan", "Server酱"},
        {"dingtalk", "钉钉机器人"}, {"ntfy", "ntfy"},
        {"gotify", "Gotify"},       {"telegram", "Telegram"},
        {"wecom", "企业微信"},      {"feishu", "飞书"},
        {"pushplus", "PushPlus"},   {"serverchan3", "Server酱³"},
        {"webhook", "Webhook"},     {"email", "电子邮件"},
    };
    for (const auto& [channel, caption] : kCaptions) {
        if (channel == name) {
            return caption;
        }
    }
    return name;
}

std::string pushSettingName(std::string_view channel, std::string_view member) {
    const std::string_view caption = pushChannelCaption(channel);
    // A space only between two Latin words.
    const bool latin = !caption.empty() && static_cast<unsigned char>(caption.back()) < 0x80;
    return std::string(caption) + (latin ? " 的 " : "的 ") + std::string(member);
}

}  // namespace vesprey
