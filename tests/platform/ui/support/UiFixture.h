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

// Of A (primary, 1920x1080), B (1280x1024) and C (800x600), side by side, those named by index.
inline QJsonObject screensConfiguration(std::initializer_list<int> which) {
    const int x[3] = {0, 1920, 3200}, width[3] = {1920, 1280, 800}, height[3] = {1080, 1024, 600};
    QJsonArray list;
    for (const int i : which)
        list.append(QJsonObject{{"name", QString(QChar('A' + i))},
                                {"x", x[i]},
                                {"y", 0},
                                {"width", width[i]},
                                {"height", height[i]}});
    return QJsonObject{{"windowFrameMargins", false}, {"screens", list}};
}

// Offscreen with three screens; frame servers are found in a runtime folder of its own.
inline QApplication& application() {
    static QApplication* app = [] {
        static QTemporaryDir runtimeDir(QDir::tempPath() + "/cliploop-runtime-XXXXXX");  // 0700
        setenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit().constData(), 1);
        QFile config(runtimeDir.filePath("screens.json"));
        if (config.open(QIODevice::WriteOnly))
            config.write(QJsonDocument(screensConfiguration({0, 1, 2})).toJson());
        config.close();
        const QByteArray platform = "offscreen:configfile=" + config.fileName().toLocal8Bit();
        setenv("QT_QPA_PLATFORM", platform.constData(), 1);
        static int argc = 1;
        static char* argv[] = {const_cast<char*>("cliploop-test"), nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Runs the event loop until `condition` holds or a generous deadline (a hang guard) passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (QCoreApplication::processEvents(QEventLoop::AllEvents, 5), !condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Judged by where the window really is.
inline bool fills(const VideoView& view, QScreen* screen) {
    return screen && view.isInFullScreenMode() && view.isWindow() && view.windowHandle() &&
           view.windowHandle()->screen() == screen && view.geometry() == screen->geometry() &&
           view.fullScreenScreen() == screen;
}

}  // namespace cliploop::uitest
