#pragma once
// Menu items that carry their action by name and no target, and the chain of
// responders that delivers it.
//
// An item made by makeMenuItem holds its action's joined name (for example
// "fullScreenWithSender:"). Triggering it sends that action, with the item as
// the sender, to the first responder that implements it: the chain starts at
// the focus widget (or else the active window), climbs parent by parent
// (a widget that left its window, as a full-screen view, names the widget it
// came from with setNextResponder) and asks each window's controller
// (setController) on the way. When that chain finds no taker, the
// controllers of the other top-level windows are asked, as the main window
// would be.
//
// Threads: main thread only.
#include <QString>
#include <string>
#include <string_view>

class QAction;
class QMenu;
class QObject;
class QWidget;

namespace cliploop {

class ViewControllerBase;

namespace actions {

// A new item with `title`, the action `action`, no target and no keyboard
// shortcut (`keyEquivalent` empty), owned by `parent`.
QAction* makeMenuItem(const QString& title, std::string_view action, QObject* parent,
                      const QString& keyEquivalent = {});

// The joined action name an item carries ("" for none).
std::string actionOf(const QAction* item);

// The object an item stands for (a screen, say); reads null once that object
// is gone. Not owned.
void setRepresentedObject(QAction* item, QObject* object);
QObject* representedObject(const QAction* item);

// Empties `menu`. Items the menu owns are deleted later, not at once, since
// the item being chosen may be the one whose action emptied the menu.
void removeAllItems(QMenu* menu);

// Makes `controller` the responder of `window` (not owned; the window keeps a
// weak reference).
void setController(QWidget* window, ViewControllerBase* controller);
ViewControllerBase* controllerOf(const QWidget* widget);

// Makes `next` the widget after `widget` in the chain, in place of its parent;
// null restores the parent.
void setNextResponder(QWidget* widget, QWidget* next);

// Sends `action` with `sender` along the chain starting at `from` (null: the
// focus widget, else the active window). True when a responder took it.
bool sendAction(std::string_view action, QObject* sender, QWidget* from = nullptr);

}  // namespace actions
}  // namespace cliploop
