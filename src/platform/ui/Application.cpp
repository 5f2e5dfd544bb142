#include "Application.h"

#include <QApplication>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Dispatch.h"
#include "ui/TerminationSignals.h"
#include "ui/ViewControllerBase.h"

namespace cliploop {

const char* const kApplicationDidFinishLaunchingNotification =
    "NSApplicationDidFinishLaunchingNotification";
const char* const kApplicationDidChangeScreenParametersNotification =
    "NSApplicationDidChangeScreenParametersNotification";
const char* const kApplicationWillTerminateNotification = "NSApplicationWillTerminateNotification";

void ApplicationDelegate::applicationDidFinishLaunching(const Notification&) {}
void ApplicationDelegate::applicationDidChangeScreenParameters(const Notification&) {}
void ApplicationDelegate::applicationWillTerminate(const Notification&) {}
bool ApplicationDelegate::adoptController(std::shared_ptr<ViewControllerBase>) {
    return false;
}

namespace application {

namespace {

std::shared_ptr<ApplicationDelegate>& delegateSlot() {
    static std::shared_ptr<ApplicationDelegate> slot;
    return slot;
}

void tellDelegate(const char* name, void (ApplicationDelegate::*callback)(const Notification&)) {
    // Held across the call: a callback may replace the delegate.
    const std::shared_ptr<ApplicationDelegate> target = delegateSlot();
    if (!target) return;
    Notification notification;
    notification.name = name;
    notification.sender = qApp;
    ((*target).*callback)(notification);
}

void screensChanged() {
    tellDelegate(kApplicationDidChangeScreenParametersNotification,
                 &ApplicationDelegate::applicationDidChangeScreenParameters);
}

void watchScreen(QScreen* screen) {
    QObject::connect(screen, &QScreen::geometryChanged, qApp, [] { screensChanged(); });
}

}  // namespace

void setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
    delegateSlot() = std::move(delegate);
}

std::shared_ptr<ApplicationDelegate> delegate() {
    return delegateSlot();
}

bool displayAvailable(int argc, char** argv) {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    if (set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY")) return true;
    for (int i = 1; i < argc; ++i) {
        if (!argv[i]) continue;
        if (std::strncmp(argv[i], "-platform=", 10) == 0) return true;
        // Qt takes the platform's name from the next argument; without one it
        // falls back to the default platform, which needs a display.
        if (std::strcmp(argv[i], "-platform") == 0) return i + 1 < argc && argv[i + 1];
    }
    return false;
}

std::shared_ptr<void> installMainQueue(QGuiApplication* app) {
    dispatch::markMainThread();
    // The main queue coalesces wake-ups itself; each one posts one drain to
    // the event loop, from whatever thread queued the work.
    dispatch::setMainQueueWakeup([app] {
        QMetaObject::invokeMethod(
            app, [] { dispatch::drainMainQueue(); }, Qt::QueuedConnection);
    });
    return std::shared_ptr<void>(nullptr, [](void*) {
        // The application is about to go: later work waits in the queue.
        dispatch::setMainQueueWakeup(nullptr);
    });
}

void connectDelegateCallbacks(QGuiApplication* app) {
    QTimer::singleShot(0, app, [] {
        tellDelegate(kApplicationDidFinishLaunchingNotification,
                     &ApplicationDelegate::applicationDidFinishLaunching);
    });
    for (QScreen* screen : QGuiApplication::screens()) watchScreen(screen);
    QObject::connect(app, &QGuiApplication::screenAdded, app, [](QScreen* screen) {
        watchScreen(screen);
        screensChanged();
    });
    QObject::connect(app, &QGuiApplication::screenRemoved, app, [] { screensChanged(); });
    QObject::connect(app, &QGuiApplication::primaryScreenChanged, app, [] { screensChanged(); });
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, [] {
        tellDelegate(kApplicationWillTerminateNotification,
                     &ApplicationDelegate::applicationWillTerminate);
    });
}

// While the application object connects to the display, Qt's messages are
// held back: a display that is named but cannot be reached (a stale DISPLAY)
// makes Qt abort with a core dump after several lines; here it ends the
// program with one line and a failure status instead.
class DisplayConnectionGuard {
  public:
    explicit DisplayConnectionGuard(const char* program) {
        if (program) programSlot() = program;
        previous_ = qInstallMessageHandler(&DisplayConnectionGuard::hold);
    }
    ~DisplayConnectionGuard() {
        qInstallMessageHandler(previous_);
        for (const auto& [type, message] : heldSlot()) {
            previous_ ? previous_(type, QMessageLogContext(), message)
                      : (void)std::fprintf(stderr, "%s\n", qPrintable(message));
        }
        heldSlot().clear();
    }

  private:
    static std::vector<std::pair<QtMsgType, QString>>& heldSlot() {
        static std::vector<std::pair<QtMsgType, QString>> held;
        return held;
    }
    static const char*& programSlot() {
        static const char* program = "cliploop";
        return program;
    }
    static void hold(QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtFatalMsg) {
            heldSlot().emplace_back(type, message);
            return;
        }
        const QString reason = heldSlot().empty() ? message : heldSlot().front().second;
        std::fprintf(stderr, "%s: cannot open the display: %s\n", programSlot(),
                     qPrintable(reason.simplified()));
        std::fflush(nullptr);
        std::_Exit(EXIT_FAILURE);
    }
    QtMessageHandler previous_ = nullptr;
};

}  // namespace application

int applicationMain(int argc, char** argv, MainInterfaceLoader loadMainInterface) {
    if (!application::displayAvailable(argc, argv)) {
        std::fprintf(stderr,
                     "%s: no display available: set DISPLAY or WAYLAND_DISPLAY, or "
                     "QT_QPA_PLATFORM (for example offscreen)\n",
                     argc > 0 && argv[0] ? argv[0] : "cliploop");
        return 1;
    }
    std::optional<application::DisplayConnectionGuard> guard(std::in_place,
                                                             argc > 0 ? argv[0] : nullptr);
    QApplication app(argc, argv);
    guard.reset();
    QApplication::setApplicationName(QStringLiteral("cliploop"));
    const std::shared_ptr<void> mainQueue = application::installMainQueue(&app);
    const std::shared_ptr<void> signalWatch = application::quitOnTerminationSignals(&app);
    application::connectDelegateCallbacks(&app);
    InterfaceObjects objects = loadMainInterface();
    // The delegate stopped the timers and threads at applicationWillTerminate
    // (sent from inside exec), so nothing runs any more that could reach the
    // interface or the controller while they go.
    const int status = QApplication::exec();
    while (!objects.empty()) objects.pop_back();
    // What the delegate holds (the controller and its widgets' models) goes
    // while the application object can still take it.
    application::setDelegate(nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}

}  // namespace cliploop
