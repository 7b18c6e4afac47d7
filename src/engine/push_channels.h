// What the two halves of the push share: push.cpp (the first three services, splitting a summary
// into requests, sending them) and push_channels.cpp (the channels added since, and every channel
// by name). Only these two files include it; the rest of the program uses engine/push.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string_view>
#include <vector>

#include "engine/push.h"
#include "json/json.h"
#include "text/text.h"
#include "web/web_client.h"

namespace vesprey::push_detail {

// The answer of a service: UTF-8 from every one, the text ending at its first NUL.
Text answerText(const Bytes& body);

// A number in a member of a service's answer: an integer, a real, or a string of digits.
std::optional<std::int64_t> numberMember(const JsonDocument& answer, std::string_view name);

// Sends a push request within the environment's deadline: the service's certificate is always
// checked, against the authorities of the environment's CA file when it names one, else against
// the system's.
HttpResponse sendChecked(HttpRequest request, const PushEnvironment& environment);

// The outcome of a request that brought no answer, or an answer that is not 2xx: in words, with
// a hint for a certificate that was not trusted. Nothing when the answer is 2xx.
PushError transportError(const HttpResponse& response, const PushEnvironment& environment);

// How a channel carries the summary: the room a request leaves for its content, the content's
// bytes as the service counts them, and the line end.
struct LineCarrier {
    std::size_t room = 0;
    std::size_t (*size)(std::string_view content) = nullptr;
    bool escape = false;  // quotes and backslashes escaped (DingTalk's Markdown in a JSON string)
    std::string_view lineEnd;

    Text format(std::string_view text) const;
    Text line(std::string_view text) const { return format(text) + Text(lineEnd); }
};

// The contents of the requests that carry `lines`: each line with its line end, packed in order
// into as few requests as the room allows (see pushParts).
std::vector<Text> packLines(const LineCarrier& carrier, const std::vector<Text>& lines);

// Sends the parts in order through `send`, as pushSummary does: after a failed request the next
// ones still go unless no answer came; a stop request ends it before the next request.
PushOutcome sendParts(const std::vector<Text>& parts,
                      const std::function<PushReply(std::string_view part)>& send,
                      std::stop_token stop);

}  // namespace vesprey::push_detail
