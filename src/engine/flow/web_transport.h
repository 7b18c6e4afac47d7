// The transport of a flow over the web layer: each step's request goes out through one request
// object kept for the whole run (engine/flow/runner.h, web/request_engine.h).
//
// What a step sees:
// - redirects are not followed: a 302 is the answer, its Location among the header lines;
// - the URL, header lines and body go on the wire as the UTF-8 the step holds (a non-ASCII URL
//   percent-encoded); GET and HEAD send no body; a step without a User-Agent gets the desktop
//   one, and nothing else is added;
// - an answer in gzip, deflate or br is decoded; a step's own Accept-Encoding line is replaced by
//   the encodings that can be decoded. The body limit and the answer budget count decoded bytes;
// - the body is converted to UTF-8 by the charset the answer names (its Content-Type, else a
//   <meta> or XML declaration in the first 2 KB), else kept when it is UTF-8, else read as
//   GB18030; GBK and GB2312 are read as GB18030, which holds them. Header lines are UTF-8 as
//   they came, or read as GB18030 when they are not;
// - a body cut at the body limit, an answer the budget refuses and a URL that is not http or
//   https are failures, with a sentence saying so.
#pragma once

#include <memory>
#include <stop_token>
#include <string>
#include <string_view>
#include <variant>

#include "engine/flow/runner.h"
#include "web/answer_budget.h"
#include "web/request_engine.h"

namespace vesprey::flow {

struct WebTransportSettings {
    bool verifyTls = false;      // check the site's certificate (a pass's strict TLS)
    long requestDeadlineMs = 0;  // each request's bound in all; 0: kRequestDeadlineMs
    std::stop_token stop{};      // once requested, a request under way ends within about 1 s
    std::shared_ptr<AnswerBudget> answerBudget{};  // shared by the requests of a pass; may be null
    std::string caFile{};  // a PEM file of authorities to trust in place of the system's; empty:
                           // the system's
    std::string proxy{};   // a proxy address (web/proxy.h) every step goes through; empty: none
};

class WebFlowTransport final : public FlowTransport {
public:
    explicit WebFlowTransport(WebTransportSettings settings);
    std::variant<FlowResponse, TransportFailure> send(const FlowRequest& request) override;

private:
    WebTransportSettings settings_;
    RequestEngine engine_;  // kept for the run, so that a site's connection is reused
};

// The body of an answer as UTF-8, by the charset its header lines name or its first bytes
// declare; `note` gets what the conversion did (empty when the body was UTF-8 already).
std::string decodeAnswerBody(std::string_view body, const HeaderLines& headers, std::string& note);
// The same for a body the caller is done with: moved into the result when it needs no conversion.
std::string decodeAnswerBody(std::string&& body, const HeaderLines& headers, std::string& note);

// A header line's bytes as UTF-8: as they are when they are UTF-8, read as GB18030 otherwise.
std::string headerTextToUtf8(std::string_view bytes);

}  // namespace vesprey::flow
