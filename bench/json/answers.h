// The answers the JSON benchmarks parse: typical site answers, the same bytes in every run.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "text/text.h"

namespace vesprey::bench {

// A deterministic pseudo-random sequence, so that every run parses the same bytes.
class Sequence {
public:
    unsigned next(unsigned bound) {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<unsigned>(state_ >> 33) % bound;
    }

private:
    unsigned long long state_ = 42;
};

inline const char* const kWords[] = {"签到", "每日", "福利", "经验", "积分", "论坛",
                                     "连续", "成功", "获得", "奖励", "活动", "用户",
                                     "版块", "精华", "置顶", "回复"};

inline std::string words(Sequence& seq, int n) {
    std::string s;
    for (int k = 0; k < n; ++k) {
        s += kWords[seq.next(16)];
    }
    return s;
}

inline std::string number(unsigned n) {
    return std::to_string(n);
}

// Appends the parts (GCC 12 warns falsely about chains of std::string operator+).
template <typename... Parts>
inline void add(std::string& s, const Parts&... parts) {
    (s.append(parts), ...);
}

// One entry of a list answer, about 450 bytes of UTF-8.
inline std::string item(Sequence& seq, unsigned id) {
    std::string s;
    add(s, "{\"id\":", number(100000 + id), ",\"tid\":", number(seq.next(900000)));
    add(s, ",\"title\":\"", words(seq, 6), "：第", number(seq.next(100)), "天\"");
    add(s, ",\"author\":{\"uid\":", number(seq.next(99999)), ",\"name\":\"", words(seq, 2));
    add(s, "\",\"avatar\":\"https:\\/\\/img.example.com\\/avatar\\/", number(seq.next(99999)));
    add(s, ".jpg\",\"level\":", number(seq.next(20)), "},\"views\":", number(seq.next(100000)));
    add(s, ",\"replies\":", number(seq.next(1000)), ",\"score\":", number(seq.next(5)), ".",
        number(seq.next(10)));
    add(s, ",\"top\":", seq.next(10) == 0 ? "true" : "false", ",\"tags\":[\"", words(seq, 1),
        "\",\"", words(seq, 1), "\"]");
    add(s, ",\"summary\":\"", words(seq, 12), "\\r\\n", words(seq, 8), "\"");
    add(s, ",\"created\":\"2024-05-01 08:00:00\",\"url\":\"https:\\/\\/bbs.example.com\\/thread-",
        number(id), "-1-1.html\",\"extra\":null}");
    return s;
}

// A list answer of at least `bytes` bytes of UTF-8; `count` receives the number of entries.
inline std::string listAnswer(std::size_t bytes, unsigned& count) {
    Sequence seq;
    std::string list;
    count = 0;
    while (list.size() < bytes) {
        add(list, count ? "," : "", item(seq, count));
        ++count;
    }
    std::string s;
    add(s, "{\"code\":0,\"msg\":\"success\",\"data\":{\"page\":1,\"total\":", number(count),
        ",\"list\":[", list, "]}}");
    return s;
}

// A sign-in answer of about 2 KB.
inline std::string signInAnswer(unsigned& count) {
    Sequence seq;
    std::string list;
    for (count = 0; count < 3; ++count) {
        add(list, count ? "," : "", item(seq, count));
    }
    std::string s;
    add(s, "{\"code\":0,\"msg\":\"签到成功\",\"data\":{\"user\":{\"uid\":1001,\"name\":\"",
        words(seq, 2), "\",\"credits\":1234,\"days\":12,\"continuous\":3}");
    add(s, ",\"sign\":{\"reward\":\"经验+5\",\"time\":\"2024-05-01 08:00:00\",\"rank\":42}");
    add(s, ",\"notice\":\"", words(seq, 20), "\",\"list\":[", list, "]}}");
    return s;
}

// The short answer of one account's sign-in, about 170 bytes: what the sign-in pass parses for
// every account, reading "data.msg".
inline std::string shortAnswer() {
    return "{\"code\":0,\"message\":\"ok\",\"data\":{\"msg\":\"签到成功，获得经验+5\","
           "\"days\":12,\"continuous\":3,\"credits\":1234,\"time\":\"2024-05-01 08:00:00\"}}";
}

// Non-ASCII characters as \uXXXX escapes.
inline std::string escapeNonAscii(const std::string& utf8) {
    std::string out;
    char buffer[8];
    for (char16_t c : utf8ToUtf16(utf8)) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

}  // namespace vesprey::bench
