#include <QScreen>
#include <QVariantMap>

#include "controller/ViewController.h"
#include "ui/ActionDispatch.h"

namespace cliploop {

void ViewController::fullScreen(QAction* sender) {
    if (playerView2 && !playerView2->isInFullScreenMode()) {
        auto* screen = qobject_cast<QScreen*>(actions::representedObject(sender));
        const QVariantMap options{
            {QStringLiteral("NSFullScreenModeAllScreens"), false},
            {QStringLiteral("NSFullScreenModeApplicationPresentationOptions"), 1024u},
        };
        // A refusal (no screen, the screen gone) is not looked at: the menu
        // then offers the exit item, which does nothing.
        playerView2->enterFullScreenMode(screen, options);
    }
    NotificationCenter::defaultCenter().post(notificationFullscreen);
}

void ViewController::exitFullscreen(QAction* sender) {
    (void)sender;
    if (!playerView2 || !playerView2->isInFullScreenMode()) return;
    playerView2->exitFullScreenModeWithOptions(nullptr);
    NotificationCenter::defaultCenter().post(notificationExitFullscreen);
}

}  // namespace cliploop
