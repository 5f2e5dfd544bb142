#include "app/AppDelegate.h"

#include <QGuiApplication>
#include <QScreen>

#include "controller/ViewController.h"
#include "foundation/Dispatch.h"
#include "ui/ActionDispatch.h"

namespace cliploop {

void AppDelegate::setViewController(std::shared_ptr<ViewController> controller) {
    viewController = std::move(controller);
}

bool AppDelegate::adoptController(std::shared_ptr<ViewControllerBase> controller) {
    auto main = std::dynamic_pointer_cast<ViewController>(std::move(controller));
    if (!main) return false;
    setViewController(std::move(main));
    return true;
}

void AppDelegate::setMenuFullscreen(QMenu* menu) {
    menuFullscreen = menu;
}

void AppDelegate::applicationDidFinishLaunching(const Notification&) {
    // Spelled here as the controller spells them in its fields.
    observe("addMenuExitFullscreen", &AppDelegate::addMenuExitFullscreen);
    observe("fullScreenMenuUpdate", &AppDelegate::exitFullscreenNotification);
    fullScreenMenuUpdate();
}

void AppDelegate::applicationWillTerminate(const Notification&) {
    // Unlike a desktop that reclaims a process whole, a Linux program that
    // just ends leaves its frame server's socket and entry behind, and
    // threads running into the teardown of static objects: stop them here.
    NotificationCenter::defaultCenter().removeObserver(this);
    if (viewController) viewController->tearDown();
}

void AppDelegate::applicationDidChangeScreenParameters(const Notification&) {
    fullScreenMenuUpdate();
}

void AppDelegate::exitFullscreenNotification(const Notification&) {
    fullScreenMenuUpdate();
}

void AppDelegate::fullScreenMenuUpdate() {
    // The menu is connected before launching finishes; should the interface
    // lack it, there is nothing to list into.
    if (!menuFullscreen) return;
    const QList<QScreen*> screens = QGuiApplication::screens();
    actions::removeAllItems(menuFullscreen);
    for (qsizetype i = 0; i < screens.size(); ++i) {
        const QString title =
            i == 0 ? QStringLiteral("MainScreen") : QStringLiteral("Screen %1").arg(i);
        QAction* item = actions::makeMenuItem(title, "fullScreenWithSender:", menuFullscreen);
        actions::setRepresentedObject(item, screens[i]);
        menuFullscreen->addAction(item);
    }
}

void AppDelegate::addMenuExitFullscreen(const Notification&) {
    if (!menuFullscreen) return;
    actions::removeAllItems(menuFullscreen);
    QAction* item = actions::makeMenuItem(QStringLiteral("Exit Full Screen"),
                                          "exitFullscreenWithSender:", menuFullscreen);
    menuFullscreen->addAction(item);
}

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

void AppDelegate::observe(const char* name, void (AppDelegate::*handler)(const Notification&)) {
    // Removed at termination; the weak reference keeps a delegate that is
    // gone without terminating (in a test) from being called.
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    NotificationCenter::defaultCenter().addObserver(
        this, name, nullptr, [weak, handler](const Notification& notification) {
            if (dispatch::isMainThread()) {
                if (auto self = weak.lock()) ((*self).*handler)(notification);
                return;
            }
            dispatch::mainAsync([weak, handler, notification] {
                if (auto self = weak.lock()) ((*self).*handler)(notification);
            });
        });
}

}  // namespace cliploop
