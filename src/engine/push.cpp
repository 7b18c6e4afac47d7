// One way through every push channel: the lines packed into parts under the channel's limit,
// each part sent as the channel's request, each answer read for success or failure as the
// channel's table entry (push_channels.cpp) says.

#include "engine/push.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include "engine/push_channels.h"
#include "json/json.h"
#include "text/gbk_text.h"
#include "web/web_client.h"

namespace vesprey {
namespace push_detail {

namespace {

// "https://host:port" of the answer's Location header: where a redirect wanted the push to go,
// without the path and query that may hold a key. Empty without one.
std::string locationOrigin(std::string_view headers) {
    for (const auto& [name, value] : splitRequestHeaders(headers)) {
        if (name.size() != 8 ||
            !std::equal(name.begin(), name.end(), "location",
                        [](char a, char b) { return gbk::asciiLower(a) == b; })) {
            continue;
        }
        const std::size_t scheme = value.find("://");
        if (scheme == Text::npos) {
            return {};
        }
        const std::size_t end = std::min(value.find_first_of("/?#", scheme + 3), value.size());
        std::string origin = value.substr(0, end);
        if (const std::size_t at = origin.rfind('@'); at != std::string::npos && at > scheme) {
            origin.erase(scheme + 3, at - scheme - 2);
        }
        return ansiToUtf8(origin);
    }
    return {};
}

}  // namespace

PushError transportError(const HttpResponse& response, const PushEnvironment& environment) {
    if (!response.answered()) {
        Text words =
            response.error.message.empty() ? utf8ToAnsi("没有收到回答") : response.error.message;
        if (response.error.code == HttpErrorCode::Certificate && environment.caFile.empty()) {
            words += utf8ToAnsi(
                "（服务的证书不受信任；自建的服务请用 VESPREY_PUSH_CAFILE "
                "指定它的 CA 证书）");
        }
        return {PushErrorCode::NoAnswer, std::move(words)};
    }
    if (response.status >= 300 && response.status <= 399) {
        std::string words = "HTTP " + std::to_string(response.status) + "（推送不跟随跳转";
        if (const std::string origin = locationOrigin(response.headers); !origin.empty()) {
            words += "，服务要转到 " + origin;
        }
        return {PushErrorCode::HttpStatus, utf8ToAnsi(words + "，请检查服务地址）")};
    }
    if (response.status < 200 || response.status > 299) {
        return {PushErrorCode::HttpStatus, "HTTP " + std::to_string(response.status)};
    }
    return {};
}

}  // namespace push_detail

namespace {

using push_detail::Call;
using push_detail::Channel;
using push_detail::Counted;
using push_detail::PushReply;
using push_detail::PushRequest;
using push_detail::Settings;
using push_detail::Verdict;

// ----- Parts -----

// Below this many bytes of room for the content a summary would go out a character or two per
// request; splitting cannot help then.
constexpr std::size_t kLeastContentRoom = 64;

// Bytes of an address as the request goes out: UTF-8, with blanks, control characters and
// non-ASCII bytes percent-encoded.
std::size_t wireLength(std::string_view url) {
    std::size_t length = 0;
    for (char c : ansiToUtf8(url)) {
        const auto byte = static_cast<unsigned char>(c);
        length += byte <= 0x20 || byte >= 0x7F ? 3 : 1;
    }
    return length;
}

// Bytes of a request's body as it goes out.
std::size_t bodySize(const PushRequest& request) {
    return request.byteBody.empty() ? ansiToUtf8(request.body).size() : request.byteBody.size();
}

// How a channel carries the summary: the room a request leaves for its content, the content's
// bytes as the service counts them, how a line's text is escaped, and the line end.
struct LineCarrier {
    std::size_t room = 0;
    std::size_t (*size)(std::string_view content) = nullptr;
    Text (*escape)(std::string_view text) = nullptr;
    std::string_view lineEnd;

