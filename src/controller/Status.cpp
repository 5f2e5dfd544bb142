#include <QMainWindow>
#include <QPointer>
#include <QStatusBar>

#include "controller/ViewController.h"
#include "foundation/Dispatch.h"

namespace cliploop {

namespace {

// Long enough to read a path, short enough that an old line does not pass
// for news.
constexpr int kStatusTimeoutMs = 5000;

}  // namespace

void ViewController::showStatus(const QString& text) {
    if (!dispatch::isMainThread()) {
        // Only read on the main thread, where the controller may have gone.
        dispatch::mainAsync([controller = QPointer<ViewController>(this), text] {
            if (controller) controller->showStatus(text);
        });
        return;
    }
    // The window whose fields the controller holds; a controller without one
    // (tools, benchmarks) has nowhere to say it.
    QWidget* anchor = searchPathField ? static_cast<QWidget*>(searchPathField)
                                      : static_cast<QWidget*>(searchField);
    auto* window = anchor ? qobject_cast<QMainWindow*>(anchor->window()) : nullptr;
    if (!window) return;
    window->statusBar()->showMessage(text, kStatusTimeoutMs);
}

}  // namespace cliploop
