// The trial request ("调试") of the template editor and of the modify window: the account's request
// sent and evaluated as a sign-in pass would (requestAccount), and the text the result box then
// shows. Runs on the window thread and blocks it for the length of the request (at most the web
// client's time-outs), under a busy cursor.
#pragma once

#include <string_view>

#include "text/text.h"

namespace vesprey {
class MessageSink;
}

namespace vesprey::ui {

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
// receives the header text completed with the default headers; otherwise the desktop User-Agent
// line is sent instead, with `body` for a POST and no body for a GET. The evaluation's messages go
// to `messages`.
Text runTrial(const TrialSetup& setup, Text& cookie, Text& headers, std::string_view body,
              MessageSink& messages);

}  // namespace vesprey::ui
