// Page 3 "关于我们": the two pictures, the thanks line and the switch that starts the program at
// login.
#pragma once

#include <QWidget>

namespace vesprey::ui {

class AboutPage : public QWidget {
    Q_OBJECT
public:
    // The autostart switch's messages stand over `owner`.
    explicit AboutPage(QWidget* owner);
};

}  // namespace vesprey::ui
