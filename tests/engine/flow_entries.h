// Community-format template texts for the flow tests, built entry by entry.
#pragma once

#include <initializer_list>
#include <string>

namespace vesprey::flow::testing {

// A request entry with the URL (a JSON string literal), extra request members (starting with a
// comma) and the members of its rule.
inline std::string entry(const std::string& url, const std::string& requestExtra = "",
                         const std::string& rule = "") {
    return R"({"comment": "c", "request": {"method": "GET", "url": )" + url +
           R"(, "headers": [], "cookies": [])" + requestExtra + R"(}, "rule": {)" + rule + "}}";
}

// A request entry marked as a step of the template's login part.
inline std::string loginEntry(const std::string& url, const std::string& requestExtra = "",
                              const std::string& rule = "") {
    return R"({"login": true, )" + entry(url, requestExtra, rule).substr(1);
}

// A control entry: its URL is the statement.
inline std::string control(const std::string& statement) {
    return entry("\"" + statement + "\"");
}

inline std::string flowOf(std::initializer_list<std::string> entries) {
    std::string out = "[";
    for (const std::string& e : entries) {
        out += (out.size() > 1 ? "," : "") + e;
    }
    return out + "]";
}

}  // namespace vesprey::flow::testing
