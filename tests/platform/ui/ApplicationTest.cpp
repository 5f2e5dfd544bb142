// The application routine: what counts as a display, the main
// queue on the event loop, and the delegate's launch and quit callbacks.
#include <QGuiApplication>
#include <QTimer>

#include "support/UiFixture.h"

namespace cliploop::uitest {
namespace {

// Sets or clears environment variables for one scope.
struct Environment {
    std::map<std::string, std::optional<std::string>> saved;
    void set(const char* name, const char* value) {
        if (const char* old = getenv(name); !saved.count(name))
            saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~Environment() {
        for (auto& [name, value] : saved)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }
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
    void applicationDidFinishLaunching(const Notification& n) override { count(launched, n); }
    void applicationDidChangeScreenParameters(const Notification& n) override {
        count(screensChanged, n);
    }
    void applicationWillTerminate(const Notification& n) override { count(terminating, n); }
    void count(int& counter, const Notification& n) {
        ++counter;
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

    std::shared_ptr<CountingDelegate> delegate_;
};

TEST_F(ApplicationCallbacks, LaunchOnceAndQuitReachTheDelegate) {
    EXPECT_TRUE(eventually([&] { return delegate_->launched == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(delegate_->launched, 1);
    EXPECT_EQ(delegate_->names.front(), "NSApplicationDidFinishLaunchingNotification");

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
