// The application routine: what counts as a display, the main
// queue on the event loop, and the delegate's three callbacks.
#include <qpa/qplatformnativeinterface.h>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "support/UiFixture.h"

namespace cliploop::uitest {
namespace {

// Sets or clears environment variables for one scope.
class Environment {
  public:
    void set(const char* name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~Environment() {
        for (auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }

  private:
    std::map<std::string, std::optional<std::string>> saved_;
};

TEST(ApplicationMain, ADisplayIsAnyOfTheWaysQtCanBeGivenOne) {
    Environment env;
    env.set("QT_QPA_PLATFORM", nullptr);
    env.set("DISPLAY", nullptr);
    env.set("WAYLAND_DISPLAY", nullptr);
    char name[] = "cliploop", platform[] = "-platform", offscreen[] = "offscreen";
    char* withPlatform[] = {name, platform, offscreen, nullptr};
    EXPECT_TRUE(application::displayAvailable(3, withPlatform));
    char* plain[] = {name, nullptr};
    env.set("DISPLAY", ":0");
    EXPECT_TRUE(application::displayAvailable(1, plain));
    env.set("DISPLAY", "");  // set but empty is no display
    EXPECT_FALSE(application::displayAvailable(1, plain));
    env.set("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_TRUE(application::displayAvailable(1, plain));
    env.set("WAYLAND_DISPLAY", nullptr);
    env.set("QT_QPA_PLATFORM", "offscreen");
    EXPECT_TRUE(application::displayAvailable(1, plain));
}

class CountingDelegate : public ApplicationDelegate {
  public:
    void applicationDidFinishLaunching(const Notification& n) override {
        launched++;
        names.push_back(n.name);
    }
    void applicationDidChangeScreenParameters(const Notification& n) override {
        screensChanged++;
        names.push_back(n.name);
    }
    void applicationWillTerminate(const Notification& n) override {
        terminating++;
        names.push_back(n.name);
    }
    int launched = 0, screensChanged = 0, terminating = 0;
    std::vector<std::string> names;
};

class ApplicationCallbacks : public ::testing::Test {
  protected:
    void SetUp() override {
        application();
        static bool connected = [] {
            application::connectDelegateCallbacks(qApp);
            return true;
        }();
        (void)connected;
        delegate_ = std::make_shared<CountingDelegate>();
        application::setDelegate(delegate_);
    }
    void TearDown() override { application::setDelegate(nullptr); }

    void setScreens(const QJsonArray& screens) {
        QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
        auto* set = reinterpret_cast<void (*)(const QJsonObject&, QPlatformNativeInterface*)>(
            native->nativeResourceForIntegration("setConfiguration"));
        ASSERT_TRUE(set);
        set(screensConfiguration(screens), native);
    }

    std::shared_ptr<CountingDelegate> delegate_;
};

TEST_F(ApplicationCallbacks, LaunchFinishedComesOnceWhenTheLoopRuns) {
    EXPECT_TRUE(eventually([&] { return delegate_->launched == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(delegate_->launched, 1);
    EXPECT_EQ(delegate_->names.front(), "NSApplicationDidFinishLaunchingNotification");
}

TEST_F(ApplicationCallbacks, DisplayChangesAreReported) {
    QJsonArray screens = threeScreens();
    const QJsonArray all = screens;

    screens.removeAt(2);
    setScreens(screens);  // removed
    EXPECT_GE(delegate_->screensChanged, 1);
    int before = delegate_->screensChanged;
    setScreens(all);  // added
    EXPECT_GT(delegate_->screensChanged, before);
    before = delegate_->screensChanged;
    // The offscreen platform keeps a known screen's geometry; a window
    // system reports the change this way.
    QScreen* screen = QGuiApplication::screens().at(1);
    emit screen->geometryChanged(QRect(1920, 0, 1600, 1024));
    EXPECT_GT(delegate_->screensChanged, before);
    EXPECT_EQ(delegate_->names.back(), "NSApplicationDidChangeScreenParametersNotification");
    setScreens(all);
}

TEST_F(ApplicationCallbacks, AboutToQuitTellsTheDelegateOnce) {
    QTimer::singleShot(0, qApp, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    EXPECT_EQ(delegate_->terminating, 1);
    EXPECT_EQ(delegate_->names.back(), "NSApplicationWillTerminateNotification");
}

TEST(ApplicationMainQueue, WorkQueuedFromAnyThreadRunsOnTheEventLoopsThread) {
    application();
    static std::shared_ptr<void> installed = application::installMainQueue(qApp);
    std::atomic<bool> ran{false};
    std::atomic<bool> onMain{false};
    std::thread([&] {
        dispatch::mainAsync([&] {
            onMain = dispatch::isMainThread();
            ran = true;
        });
    }).join();
    // Only the event loop runs here; nobody drains the queue by hand.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!ran && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(onMain);
}

}  // namespace
}  // namespace cliploop::uitest
