#pragma once
// The application routine: creates the application, loads the main
// interface, runs the event loop on the main thread and tells the
// application's delegate when launching has finished, when the attached
// displays change and when the application is about to end.
//
// Threads: main thread only, except that the main queue (dispatch::mainAsync)
// may be fed from any thread once the routine runs.
#include <QObject>
#include <memory>
#include <vector>

#include "foundation/NotificationCenter.h"

class QGuiApplication;

namespace cliploop {

class ViewControllerBase;

// Names of the notifications handed to the delegate's callbacks.
extern const char* const kApplicationDidFinishLaunchingNotification;
extern const char* const kApplicationDidChangeScreenParametersNotification;
extern const char* const kApplicationWillTerminateNotification;

// What the application tells its delegate. Every callback runs on the main
// thread; the defaults do nothing.
class ApplicationDelegate {
  public:
    virtual ~ApplicationDelegate() = default;
    // Once, after the interface is loaded, when the event loop runs.
    virtual void applicationDidFinishLaunching(const Notification& notification);
    // Each time a screen is added or removed, or changes its geometry, or
    // another screen becomes the primary one.
    virtual void applicationDidChangeScreenParameters(const Notification& notification);
    // Once, when the event loop has ended and before the interface is
    // destroyed: the place to stop what runs on other threads.
    virtual void applicationWillTerminate(const Notification& notification);
    // A window's controller, at its start-up, registering with the
    // application. True when the delegate keeps it; the default keeps none.
    virtual bool adoptController(std::shared_ptr<ViewControllerBase> controller);
};

namespace application {

// The application's delegate. The application holds it until the routine
// returns (or until another is set).
void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);
std::shared_ptr<ApplicationDelegate> delegate();

// Whether Qt can be given a display: a platform named in QT_QPA_PLATFORM or
// by a "-platform" argument, or an X11 or Wayland display in the environment.
bool displayAvailable(int argc, char** argv);

// Routes the main queue to `app`'s event loop and declares this thread the
// main thread. Undone by the returned guard's destruction.
std::shared_ptr<void> installMainQueue(QGuiApplication* app);

// Sends the delegate's callbacks from `app`'s signals: launch finished when
// the loop next runs, display changes, about to quit. The connections live as
// long as `app`.
void connectDelegateCallbacks(QGuiApplication* app);

}  // namespace application

// Objects of the loaded interface that live as long as the event loop runs
// (windows, menus); destroyed in reverse order when the routine returns.
using InterfaceObjects = std::vector<std::unique_ptr<QObject>>;
// Loads the main interface. It sets the application's delegate before any
// controller's start-up runs.
using MainInterfaceLoader = InterfaceObjects (*)();

// The whole life of the application. Without a display it prints one line on
// standard error and returns 1, where Qt would abort. Otherwise it runs the
// event loop until the application quits (the Quit action, the last window
// closed, SIGINT or SIGTERM), tells the delegate applicationWillTerminate,
// destroys the interface, lets go of the delegate while the application
// object still exists, and returns the loop's status.
int applicationMain(int argc, char** argv, MainInterfaceLoader loadMainInterface);

}  // namespace cliploop
