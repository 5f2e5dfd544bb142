#pragma once
// Shared by tests/app and tests/controller: an offscreen application with a
// chosen list of screens, the real main interface in it, generated clips.
#include <gtest/gtest.h>
#include <qpa/qplatformnativeinterface.h>
#include <sys/stat.h>
#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "app/AppDelegate.h"
#include "app/InterfaceLoader.h"
#include "controller/ViewController.h"
#include "foundation/Dispatch.h"
#include "ui/Application.h"

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace cliploop::apptest {

struct ScreenSpec {
    QString name;
    QRect geometry;
};

// Side by side: A (primary, 1920x1080), B (1280x1024), C (800x600).
inline std::vector<ScreenSpec> threeScreens() {
    return {{"A", {0, 0, 1920, 1080}}, {"B", {1920, 0, 1280, 1024}}, {"C", {3200, 0, 800, 600}}};
}

inline QJsonObject screensConfiguration(const std::vector<ScreenSpec>& screens) {
    QJsonArray list;
    for (const auto& [name, r] : screens) {
        QJsonObject screen{{"name", name}, {"x", r.x()}, {"y", r.y()}, {"dpr", 1.0}};
        screen.insert("width", r.width());
        screen.insert("height", r.height());
        for (const char* dpi : {"logicalDpi", "logicalBaseDpi"}) screen.insert(dpi, 96);
        list.append(screen);
    }
    return QJsonObject{{"windowFrameMargins", false}, {"screens", list}};
}

// The process's one application, offscreen with three screens, its main
// queue routed to the event loop and its frame servers in a folder of its own.
inline QApplication& application() {
    static QApplication* app = [] {
        static QTemporaryDir runtimeDir(QDir::tempPath() + "/cliploop-runtime-XXXXXX");
        ::chmod(runtimeDir.path().toLocal8Bit().constData(), 0700);
        setenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit().constData(), 1);
        QFile config(runtimeDir.path() + "/screens.json");
        if (config.open(QIODevice::WriteOnly))
            config.write(QJsonDocument(screensConfiguration(threeScreens())).toJson());
        config.close();
        const QByteArray platform = "offscreen:configfile=" + config.fileName().toLocal8Bit();
        setenv("QT_QPA_PLATFORM", platform.constData(), 1);
        static int argc = 1;
        static char name[] = "cliploop-test";
        static char* argv[] = {name, nullptr};
        auto* created = new QApplication(argc, argv);
        static std::shared_ptr<void> mainQueue = application::installMainQueue(created);
        application::connectDelegateCallbacks(created);  // launching ends now, to no delegate
        QCoreApplication::processEvents();
        return created;
    }();
    return *app;
}

// Replaces the screens while running; Qt reports the change synchronously.
inline void setScreens(const std::vector<ScreenSpec>& screens) {
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    auto* set = reinterpret_cast<void (*)(const QJsonObject&, QPlatformNativeInterface*)>(
        native->nativeResourceForIntegration("setConfiguration"));
    ASSERT_NE(set, nullptr);
    set(screensConfiguration(screens), native);
}

// Runs the event loop and the main queue until `condition` holds or a
// generous deadline (a hang guard) passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        dispatch::drainMainQueue();
        if (condition()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// A clip made once per process by ffmpeg, 30 fps: green with a white band
// over its top quarter, so a receiver can tell it is upright.
inline FileUrl makeClip(int width, int height, double seconds) {
    static QTemporaryDir dir(QDir::tempPath() + "/cliploop-clips-XXXXXX");
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string path =
        dir.path().toStdString() + "/" + size + "-" + std::to_string(seconds) + ".mp4";
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=0x00FF00:s=" + size +
        ":r=30:d=" + std::to_string(seconds) +
        " -vf drawbox=x=0:y=0:w=iw:h=ih/4:color=white:t=fill -c:v libx264 -preset ultrafast"
        " -pix_fmt yuv420p -g 15 '" +
        path + "'";
    if (!std::filesystem::exists(path) && std::system(command.c_str()) != 0) {
        ADD_FAILURE() << "ffmpeg could not make " << path;
        return {};
    }
    return FileUrl::fromPath(path);
}

// The real main interface, torn down after each test so nothing leaks.
class InterfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        application();
        loaded_ = loadInterface();
        ASSERT_TRUE(loaded_.controller);
        controller_ = loaded_.controller;
        window_ = loaded_.window.get();
    }

    void TearDown() override {
        if (!controller_) return;
        if (controller_->timer) controller_->timer->cancel();
        if (controller_->player) controller_->player->pause();
        if (controller_->playerView2 && controller_->playerView2->isInFullScreenMode())
            controller_->playerView2->exitFullScreenModeWithOptions(nullptr);
        NotificationCenter::defaultCenter().removeObserver(controller_.get());
        NotificationCenter::defaultCenter().removeObserver(loaded_.delegate.get());
        loaded_.delegate->viewController.reset();
        application::setDelegate(nullptr);
        loaded_.window.reset();
        loaded_.delegate.reset();
        controller_.reset();
        loaded_.controller.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // What the application sends once its loop runs.
    void finishLaunching() {
        Notification launched;
        launched.name = kApplicationDidFinishLaunchingNotification;
        loaded_.delegate->applicationDidFinishLaunching(launched);
    }

    QStringList menuTitles() const {
        QStringList titles;
        for (QAction* item : window_->screenMenu()->actions()) titles << item->text();
        return titles;
    }

    MainInterface loaded_;
    std::shared_ptr<ViewController> controller_;
    MainWindow* window_ = nullptr;
};

}  // namespace cliploop::apptest
