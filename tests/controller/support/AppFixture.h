#pragma once
// For tests/app, tests/controller and tests/views: the real main interface, generated clips.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "../../platform/ui/support/UiFixture.h"
#include "app/AppDelegate.h"
#include "app/InterfaceLoader.h"
#include "controller/ViewController.h"
#include "ui/Application.h"

namespace cliploop::apptest {

using uitest::eventually;
using uitest::fills;

inline QApplication& application() {
    static QApplication& app = []() -> QApplication& {
        QApplication& created = uitest::application();
        static std::shared_ptr<void> mainQueue = application::installMainQueue(&created);
        application::connectDelegateCallbacks(&created);  // launching ends now, to no delegate
        QCoreApplication::processEvents();
        return created;
    }();
    return app;
}

// A clip made once per process by ffmpeg, 30 fps: green, or every frame different ("testsrc2").
inline FileUrl makeClip(int width, int height, double seconds,
                        QString source = "color=c=0x00FF00") {
    static QTemporaryDir dir(QDir::tempPath() + "/cliploop-clips-XXXXXX");
    const QString size = QString("%1x%2").arg(width).arg(height);
    const QString path = dir.filePath(QString("%1-%2-%3.mp4").arg(size).arg(seconds).arg(source));
    const QString command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i " + source +
                            (source.contains('=') ? ":s=" : "=s=") + size +
                            ":r=30:d=" + QString::number(seconds) +
                            " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 15 '" + path + "'";
    const bool made = QFile::exists(path) || std::system(command.toLocal8Bit().constData()) == 0;
    EXPECT_TRUE(made) << command.toStdString();
    return made ? FileUrl::fromPath(path.toStdString()) : FileUrl();
}

class InterfaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        application();
        loaded_ = loadInterface();
        ASSERT_TRUE(controller_ = loaded_.controller);
        window_ = loaded_.window.get();
    }

    void TearDown() override {
        if (!controller_) return;
        controller_->playerView2->exitFullScreenModeWithOptions(nullptr);
        loaded_.delegate->applicationWillTerminate({});  // as the application's quit does
        loaded_.delegate->viewController.reset();
        application::setDelegate(nullptr);
        loaded_.window.reset();
        loaded_.delegate.reset();
        controller_.reset();
        loaded_.controller.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    std::string playing() const {
        const auto item = controller_->player->currentItem();
        return item ? item->asset()->url().path() : "";
    }

    MainInterface loaded_;
    std::shared_ptr<ViewController> controller_;
    MainWindow* window_ = nullptr;
};

}  // namespace cliploop::apptest