    Text format(std::string_view text) const {
        return escape != nullptr ? escape(text) : Text(text);
    }
    Text line(std::string_view text) const { return format(text) + Text(lineEnd); }
};

// The room for content that the channel's limit leaves in a request of `call` (whose content is
// empty): the limit less what the request takes without content, as the limit counts it.
std::size_t contentRoom(const Channel& channel, const Call& call) {
    if (channel.limit == 0) {
        return std::numeric_limits<std::size_t>::max() / 2;
    }
    std::size_t taken = 0;
    switch (channel.counted) {
        case Counted::Address:
            taken = wireLength(channel.request(call).url);
            break;
        case Counted::Body:
            taken = bodySize(channel.request(call));
            break;
        case Counted::Message:
            taken = channel.titleInText ? channel.size(Text(call.title) + "\n") : 0;
            break;
    }
    return channel.limit > taken ? channel.limit - taken : 0;
}

// A line too long for a request of its own, cut at character boundaries into pieces that each
// fit with a line end; a piece holds at least one character whatever the room.
void cutLine(const LineCarrier& carrier, std::string_view line, std::vector<Text>& parts) {
    const std::size_t endSize = carrier.size(carrier.lineEnd);
    const std::size_t room = carrier.room > endSize ? carrier.room - endSize : 0;
    Text piece;
    std::size_t pieceSize = 0;
    for (std::size_t at = 0; at < line.size();) {
        const std::size_t length = gbk::charLength(line, at);
        const Text character = carrier.format(line.substr(at, length));
        const std::size_t size = carrier.size(character);
        if (!piece.empty() && pieceSize + size > room) {
            parts.push_back(piece + Text(carrier.lineEnd));
            piece.clear();
            pieceSize = 0;
        }
        piece += character;
        pieceSize += size;
        at += length;
    }
    parts.push_back(piece + Text(carrier.lineEnd));
}

// Each line with its line end, packed in order into as few parts as the room allows (see
// pushSummaryTo).
std::vector<Text> packLines(const LineCarrier& carrier, const std::vector<Text>& lines) {
    std::vector<Text> parts;
    Text part;
    if (carrier.room < kLeastContentRoom) {
        for (const Text& line : lines) {
            part += carrier.line(line);
        }
        parts.push_back(std::move(part));
        return parts;
    }
    std::size_t partSize = 0;
    for (const Text& line : lines) {
        Text formatted = carrier.line(line);
        const std::size_t size = carrier.size(formatted);
        if (size > carrier.room || partSize + size > carrier.room) {
            if (!part.empty()) {
                parts.push_back(std::move(part));
            }
            part.clear();
            partSize = 0;
        }
        if (size > carrier.room) {
            cutLine(carrier, line, parts);
            continue;
        }
        part += formatted;
        partSize += size;
    }
    if (!part.empty() || parts.empty()) {
        parts.push_back(std::move(part));
    }
    return parts;
}

// The contents of the requests that carry `lines` through `channel`; `call` is the request
// without content.
std::vector<Text> contentParts(const Channel& channel, const Call& call,
                               const std::vector<Text>& lines) {
    LineCarrier carrier;
    carrier.room = contentRoom(channel, call);
    carrier.size = channel.size;
    carrier.escape = channel.escape;
    carrier.lineEnd = channel.lineEnd;
    std::vector<Text> parts = packLines(carrier, lines);
    if (!channel.endsLastLine) {
        for (Text& part : parts) {
            if (part.ends_with(channel.lineEnd)) {
                part.resize(part.size() - channel.lineEnd.size());
            }
        }
    }
    return parts;
}

// ----- Answers -----

// The answer of a service: UTF-8 from every one, the text ending at its first NUL.
Text answerText(const Bytes& body) {
    Text text = transcodeBytes(body);
    if (auto nul = text.find('\0'); nul != Text::npos) {
        text.resize(nul);
    }
    return text;
}

// A number in a member of a service's answer: an integer, a real, or a string of digits.
std::optional<std::int64_t> numberMember(const JsonDocument& answer, std::string_view name) {
    switch (answer.GetType(name)) {
        case JsonKind::Integer:
        case JsonKind::Real:
            return answer.GetInteger(name);
        case JsonKind::String: {
            const Text text = answer.GetText(name);
            if (!text.empty() && text.find_first_not_of("-0123456789") == Text::npos) {
                return answer.GetInteger(name);
            }
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

// The service's own words in its JSON answer, from the first of `members` that has some; empty
// when none has.
Text serviceWords(const Channel& channel, const JsonDocument& answer,
                  const std::array<std::string_view, 2>& members) {
    for (std::string_view member : members) {
        if (member.empty() ||
            (!channel.scalarWords && answer.GetType(member) != JsonKind::String)) {
            continue;
        }
        if (Text words = answer.GetText(member); !words.empty()) {
            return words;
        }
    }
    return {};
}

// The failure a 2xx JSON answer reports through the first of the channel's verdicts that says
// so; nothing when none does.
PushError verdictError(const Channel& channel, const JsonDocument& answer) {
    for (const Verdict& verdict : channel.verdicts) {
        if (verdict.member.empty()) {
            continue;
        }
        std::string value;
        if (verdict.boolean) {
            if (answer.GetType(verdict.member) != JsonKind::Boolean ||
                answer.GetBoolean(verdict.member)) {
                continue;
            }
            value = "false";
        } else {
            const std::optional<std::int64_t> number = numberMember(answer, verdict.member);
            if (!number || *number == verdict.success) {
                continue;
            }
            value = std::to_string(*number);
        }
        Text words = serviceWords(channel, answer, verdict.words);
        if (words.empty()) {
            words = gbk::replaceAll(
                gbk::replaceAll(utf8ToAnsi(channel.unexplained), "{member}", verdict.member),
                "{value}", value);
        }
        return {PushErrorCode::ServiceError, std::move(words)};
    }
    return {};
}

PushReply replyOf(const Channel& channel, const HttpResponse& response,
                  const PushEnvironment& environment) {
    PushReply reply;
    reply.answer = answerText(response.body);
    reply.error = push_detail::transportError(response, environment);
    JsonDocument doc;
    const bool json = response.answered() && doc.Parse(reply.answer, true) &&
                      doc.GetType(std::string_view()) == JsonKind::Object;
    if (reply.error.code == PushErrorCode::HttpStatus && json) {
        if (const Text words = serviceWords(channel, doc, channel.statusWords); !words.empty()) {
            reply.error.message += utf8ToAnsi("（") + words + utf8ToAnsi("）");
        }
    } else if (!reply.error && json) {
        reply.error = verdictError(channel, doc);
    }
    return reply;
}

// ----- Sending -----

// Sends a push request within the environment's deadline: the service's certificate is always
// checked, against the authorities of the environment's CA file when it names one, else against
// the system's.
HttpResponse sendChecked(const PushRequest& push, const PushEnvironment& environment) {
    const std::string& caFile = environment.caFile;
    if (!caFile.empty() && ::access(caFile.c_str(), R_OK) != 0) {
        HttpResponse refused;
        refused.error = {HttpErrorCode::Certificate,
                         utf8ToAnsi("VESPREY_PUSH_CAFILE 指定的证书文件读不出：" + caFile)};
        return refused;
    }
    HttpRequest request;
    request.url = push.url;
    request.method = push.method;
    request.headers = push.headers;
    request.body = push.body;
    request.byteBody = push.byteBody;
    request.verifyTls = true;
    request.caFile = caFile;
    request.deadlineMs = environment.deadlineMs;
    request.proxy = environment.proxy;
    // The address holds the key (Bark's path, DingTalk's access_token…): no Referer carries it
    // anywhere, and no redirect is followed, so a POST never turns into a GET that "succeeds"
    // without delivering anything.
    request.sendReferer = false;
    request.noRedirect = true;
    return WebClient::send(request);
}

// The outcome's words: with several requests, which one failed first, how many failed and how
// many were not sent.
Text describeFailure(const PushOutcome& outcome, const PushError& first, std::size_t failed) {
    if (outcome.parts <= 1) {
        return first.message;
    }
    std::string words = "第 " + std::to_string(outcome.failedPart) + " 条（共 " +
                        std::to_string(outcome.parts) + " 条）：";
    Text message = utf8ToAnsi(words) + first.message;
    if (failed > 1) {
        message += utf8ToAnsi("；共 " + std::to_string(failed) + " 条失败");
    }
    if (outcome.sent < outcome.parts) {
        message +=
            utf8ToAnsi("；其余 " + std::to_string(outcome.parts - outcome.sent) + " 条未发送");
    }
    return message;
}

PushOutcome failedOutcome(PushError error) {
    PushOutcome outcome;
    outcome.error = std::move(error);
    return outcome;
}

// The key of a Send row's channel in the settings; empty when there is none.
Text keyOf(int row, const PushSettings& settings) {
    // The row of that id; entries without ids count by position, as the rows come in a file.
    const Text id = std::to_string(row);
    for (const PushChannel& entry : settings) {
        if (entry.id == id) {
            return entry.RobotId;
        }
    }
    const auto index = static_cast<std::size_t>(row - 1);
    return index < settings.size() && settings[index].id.empty() ? settings[index].RobotId : Text{};
}

const Text& settingsOf(const ChannelSettings& settings, std::string_view channel) {
    static const Text kNone;
    const auto found = settings.find(Text(channel));
    return found != settings.end() ? found->second : kNone;
}

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

// The first required member the settings lack, in words. The address ("url", "host") is
// checked where it is read, since the environment may give it.
PushError missingSetting(const PushChannelInfo& channel, const Settings& settings) {
    for (const PushSettingField& field : channel.fields) {
        if (field.required && field.member != "url" && field.member != "host" &&
            settings.get(field.member).empty()) {
            return push_detail::settingsError("没有设置 " +
                                              pushSettingName(channel.name, field.member));
        }
    }
    return {};
}

PushOutcome pushThrough(const Channel& channel, std::string_view title,
                        const std::vector<Text>& lines, const Settings& settings,
                        const PushEnvironment& environment, std::stop_token stop) {
    const PushChannelInfo& info = channel.info;
    // A Send row's key goes as it is, even empty; the service then says what is wrong with it.
    if (info.row == 0) {
        if (PushError missing = missingSetting(info, settings)) {
            return failedOutcome(std::move(missing));
        }
    }
    if (channel.request == nullptr) {
        return push_detail::mailParts(settings, title,
                                      contentParts(channel, Call{settings, {}, title, {}}, lines),
                                      environment, stop);
    }
    const std::string base = baseUrl(info, settings, environment);
    if (base.empty()) {
        return failedOutcome(
            push_detail::settingsError("没有设置服务地址（" + pushSettingName(info.name, "url") +
                                       "，或环境变量 " + std::string(info.urlVariable) + "）"));
    }
    return push_detail::sendParts(
        contentParts(channel, Call{settings, base, title, {}}, lines),
        [&](std::string_view part) {
            const HttpResponse response =
                sendChecked(channel.request(Call{settings, base, title, part}), environment);
            return replyOf(channel, response, environment);
        },
        stop);
}

}  // namespace

namespace push_detail {

PushOutcome sendParts(const std::vector<Text>& parts,
                      const std::function<PushReply(std::string_view part)>& send,
                      std::stop_token stop) {
    PushOutcome outcome;
    outcome.parts = parts.size();
    PushError first;
    std::size_t failed = 0;
    for (const Text& part : parts) {
        if (stop.stop_requested()) {
            break;
        }
        PushReply reply = send(part);
        ++outcome.sent;
        outcome.answer = std::move(reply.answer);
        if (!reply.error) {
            continue;
        }
        ++failed;
        if (!first) {
            first = reply.error;
            outcome.failedPart = outcome.sent;
        }
        // Without an answer the service is out of reach: the next requests would only wait too.
        if (reply.error.code == PushErrorCode::NoAnswer) {
            break;
        }
    }
    if (first) {
        outcome.error = {first.code, describeFailure(outcome, first, failed)};
    }
    return outcome;
}

}  // namespace push_detail

PushOutcome pushSummaryTo(std::string_view channel, std::string_view title,
                          const std::vector<Text>& lines, const PushSettings& keys,
                          const ChannelSettings& settings, const PushEnvironment& environment,
                          std::stop_token stop) {
    const Channel* found = push_detail::channelNamed(channel);
    if (found == nullptr) {
        return failedOutcome(push_detail::settingsError("没有这个推送通道：" + ansiToUtf8(channel) +
                                                        "。可用的通道：" + pushChannelNames("、")));
    }
    const int row = found->info.row;
    const Settings channelSettings =
        row != 0 ? Settings::ofKey(keyOf(row, keys)) : Settings(settingsOf(settings, channel));
    return pushThrough(*found, title, lines, channelSettings, environment, stop);
}

PushOutcome sendTestPush(std::string_view channel, const PushSettings& keys,
                         const ChannelSettings& settings, const PushEnvironment& environment) {
    const Text title = utf8ToAnsi("签到提醒");
    const PushChannelInfo* info = findPushChannel(channel);
    std::vector<Text> lines;
    if (info == nullptr || info->row == 0) {
        lines.push_back(utf8ToAnsi("这是 Vesprey 的测试推送：收到它，说明推送设置可用。"));
    }
    return pushSummaryTo(channel, title, lines, keys, settings, environment);
}

}  // namespace vesprey
