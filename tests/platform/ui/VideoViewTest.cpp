// Full screen refused without a screen, and left safely when its old window went away meanwhile.
#include <QHBoxLayout>
#include <QPointer>

#include "support/UiFixture.h"

namespace cliploop::uitest {
namespace {

TEST(VideoView, NeedsAScreenAndOutlivesTheWindowItCameFrom) {
    application();
    auto window = std::make_unique<QWidget>();
    QPointer<VideoView> view = new VideoView;
    (new QHBoxLayout(window.get()))->addWidget(view);
    window->show();
    QScreen* third = QGuiApplication::screens().at(2);
    EXPECT_FALSE(view->enterFullScreenMode(nullptr, {}));
    ASSERT_TRUE(view->enterFullScreenMode(third, {{"NSFullScreenModeAllScreens", false}}));
    EXPECT_TRUE(fills(*view, third));
    window.reset();  // the view is not its child now
    ASSERT_FALSE(view.isNull());
    view->exitFullScreenModeWithOptions(nullptr);
    view->exitFullScreenModeWithOptions(nullptr);  // not full screen: nothing
    EXPECT_TRUE(!view->isInFullScreenMode() && view->isWindow());
    delete view.data();
}

}  // namespace
}  // namespace cliploop::uitest
