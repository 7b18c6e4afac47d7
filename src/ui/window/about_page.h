// Page 3 "关于我们": the two pictures, the thanks line and the switch that starts the program at
// login.
#pragma once

#include <QWidget>
#include <string>
#include <vector>

namespace vesprey::ui {

class AboutPage : public QWidget {
    Q_OBJECT
public:
    // The autostart switch's messages stand over `owner`; its entry starts the program with
    // `startArguments`.
    AboutPage(QWidget* owner, std::vector<std::string> startArguments);
};

}  // namespace vesprey::ui
