// Answers as sites might send them, through the conversions the templates ask for and through
// the JSON evaluation. The input's first line is the binding statement, the rest the answer; the
// whole input also goes through "UTF-8解码" and "USC2-ANSI".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/evaluation.h"

namespace {

bool isPlain(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '\\' || c == '%' || c == '\'' || c == '{') {
            return false;
        }
    }
    return true;
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string_view text = input.substr(0, input.find('\0'));

    const vesprey::Text utf8 = vesprey::convertAnswer(input, vesprey::kCtypeUtf8Decode);
    const vesprey::Text usc2 = vesprey::convertAnswer(input, vesprey::kCtypeUsc2Ansi);
    check(vesprey::convertAnswer(input, vesprey::kCtypeNone) == text);
    // Printable ASCII without escapes, quotes or markers passes both conversions unchanged.
    if (isPlain(text)) {
        check(utf8 == text);
        check(usc2 == text);
    }

    const std::size_t lineEnd = input.find('\n');
    if (lineEnd != std::string_view::npos && lineEnd > 0) {
        const std::string_view tying = input.substr(0, lineEnd);
        const std::string_view answer = input.substr(lineEnd + 1);
        const vesprey::Text result = vesprey::evaluateJson(answer, tying);
        (void)result;
    }
    return 0;
}
