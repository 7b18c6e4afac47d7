#include "ui/window/pass_options.h"

namespace vesprey::ui {

PassOptions readPassOptions(SqlDatabase& /*db*/) {
    PassOptions options;
    return options;
}

WriteResult writePassOptions(SqlDatabase& /*db*/, const PassOptions& /*options*/) {
    WriteResult written;
    written.done = true;
    return written;
}

void applyPassOptions(const PassOptions& /*options*/, PassPlan& /*plan*/) {}

}  // namespace vesprey::ui
