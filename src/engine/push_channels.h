// The table of push channels and what the code that pushes through them shares: push.cpp packs
// the lines into parts, sends the parts and reads the answers, the same way for every channel;
// push_channels.cpp holds the table, each channel's request, e-mail, and the settings. Only these
// two files include it; the rest of the program uses engine/push.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "engine/push.h"
#include "text/text.h"
#include "web/web_client.h"

namespace vesprey::push_detail {

// A channel's settings: for a Send row's channel its key as the member "key", for the others
// the members of their JSON object, as text.
class Settings {
public:
    explicit Settings(std::string_view json);
    static Settings ofKey(Text key);
    Text get(std::string_view member) const;

private:
    Settings() = default;
    std::map<Text, Text, std::less<>> values_;
};

// What one request of a channel is made of: the settings, where the service is (never empty),
// the title and the part of the summary it carries.
struct Call {
    const Settings& settings;
    std::string_view base;
    std::string_view title;
    std::string_view content;
};

// A push request as a channel builds it; HttpRequest only points at what this holds.
struct PushRequest {
    std::string url;
    int method = HttpMethod::Post;
    Text headers;          // empty: the client's own
    Text body;             // code page 936 text, sent as UTF-8
    std::string byteBody;  // UTF-8 bytes, sent instead of `body` when not empty
};

// Bytes of a text as UTF-8.
std::size_t utf8Size(std::string_view content);

// What a service's limit counts.
enum class Counted {
    Address,  // the whole address as it goes on the wire
    Body,     // the body as it goes on the wire
    Message,  // the message's text: the content, after the title's line when `titleInText`
};

// A member of a service's JSON answer that tells success from failure, a number (or a string of
// digits) that is `success` or for `boolean` members true, and where the service's words on a
// failure are, in order.
struct Verdict {
    std::string_view member;
    std::int64_t success = 0;
    bool boolean = false;
    std::array<std::string_view, 2> words{};
};

// The words for a failure the service does not explain; "{member}" and "{value}" stand for the
// verdict's member and the value the answer gave it.
inline constexpr std::string_view kMemberAndValue = "服务返回 {member} {value}";
inline constexpr std::string_view kErrorCode = "服务返回错误码 {value}";

// Everything about one channel.
struct Channel {
    PushChannelInfo info;  // name, Send row or JSON, settings, environment variable, own address

    // The request of one part; none for e-mail, whose parts go as mails.
    PushRequest (*request)(const Call& call) = nullptr;

    // Parts: the most one request holds (0: no limit), what that counts, the bytes a piece of
    // content adds as the service counts them, the line end, whether the last line has one too,
    // how a line's text is escaped (none: it goes as it is), and whether the title is a line of
    // the message text.
    std::size_t limit = 0;
    Counted counted = Counted::Message;
    std::size_t (*size)(std::string_view content) = utf8Size;
    std::string_view lineEnd = "\n";
    bool endsLastLine = false;
    Text (*escape)(std::string_view text) = nullptr;
    bool titleInText = false;

    // The answer: the members that report a failure, checked in order (an answer without one
    // reports nothing); where the words are that follow "HTTP nnn" after an error status; whether
    // a number or a boolean in a words member is words too; the words when the service gives none.
    std::array<Verdict, 2> verdicts{};
    std::array<std::string_view, 2> statusWords{};
    bool scalarWords = false;
    std::string_view unexplained = kMemberAndValue;
};

// The channel of that name; null when there is none.
const Channel* channelNamed(std::string_view name);

// One request to a push service and what came of it.
struct PushReply {
    Text answer;  // the service's answer converted from UTF-8, up to its first NUL
    PushError error;
};

// The outcome of a request that brought no answer, or an answer that is not 2xx: in words, with
// a hint for a certificate that was not trusted. Nothing when the answer is 2xx.
PushError transportError(const HttpResponse& response, const PushEnvironment& environment);

// Sends the parts in order through `send`: after a failed request the next ones still go unless
// no answer came; a stop request ends it before the next request.
PushOutcome sendParts(const std::vector<Text>& parts,
                      const std::function<PushReply(std::string_view part)>& send,
                      std::stop_token stop);

// Sends the parts as mails with the e-mail settings; settings it cannot send with send nothing.
PushOutcome mailParts(const Settings& settings, std::string_view title,
                      const std::vector<Text>& parts, const PushEnvironment& environment,
                      std::stop_token stop);

PushError settingsError(std::string_view utf8);

}  // namespace vesprey::push_detail
