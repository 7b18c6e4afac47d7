// The window's edge between core texts (code page 936) and Qt's strings.
#pragma once

#include <QString>

#include "text/text.h"

namespace vesprey::ui {

inline QString fromAnsi(std::string_view text) {
    const std::string utf8 = ansiToUtf8(text);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

inline Text toAnsi(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return utf8ToAnsi(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

}  // namespace vesprey::ui
