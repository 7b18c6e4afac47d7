// Answers through a conversion and the regex evaluation. The input's first byte picks the
// conversion (its value modulo 3: none, "UTF-8解码", "USC2-ANSI"), the rest up to the first line
// feed is the binding statement, what follows the answer. Seeds in regex_corpus/.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/evaluation.h"
#include "engine/messages.h"

namespace {

class CountingSink final : public vesprey::MessageSink {
public:
    void showMessage(const vesprey::Text&, const vesprey::Text&, vesprey::MessageIcon) override {
        ++shown;
    }
    int shown = 0;
};

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int ctype = data[0] % 3;
    const std::size_t lineEnd = input.find('\n');
    if (lineEnd == std::string_view::npos || lineEnd == 0) {
        return 0;
    }
    const std::string_view tying = input.substr(0, lineEnd);
    const vesprey::Text answer = vesprey::convertAnswer(input.substr(lineEnd + 1), ctype);

    CountingSink messages;
    const vesprey::Text result = vesprey::evaluateRegex(answer, tying, messages);
    // At most one message per alternative, and a statement without a group matches nothing.
    check(messages.shown <= static_cast<int>(tying.size()));
    if (tying.find('(') == std::string_view::npos) {
        check(result == vesprey::matchFailedText());
    }
    return 0;
}
