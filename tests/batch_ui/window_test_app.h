#pragma once

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace morvale::test {

// Widgets need one application object; it lives until the process ends. Offscreen, its screen is
// 1920 x 1200 (the platform's own is 800 x 600, smaller than the window's minimum, which would make
// the window open smaller than the tests expect). A test of another screen names its size in device
// pixels, before anything else has made the application.
inline void ensureWidgetsApp(int screenWidth = 1920, int screenHeight = 1200) {
    if (QApplication::instance() != nullptr) return;
    static int argc = 1;
    static char name[] = "batch_ui_tests";
    static char platformFlag[] = "-platform";
    static std::string platform;
    static char* argv[] = {name, nullptr, nullptr, nullptr};
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    std::string config;
    if (chosen != nullptr && std::strcmp(chosen, "offscreen") == 0) {
        config = "/tmp/morvale-test-screen-" + std::to_string(::getpid()) + ".json";
        if (std::FILE* file = std::fopen(config.c_str(), "w")) {
            std::fprintf(file,
                         "{\"screens\": [{\"name\": \"test\", \"x\": 0, \"y\": 0, \"width\": %d, \"height\": %d, "
                         "\"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}",
                         screenWidth, screenHeight);
            std::fclose(file);
            platform = "offscreen:configfile=" + config;
            argc = 3;
            argv[1] = platformFlag;
            argv[2] = platform.data();
        }
    }
    new QApplication(argc, argv);
    if (!config.empty()) std::remove(config.c_str());  // read once, when the platform starts
}

}  // namespace morvale::test
