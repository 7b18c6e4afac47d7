// The channels added after the first three, and every channel by name.
//
// Each of these keeps its settings as one JSON object (Send rows 4 and up) and pushes with one
// request per part of the summary: the lines joined by the line break the service shows, the
// title where the service has a place for it or else as the first line. A service with a limit
// on what one message holds gets the summary in as many messages as it needs.

#include "engine/push_channels.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "engine/account_request.h"
#include "engine/push.h"
#include "json/json.h"
#include "text/gbk_text.h"
#include "web/mail.h"
#include "web/web_client.h"

namespace vesprey {
namespace {

using push_detail::answerText;
using push_detail::numberMember;

// ----- The channels and their settings -----

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

// Every channel; the first three in the order of their Send rows, where push.cpp finds them.
constexpr PushChannelInfo kChannels[] = {
    {"bark", kPushBark, "VESPREY_BARK_URL", "https://api.day.app/", kKeyFields},
    {"serverchan", kPushServerChan, "VESPREY_SERVERCHAN_URL", "https://sc.ftqq.com/", kKeyFields},
    {"dingtalk", kPushDingTalk, "VESPREY_DINGTALK_URL", "https://oapi.dingtalk.com", kKeyFields},
    {"ntfy", 0, "VESPREY_NTFY_URL", "https://ntfy.sh", kNtfyFields},
    {"gotify", 0, "VESPREY_GOTIFY_URL", "", kGotifyFields},
    {"telegram", 0, "VESPREY_TELEGRAM_URL", "https://api.telegram.org", kTelegramFields},
    {"wecom", 0, "VESPREY_WECOM_URL", "https://qyapi.weixin.qq.com", kWeComFields},
    {"feishu", 0, "VESPREY_FEISHU_URL", "https://open.feishu.cn", kTokenFields},
    {"pushplus", 0, "VESPREY_PUSHPLUS_URL", "https://www.pushplus.plus", kTokenFields},
    {"serverchan3", 0, "VESPREY_SERVERCHAN3_URL", "https://sctapi.ftqq.com", kServerChan3Fields},
    {"webhook", 0, "VESPREY_WEBHOOK_URL", "", kWebhookFields},
    {"email", 0, "VESPREY_EMAIL_URL", "", kEmailFields},
};

// A channel's settings read from its JSON object: member name to text.
class Settings {
public:
    explicit Settings(std::string_view json) {
        JsonDocument doc;
        if (!doc.Parse(json, true) || doc.GetType(std::string_view()) != JsonKind::Object) {
            return;
        }
        for (const Text& name : doc.GetKeys(std::string_view())) {
            values_.emplace(name,
                            doc.GetMember(std::string_view(), name).GetText(std::string_view()));
        }
    }
    Text get(std::string_view member) const {
        const auto found = values_.find(member);
        return found != values_.end() ? found->second : Text{};
    }

private:
    std::map<Text, Text, std::less<>> values_;
};

PushError settingsError(std::string_view utf8) {
    return {PushErrorCode::Settings, utf8ToAnsi(utf8)};
}

PushOutcome failedOutcome(PushError error) {
    PushOutcome outcome;
    outcome.error = std::move(error);
    return outcome;
}

// ----- What goes on the wire -----

std::size_t utf8Size(std::string_view content) {
    return ansiToUtf8(content).size();
}

std::size_t utf16Size(std::string_view content) {
    return ansiToUtf16(content).size();
}

std::size_t jsonSize(std::string_view content) {
    return jsonUtf8String(content).size() - 2;
}

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

// What a request of a channel needs: its settings, where the service is, title and content.
struct Call {
    const Settings& settings;
    std::string base;
    std::string_view title;
    std::string_view content;
    const PushEnvironment& environment;
};

HttpResponse postJson(const Call& call, const std::string& url, const std::string& body) {
    HttpRequest request;
    request.url = url;
    request.method = HttpMethod::Post;
    request.headers = std::string(kJsonHeaders) + std::string(kDesktopUserAgentLine);
    request.byteBody = body;
    return push_detail::sendChecked(request, call.environment);
}

HttpResponse ntfyRequest(const Call& call) {
    const std::string url = joinUrl(call.base, urlSegment(call.settings.get("topic")));
    HttpRequest request;
    request.url = url;
    request.method = HttpMethod::Post;
    request.headers = "Content-Type: text/plain; charset=utf-8\r\nTitle: " +
                      encodedWords(ansiToUtf8(call.title)) + "\r\n";
    if (const Text token = call.settings.get("token"); !token.empty()) {
        request.headers += "Authorization: Bearer " + token + "\r\n";
    }
    request.headers += kDesktopUserAgentLine;
    const std::string body = ansiToUtf8(call.content);
    request.byteBody = body;
    return push_detail::sendChecked(request, call.environment);
}

HttpResponse gotifyRequest(const Call& call) {
    return postJson(call,
                    joinUrl(call.base, "message?token=" + urlSegment(call.settings.get("token"))),
                    "{\"title\":" + jsonUtf8String(call.title) +
                        ",\"message\":" + jsonUtf8String(call.content) + ",\"priority\":5}");
}

HttpResponse telegramRequest(const Call& call) {
    // A bot token is "<bot id>:<secret>"; a path carries the colon as it is.
    const std::string token = gbk::replaceAll(urlSegment(call.settings.get("token")), "%3A", ":");
    return postJson(call, joinUrl(call.base, "bot" + token + "/sendMessage"),
                    "{\"chat_id\":" + jsonUtf8String(call.settings.get("chat_id")) +
                        ",\"text\":" + jsonUtf8String(titled(call.title, call.content)) + "}");
}

HttpResponse weComRequest(const Call& call) {
    return postJson(
        call,
        joinUrl(call.base, "cgi-bin/webhook/send?key=" + urlSegment(call.settings.get("key"))),
        "{\"msgtype\":\"text\",\"text\":{\"content\":" +
            jsonUtf8String(titled(call.title, call.content)) + "}}");
}

HttpResponse feishuRequest(const Call& call) {
    return postJson(
        call, joinUrl(call.base, "open-apis/bot/v2/hook/" + urlSegment(call.settings.get("token"))),
        "{\"msg_type\":\"text\",\"content\":{\"text\":" +
            jsonUtf8String(titled(call.title, call.content)) + "}}");
}

HttpResponse pushPlusRequest(const Call& call) {
    return postJson(call, joinUrl(call.base, "send"),
                    "{\"token\":" + jsonUtf8String(call.settings.get("token")) +
                        ",\"title\":" + jsonUtf8String(call.title) +
                        ",\"content\":" + jsonUtf8String(call.content) + ",\"template\":\"txt\"}");
}

HttpResponse serverChan3Request(const Call& call) {
    const std::string url = joinUrl(call.base, urlSegment(call.settings.get("sendkey")) + ".send");
    const Text body = "title=" + urlEncode(call.title, true, true) +
                      "&desp=" + urlEncode(call.content, true, true);
    HttpRequest request;
    request.url = url;
    request.method = HttpMethod::Post;
    request.headers =
        "Content-Type: application/x-www-form-urlencoded\r\n" + std::string(kDesktopUserAgentLine);
    request.body = body;
    return push_detail::sendChecked(request, call.environment);
}

HttpResponse webhookRequest(const Call& call) {
    return postJson(call, call.base,
                    "{\"title\":" + jsonUtf8String(call.title) +
                        ",\"text\":" + jsonUtf8String(call.content) + "}");
}

// ----- What the services answer -----

// A member whose value tells success from failure: a number that is `success`, or for
// `boolean` members true.
struct ResultMember {
    std::string_view name;
    std::int64_t success = 0;
    bool boolean = false;
};

// How one channel goes: its line break, the most one message holds (0: no limit) as `size`
// counts it, whether the title is part of that text, the request, and where its answer says how
// it went.
struct Service {
    std::string_view name;
    std::string_view lineEnd = "\n";
    std::size_t limit = 0;
    std::size_t (*size)(std::string_view content) = utf8Size;
    bool titleInText = false;
    HttpResponse (*request)(const Call& call) = nullptr;
    std::optional<ResultMember> result;
    std::array<std::string_view, 2> words{};  // where an error's words are, in order
};

// ntfy.sh makes a longer message an attachment; Telegram counts characters (UTF-16 units, which
// is never fewer); a WeCom robot's text takes 2,048 bytes; a Feishu robot's request 20 KB, of
// which its other members take less than 64 bytes.
const Service kServices[] = {
    {"ntfy", "\n", 4096, utf8Size, false, ntfyRequest, std::nullopt, {"error"}},
    {"gotify",
     "\n",
     0,
     utf8Size,
     false,
     gotifyRequest,
     std::nullopt,
     {"errorDescription", "error"}},
    {"telegram",
     "\n",
     4096,
     utf16Size,
     true,
     telegramRequest,
     ResultMember{"ok", 0, true},
     {"description"}},
    {"wecom", "\n", 2048, utf8Size, true, weComRequest, ResultMember{"errcode", 0}, {"errmsg"}},
    {"feishu", "\n", 20000 - 64, jsonSize, true, feishuRequest, ResultMember{"code", 0}, {"msg"}},
    {"pushplus", "\n", 0, utf8Size, false, pushPlusRequest, ResultMember{"code", 200}, {"msg"}},
    // Its text is Markdown, where a single line break is no break.
    {"serverchan3",
     "\n\n",
     0,
     utf8Size,
     false,
     serverChan3Request,
     ResultMember{"code", 0},
     {"message", "error"}},
    {"webhook", "\n", 0, utf8Size, false, webhookRequest, std::nullopt, {}},
    {"email", "\n", 0, utf8Size, false, nullptr, std::nullopt, {}},
};

const Service* serviceNamed(std::string_view name) {
    const auto found = std::find_if(std::begin(kServices), std::end(kServices),
                                    [&](const Service& service) { return service.name == name; });
    return found != std::end(kServices) ? found : nullptr;
}

// The service's own words in its JSON answer; empty when it has none.
Text serviceWords(const Service& service, const JsonDocument& doc) {
    for (std::string_view member : service.words) {
        if (!member.empty() && doc.GetType(member) == JsonKind::String) {
            if (Text words = doc.GetText(member); !words.empty()) {
                return words;
            }
        }
    }
    return {};
}

// The error a 2xx answer reports through the service's result member; nothing when the member
// is missing or the answer is no JSON object.
PushError answerError(const Service& service, const JsonDocument& doc) {
    if (!service.result) {
        return {};
    }
    const ResultMember& member = *service.result;
    Text value;
    if (member.boolean) {
        if (doc.GetType(member.name) != JsonKind::Boolean || doc.GetBoolean(member.name)) {
            return {};
        }
        value = "false";
    } else {
        const std::optional<std::int64_t> number = numberMember(doc, member.name);
        if (!number || *number == member.success) {
            return {};
        }
        value = std::to_string(*number);
    }
    Text words = serviceWords(service, doc);
    if (words.empty()) {
        words = utf8ToAnsi("服务返回 " + std::string(member.name) + " " + value);
    }
    return {PushErrorCode::ServiceError, std::move(words)};
}

PushReply replyOf(const Service& service, HttpResponse response,
                  const PushEnvironment& environment) {
    PushReply reply;
    reply.answer = answerText(response.body);
    reply.error = push_detail::transportError(response, environment);
    JsonDocument doc;
    const bool json = response.answered() && doc.Parse(reply.answer, true) &&
                      doc.GetType(std::string_view()) == JsonKind::Object;
    if (reply.error.code == PushErrorCode::HttpStatus && json) {
        if (const Text words = serviceWords(service, doc); !words.empty()) {
            reply.error.message += utf8ToAnsi("（") + words + utf8ToAnsi("）");
        }
    } else if (!reply.error && json) {
        reply.error = answerError(service, doc);
    }
    reply.response = std::move(response);
    return reply;
}

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
            return settingsError("email 的 port 应是 1 到 65535 之间的数");
        }
        mail.port = *number;
    }
    const std::optional<MailSecurity> security = securityNamed(settings.get("tls"), mail.port);
    if (!security) {
        return settingsError("email 的 tls 只能是 starttls、ssl 或 none");
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
        return settingsError("没有设置服务地址（email 的 host）");
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
        return settingsError("没有设置发件人（email 的 from，或作为发件地址的 user）");
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

// ----- Sending -----

// Where the service is: the environment's address, else the settings' "url", else the
// service's own.
std::string baseUrl(const PushChannelInfo& channel, const Settings& settings,
                    const PushEnvironment& environment) {
    if (const auto url = environment.baseUrls.find(channel.name);
        url != environment.baseUrls.end() && !url->second.empty()) {
        return url->second;
    }
    if (const Text url = settings.get("url"); !url.empty()) {
        return url;
    }
    return std::string(channel.defaultUrl);
}

// The first required member the settings lack, in words.
PushError missingSetting(const PushChannelInfo& channel, const Settings& settings) {
    for (const PushSettingField& field : channel.fields) {
        if (field.required && field.member != "url" && field.member != "host" &&
            settings.get(field.member).empty()) {
            return settingsError("没有设置 " + std::string(channel.name) + " 的 " +
                                 std::string(field.member));
        }
    }
    return {};
}

// The requests' contents: lines packed under the service's limit, without a final line end.
std::vector<Text> contentParts(const Service& service, std::string_view title,
                               const std::vector<Text>& lines) {
    push_detail::LineCarrier carrier;
    carrier.size = service.size;
    carrier.lineEnd = service.lineEnd;
    carrier.room = std::numeric_limits<std::size_t>::max() / 2;
    if (service.limit > 0) {
        const std::size_t taken = service.titleInText ? service.size(Text(title) + "\n") : 0;
        carrier.room = service.limit > taken ? service.limit - taken : 0;
    }
    std::vector<Text> parts = push_detail::packLines(carrier, lines);
    for (Text& part : parts) {
        if (part.ends_with(service.lineEnd)) {
            part.resize(part.size() - service.lineEnd.size());
        }
    }
    return parts;
}

PushOutcome pushThroughService(const PushChannelInfo& channel, const Service& service,
                               std::string_view title, const std::vector<Text>& lines,
                               const Settings& settings, const PushEnvironment& environment,
                               std::stop_token stop) {
    if (PushError missing = missingSetting(channel, settings)) {
        return failedOutcome(std::move(missing));
    }
    const std::vector<Text> parts = contentParts(service, title, lines);
    if (service.request == nullptr) {
        MailSettings mail;
        if (PushError wrong = mailSettings(settings, environment, mail)) {
            return failedOutcome(std::move(wrong));
        }
        return push_detail::sendParts(
            parts,
            [&](std::string_view part) { return sendMailPart(mail, title, part, environment); },
            stop);
    }
    const std::string base = baseUrl(channel, settings, environment);
    if (base.empty()) {
        return failedOutcome(settingsError("没有设置服务地址（" + std::string(channel.name) +
                                           " 的 url，或环境变量 " +
                                           std::string(channel.urlVariable) + "）"));
    }
    return push_detail::sendParts(
        parts,
        [&](std::string_view part) {
            return replyOf(service, service.request(Call{settings, base, title, part, environment}),
                           environment);
        },
        stop);
}

const Text& settingsOf(const ChannelSettings& settings, std::string_view channel) {
    static const Text kNone;
    const auto found = settings.find(Text(channel));
    return found != settings.end() ? found->second : kNone;
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
std::string valueProblem(const PushChannelInfo& channel, std::string_view member,
                         const JsonDocument& value) {
    const std::string where = std::string(channel.name) + " 的 " + std::string(member);
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
    if (channel.name == "email" && member == "tls" && !securityNamed(text, 0)) {
        return where + " 只能是 starttls、ssl 或 none";
    }
    return {};
}

}  // namespace

std::span<const PushChannelInfo> pushChannels() {
    return kChannels;
}

const PushChannelInfo* findPushChannel(std::string_view name) {
    const auto found =
        std::find_if(std::begin(kChannels), std::end(kChannels),
                     [&](const PushChannelInfo& channel) { return channel.name == name; });
    return found != std::end(kChannels) ? found : nullptr;
}

std::string_view pushChannelOfRow(int row) {
    const auto found = std::find_if(
        std::begin(kChannels), std::end(kChannels),
        [&](const PushChannelInfo& channel) { return row != 0 && channel.row == row; });
    return found != std::end(kChannels) ? found->name : std::string_view();
}

std::string pushChannelNames(std::string_view separator) {
    std::string names;
    for (const PushChannelInfo& channel : kChannels) {
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
        // The first three keep their key as the plain text of their row.
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

PushOutcome pushSummaryTo(std::string_view channel, std::string_view title,
                          const std::vector<Text>& lines, const PushSettings& keys,
                          const ChannelSettings& settings, const PushEnvironment& environment,
                          std::stop_token stop) {
    const PushChannelInfo* info = findPushChannel(channel);
    const Service* service = serviceNamed(channel);
    if (info != nullptr && info->row != 0) {
        return pushSummary(info->row, title, lines, keys, environment, stop);
    }
    if (info == nullptr || service == nullptr) {
        return failedOutcome(settingsError("没有这个推送通道：" + ansiToUtf8(channel) +
                                           "。可用的通道：" + pushChannelNames("、")));
    }
    return pushThroughService(*info, *service, title, lines,
                              Settings(settingsOf(settings, channel)), environment, stop);
}

PushOutcome sendTestPush(std::string_view channel, const PushSettings& keys,
                         const ChannelSettings& settings, const PushEnvironment& environment) {
    Text title = utf8ToAnsi("签到提醒");
    const PushChannelInfo* info = findPushChannel(channel);
    if (info != nullptr && info->row != 0) {
        return sendPush(info->row, title, {}, keys, environment);
    }
    const std::vector<Text> lines = {
        utf8ToAnsi("这是 Vesprey 的测试推送：收到它，说明推送设置可用。")};
    return pushSummaryTo(channel, title, lines, keys, settings, environment);
}

}  // namespace vesprey
