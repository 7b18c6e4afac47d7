#include "json/writer.h"

#include <cstdint>
#include <vector>

namespace vesprey::json_detail {
namespace {

// The output buffer. It grows to twice its capacity plus the room the append needs, so that a
// long document is copied only a few times.
class TextBuilder {
public:
    explicit TextBuilder(int capacityBytes) {
        capacity_ = capacityBytes > 0 ? static_cast<std::size_t>(capacityBytes) : 1024;
        text_.reserve(capacity_ / sizeof(char16_t));
    }

    void append(char16_t c) {
        ensure(1);
        text_.push_back(c);
    }
    void append(std::u16string_view s) {
        ensure(s.size());
        text_.append(s);
    }
    void appendTabs(std::size_t n) {
        ensure(n);
        text_.append(n, u'\t');
    }
    // A string's characters, escaped or as they are.
    void appendString(std::u16string_view s, bool escape) {
        if (!escape) {
            append(s);
            return;
        }
        ensure(s.size());
        for (const char16_t c : s) {
            char16_t letter = 0;
            switch (c) {
                case u'\\':
                case u'/':
                case u'"':
                    letter = c;
                    break;
                case u'\b':
                    letter = u'b';
                    break;
                case u'\t':
                    letter = u't';
                    break;
                case u'\n':
                    letter = u'n';
                    break;
                case u'\r':
                    letter = u'r';
                    break;
                case u'\f':
                    letter = u'f';
                    break;
                default:
                    append(c);
                    continue;
            }
            ensure(2);
            text_.push_back(u'\\');
            text_.push_back(letter);
        }
    }

    std::u16string take() { return std::move(text_); }

private:
    void ensure(std::size_t chars) {
        const std::size_t needed = (text_.size() + chars + 1) * sizeof(char16_t);
        if (needed > capacity_) {
            capacity_ = capacity_ * 2 + (chars + 1) * sizeof(char16_t);
            text_.reserve(capacity_ / sizeof(char16_t));
        }
    }

    std::u16string text_;
    std::size_t capacity_;
};

void writeScalar(TextBuilder& out, const JsonValue& v, bool escape) {
    switch (v.kind()) {
        case JsonKind::Null:
            out.append(u"null");
            break;
        case JsonKind::Boolean:
            out.append(v.booleanValue() ? u"true" : u"false");
            break;
        case JsonKind::String:
            out.append(u'"');
            out.appendString(v.string(), escape);
            out.append(u'"');
            break;
        default:  // numbers and raw text: the literal as it is
            out.append(v.literal());
            break;
    }
}

bool isContainer(const JsonValue& v) {
    return v.kind() == JsonKind::Array || v.kind() == JsonKind::Object;
}

}  // namespace

std::u16string serialize(const JsonValue& value, bool pretty, bool escapeStrings,
                         int initialCapacity) {
    TextBuilder out(initialCapacity);
    if (!isContainer(value)) {
        writeScalar(out, value, escapeStrings);
        return out.take();
    }

    struct Frame {
        const JsonValue* container;
        std::int32_t next;  // the child to write next
    };
    std::vector<Frame> open;  // its size is the depth counter

    auto openContainer = [&](const JsonValue& v) {
        if (v.kind() == JsonKind::Object) {
            out.append(u'{');
            if (pretty) {
                out.append(u"\r\n");
            }
        } else {
            out.append(u'[');
        }
        open.push_back({&v, 0});
    };
    // After a child: the separator, and for an object member in pretty mode the line break.
    auto afterChild = [&](const Frame& f) {
        if (f.next < f.container->count()) {
            out.append(u',');
        }
        if (pretty && f.container->kind() == JsonKind::Object) {
            out.append(u"\r\n");
        }
    };

    openContainer(value);
    while (!open.empty()) {
        const std::size_t top = open.size() - 1;
        const JsonValue* container = open[top].container;
        const bool object = container->kind() == JsonKind::Object;
        if (open[top].next >= container->count()) {
            open.pop_back();
            if (object) {
                if (pretty && !open.empty()) {
                    out.appendTabs(open.size());
                }
                out.append(u'}');
            } else {
                out.append(u']');
            }
            if (!open.empty()) {
                afterChild(open.back());
            }
            continue;
        }
        const JsonValue* child = container->at(open[top].next++);
        if (object) {
            if (pretty) {
                out.appendTabs(open.size());
            }
            out.append(u'"');
            out.appendString(child->key(), escapeStrings);
            out.append(u"\":");
        }
        if (isContainer(*child)) {
            openContainer(*child);
        } else {
            writeScalar(out, *child, escapeStrings);
            afterChild(open[top]);
        }
    }
    return out.take();
}

}  // namespace vesprey::json_detail
