// ctest-labels: concurrency
// The application routine quit the ways a user quits, with a clip playing, each in a child process.
#include <signal.h>
#include <unistd.h>

#include <QTimer>
#include <filesystem>
#include <thread>

#include "../controller/support/AppFixture.h"

namespace cliploop::apptest {
namespace {

constexpr int kQuitAction = -1, kCloseWindow = -2;  // else the signal raised

// Set before the routine runs: its loader is a plain function.
int quitBy = kQuitAction;
FileUrl clip;
std::weak_ptr<ViewController> loadedController;

InterfaceObjects loadPlayAndQuit() {
    MainInterface loaded = loadInterface();
    loadedController = loaded.controller;
    loaded.controller->selectVideoWithLoop(clip);
    MainWindow* window = loaded.window.get();
    auto* poll = new QTimer(window);
    QObject::connect(poll, &QTimer::timeout, window, [window, poll] {
        auto controller = loadedController.lock();
        const auto item = controller ? controller->player->currentItem() : nullptr;
        if (!item || !item->isReady()) return;
        poll->stop();
        if (quitBy == kCloseWindow)
            window->close();
        else if (quitBy != kQuitAction)
            raise(quitBy);
        else if (auto* quit = window->findChild<QAction*>("quitAction"))
            quit->trigger();
    });
    poll->start(10);
    InterfaceObjects objects;
    objects.push_back(std::move(loaded.window));
    return objects;
}

long threadCount() {
    return std::ranges::distance(std::filesystem::directory_iterator("/proc/self/task"));
}

// Exits 0, else 2 the routine's status, 3 a server entry left, 4 the controller alive, 5 a thread
// left. The first thread lets ThreadSanitizer's helper exist before counting.
[[noreturn]] void runAndExit(int how, const std::string& runtime) {
    std::thread([] {}).join();
    static const long before = threadCount();
    std::atexit([] {
        if (threadCount() > before) _exit(5);
    });
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    quitBy = how;
    char name[] = "cliploop";
    char* argv[] = {name, nullptr};
    const int status = applicationMain(1, argv, &loadPlayAndQuit);
    std::error_code error;
    const bool withdrawn = std::filesystem::is_empty(runtime + "/cliploop", error);
    const int outcome = status != 0 ? 2 : !withdrawn ? 3 : !loadedController.expired() ? 4 : 0;
    std::filesystem::remove_all(runtime, error);
    if (outcome == 0) std::fprintf(stderr, "returned from the application routine\n");
    std::exit(outcome);
}

TEST(QuitDeathTest, TheQuitActionAClosedWindowSigintAndSigtermEndTheProgramCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_FALSE((clip = makeClip(320, 240, 2)).path().empty());
    for (const int how : {kQuitAction, kCloseWindow, SIGINT, SIGTERM}) {
        SCOPED_TRACE(how);
        QTemporaryDir runtime;
        EXPECT_EXIT(runAndExit(how, runtime.path().toStdString()), ::testing::ExitedWithCode(0),
                    "returned from the application routine");
    }
}

}  // namespace
}  // namespace cliploop::apptest
