#pragma once
// The main interface: the window described in MainWindow.ui, its controller
// and the application's delegate, connected as the running program needs
// them.
//
// Threads: main thread, with a QApplication.
#include <QMainWindow>
#include <memory>

#include "ui/Application.h"

class QMenu;
namespace Ui {
class MainWindow;
}

namespace cliploop {

class AppDelegate;
class ViewController;

// The main window. It keeps its controller (the responder of its actions).
class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    Ui::MainWindow& ui() { return *ui_; }
    QMenu* screenMenu() const;

    std::shared_ptr<ViewController> controller;

  protected:
    // Closing the main window quits, also while the full-screen output (a
    // window of its own) is still up.
    void closeEvent(QCloseEvent* event) override;

  private:
    std::unique_ptr<Ui::MainWindow> ui_;
};

struct MainInterface {
    std::shared_ptr<AppDelegate> delegate;
    std::unique_ptr<MainWindow> window;
    std::shared_ptr<ViewController> controller;
};

// Creates the AppDelegate and makes it the application's delegate, connects
// its menu, creates the window and its ViewController, connects the
// controller's window fields and the window's actions, runs the controller's
// start-up (viewDidLoad), then shows the window with the search field
// focused.
MainInterface loadInterface();

// The same, as the application routine wants it.
InterfaceObjects loadMainInterface();

}  // namespace cliploop
