// vesprey: the desktop program.
#include "ui/application.h"

int main(int argc, char** argv) {
    return vesprey::ui::runDesktop(argc, argv);
}
