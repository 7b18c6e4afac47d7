#include "web/cookies.h"

#include <algorithm>

#include "text/gbk_text.h"

namespace vesprey {
namespace {

constexpr std::string_view kQuotePlaceholder = "#\xD2\xFD\xBA\xC5";  // "#引号" in code page 936
constexpr std::string_view kSetCookieName = "Set-Cookie";
constexpr std::string_view kSetCookiePrefix = "Set-Cookie:";
constexpr std::string_view kItemSeparator = "; ";
constexpr std::string_view kDeletedSuffix = "=deleted";

// Drops the last `count` bytes, as the joins below end with one separator too many.
void dropTail(Text& text, std::size_t count) {
    text.resize(text.size() - std::min(count, text.size()));
}

}  // namespace

Text collectReturnedCookies(std::string_view responseHeaders) {
    Text result;
    for (std::string_view line : gbk::split(responseHeaders, "\r\n")) {
        std::size_t colon = gbk::find(line, ": ");
        std::string_view name = colon == gbk::npos ? std::string_view{} : line.substr(0, colon);
        if (name != kSetCookieName) {
            continue;
        }
        Text cookie = gbk::contains(line, ";")
                          ? textBetween(line, kSetCookiePrefix, ";")
                          : gbk::replaceAll(line, kSetCookiePrefix, "", /*ignoreCase=*/true);
        result.append(gbk::trimSpaces(cookie));
        result.append(kItemSeparator);
    }
    dropTail(result, kItemSeparator.size());
    return result;
}

Text mergeCookieStrings(Text& sent, Text& returned) {
    sent = gbk::removeSpaces(sent);
    returned = gbk::removeSpaces(returned);

    // The items point into `sent` and `returned`, which stay as they are until the end.
    std::vector<std::string_view> merged;
    std::vector<Text> names;
    for (std::string_view item : gbk::split(returned, ";")) {
        merged.push_back(item);
        names.push_back(cookieName(item));
    }
    // Old cookies follow the new ones unless the server set them again; the names also include
    // old items appended in earlier rounds, so of repeated old names only the first stays.
    for (std::string_view item : gbk::split(sent, ";")) {
        Text name = cookieName(item);
        if (std::find(names.begin(), names.end(), name) == names.end()) {
            merged.push_back(item);
            names.push_back(std::move(name));
        }
    }

    Text result;
    result.reserve(sent.size() + returned.size() + kItemSeparator.size() * merged.size());
    for (std::string_view item : merged) {
        if (gbk::endsWith(item, kDeletedSuffix)) {
            continue;  // the old items of that name were not carried over either
        }
        result.append(item);
        result.append(kItemSeparator);
    }
    dropTail(result, kItemSeparator.size());
    sent = removeDuplicateItems(result, kItemSeparator);
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
