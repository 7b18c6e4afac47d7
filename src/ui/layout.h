// The windows are laid out by hand, control by control, at the positions and sizes they were
// drawn with: these place one control and name it, so that tests and the editor find it by name.
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

namespace vesprey::ui {

template <class W>
W* place(W* widget, const QString& name, int x, int y, int w, int h) {
    widget->setObjectName(name);
    widget->setGeometry(x, y, w, h);
    return widget;
}

// A caption without a name, 64 × 20 unless told otherwise.
inline QLabel* label(QWidget* parent, const QString& text, int x, int y, int w = 64, int h = 20) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(x, y, w, h);
    return l;
}

}  // namespace vesprey::ui
