#pragma once

#include <QApplication>

namespace morvale::test {

// Widgets need one application object; it lives until the process ends.
inline void ensureWidgetsApp() {
    if (QApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "batch_ui_tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
    }
}

}  // namespace morvale::test
