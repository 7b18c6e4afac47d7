// Pushing the summary of a pass to the user's phone, through one of the push channels: Bark,
// ServerChan and a DingTalk group robot, whose keys are the RobotId of Send rows 1 to 3; ntfy,
// Gotify, Telegram, WeCom and Feishu group robots, PushPlus, ServerChan³, a webhook of one's own
// and e-mail, whose settings are a JSON object in a Send row of their own, named after the
// channel.
//
// A summary that one request cannot carry goes in several, each under the service's limit: same
// title, lines in order, each line in exactly one request. Every answer is checked: a request
// failed when no answer came, the status is not 2xx, or the service's JSON answer reports an
// error. Every push checks the service's certificate (PushEnvironment::caFile names the
// authorities of a self-hosted service). Nothing here shows anything; the outcome says what
// happened, in words.
#pragma once

#include <cstddef>
#include <map>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "model/site.h"
#include "text/text.h"

namespace vesprey {

// The Send rows whose RobotId is a channel's key.
inline constexpr int kPushBark = 1;
inline constexpr int kPushServerChan = 2;
inline constexpr int kPushDingTalk = 3;

// What one request may be, in bytes as it goes on the wire: Bark's whole address, the body of
// ServerChan's form and of the DingTalk robot's JSON (UTF-8).
inline constexpr std::size_t kBarkUrlLimit = 4096;
inline constexpr std::size_t kServerChanBodyLimit = 32768;
inline constexpr std::size_t kDingTalkBodyLimit = 19000;

// Where the push services are and how long a request to one may take, as the program's
// environment says; the programs read it at start (VESPREY_<CHANNEL>_URL, VESPREY_PUSH_CAFILE)
// and hand it down. An empty value leaves the service's own.
struct PushEnvironment {
    // By channel name: an address that replaces the service's own (a self-hosted Bark server,
    // say), with or without a final "/"; for e-mail "smtp://host:port" or "smtps://host:port".
    std::map<std::string, std::string, std::less<>> baseUrls;
    std::string caFile;   // the authorities of a self-hosted service, in place of the system's
    long deadlineMs = 0;  // the bound of each request; 0: kRequestDeadlineMs
    // A proxy address (web/proxy.h) every push request goes through; empty: none.
    std::string proxy;
};

enum class PushErrorCode {
    None,
    NoAnswer,      // the request failed: refused, timed out, broken connection, bad address
    HttpStatus,    // the answer's status is not 2xx
    ServiceError,  // the service's JSON answer reports an error (a mail server refused)
    Settings,      // the channel lacks what it needs (an address, a key) or has a wrong value
};

struct PushError {
    PushErrorCode code = PushErrorCode::None;
    Text message;  // in words: the request's error, "HTTP 500", or the service's own message
    explicit operator bool() const { return code != PushErrorCode::None; }
};

// A push of one or more requests.
struct PushOutcome {
    std::size_t parts = 0;       // requests the summary needed
    std::size_t sent = 0;        // requests sent
    std::size_t failedPart = 0;  // the first failed request, counted from 1; 0 when none failed
    Text answer;                 // the last answer
    PushError error;  // the first failure; with several requests the message says which one
    bool ok() const { return !error; }
};

// One member of a channel's settings.
struct PushSettingField {
    std::string_view member;  // its name in the JSON object ("key" for a Send row's key)
    bool required = false;    // the channel cannot push without it
    bool secret = false;      // a key or a password, for a page to hide
};

struct PushChannelInfo {
    std::string_view name;  // as `sign --notify` takes it, and as the Send row's Name holds it
    // 1 to 3: the channel's key is the RobotId of that Send row; 0: its settings are a JSON
    // object in a Send row of their own (id 4 and up).
    int row = 0;
    std::string_view urlVariable;  // the environment variable the programs read the channel's
                                   // address from (PushEnvironment::baseUrls)
    std::string_view defaultUrl;   // empty: the user's own service, whose address they give
    std::span<const PushSettingField> fields;
};

// Every channel, those of Send rows 1 to 3 first, in the order of their rows; then
// findPushChannel, the name of the channel of a Send row (kPushBark...; empty for another
// number), and the names for a message ("bark、serverchan、…" with the separator "、").
std::span<const PushChannelInfo> pushChannels();
const PushChannelInfo* findPushChannel(std::string_view name);
std::string_view pushChannelOfRow(int row);
std::string pushChannelNames(std::string_view separator);
// The channel's name in a sentence a user reads ("Bark", "Server酱", "钉钉机器人", "企业微信",
// "电子邮件", ...); the name itself for a channel without one.
std::string_view pushChannelCaption(std::string_view name);
// A setting of a channel in a sentence: "Telegram 的 chat_id", "电子邮件的 host".
std::string pushSettingName(std::string_view channel, std::string_view member);

// The settings of the channels that keep a JSON object, by channel name (code page 936 text, as
// read from the Send rows 4 and up). A channel without a row has no entry.
using ChannelSettings = std::map<Text, Text>;

// One member of a channel's settings as text (a number as its digits); empty when it is missing
// or the settings are no JSON object.
Text channelSetting(std::string_view settings, std::string_view member);

// The settings to store after the user gave `given` (a JSON object, code page 936) for `channel`,
// whose stored settings are `stored`: every member given replaces the stored one, a null removes
// it, and the members not given stay as they were, unknown ones too. For the channels of Send
// rows 1 to 3 the only member is "key" and the result is the plain key of their row.
struct ChannelSettingsUpdate {
    Text settings;                     // what to store
    Text error;                        // why `given` cannot be stored, in words; empty when it can
    std::vector<std::string> unknown;  // members given that the channel does not read (kept)
    bool ok() const { return error.empty(); }
};
ChannelSettingsUpdate updateChannelSettings(const PushChannelInfo& channel, std::string_view stored,
                                            std::string_view given);

// Pushes `lines` (each without its line end) under `title` through the named channel: a Send
// row's channel with its key from `keys` (an empty key goes as it is, for the service to refuse),
// the others with their settings from `settings`. Each line gets the line end the service shows
// (CR LF for Bark and ServerChan, the Markdown break \n>\n> for DingTalk after its quotes and
// backslashes are escaped, a line break for the others, which do not end the last line) and the
// lines are packed in order into as few requests as the service's limit allows. A line too long
// for a request of its own is cut at character boundaries into requests of their own. No lines
// give one request with an empty content. When even an empty request is over the limit, nothing
// can help: one request carries everything.
//
// After a failed request the next ones are still sent, unless no answer came (the service is
// unreachable: the rest is not tried). A stop request ends the push before the next request. An
// unknown name, or settings that lack what the channel needs, send nothing and fail with
// PushErrorCode::Settings.
PushOutcome pushSummaryTo(std::string_view channel, std::string_view title,
                          const std::vector<Text>& lines, const PushSettings& keys,
                          const ChannelSettings& settings, const PushEnvironment& environment,
                          std::stop_token stop = {});

// The push settings' test, titled "签到提醒": for a Send row's channel the title alone, with no
// content; for the others a line saying that the settings work.
PushOutcome sendTestPush(std::string_view channel, const PushSettings& keys,
                         const ChannelSettings& settings, const PushEnvironment& environment);

}  // namespace vesprey
