// Parse, read random paths, write, serialize. The input is: one byte of options, the text, then
// paths, each after a byte FF (never part of a GBK text). Checks what must hold for every input:
// error positions inside the text, an empty root after a failure, a deep copy that serializes like
// its original.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"

namespace {

using namespace vesprey;

// Writing to "[2000000000]" pads an array with two billion nulls, as it should; keep the fuzzer's
// writes to small indexes.
bool smallIndexes(std::string_view path) {
    int digits = 0;
    for (const char c : path) {
        digits = (c >= '0' && c <= '9') ? digits + 1 : 0;
        if (digits > 3) {
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
    if (size == 0) {
        return 0;
    }
    const std::uint8_t options = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t cut = rest.find('\xFF', start);
        parts.push_back(rest.substr(start, cut == rest.npos ? rest.npos : cut - start));
        if (cut == rest.npos) {
            break;
        }
        start = cut + 1;
    }
    const std::string_view text = parts[0];
    const bool decode = (options & 1) != 0;
    const bool ignoreTop = (options & 2) != 0;
    const bool pretty = (options & 4) != 0;
    const bool escape = (options & 8) != 0;
    const bool utf16 = (options & 16) != 0;
    const bool write = (options & 32) != 0;

    JsonDocument doc;
    std::int32_t code = 1;
    std::int32_t position = -1;
    std::size_t length = 0;
    bool ok = false;
    if (utf16) {
        std::u16string wide(text.size() / 2, u'\0');
        for (std::size_t k = 0; k < wide.size(); ++k) {
            wide[k] = static_cast<char16_t>(static_cast<std::uint8_t>(text[2 * k]) |
                                            static_cast<std::uint8_t>(text[2 * k + 1]) << 8);
        }
        length = std::u16string_view(wide).substr(0, wide.find(u'\0')).size();
        ok = doc.ParseUtf16(wide, decode, ignoreTop, &code, &position);
    } else {
        const std::u16string wide = ansiToUtf16(text.substr(0, text.find('\0')));
        length = wide.size();
        ok = doc.Parse(text, decode, ignoreTop, &code, &position);
    }
    check(ok == (code == 0));
    check(code == 0 || (code <= -2 && code >= json_error::kTooLarge));
    if (ok) {
        check(position == 0);
    } else {
        check(position >= 0 && static_cast<std::size_t>(position) <= length + 1);
        check(doc.GetCount("") == 0);
        const Text empty = doc.ToText();
        check(empty == "{}" || empty == "[]");
    }

    for (std::size_t k = 1; k < parts.size(); ++k) {
        const std::string_view path = parts[k];
        (void)doc.GetText(path);
        (void)doc.GetInt32(path);
        (void)doc.GetReal(path);
        (void)doc.GetType(path);
        (void)doc.GetCount(path);
        (void)doc.Exists(path);
        (void)doc.GetKeys(path);
        (void)doc.ToText(path, pretty, escape);
        if (write && smallIndexes(path)) {
            doc.SetText(path, text.substr(0, 16));
            doc.MergeText(path, text, decode);
            doc.SortMembers(path, (options & 64) != 0, (options & 128) != 0);
        }
    }

    const Text out = doc.ToText("", pretty, escape);
    const JsonDocument copy = doc.GetCopy("");
    check(copy.ToText("", pretty, escape) == out);

    JsonDocument again;
    (void)again.Parse(out, decode);
    return 0;
}
