// ctest-labels: concurrency
// The application routine quit the ways a user quits, with a clip playing: applicationMain returns
// 0, the frame server's entry is gone, the controller is destroyed (nothing holds it in a cycle),
// and the process exits normally with no thread left, the dropped items' decode threads joined on
// the way. Each run is a child process of its own; in the sanitizer build LeakSanitizer checks it
// at exit.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "../controller/support/AppFixture.h"

namespace cliploop::apptest {
namespace {

enum class Quit { Action, WindowClosed, Sigterm };

// What the loader below needs, set before the routine runs (it takes a plain function).
Quit quitBy = Quit::Action;
FileUrl clip;
std::weak_ptr<ViewController> loadedController;

// The real interface, told to play `clip` and to quit once the clip's first item is ready.
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
        switch (quitBy) {
            case Quit::Action:
                if (auto* quit = window->findChild<QAction*>("quitAction")) quit->trigger();
                break;
            case Quit::WindowClosed:
                window->close();
                break;
            case Quit::Sigterm:
                raise(SIGTERM);
                break;
        }
    });
    poll->start(10);
    InterfaceObjects objects;
    objects.push_back(std::move(loaded.window));
    return objects;
}

long threadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return std::distance(begin(tasks), end(tasks));
}

// Runs the routine and exits: 0 when all went as it should, else a code naming what did not.
[[noreturn]] void runAndExit(Quit how, const std::string& runtime) {
    // Registered before the engine's reaper exists, so it runs after the reaper has gone: by
    // then every thread the run started (the items' decode threads among them) has been joined.
    // Those there before it may stay: ThreadSanitizer starts a helper of its own with the
    // process's first thread, so one is started (and joined) before counting.
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
    const bool withdrawn =
        std::filesystem::is_empty(std::filesystem::path(runtime) / "cliploop", error);
    const int outcome = status != 0 ? 2 : !withdrawn ? 3 : !loadedController.expired() ? 4 : 0;
    std::filesystem::remove_all(runtime, error);
    // Said only here, after the routine returned: a process that ends inside it does not say it.
    if (outcome == 0) std::fprintf(stderr, "returned from the application routine\n");
    std::exit(outcome);
}

TEST(QuitDeathTest, TheQuitActionAClosedWindowAndSigtermEndTheProgramCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    clip = makeClip(320, 240, 2);
    ASSERT_FALSE(clip.path().empty());
    for (const Quit how : {Quit::Action, Quit::WindowClosed, Quit::Sigterm}) {
        SCOPED_TRACE(static_cast<int>(how));
        QTemporaryDir runtime;
        ASSERT_TRUE(runtime.isValid());
        // 2: the routine's status; 3: a server entry left; 4: the controller still alive; 5: a
        // thread still running at exit.
        EXPECT_EXIT(runAndExit(how, runtime.path().toStdString()), ::testing::ExitedWithCode(0),
                    "returned from the application routine");
    }
}

}  // namespace
}  // namespace cliploop::apptest
