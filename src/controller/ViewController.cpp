#include "controller/ViewController.h"

#include <QDir>
#include <QFile>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "controller/PixelBufferAttributes.h"
#include "foundation/Dispatch.h"
#include "ui/Application.h"

namespace cliploop {

namespace {

// A start-up precondition failed: there is no way to go on without it.
[[noreturn]] void startupFailed(const char* what) {
    std::fprintf(stderr, "cliploop: cannot start: %s\n", what);
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}

}  // namespace

// Every field takes its initial value where it is declared, in field order.
ViewController::ViewController(QObject* parent) : ViewControllerBase(parent) {}

ViewController::~ViewController() {
    // Given up in declaration order. A tick that runs holds this controller,
    // so a tick in progress cannot reach here unless it is the one dropping
    // the last reference; cancel() then lets the timer end on its own.
    if (timer) timer->cancel();
    timer.reset();
    player.reset();
    videoOutput.store(nullptr);
    syphonServer.reset();
    context.reset();
    playerView.clear();
    // Owned here while it is full screen, outside any window.
    if (playerView2 && !playerView2->parent()) delete playerView2.data();
    playerView2.clear();
    searchField.clear();
    arrayController.reset();
    circularIndicator.clear();
    rateField.clear();
    searchPathField.clear();
}

void ViewController::viewDidLoad() {
    ViewControllerBase::viewDidLoad();

    searchPath = FileUrl::fromPath(QFile::encodeName(QDir::homePath()).toStdString());

    if (!searchPathField) startupFailed("the search folder's text field is not connected");
    searchPathField->setText(QStringLiteral("Search from directory: ") +
                             QFile::decodeName(QByteArray::fromStdString(searchPath.path())));

    const std::shared_ptr<ApplicationDelegate> delegate = application::delegate();
    if (!delegate || !delegate->adoptController(shared_from_this()))
        startupFailed("the application's delegate does not keep the controller");

    const std::shared_ptr<PixelFormat> pixelFormat =
        PixelFormat::create({gl::kPixelFormatDoubleBuffer, gl::kPixelFormatColorSize, 32, 0});
    if (!pixelFormat) startupFailed("no pixel format with double buffering and 32-bit colour");
    context = GraphicsContext::create(*pixelFormat, nullptr);
    if (!context) startupFailed("no graphics context for the pixel format");
    context->makeCurrentContext();

    if (texture == 0) texture = context->genTexture();

    syphonServer = FrameServer::create("Video", context);
    pipeWireSource = PipeWirePublisher::create("Video", context);

    player = QueuePlayer::create();

    videoOutput.store(PlayerItemVideoOutput::create(pixelBufferAttributes()));
    loop_ = std::make_unique<ClipLoop>(player, videoOutput, pixelBufferAttributes());

    // The handler holds the controller only for the length of a tick: the
    // controller owns the timer, and tearDown cancels it.
    timer =
        std::make_shared<RepeatingTimer>(std::chrono::milliseconds(16), [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->videoCapturing();
        });
    timer->start();

    // Drops are posted on the main thread; one posted elsewhere is
    // carried over, since its handling touches the window.
    std::weak_ptr<ViewController> weak = weak_from_this();
    NotificationCenter::defaultCenter().addObserver(this, notificationDragAndDrop, nullptr,
                                                    [weak](const Notification& notification) {
                                                        if (dispatch::isMainThread()) {
                                                            if (auto self = weak.lock())
                                                                self->dragAndDrop(notification);
                                                            return;
                                                        }
                                                        dispatch::mainAsync([weak, notification] {
                                                            if (auto self = weak.lock())
                                                                self->dragAndDrop(notification);
                                                        });
                                                    });
}

bool ViewController::performAction(std::string_view action, QObject* sender) {
    if (action == "fullScreenWithSender:") {
        fullScreen(qobject_cast<QAction*>(sender));
        return true;
    }
    if (action == "exitFullscreenWithSender:") {
        exitFullscreen(qobject_cast<QAction*>(sender));
        return true;
    }
    return ViewControllerBase::performAction(action, sender);
}

}  // namespace cliploop
