#include "json/path.h"

#include <limits>

#include "json/nodes.h"

namespace vesprey::json_detail {
namespace {

std::int32_t readIndex(std::u16string_view s) noexcept {
    std::size_t k = 0;
    bool negative = false;
    if (k < s.size() && s[k] == u'-') {
        negative = true;
        ++k;
    }
    std::int64_t value = 0;
    for (; k < s.size() && s[k] >= u'0' && s[k] <= u'9'; ++k) {
        value = value * 10 + (s[k] - u'0');
        if (value > std::numeric_limits<std::int32_t>::max()) {
            value = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::vector<PathSegment> splitPath(std::u16string_view path) {
    std::vector<PathSegment> segments;
    std::u16string name;
    auto flush = [&] {
        if (!name.empty()) {
            segments.push_back({false, 0, std::move(name)});
            name.clear();
        }
    };
    for (std::size_t k = 0; k < path.size();) {
        const char16_t c = path[k];
        if (c == u'\\') {
            const char16_t next = k + 1 < path.size() ? path[k + 1] : u'\0';
            if (next == u'.' || next == u'[' || next == u']' || next == u'\\') {
                name.push_back(next);
                k += 2;
            } else {
                name.push_back(c);
                ++k;
            }
            continue;
        }
        if (c == u'.') {
            flush();
            ++k;
            continue;
        }
        if (c == u'[') {
            flush();
            const std::size_t close = path.find(u']', k + 1);
            const std::size_t stop = close == path.npos ? path.size() : close;
            segments.push_back({true, readIndex(path.substr(k + 1, stop - k - 1)), {}});
            k = close == path.npos ? path.size() : close + 1;
            continue;
        }
        if (c == u']') {
            name.clear();  // a "]" without "[" ends the name and drops it
            ++k;
            continue;
        }
        name.push_back(c);
        ++k;
    }
    flush();
    return segments;
}

JsonValue* resolveForReading(JsonValue* root, const std::vector<PathSegment>& segments) noexcept {
    JsonValue* v = root;
    for (const PathSegment& segment : segments) {
        if (v == nullptr) {
            return nullptr;
        }
        if (segment.isIndex) {
            v = v->at(segment.index);  // elements of an array, the member order of an object
        } else {
            v = v->member(segment.name);
        }
    }
    return v;
}

JsonValue* resolveForReading(JsonValue* root, std::u16string_view path) {
    if (path.find(u'\\') != path.npos) {
        return resolveForReading(root, splitPath(path));
    }
    // The segments as splitPath gives them, each followed as soon as it ends.
    JsonValue* v = root;
    std::size_t start = 0;  // of the name being read
    auto followName = [&](std::size_t end) {
        if (end > start && v != nullptr) {
            v = v->member(path.substr(start, end - start));
        }
    };
    for (std::size_t k = 0; k < path.size();) {
        const char16_t c = path[k];
        if (c == u'.') {
            followName(k);
            start = ++k;
        } else if (c == u'[') {
            followName(k);
            const std::size_t close = path.find(u']', k + 1);
            const std::size_t stop = close == path.npos ? path.size() : close;
            if (v != nullptr) {
                v = v->at(readIndex(path.substr(k + 1, stop - k - 1)));
            }
            k = close == path.npos ? path.size() : close + 1;
            start = k;
        } else if (c == u']') {
            start = ++k;  // a "]" without "[" drops the name it ends
        } else {
            ++k;
        }
    }
    followName(path.size());
    return v;
}

JsonValue* resolveForWriting(JsonValue* root, const std::vector<PathSegment>& segments) {
    JsonValue* v = root;
    for (const PathSegment& segment : segments) {
        if (segment.isIndex) {
            if (segment.index < 0) {
                return nullptr;
            }
            if (v->kind() != JsonKind::Array) {
                JsonNodes::reset(v, JsonKind::Array);
            }
            while (v->count() <= segment.index) {
                JsonValue* pad = JsonNodes::make(JsonKind::Null, v->heap());
                try {
                    JsonNodes::append(v, pad);
                } catch (...) {
                    pad->release();
                    throw;
                }
            }
            v = v->at(segment.index);
        } else {
            if (v->kind() != JsonKind::Object) {
                JsonNodes::reset(v, JsonKind::Object);
            }
            JsonValue* found = v->member(segment.name);
            if (found == nullptr) {
                found = JsonNodes::make(JsonKind::Null, v->heap(), segment.name.size());
                JsonNodes::placeKey(found, 0, segment.name);
                try {
                    JsonNodes::putMember(v, found);
                } catch (...) {
                    found->release();
                    throw;
                }
            }
            v = found;
        }
    }
    return v;
}

}  // namespace vesprey::json_detail
