#include "engine/push.h"

#include <unistd.h>

#include <cstdint>
#include <optional>
#include <span>

#include "engine/account_request.h"
#include "engine/push_channels.h"
#include "json/json.h"
#include "text/gbk_text.h"
#include "web/web_client.h"

namespace vesprey {
namespace push_detail {

Text answerText(const Bytes& body) {
    Text text = transcodeBytes(body);
    if (auto nul = text.find('\0'); nul != Text::npos) {
        text.resize(nul);
    }
    return text;
}

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

HttpResponse sendChecked(HttpRequest request, const PushEnvironment& environment) {
    const std::string& caFile = environment.caFile;
    if (!caFile.empty() && ::access(caFile.c_str(), R_OK) != 0) {
        HttpResponse refused;
        refused.error = {HttpErrorCode::Certificate,
                         utf8ToAnsi("VESPREY_PUSH_CAFILE 指定的证书文件读不出：" + caFile)};
        return refused;
    }
    request.verifyTls = true;
    request.caFile = caFile;
    request.deadlineMs = environment.deadlineMs;
    return WebClient::send(request);
}

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
    if (response.status < 200 || response.status > 299) {
        return {PushErrorCode::HttpStatus, "HTTP " + std::to_string(response.status)};
    }
    return {};
}

}  // namespace push_detail

