// A multi-step template written from a recording: the requests a page made while the user logged
// in and clicked the site's own sign-in button, the ones the user picked becoming steps. A value
// a picked request sends that an earlier answer of the recording held (a formhash, a token) is
// extracted from that answer by a step before it and sent as {{name}}; a value of the cookie is
// taken from the cookie; a timestamp of the recording's time is sent as the time of the run.
//
// Everything here is UTF-8 (engine/flow/value.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vesprey::flow {

// One request the page made, and its answer as far as the page could read it.
struct RecordedRequest {
    std::string method;  // upper case
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int status = 0;       // 0 when the answer was not seen
    std::string answer;   // the answer's text; empty when the page could not read it
    bool script = false;  // sent by fetch or XMLHttpRequest rather than by a navigation or form
};

// The request most likely the sign-in: the last POST or script request whose address or body
// speaks of signing in (sign, checkin, qiandao, attendance, 签到, 打卡), else the last request.
// Nothing to pick from an empty recording: 0.
std::size_t likelySignIn(const std::vector<RecordedRequest>& recorded);

// What a recording made.
struct RecordedFlow {
    std::string json;  // the community template, as normalizedCommunityJson writes it
    // The variables the template extracts, each with the number of the recorded request it is
    // read from (from 0), in the order of the steps.
    std::vector<std::pair<std::string, std::size_t>> extracted;
    std::size_t steps = 0;
};

// The template of the picked requests (numbers from 0, any order; the steps keep the
// recording's order), with `cookie` the account's cookie the recording ran with and `recordedAt`
// the time of the recording (timestamps within a day of it are the run's own).
RecordedFlow flowFromRecording(const std::vector<RecordedRequest>& recorded,
                               const std::vector<std::size_t>& picks, std::string_view cookie,
                               std::chrono::system_clock::time_point recordedAt);

}  // namespace vesprey::flow
