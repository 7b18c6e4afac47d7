#include "ui/window/about_page.h"

#include <QCheckBox>
#include <QLabel>
#include <utility>

#include "ui/desktop/autostart.h"
#include "ui/skin.h"

namespace vesprey::ui {

AboutPage::AboutPage(QWidget* owner, std::vector<std::string> startArguments) {
    auto* calendar = new PictureBox(Picture::Calendar, this);
    calendar->setObjectName(QStringLiteral("图片框3"));
    calendar->setGeometry(40, 34, 225, 247);
    auto* phone = new PictureBox(Picture::Phone, this);
    phone->setObjectName(QStringLiteral("图片框4"));
    phone->setGeometry(320, 34, 225, 247);
    auto* thanks =
        new QLabel(QStringLiteral("“感谢您的支持！有您的陪伴，「Vesprey」会越来越好。”"), this);
    thanks->setObjectName(QStringLiteral("标签2"));
    thanks->setGeometry(40, 298, 504, 32);
    thanks->setAlignment(Qt::AlignCenter);
    addAutostartSwitch(this, owner, std::move(startArguments))->setGeometry(40, 6, 120, 20);
}

}  // namespace vesprey::ui
