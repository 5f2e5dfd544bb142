// The window as the interface description lays it out and the loader
// connects it: what a performer finds in front of them.
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
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
    EXPECT_EQ(slider->value(), 100);
    EXPECT_EQ(controller_->rateField->text(), "1.00x");
    slider->setFocus();
    QTest::keyClick(slider, Qt::Key_Right);
    EXPECT_EQ(controller_->rateField->text(), "1.01x");
    QTest::keyClick(slider, Qt::Key_End);
    EXPECT_EQ(controller_->rateField->text(), "4.00x");
}

TEST_F(InterfaceLoaderTest, TheControlsAreReachableAndTheOutputMenuIsInTheMenuBar) {
    auto* search = window_->findChild<QLineEdit*>("searchField");
    EXPECT_EQ(window_->focusWidget(), search);
    EXPECT_FALSE(window_->findChild<QPushButton*>("searchButton")->shortcut().isEmpty());
    EXPECT_FALSE(window_->findChild<QPushButton*>("folderButton")->shortcut().isEmpty());

    EXPECT_TRUE(window_->menuBar()->actions().contains(window_->screenMenu()->menuAction()));
    EXPECT_EQ(window_->screenMenu()->title(), "&Output");
    EXPECT_EQ(loaded_.delegate->menuFullscreen, window_->screenMenu());
    EXPECT_EQ(controller_->playerView2->fullScreenMenu(), window_->screenMenu());
    // Only the first view is the preview pane.
    EXPECT_NE(qobject_cast<PlayerView*>(controller_->playerView.data()), nullptr);
    EXPECT_EQ(qobject_cast<PlayerView*>(controller_->playerView2.data()), nullptr);
}

}  // namespace
}  // namespace cliploop::apptest
