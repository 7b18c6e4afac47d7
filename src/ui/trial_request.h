// The trial request of the template editor and of the modify window: one request sent as a
// sign-in pass would send it, the answer converted and evaluated as the pass would, and the text
// the result box then shows. Runs on the window thread and blocks it for the length of the
// request (at most the web client's time-outs), under a busy cursor.
#pragma once

#include <string_view>

#include "engine/text.h"

namespace vesprey {
class MessageSink;
}

namespace vesprey::ui {

// The header text sent when a template has no header lines of its own.
inline constexpr std::string_view kTrialUserAgent =
    "User-Agent: Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/50.0.2661.87 Safari/537.36";

struct TrialSetup {
    Text url;            // 签到链接
    bool get = true;     // "GET" checked; otherwise the request is a POST
    int conversion = 0;  // selected item of 编码转换 (-1 for none)
    bool json = true;    // "JSON" checked
    bool regex = false;  // "正则表达式" checked
    Text tying;          // 绑定语句
};

// Sends the request and returns what the result box shows. `cookie` is sent and receives the
// cookie merged with what the site set. When `headers` is not empty it is sent with `body` and
// receives the header text completed with the default headers; otherwise the User-Agent line is
// sent instead, with `body` for a POST and no body for a GET. The evaluation's messages go to
// `messages`.
Text runTrial(const TrialSetup& setup, Text& cookie, Text& headers, std::string_view body,
              MessageSink& messages);

// The answer converted as the selected item asks: items 1 and 2 convert, anything else leaves it.
Text convertForTrial(std::string_view answer, int conversion);

// The result of the binding statement: JSON or regex mode as checked, empty without a statement
// or with neither mode checked.
Text extractForTrial(std::string_view answer, const TrialSetup& setup, MessageSink& messages);

}  // namespace vesprey::ui
