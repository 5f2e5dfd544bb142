#pragma once
// The offscreen application of the user-interface tests, with three screens
// side by side (1920x1080 primary, 1280x1024, 800x600), and a wait on its loop.
#include <gtest/gtest.h>
#include <unistd.h>
#include <QApplication>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace cliploop::uitest {

inline QApplication& application() {
    static QApplication* app = [] {
        const std::string json = R"({"windowFrameMargins": false, "screens": [
            {"name": "S0", "x": 0, "y": 0, "width": 1920, "height": 1080},
            {"name": "S1", "x": 1920, "y": 0, "width": 1280, "height": 1024},
            {"name": "S2", "x": 3200, "y": 0, "width": 800, "height": 600}]})";
        char path[] = "/tmp/cliploop-ui-screens-XXXXXX";
        if (const int fd = mkstemp(path); fd >= 0) {
            (void)!write(fd, json.data(), json.size());
            close(fd);
        }
        setenv("QT_QPA_PLATFORM", (std::string("offscreen:configfile=") + path).c_str(), 1);
        static int argc = 1;
        static char name[] = "cliploop-ui-test";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Runs the event loop until `condition` holds; only a fault makes it give up.
inline bool eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace cliploop::uitest