namespace {

using push_detail::answerText;
using push_detail::LineCarrier;
using push_detail::numberMember;

const Text& defaultTitle() {
    static const Text title = utf8ToAnsi("签到提醒");
    return title;
}

bool knownChannel(int channel) {
    return channel >= kPushBark && channel <= kPushDingTalk;
}

// The key of a channel in the settings; empty when there is none.
Text keyOf(int channel, const PushSettings& settings) {
    // The row of that id; entries without ids count by position, as the rows come in a file.
    const Text id = std::to_string(channel);
    for (const PushChannel& row : settings) {
        if (row.id == id) {
            return row.RobotId;
        }
    }
    const auto index = static_cast<std::size_t>(channel - 1);
    return index < settings.size() && settings[index].id.empty() ? settings[index].RobotId : Text{};
}

// The line ends of the summary: CR LF, or for the DingTalk robot, whose JSON body carries the
// Markdown unescaped, a line break and a quote mark the service reads: backslash, n, ">", twice.
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kDingTalkLineEnd = "\\n>\\n>";

// Below this many bytes of room for the content a summary would go out a character or two per
// request; splitting cannot help then.
constexpr std::size_t kLeastContentRoom = 64;

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

std::size_t encodedSize(std::string_view content) {
    return urlEncode(content, true, true).size();
}

std::size_t utf8Size(std::string_view content) {
    return ansiToUtf8(content).size();
}

std::string barkUrl(std::string_view key, std::string_view title, std::string_view content,
                    const PushEnvironment& environment) {
    return joinUrl(channelBaseUrl(kPushBark, environment), urlSegment(key) + "/" +
                                                               urlEncode(title, true, true) + "/" +
                                                               urlEncode(content, true, true));
}

Text serverChanBody(std::string_view title, std::string_view content) {
    return "text=" + urlEncode(title, true, true) + "&desp=" + urlEncode(content, true, true);
}

Text dingTalkStamp() {
    return formatDateTime(nowDateTime(), {}, "hh:mm:ss", true) + utf8ToAnsi("签到");
}

Text dingTalkBody(std::string_view title, std::string_view content, std::string_view stamp) {
    JsonDocument doc;
    doc.Create();
    doc.SetText("msgtype", "markdown");
    doc.SetText("markdown.title", defaultTitle());
    doc.SetText("markdown.text", "#### " + escapeQuotes(title) + "  \r\n> " + std::string(content) +
                                     "\r\n ###### " + std::string(stamp));
    // One line, members in the order set, strings unescaped: the CR LF pairs reach the service as
    // they are, and so does the content, escaped by whoever made it.
    return doc.ToText({}, false, false);
}

// A member that reports the outcome, the value that means success, and where the service puts its
// words when it is another.
struct ResultMember {
    std::string_view name;
    std::int64_t success;
    std::string_view message;
    std::string_view otherMessage;
};

// The error the service's JSON answer reports, in the service's words: Bark's "code" other than
// 200, ServerChan's "errno" or "code" other than 0 (its two generations), DingTalk's "errcode"
// other than 0. A member that is not there reports nothing, nor does an answer that is no JSON
// object.
PushError serviceError(int channel, const Text& answer) {
    static constexpr ResultMember kBark[] = {{"code", 200, "message", "message"}};
    static constexpr ResultMember kServerChan[] = {{"errno", 0, "errmsg", "message"},
                                                   {"code", 0, "message", "errmsg"}};
    static constexpr ResultMember kDingTalk[] = {{"errcode", 0, "errmsg", "errmsg"}};
    std::span<const ResultMember> members = kDingTalk;
    if (channel == kPushBark) {
        members = kBark;
    } else if (channel == kPushServerChan) {
        members = kServerChan;
    }
    JsonDocument doc;
    if (!doc.Parse(answer, true) || doc.GetType(std::string_view()) != JsonKind::Object) {
        return {};
    }
    for (const ResultMember& member : members) {
        const std::optional<std::int64_t> value = numberMember(doc, member.name);
        if (!value || *value == member.success) {
            continue;
        }
        for (std::string_view words : {member.message, member.otherMessage}) {
            if (Text message = doc.GetText(words); !message.empty()) {
                return {PushErrorCode::ServiceError, std::move(message)};
            }
        }
        return {PushErrorCode::ServiceError,
                utf8ToAnsi("服务返回错误码 " + std::to_string(*value))};
    }
    return {};
}

PushReply replyOf(int channel, HttpResponse response, const PushEnvironment& environment) {
    PushReply reply;
    reply.answer = answerText(response.body);
    reply.error = push_detail::transportError(response, environment);
    if (!reply.error) {
        reply.error = serviceError(channel, reply.answer);
    }
    reply.response = std::move(response);
    return reply;
}

PushReply pushOne(int channel, std::string_view key, std::string_view title,
                  std::string_view content, const PushEnvironment& environment) {
    switch (channel) {
        case kPushBark:
            return pushBark(key, title, content, environment);
        case kPushServerChan:
            return pushServerChan(key, title, content, environment);
        default:
            return pushDingTalk(key, title, content, environment);
    }
}

LineCarrier carrierFor(int channel, std::string_view key, std::string_view title,
                       const PushEnvironment& environment) {
    LineCarrier carrier;
    carrier.size = encodedSize;
    carrier.lineEnd = kLineEnd;
    std::size_t limit = 0;
    std::size_t empty = 0;
    switch (channel) {
        case kPushBark:
            limit = kBarkUrlLimit;
            empty = wireLength(barkUrl(key, title, {}, environment));
            break;
        case kPushServerChan:
            limit = kServerChanBodyLimit;
            empty = serverChanBody(title, {}).size();
            break;
        default:
            limit = kDingTalkBodyLimit;
            empty = utf8Size(dingTalkBody(title, {}, dingTalkStamp()));
            carrier.size = utf8Size;
            carrier.escape = true;
            carrier.lineEnd = kDingTalkLineEnd;
            break;
    }
    carrier.room = limit > empty ? limit - empty : 0;
    return carrier;
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

}  // namespace

std::string channelBaseUrl(int channel, const PushEnvironment& environment) {
    const PushChannelInfo& info = pushChannels()[static_cast<std::size_t>(channel - 1)];
    const auto given = environment.baseUrls.find(info.name);
    return given != environment.baseUrls.end() && !given->second.empty()
               ? given->second
               : std::string(info.defaultUrl);
}

std::string joinUrl(std::string_view base, std::string_view path) {
    while (base.ends_with('/')) {
        base.remove_suffix(1);
    }
    std::string url(base);
    url += '/';
    url += path;
    return url;
}

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

PushReply pushBark(std::string_view key, std::string_view title, std::string_view content,
                   const PushEnvironment& environment) {
    const std::string url = barkUrl(key, title, content, environment);
    HttpRequest request;
    request.url = url;
    request.method = HttpMethod::Get;
    return replyOf(kPushBark, push_detail::sendChecked(request, environment), environment);
}

PushReply pushServerChan(std::string_view key, std::string_view title, std::string_view content,
                         const PushEnvironment& environment) {
    const std::string url =
        joinUrl(channelBaseUrl(kPushServerChan, environment), urlSegment(key) + ".send");
    const Text body = serverChanBody(title, content);
    HttpRequest request;
    request.url = url;
    request.method = HttpMethod::Post;
    request.body = body;
    return replyOf(kPushServerChan, push_detail::sendChecked(request, environment), environment);
}

PushReply pushDingTalk(std::string_view token, std::string_view title, std::string_view content,
                       const PushEnvironment& environment) {
    const Text body = dingTalkBody(title, content, dingTalkStamp());
    const std::string url = joinUrl(channelBaseUrl(kPushDingTalk, environment),
                                    "robot/send?access_token=" + urlSegment(token));
    HttpRequest request;
    request.url = url;
    request.method = HttpMethod::Post;
    request.headers = "Content-Type: application/json\r\n" + std::string(kDesktopUserAgentLine);
    request.body = body;
    return replyOf(kPushDingTalk, push_detail::sendChecked(request, environment), environment);
}

std::vector<Text> pushParts(int channel, std::string_view key, std::string_view title,
                            const std::vector<Text>& lines, const PushEnvironment& environment) {
    if (!knownChannel(channel)) {
        return {};
    }
    return push_detail::packLines(carrierFor(channel, key, title, environment), lines);
}

namespace push_detail {

Text LineCarrier::format(std::string_view text) const {
    return escape ? escapeQuotes(text) : Text(text);
}

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

PushOutcome pushSummary(int channel, std::string_view title, const std::vector<Text>& lines,
                        const PushSettings& settings, const PushEnvironment& environment,
                        std::stop_token stop) {
    if (!knownChannel(channel)) {
        return {};
    }
    const Text key = keyOf(channel, settings);
    return push_detail::sendParts(
        pushParts(channel, key, title, lines, environment),
        [&](std::string_view part) { return pushOne(channel, key, title, part, environment); },
        stop);
}

PushOutcome sendPush(int channel, Text& title, std::string_view content,
                     const PushSettings& settings, const PushEnvironment& environment) {
    PushOutcome outcome;
    if (!knownChannel(channel)) {
        return outcome;
    }
    if (title.empty()) {
        title = defaultTitle();
    }
    PushReply reply = pushOne(channel, keyOf(channel, settings), title, content, environment);
    outcome.parts = 1;
    outcome.sent = 1;
    outcome.failedPart = reply.error ? 1 : 0;
    outcome.answer = std::move(reply.answer);
    outcome.error = std::move(reply.error);
    return outcome;
}

}  // namespace vesprey
