#pragma once
// Shared by tests/app and tests/controller: an offscreen application with a
// chosen list of screens, the real main interface in it, generated clips.
#include <gtest/gtest.h>
#include <qpa/qplatformnativeinterface.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

// Three screens side by side: A (primary, 1920x1080), B (1280x1024), C (800x600).
inline std::vector<ScreenSpec> threeScreens() {
    return {{"A", {0, 0, 1920, 1080}}, {"B", {1920, 0, 1280, 1024}}, {"C", {3200, 0, 800, 600}}};
}

inline QJsonObject screensConfiguration(const std::vector<ScreenSpec>& screens) {
    QJsonArray list;
    for (const ScreenSpec& s : screens) {
        list.append(QJsonObject{{"name", s.name},
                                {"x", s.geometry.x()},
                                {"y", s.geometry.y()},
                                {"width", s.geometry.width()},
                                {"height", s.geometry.height()},
                                {"logicalDpi", 96},
                                {"logicalBaseDpi", 96},
                                {"dpr", 1.0}});
    }
    return QJsonObject{{"windowFrameMargins", false}, {"screens", list}};
}

// The process's one application, on the offscreen platform with `screens`
// (fixed at the first call), the main queue routed to its event loop.
inline QApplication& application(const std::vector<ScreenSpec>& screens = threeScreens()) {
    static QApplication* app = [&] {
        static std::string configPath = [&] {
            char pattern[] = "/tmp/cliploop-screens-XXXXXX";
            const int fd = mkstemp(pattern);
            const QByteArray json = QJsonDocument(screensConfiguration(screens)).toJson();
            if (fd >= 0) {
                (void)!write(fd, json.constData(), size_t(json.size()));
                close(fd);
            }
            return std::string(pattern);
        }();
        const std::string platform = "offscreen:configfile=" + configPath;
        setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
        // Frame servers of this test process stay apart from any other's.
        static QTemporaryDir runtimeDir(QDir::tempPath() + "/cliploop-runtime-XXXXXX");
        ::chmod(runtimeDir.path().toLocal8Bit().constData(), 0700);
        setenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit().constData(), 1);
        static int argc = 1;
        static char name[] = "cliploop-test";
        static char* argv[] = {name, nullptr};
        auto* created = new QApplication(argc, argv);
        static std::shared_ptr<void> mainQueue = application::installMainQueue(created);
        // Tests launch by hand: the launch callback goes by now, to no delegate.
        application::connectDelegateCallbacks(created);
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
// generous deadline passes.
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

// Runs the event loop for a while (to give a wrong outcome its chance).
inline void settle(std::chrono::milliseconds span = std::chrono::milliseconds(200)) {
    eventually([] { return false; }, span);
}

// A clip made once per process by ffmpeg, 30 fps: green with a white band in
// its top quarter, magenta below the band in its second half, so a receiver
// can tell the halves, the orientation and the loop turns apart.
inline FileUrl makeClip(int width, int height, double seconds) {
    static QTemporaryDir dir(QDir::tempPath() + "/cliploop-clips-XXXXXX");
    static std::map<std::string, FileUrl> made;
    const std::string key =
        std::to_string(width) + "x" + std::to_string(height) + "-" + std::to_string(seconds);
    if (auto found = made.find(key); found != made.end()) return found->second;
    const std::string path = dir.path().toStdString() + "/clip-" + key + ".mp4";
    char filter[512];
    std::snprintf(filter, sizeof filter,
                  "drawbox=x=0:y=0:w=iw:h=ih:color=0xFF00FF:t=fill:enable='gte(t,%.3f)',"
                  "drawbox=x=0:y=0:w=iw:h=ih/4:color=white:t=fill",
                  seconds / 2);
    char command[2048];
    std::snprintf(
        command, sizeof command,
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i color=c=0x00FF00:s=%dx%d:r=30:d=%.3f "
        "-vf \"%s\" -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 15 '%s'",
        width, height, seconds, filter, path.c_str());
    if (std::system(command) != 0) {
        ADD_FAILURE() << "ffmpeg could not make " << path;
        return {};
    }
    return made[key] = FileUrl::fromPath(path);
}

// Classifies a BGRA pixel of the generated clips.
enum class Shade { Green, Magenta, White, Other };
inline Shade shadeOf(const uint8_t* bgra) {
    const int b = bgra[0], g = bgra[1], r = bgra[2];
    auto near = [](int v, int want) { return std::abs(v - want) < 60; };
    if (near(r, 0) && near(g, 255) && near(b, 0)) return Shade::Green;
    if (near(r, 255) && near(g, 0) && near(b, 255)) return Shade::Magenta;
    if (near(r, 255) && near(g, 255) && near(b, 255)) return Shade::White;
    return Shade::Other;
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

    // The frame pump stops; the test runs ticks itself.
    void stopPump() { controller_->timer->cancel(); }

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
