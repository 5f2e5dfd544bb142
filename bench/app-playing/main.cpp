// app-playing: the application playing a 1080p30 clip in both views while
// publishing every frame, against the media engine's real-time cost for the
// same clip (cliploop-play, which loops it and publishes as the application
// does, but draws nothing), measured in the same run.
//
//   BENCH app-playing.engine_cpu_percent   cliploop-play, % of one core
//   BENCH app-playing.app_cpu_percent      the window playing it, % of one core
//   BENCH app-playing.ratio_to_engine      app / engine (target at most 1.5)
//   BENCH app-playing.frames_painted_per_second   per view
//
// APP_PLAYING_SECONDS shortens the 15 s measurements. The window runs on the
// platform of QT_QPA_PLATFORM (offscreen unless set).
#include <QApplication>
#include <QTimer>

#include "../media-common/MediaBench.h"
#include "app/AppDelegate.h"
#include "app/InterfaceLoader.h"
#include "controller/ViewController.h"
#include "foundation/Dispatch.h"
#include "ui/Application.h"

using namespace cliploop::bench;

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string build = std::getenv("BENCH_BUILD") ? std::getenv("BENCH_BUILD") : "build";
    const char* secondsText = std::getenv("APP_PLAYING_SECONDS");
    const double seconds = secondsText && *secondsText ? std::atof(secondsText) : 15.0;

    char dir[] = "/tmp/cliploop-bench-playing-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    setenv("XDG_RUNTIME_DIR", dir, 1);
    const std::string clip = std::string(dir) + "/clip-1080p30.mp4";
    makeClip(clip, "testsrc2=size=1920x1080:rate=30:duration=10",
             {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "30"});

    // The engine alone, publishing as the application does.
    const ProcessCost engineRun = run({build + "/bin/cliploop-play", "--seconds",
                                       std::to_string(seconds), "--publish", "BenchEngine", clip});
    if (engineRun.status != 0) {
        std::fprintf(stderr, "app-playing: cliploop-play failed\n");
        return 1;
    }

    // The window, both views showing the clip.
    QApplication app(argc, argv);
    const std::shared_ptr<void> mainQueue = cliploop::application::installMainQueue(&app);
    cliploop::application::connectDelegateCallbacks(&app);
    cliploop::MainInterface loaded = cliploop::loadInterface();
    loaded.window->resize(1600, 1000);
    loaded.window->show();
    loaded.controller->selectVideoWithLoop(cliploop::FileUrl::fromPath(clip));
    // The event loop runs as in the program, a while to warm up, then measured.
    const auto runFor = [&](double span) {
        QTimer::singleShot(int(span * 1000), &app, [] { QCoreApplication::exit(0); });
        app.exec();
    };
    runFor(2);

    const double cpuBefore = processCpuSeconds();
    const quint64 painted0 = loaded.controller->playerView2->paintedFrames();
    const auto start = std::chrono::steady_clock::now();
    runFor(seconds);
    const double cpu = processCpuSeconds() - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double painted = double(loaded.controller->playerView2->paintedFrames() - painted0);

    const double engine = 100.0 * engineRun.cpuSeconds / engineRun.wallSeconds;
    const double window = 100.0 * cpu / wall;
    figure("app-playing.engine_cpu_percent", engine);
    figure("app-playing.app_cpu_percent", window);
    figure("app-playing.ratio_to_engine", engine > 0 ? window / engine : 0.0);
    figure("app-playing.frames_painted_per_second", painted / wall);
    std::filesystem::remove_all(dir);
    // As the program does: the controller, its pump and player live to the end.
    std::_Exit(0);
}
