// Cookie strings: collecting the cookies an answer set, merging them into the cookie that was
// sent, and the small text operations both use.
//
// A cookie string is code page 936 text made of items "name=value" separated by ";"; strings made
// here separate items with "; ". There is no cookie jar: domain, path and expiry attributes are
// dropped.
#pragma once

#include <string_view>
#include <vector>

#include "text/text.h"

namespace vesprey {

// The cookies set by the "Set-Cookie" lines (name exactly in this case) of a response header text
// whose lines are separated by CR LF, as one cookie string; empty when there are none. A cookie
// that no later request could carry, or that no file could keep as it came, is left out and its
// item put in `refused` when given: one holding a control character (a CR would make every
// later request with that cookie refused) or bytes that are no code page 936 text.
Text collectReturnedCookies(std::string_view responseHeaders, std::vector<Text>* refused = nullptr);

// Merges the cookies an answer set (`returned`) into the cookie that was sent (`sent`): renewed
// cookies replace their old value, cookies whose value is "deleted" are removed, all others stay.
// Every space is removed from both arguments first (`returned` keeps that form); the merged string
// is stored in `sent`, and a reference to `sent` is returned.
const Text& mergeCookieStrings(Text& sent, Text& returned);

// The text before the first "=" of a cookie item (the whole item when it has none), trimmed.
Text cookieName(std::string_view item);

// True when some item of `items` has the cookie name `name` (case-sensitive).
bool containsCookieName(const std::vector<Text>& items, std::string_view name);

// The text split at `separator` and joined again with each distinct piece at its first place.
Text removeDuplicateItems(std::string_view text, std::string_view separator);

// The text between the first `leftMarker` found from the 1-based byte position `startPosition`
// and the next `rightMarker` after it; empty when either is missing. "#引号" in a marker stands for
// a double quote. `ignoreCase` folds ASCII letters in both searches.
Text textBetween(std::string_view text, std::string_view leftMarker, std::string_view rightMarker,
                 long long startPosition = 1, bool ignoreCase = false);

}  // namespace vesprey
