#pragma once
// The application-wide object: it holds the main window's controller, lists
// the screens in the screen menu and swaps that menu between the screen list
// and the exit item when the controller announces full-screen output.
//
// Threads: main thread only. Notifications posted on another thread are
// carried over to the main thread before the menu is touched.
#include <QMenu>
#include <QPointer>
#include <memory>

#include "foundation/NotificationCenter.h"
#include "ui/Application.h"

namespace cliploop {

class ViewController;

class AppDelegate : public ApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
  public:
    // --- Fields ----------------------------------------------------------------
    // Set by the controller's own start-up; nothing reads it back.
    std::shared_ptr<ViewController> viewController;
    // The screen menu; the interface owns it.
    QPointer<QMenu> menuFullscreen;

    // The fields' setters (the fields are read directly).
    void setViewController(std::shared_ptr<ViewController> controller);
    void setMenuFullscreen(QMenu* menu);

    // What the application tells its delegate.
    void applicationDidFinishLaunching(const Notification& notification) override;
    void applicationWillTerminate(const Notification& notification) override;
    void applicationDidChangeScreenParameters(const Notification& notification) override;
    // The controller's start-up registers here; kept when it is a ViewController.
    bool adoptController(std::shared_ptr<ViewControllerBase> controller) override;

    // The screen menu's two forms: the list of screens, and the exit item.
    void exitFullscreenNotification(const Notification& notification);
    void fullScreenMenuUpdate();
    void addMenuExitFullscreen(const Notification& notification);

    // Starts with no controller and no menu.
    AppDelegate();
    ~AppDelegate() override;

  private:
    // Runs `handler` on this delegate on the main thread, if it still exists.
    void observe(const char* name, void (AppDelegate::*handler)(const Notification&));
};

}  // namespace cliploop
