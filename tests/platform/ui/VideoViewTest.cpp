// Back in its box layout after full screen, also when that window went away meanwhile.
#include <QHBoxLayout>
#include <QPointer>

#include "support/UiFixture.h"

namespace cliploop::uitest {
namespace {

TEST(VideoView, GoesFullScreenOnTheChosenScreenAndComesBackToItsPlace) {
    application();
    auto window = std::make_unique<QWidget>();
    auto* layout = new QHBoxLayout(window.get());
    QPointer<VideoView> view = new VideoView;
    layout->addWidget(new QWidget, 1);
    layout->addWidget(view, 3, Qt::AlignTop);
    window->show();
    QScreen* third = QGuiApplication::screens().at(2);
    EXPECT_FALSE(view->enterFullScreenMode(nullptr, {}));
    ASSERT_TRUE(view->enterFullScreenMode(third, {{"NSFullScreenModeAllScreens", false}}));
    EXPECT_TRUE(fills(*view, third));
    view->exitFullScreenModeWithOptions(nullptr);
    view->exitFullScreenModeWithOptions(nullptr);  // not full screen: nothing
    EXPECT_TRUE(layout->indexOf(view) == 1 && layout->stretch(1) == 3 &&
                layout->itemAt(1)->alignment() == Qt::AlignTop && view->isVisible());

    ASSERT_TRUE(view->enterFullScreenMode(third, {}));
    window.reset();  // the view is not its child now
    ASSERT_FALSE(view.isNull());
    view->exitFullScreenModeWithOptions(nullptr);
    EXPECT_TRUE(!view->isInFullScreenMode() && view->isWindow());
    delete view.data();
}

}  // namespace
}  // namespace cliploop::uitest
