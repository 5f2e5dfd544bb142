#pragma once
// The offscreen application of the user-interface layer's tests, with three
// screens side by side, and waiting for its event loop.
#include <gtest/gtest.h>
#include <unistd.h>
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "foundation/Dispatch.h"
#include "ui/Application.h"

namespace cliploop::uitest {

// The three screens side by side: 1920x1080 (primary), 1280x1024, 800x600.
inline QJsonArray threeScreens() {
    QJsonArray screens;
    const int widths[] = {1920, 1280, 800}, heights[] = {1080, 1024, 600};
    int x = 0;
    for (int i = 0; i < 3; ++i) {
        screens.append(QJsonObject{{"name", QString("S%1").arg(i)},
                                   {"x", x},
                                   {"y", 0},
                                   {"width", widths[i]},
                                   {"height", heights[i]},
                                   {"logicalDpi", 96},
                                   {"logicalBaseDpi", 96},
                                   {"dpr", 1.0}});
        x += widths[i];
    }
    return screens;
}

inline QJsonObject screensConfiguration(const QJsonArray& screens) {
    return QJsonObject{{"windowFrameMargins", false}, {"screens", screens}};
}

inline QApplication& application() {
    static QApplication* app = [] {
        char pattern[] = "/tmp/cliploop-ui-screens-XXXXXX";
        const int fd = mkstemp(pattern);
        const QByteArray json = QJsonDocument(screensConfiguration(threeScreens())).toJson();
        if (fd >= 0) {
            (void)!write(fd, json.constData(), size_t(json.size()));
            close(fd);
        }
        static std::string platform = std::string("offscreen:configfile=") + pattern;
        setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
        static int argc = 1;
        static char name[] = "cliploop-ui-test";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace cliploop::uitest
