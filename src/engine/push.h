// Pushing the summary of a pass to the user's phone: Bark, ServerChan or a DingTalk group robot.
// A push is one request; the service's answer is returned but nobody checks it, and nothing is
// shown either way.
#pragma once

#include <string>
#include <string_view>

#include "model/site.h"
#include "text/text.h"

namespace vesprey {

inline constexpr int kPushBark = 1;
inline constexpr int kPushServerChan = 2;
inline constexpr int kPushDingTalk = 3;

// Base addresses of the services. VESPREY_BARK_URL, VESPREY_SERVERCHAN_URL (both ending in "/")
// and VESPREY_DINGTALK_URL (no trailing "/") replace them as written, for a self-hosted Bark
// server, for instance.
std::string barkBaseUrl();
std::string serverChanBaseUrl();
std::string dingTalkBaseUrl();

// Each returns the service's answer converted from UTF-8, up to its first NUL.
Text pushBark(std::string_view key, std::string_view title, std::string_view content);
Text pushServerChan(std::string_view key, std::string_view title, std::string_view content);
Text pushDingTalk(std::string_view token, std::string_view title, std::string_view content);

// Pushes through channel 1 (Bark), 2 (ServerChan) or 3 (DingTalk) with that channel's key from
// `settings`; other channels send nothing. An empty `title` is replaced by "签到提醒" in the
// caller's variable first.
void sendPush(int channel, Text& title, std::string_view content, const PushSettings& settings);

}  // namespace vesprey
