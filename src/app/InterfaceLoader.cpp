#include "app/InterfaceLoader.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QShortcut>

#include "app/AppDelegate.h"
#include "controller/ViewController.h"
#include "ui/ActionDispatch.h"
#include "ui/ThumbnailProvider.h"
#include "ui_MainWindow.h"

namespace cliploop {

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    // The views take most of the window; the table keeps a useful height.
    ui_->mainSplitter->setStretchFactor(0, 3);
    ui_->mainSplitter->setStretchFactor(1, 2);
    ui_->viewSplitter->setStretchFactor(0, 1);
    ui_->viewSplitter->setStretchFactor(1, 1);
    connect(ui_->quitAction, &QAction::triggered, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    // The next search is one key away from anywhere in the window, typed
    // over the last one.
    for (const QKeyCombination keys : {Qt::CTRL | Qt::Key_F, Qt::CTRL | Qt::Key_L}) {
        auto* shortcut = new QShortcut(QKeySequence(keys), this);
        connect(shortcut, &QShortcut::activated, this, [this] {
            ui_->searchField->setFocus(Qt::ShortcutFocusReason);
            ui_->searchField->selectAll();
        });
    }
}

MainWindow::~MainWindow() = default;

void MainWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (event->isAccepted()) QCoreApplication::quit();
}

QMenu* MainWindow::screenMenu() const {
    return ui_->screenMenu;
}

MainInterface loadInterface() {
    MainInterface loaded;

    loaded.delegate = std::make_shared<AppDelegate>();
    application::setDelegate(loaded.delegate);

    loaded.window = std::make_unique<MainWindow>();
    MainWindow* window = loaded.window.get();
    Ui::MainWindow& ui = window->ui();
    loaded.delegate->setMenuFullscreen(ui.screenMenu);

    loaded.controller = std::make_shared<ViewController>();
    const std::shared_ptr<ViewController>& controller = loaded.controller;
    window->controller = controller;
    actions::setController(window, controller.get());

    // The controller's window fields.
    controller->playerView = ui.playerView;
    controller->playerView2 = ui.playerView2;
    controller->searchField = ui.searchField;
    controller->arrayController = std::make_shared<ArrayController>(QStringList{
        QStringLiteral("name"), QStringLiteral("path"), QStringLiteral("creationDate")});
    // A small picture of each clip first, made in the background for the
    // rows in view; a row is as tall as its picture.
    const QSize pictureSize(96, 54);
    controller->arrayController->setPictures(new ThumbnailProvider(pictureSize, 2, ui.clipTable),
                                             QStringLiteral("path"));
    controller->arrayController->attach(ui.clipTable);
    ui.clipTable->setIconSize(pictureSize);
    ui.clipTable->verticalHeader()->setDefaultSectionSize(pictureSize.height() + 4);
    // Rows stand by name until the user sorts: no column claims an order
    // before that. The name reads in full, the path takes the rest, the date
    // what it needs.
    ArrayController& list = *controller->arrayController;
    QHeaderView* header = ui.clipTable->horizontalHeader();
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setSectionResizeMode(list.pictureColumn(), QHeaderView::Fixed);
    header->resizeSection(list.pictureColumn(), pictureSize.width() + 8);
    const int name = list.columnOf(QStringLiteral("name"));
    header->setSectionResizeMode(name, QHeaderView::Interactive);
    header->resizeSection(name, 320);
    header->setSectionResizeMode(list.columnOf(QStringLiteral("path")), QHeaderView::Stretch);
    // Wide enough for any date in the locale's short format.
    const QString longestDate =
        ArrayController::displayText(QDateTime(QDate(2000, 12, 28), QTime(23, 59, 59)));
    const int date = list.columnOf(QStringLiteral("creationDate"));
    header->setSectionResizeMode(date, QHeaderView::Interactive);
    header->resizeSection(date, ui.clipTable->fontMetrics().horizontalAdvance(longestDate) + 24);
    controller->circularIndicator = ui.circularIndicator;
    controller->rateField = ui.rateField;
    controller->searchPathField = ui.searchPathField;

    // The full-screen output offers the screen menu, which it covers.
    ui.playerView2->setFullScreenMenu(ui.screenMenu);

    // The window's actions. The controller outlives the window (the
    // delegate holds it); the weak references only matter in tests.
    std::weak_ptr<ViewController> weak = controller;
    QObject::connect(ui.searchField, &QLineEdit::returnPressed, window, [weak, &ui] {
        if (auto c = weak.lock()) c->enterSearchField(ui.searchField);
    });
    QObject::connect(ui.searchButton, &QPushButton::clicked, window, [weak, &ui] {
        if (auto c = weak.lock()) c->searchButton(ui.searchButton);
    });
    QObject::connect(ui.folderButton, &QPushButton::clicked, window, [weak, &ui] {
        if (auto c = weak.lock()) c->selectButton(ui.folderButton);
    });
    QObject::connect(ui.rateSlider, &QSlider::valueChanged, window, [weak, &ui] {
        if (auto c = weak.lock()) c->sliderRate(ui.rateSlider);
    });
    ui.clipTable->setShouldSelectRow([weak](QTableView* table, int row) {
        auto c = weak.lock();
        return c ? c->tableViewShouldSelectRow(table, row) : false;
    });
    QObject::connect(ui.clipTable, &ClipTableView::selectionDidChange, window, [weak, &ui] {
        if (auto c = weak.lock()) {
            Notification notification;
            notification.name = "NSTableViewSelectionDidChangeNotification";
            notification.sender = ui.clipTable;
            c->tableViewSelectionDidChange(notification);
        }
    });

    controller->viewDidLoad();

    window->show();
    window->activateWindow();
    ui.searchField->setFocus(Qt::OtherFocusReason);
    return loaded;
}

InterfaceObjects loadMainInterface() {
    MainInterface loaded = loadInterface();
    InterfaceObjects objects;
    objects.push_back(std::move(loaded.window));
    return objects;
}

}  // namespace cliploop
