// How the core tells the user something. The desktop window shows a modal message box (and the
// caller waits until it is closed); the command line prints the text to stderr. The core itself
// never shows anything.
#pragma once

#include "text/text.h"

namespace vesprey {

enum class MessageIcon { None, Information, Warning, Error, Question };

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Shows `text` under `caption` (both code page 936) and returns when the user has seen it.
    virtual void showMessage(const Text& text, const Text& caption, MessageIcon icon) = 0;
};

}  // namespace vesprey
