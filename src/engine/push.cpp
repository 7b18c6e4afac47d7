#include "engine/push.h"

#include <cstdlib>

#include "engine/account_request.h"
#include "json/json.h"
#include "web/web_client.h"

namespace vesprey {
namespace {

std::string fromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

const Text& defaultTitle() {
    static const Text title = utf8ToAnsi("签到提醒");
    return title;
}

// The answer is UTF-8 from every service; the text ends at its first NUL.
Text answerText(const Bytes& body) {
    Text text = transcodeBytes(body);
    if (auto nul = text.find('\0'); nul != Text::npos) {
        text.resize(nul);
    }
    return text;
}

}  // namespace

std::string barkBaseUrl() {
    return fromEnvironment("VESPREY_BARK_URL", "https://api.day.app/");
}

std::string serverChanBaseUrl() {
    return fromEnvironment("VESPREY_SERVERCHAN_URL", "http://sc.ftqq.com/");
}

std::string dingTalkBaseUrl() {
    return fromEnvironment("VESPREY_DINGTALK_URL", "https://oapi.dingtalk.com");
}

Text pushBark(std::string_view key, std::string_view title, std::string_view content) {
    const Text url = barkBaseUrl() + std::string(key) + "/" + urlEncode(title, true, true) + "/" +
                     urlEncode(content, true, true);
    return answerText(WebClient::request(url, HttpMethod::Get));
}

Text pushServerChan(std::string_view key, std::string_view title, std::string_view content) {
    const Text url = serverChanBaseUrl() + std::string(key) + ".send";
    const Text body =
        "text=" + urlEncode(title, true, true) + "&desp=" + urlEncode(content, true, true);
    RequestOptions options;
    options.body = body;
    return answerText(WebClient::request(url, HttpMethod::Post, options));
}

Text pushDingTalk(std::string_view token, std::string_view title, std::string_view content) {
    const Text stamp = formatDateTime(nowDateTime(), {}, "hh:mm:ss", true) + utf8ToAnsi("签到");
    JsonDocument doc;
    doc.Create();
    doc.SetText("msgtype", "markdown");
    doc.SetText("markdown.title", defaultTitle());
    doc.SetText("markdown.text", "#### " + std::string(title) + "  \r\n> " + std::string(content) +
                                     "\r\n ###### " + stamp);
    // One line, members in the order set, strings unescaped: the CR LF pairs and the content's
    // backslash sequences reach the service as they are.
    const Text body = doc.ToText({}, false, false);
    const Text url = dingTalkBaseUrl() + "/robot/send?access_token=" + std::string(token);
    Text headers = "Content-Type: application/json\r\n" + std::string(kDesktopUserAgentLine);
    RequestOptions options;
    options.body = body;
    options.headers = &headers;
    return answerText(WebClient::request(url, HttpMethod::Post, options));
}

void sendPush(int channel, Text& title, std::string_view content, const PushSettings& settings) {
    if (channel < kPushBark || channel > kPushDingTalk) {
        return;
    }
    if (title.empty()) {
        title = defaultTitle();
    }
    const auto index = static_cast<std::size_t>(channel - 1);
    const Text key = index < settings.size() ? settings[index].RobotId : Text{};
    switch (channel) {
        case kPushBark:
            pushBark(key, title, content);
            break;
        case kPushServerChan:
            pushServerChan(key, title, content);
            break;
        default:
            pushDingTalk(key, title, content);
            break;
    }
}

}  // namespace vesprey
