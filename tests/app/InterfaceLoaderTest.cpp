// The window as the interface description lays it out and the loader
// connects it: what a performer finds in front of them.
#include <QHeaderView>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QSplitter>
#include <QTest>

#include "../controller/support/AppFixture.h"
#include "views/PlayerView.h"

namespace cliploop::apptest {
namespace {

using InterfaceLoaderTest = InterfaceTest;

TEST_F(InterfaceLoaderTest, TheRateSliderRunsFromZeroToFourInHundredthsFromOne) {
    auto* slider = window_->findChild<QSlider*>("rateSlider");
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->minimum(), 0);
    EXPECT_EQ(slider->maximum(), 400);
    EXPECT_EQ(slider->singleStep(), 1);
    EXPECT_EQ(slider->value(), 100);
    EXPECT_DOUBLE_EQ(slider->property("valueScale").toDouble(), 0.01);
    EXPECT_EQ(controller_->rateField->text(), "1.00x");
    // The keyboard moves it a hundredth at a time.
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(controller_->rateField->text(), "1.01x");
    QTest::keyClick(slider, Qt::Key_End);
    EXPECT_EQ(controller_->rateField->text(), "4.00x");
}

TEST_F(InterfaceLoaderTest, TheSearchFieldHasTheFocusAndTabReachesEveryControl) {
    auto* search = window_->findChild<QLineEdit*>("searchField");
    EXPECT_EQ(window_->focusWidget(), search);
    QStringList order;
    QWidget* w = search;
    for (int i = 0; i < 5; ++i, w = w->nextInFocusChain()) {
        while (w->focusPolicy() == Qt::NoFocus || !w->isVisibleTo(window_))
            w = w->nextInFocusChain();
        order << w->objectName();
    }
    EXPECT_EQ(order, (QStringList{"searchField", "searchButton", "folderButton", "clipTable",
                                  "rateSlider"}));
    EXPECT_FALSE(window_->findChild<QPushButton*>("searchButton")->shortcut().isEmpty());
    EXPECT_FALSE(window_->findChild<QPushButton*>("folderButton")->shortcut().isEmpty());
}

TEST_F(InterfaceLoaderTest, TheTableSortsByItsColumns) {
    auto* table = window_->findChild<QTableView*>("clipTable");
    EXPECT_TRUE(table->isSortingEnabled());
    EXPECT_EQ(table->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(table->model()->columnCount(), 3);
    // The rows keep the search's order until the user picks a column.
    EXPECT_EQ(table->horizontalHeader()->sortIndicatorSection(), -1);
}

TEST_F(InterfaceLoaderTest, TheFirstViewIsThePreviewPaneAndTheViewsTakeMostOfTheWindow) {
    EXPECT_NE(qobject_cast<PlayerView*>(controller_->playerView.data()), nullptr);
    EXPECT_EQ(qobject_cast<PlayerView*>(controller_->playerView2.data()), nullptr);
    window_->resize(1280, 820);
    window_->show();
    settle(std::chrono::milliseconds(50));
    const QSize view = controller_->playerView->size();
    const QSize table = window_->findChild<QTableView*>("clipTable")->size();
    EXPECT_GT(view.height(), table.height());
    EXPECT_GT(view.width(), 500);
    EXPECT_EQ(controller_->playerView->size(), controller_->playerView2->size());
}

TEST_F(InterfaceLoaderTest, TheMenuBarHoldsTheOutputMenu) {
    QStringList titles;
    for (QAction* menu : window_->menuBar()->actions()) titles << menu->text();
    EXPECT_TRUE(titles.contains("&Output")) << titles.join(", ").toStdString();
    EXPECT_EQ(window_->screenMenu()->title(), "&Output");
    EXPECT_EQ(loaded_.delegate->menuFullscreen, window_->screenMenu());
    EXPECT_EQ(controller_->playerView2->fullScreenMenu(), window_->screenMenu());
}

TEST_F(InterfaceLoaderTest, TheWindowsActionsReachTheController) {
    // The search field's Return and the search button start a search: the
    // busy indicator shows while the walk runs, the list empties.
    controller_->searchPath = FileUrl::fromPath(QDir::tempPath().toStdString());
    auto* search = window_->findChild<QLineEdit*>("searchField");
    search->setText("no-such-clip-name-anywhere");
    QTest::keyClick(search, Qt::Key_Return);
    // Shown at once; the walk's result comes back through the main queue.
    EXPECT_FALSE(controller_->circularIndicator->isHidden());
    EXPECT_TRUE(eventually([&] { return controller_->circularIndicator->isHidden(); }));
    window_->findChild<QPushButton*>("searchButton")->click();
    EXPECT_FALSE(controller_->circularIndicator->isHidden());
    EXPECT_TRUE(eventually([&] { return controller_->circularIndicator->isHidden(); }));
    EXPECT_EQ(controller_->arrayController->rowCount(), 0);
}

}  // namespace
}  // namespace cliploop::apptest
