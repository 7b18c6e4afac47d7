#include "web/cookies.h"

#include <algorithm>
#include <cstdint>

#include "text/gbk_text.h"
#include "web/byte_scan.h"

namespace vesprey {
namespace {

constexpr std::string_view kQuotePlaceholder = "#\xD2\xFD\xBA\xC5";  // "#引号" in code page 936
constexpr std::string_view kSetCookieLine = "Set-Cookie: ";
constexpr std::string_view kSetCookiePrefix = "Set-Cookie:";
constexpr std::string_view kItemSeparator = "; ";
constexpr std::string_view kDeletedSuffix = "=deleted";

// Drops the last `count` bytes, as the joins below end with one separator too many.
void dropTail(Text& text, std::size_t count) {
    text.resize(text.size() - std::min(count, text.size()));
}

// gbk::removeSpaces in place. A blank byte always starts a character (no trail byte is that
// low): ASCII text just loses its blank bytes, other text goes through the character-wise removal.
void removeSpacesInPlace(Text& text) {
    if (bytescan::isAscii(text)) {
        std::erase(text, ' ');
    } else {
        text = gbk::removeSpaces(text);
    }
}

// An item of a cookie string without blanks, its name (cookieName as a view) and a hash of the
// name that tells most different names apart without comparing them.
struct Item {
    std::string_view text;
    std::string_view name;
    std::uint32_t key = 0;
};

// "=" always starts a character, and the only blank left to trim from a name is a full-width one
// whose two A1 bytes the blank removal brought together.
Item itemOf(std::string_view text) {
    std::size_t end = 0;
    bool wideBlank = false;
    for (; end < text.size() && text[end] != '='; ++end) {
        wideBlank = wideBlank || text[end] == '\xA1';
    }
    Item item{text, text.substr(0, end)};
    if (wideBlank) {
        item.name = gbk::trimSpaces(item.name);
    }
    item.key = 2166136261U;  // FNV-1a
    for (const char c : item.name) {
        item.key = (item.key ^ static_cast<unsigned char>(c)) * 16777619U;
    }
    return item;
}

}  // namespace

namespace {

bool keepable(std::string_view cookie) {
    const bool control = std::any_of(cookie.begin(), cookie.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
    return !control && (bytescan::isAscii(cookie) || utf8ToAnsi(ansiToUtf8(cookie)) == cookie);
}

}  // namespace

Text collectReturnedCookies(std::string_view responseHeaders, std::vector<Text>* refused) {
    Text result;
    // CR is never the trail byte of a character: every CR LF ends a line. A line whose text
    // before the first ": " is "Set-Cookie" is one that starts with "Set-Cookie: ".
    std::size_t start = 0;
    while (start < responseHeaders.size()) {
        const std::size_t end = responseHeaders.find("\r\n", start);
        const std::string_view line = responseHeaders.substr(start, end - start);
        start = end == std::string_view::npos ? responseHeaders.size() : end + 2;
        if (!line.starts_with(kSetCookieLine)) {
            continue;
        }
        Text cookie = gbk::contains(line, ";")
                          ? textBetween(line, kSetCookiePrefix, ";")
                          : gbk::replaceAll(line, kSetCookiePrefix, "", /*ignoreCase=*/true);
        const std::string_view trimmed = gbk::trimSpaces(cookie);
        if (!keepable(trimmed)) {
            if (refused != nullptr) {
                refused->emplace_back(trimmed);
            }
            continue;
        }
        result.append(trimmed);
        result.append(kItemSeparator);
    }
    dropTail(result, kItemSeparator.size());
    return result;
}

const Text& mergeCookieStrings(Text& sent, Text& returned) {
    removeSpacesInPlace(sent);
    removeSpacesInPlace(returned);

    // The items point into `sent` and `returned`, which stay as they are until the result is
    // complete.
    // One list per thread, kept for the next merge: the merge runs for every request.
    thread_local std::vector<Item> merged;
    merged.clear();
    bytescan::forEachPiece(returned, ";",
                           [&](std::string_view text) { merged.push_back(itemOf(text)); });
    const std::size_t fromReturned = merged.size();
    // Old cookies follow the new ones unless the server set them again; the names also include
    // old items appended in earlier rounds, so of repeated old names only the first stays.
    bytescan::forEachPiece(sent, ";", [&](std::string_view text) {
        const Item item = itemOf(text);
        if (std::none_of(merged.begin(), merged.end(), [&](const Item& other) {
                return other.key == item.key && other.name == item.name;
            })) {
            merged.push_back(item);
        }
    });

    // Items ending in "=deleted" go (the old items of that name were not carried over either).
    // Of the others only the first of equal items stays: equal items have equal names, so only
    // the returned ones can repeat. An empty item at the very end is no item: the merged string
    // never ends in a separator.
    auto deleted = [](const Item& item) { return item.text.ends_with(kDeletedSuffix); };
    auto last = std::find_if_not(merged.rbegin(), merged.rend(), deleted);
    std::size_t count = static_cast<std::size_t>(merged.rend() - last);
    if (count > 0 && merged[count - 1].text.empty()) {
        --count;
    }
    Text result;
    result.reserve(sent.size() + returned.size() + kItemSeparator.size() * count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view item = merged[i].text;
        if (deleted(merged[i]) ||
            (i < fromReturned &&
             std::any_of(merged.begin(), merged.begin() + static_cast<std::ptrdiff_t>(i),
                         [&](const Item& earlier) { return earlier.text == item; }))) {
            continue;
        }
        result.append(item);
        result.append(kItemSeparator);
    }
    dropTail(result, kItemSeparator.size());
    sent = std::move(result);
    return sent;
}

Text cookieName(std::string_view item) {
    std::size_t equals = gbk::find(item, "=");
    return Text(gbk::trimSpaces(equals == gbk::npos ? item : item.substr(0, equals)));
}

bool containsCookieName(const std::vector<Text>& items, std::string_view name) {
    return std::any_of(items.begin(), items.end(),
                       [&](const Text& item) { return cookieName(item) == name; });
}

Text removeDuplicateItems(std::string_view text, std::string_view separator) {
    if (separator.empty()) {
        return Text(text);
    }
    std::vector<std::string_view> seen;
    Text out;
    for (std::string_view piece : gbk::split(text, separator)) {
        if (std::find(seen.begin(), seen.end(), piece) != seen.end()) {
            continue;
        }
        seen.push_back(piece);
        out.append(piece);
        out.append(separator);
    }
    dropTail(out, separator.size());
    return out;
}

Text textBetween(std::string_view text, std::string_view leftMarker, std::string_view rightMarker,
                 long long startPosition, bool ignoreCase) {
    Text left = gbk::replaceAll(leftMarker, kQuotePlaceholder, "\"");
    Text right = gbk::replaceAll(rightMarker, kQuotePlaceholder, "\"");
    std::size_t from = startPosition > 1 ? static_cast<std::size_t>(startPosition - 1) : 0;
    std::size_t leftAt = gbk::find(text, left, from, ignoreCase);
    if (leftAt == gbk::npos) {
        return {};
    }
    std::size_t contentAt = leftAt + left.size();
    std::size_t rightAt = gbk::find(text, right, contentAt, ignoreCase);
    if (rightAt == gbk::npos) {
        return {};
    }
    return Text(text.substr(contentAt, rightAt - contentAt));
}

}  // namespace vesprey
