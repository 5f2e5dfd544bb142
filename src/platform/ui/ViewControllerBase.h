#pragma once
// The base of a window's controller: started once its window is loaded
// (viewDidLoad), carrying an optional represented object, and a responder
// that menu actions reach by name (see ActionDispatch.h).
#include <QObject>
#include <QVariant>
#include <string_view>

namespace cliploop {

class ViewControllerBase : public QObject {
    Q_OBJECT
  public:
    explicit ViewControllerBase(QObject* parent = nullptr) : QObject(parent) {}
    ~ViewControllerBase() override = default;

    virtual void viewDidLoad() {}

    QVariant representedObject() const { return representedObject_; }
    void setRepresentedObject(const QVariant& object) { representedObject_ = object; }

    // Performs the action known by its joined name (as "fullScreenWithSender:")
    // with `sender`; false when this responder does not implement it.
    virtual bool performAction(std::string_view action, QObject* sender) {
        (void)action;
        (void)sender;
        return false;
    }

  private:
    QVariant representedObject_;
};

}  // namespace cliploop
