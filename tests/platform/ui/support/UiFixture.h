#pragma once
// The process's offscreen application (tests/controller's too), its screens, a wait on its loop.
#include <gtest/gtest.h>
#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QTemporaryDir>
#include <QWindow>

#include <chrono>
#include <functional>
#include <thread>

#include "ui/VideoView.h"

namespace cliploop::uitest {

struct ScreenGeometry {
    QString name;
    QRect geometry;
};

// Side by side: A (primary, 1920x1080), B (1280x1024), C (800x600).
inline std::vector<ScreenGeometry> threeScreens() {
    return {{"A", {0, 0, 1920, 1080}}, {"B", {1920, 0, 1280, 1024}}, {"C", {3200, 0, 800, 600}}};
}

inline QJsonObject screensConfiguration(const std::vector<ScreenGeometry>& screens) {
    QJsonArray list;
    for (const auto& [name, r] : screens)
        list.append(QJsonObject{{"name", name},
                                {"x", r.x()},
                                {"y", r.y()},
                                {"width", r.width()},
                                {"height", r.height()}});
    return QJsonObject{{"windowFrameMargins", false}, {"screens", list}};
}

// Offscreen with three screens; frame servers are found in a runtime folder of its own.
inline QApplication& application() {
    static QApplication* app = [] {
        static QTemporaryDir runtimeDir(QDir::tempPath() + "/cliploop-runtime-XXXXXX");  // 0700
        setenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit().constData(), 1);
        QFile config(runtimeDir.filePath("screens.json"));
        if (config.open(QIODevice::WriteOnly))
            config.write(QJsonDocument(screensConfiguration(threeScreens())).toJson());
        config.close();
        const QByteArray platform = "offscreen:configfile=" + config.fileName().toLocal8Bit();
        setenv("QT_QPA_PLATFORM", platform.constData(), 1);
        static int argc = 1;
        static char name[] = "cliploop-test";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Runs the event loop until `condition` holds or a generous deadline (a hang guard) passes.
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

// Judged by where the window really is.
inline bool fills(const VideoView& view, QScreen* screen) {
    return screen && view.isInFullScreenMode() && view.isWindow() && view.windowHandle() &&
           view.windowHandle()->screen() == screen && view.geometry() == screen->geometry() &&
           view.fullScreenScreen() == screen;
}

}  // namespace cliploop::uitest
