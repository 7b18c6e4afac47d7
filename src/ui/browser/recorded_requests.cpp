#include "ui/browser/recorded_requests.h"

#include <utility>

namespace vesprey::ui {

std::vector<flow::RecordedRequest> recordedRequests(const QList<BrowserRecordedRequest>& requests) {
    std::vector<flow::RecordedRequest> out;
    out.reserve(static_cast<std::size_t>(requests.size()));
    for (const BrowserRecordedRequest& r : requests) {
        flow::RecordedRequest request;
        request.method = r.method.toUpper().toStdString();
        request.url = r.url.toString(QUrl::FullyEncoded).toStdString();
        for (const auto& [name, value] : r.headers) {
            request.headers.emplace_back(name.toStdString(), value.toStdString());
        }
        request.body = r.body.toStdString();
        request.status = r.status;
        request.answer = r.answer.toStdString();
        request.script = r.script;
        out.push_back(std::move(request));
    }
    return out;
}

}  // namespace vesprey::ui
