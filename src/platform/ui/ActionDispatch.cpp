#include "ActionDispatch.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPointer>
#include <QWidget>

#include "ViewControllerBase.h"

namespace cliploop::actions {

namespace {

constexpr const char* kActionProperty = "cliploop.action";
constexpr const char* kControllerProperty = "cliploop.controller";
constexpr const char* kNextResponderProperty = "cliploop.nextResponder";
constexpr const char* kRepresentedObjectProperty = "cliploop.representedObject";

QVariant weakReference(QObject* object) {
    return QVariant::fromValue(QPointer<QObject>(object));
}

QObject* referenced(const QVariant& value) {
    if (!value.isValid()) return nullptr;
    return value.value<QPointer<QObject>>().data();
}

QWidget* nextInChain(const QWidget* widget) {
    if (auto* next = qobject_cast<QWidget*>(referenced(widget->property(kNextResponderProperty))))
        return next;
    return widget->parentWidget();
}

bool sendAlong(QWidget* start, std::string_view action, QObject* sender) {
    // The chain may loop only through a misuse of setNextResponder; bound it.
    int guard = 0;
    for (QWidget* w = start; w && guard < 1000; w = nextInChain(w), ++guard) {
        if (ViewControllerBase* controller = controllerOf(w)) {
            if (controller->performAction(action, sender)) return true;
        }
    }
    return false;
}

}  // namespace

QAction* makeMenuItem(const QString& title, std::string_view action, QObject* parent,
                      const QString& keyEquivalent) {
    auto* item = new QAction(title, parent);
    item->setProperty(kActionProperty, QString::fromUtf8(action.data(), qsizetype(action.size())));
    if (!keyEquivalent.isEmpty()) item->setShortcut(QKeySequence(keyEquivalent));
    // The item is the sender; it may be gone by the time a queued trigger
    // would run, so the action is sent synchronously.
    QObject::connect(item, &QAction::triggered, item, [item] {
        const std::string name = actionOf(item);
        sendAction(name, item);
    });
    return item;
}

std::string actionOf(const QAction* item) {
    if (!item) return {};
    return item->property(kActionProperty).toString().toStdString();
}

void setRepresentedObject(QAction* item, QObject* object) {
    item->setProperty(kRepresentedObjectProperty, object ? weakReference(object) : QVariant());
}

QObject* representedObject(const QAction* item) {
    return item ? referenced(item->property(kRepresentedObjectProperty)) : nullptr;
}

void removeAllItems(QMenu* menu) {
    const QList<QAction*> items = menu->actions();
    for (QAction* item : items) {
        menu->removeAction(item);
        if (item->parent() == menu) item->deleteLater();
    }
}

void setController(QWidget* window, ViewControllerBase* controller) {
    window->setProperty(kControllerProperty, weakReference(controller));
}

ViewControllerBase* controllerOf(const QWidget* widget) {
    if (!widget) return nullptr;
    return qobject_cast<ViewControllerBase*>(referenced(widget->property(kControllerProperty)));
}

void setNextResponder(QWidget* widget, QWidget* next) {
    widget->setProperty(kNextResponderProperty, next ? weakReference(next) : QVariant());
}

bool sendAction(std::string_view action, QObject* sender, QWidget* from) {
    QWidget* start = from;
    if (!start) start = QApplication::focusWidget();
    if (!start) start = QApplication::activeWindow();
    if (start && sendAlong(start, action, sender)) return true;
    // No focus (a menu chosen with no active window, a test without a window
    // system): the main window's controller still answers.
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (ViewControllerBase* controller = controllerOf(window)) {
            if (controller->performAction(action, sender)) return true;
        }
    }
    return false;
}

}  // namespace cliploop::actions
