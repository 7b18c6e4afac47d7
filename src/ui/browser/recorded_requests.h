// The login window's recording as the flow code reads it: what BrowserRecordedRequest holds in Qt
// types, as flow::RecordedRequest in UTF-8, the method in upper case.
#pragma once

#include <QList>
#include <vector>

#include "engine/flow/recording.h"
#include "ui/browser/browser_module.h"

namespace vesprey::ui {

std::vector<flow::RecordedRequest> recordedRequests(const QList<BrowserRecordedRequest>& requests);

}  // namespace vesprey::ui
