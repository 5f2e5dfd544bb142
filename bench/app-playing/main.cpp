// app-playing: the application playing a 1080p30 clip while publishing every
// frame, against the media engine's real-time cost for the same clip
// (cliploop-play, which loops it and publishes as the application does, but
// draws nothing). Two cases of the application: both views in the window, and
// the output full screen on a 1920x1080 screen with the preview in the window.
//
// One run alternates the engine alone, the window and the full-screen output,
// each in a process of its own, for several rounds; each round gives a ratio
// against the engine's cost of the same round, so load that comes and goes
// on the machine touches both sides alike. The ratios are the median of the
// rounds, with their lowest and highest as the spread.
//
//   BENCH app-playing.engine_cpu_percent   cliploop-play, % of one core (median)
//   BENCH app-playing.app_cpu_percent      the window playing it (median)
//   BENCH app-playing.ratio_to_engine      app / engine, median of the rounds
//   BENCH app-playing.ratio_to_engine_min, ..._max   the spread
//   BENCH app-playing.frames_painted_per_second   by the output view (median)
//   BENCH app-playing.fullscreen_app_cpu_percent   output full screen (median)
//   BENCH app-playing.fullscreen_ratio_to_engine   and its _min and _max
//   BENCH app-playing.fullscreen_frames_painted_per_second
//
// APP_PLAYING_SECONDS shortens the 8 s measurements; APP_PLAYING_ROUNDS
// changes the number of rounds (5). The window runs on the
// platform of QT_QPA_PLATFORM (offscreen unless set; offscreen gets one
// 1920x1080 screen).
#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <fstream>

#include "../media-common/MediaBench.h"
#include "app/AppDelegate.h"
#include "app/InterfaceLoader.h"
#include "controller/ViewController.h"
#include "foundation/Dispatch.h"
#include "ui/Application.h"
#include "ui/VideoView.h"

using namespace cliploop::bench;

namespace {

constexpr const char* kRoundFlag = "--window-round";

// What one process of the application measured of itself after warming up.
struct WindowRound {
    bool ok = false;
    double cpuPercent = 0;
    double paintedPerSecond = 0;
};

// Child side: plays `clip` in the window (the output full screen when asked),
// warms up, measures its own CPU over `seconds` and writes it to `resultPath`.
int windowRound(int argc, char** argv) {
    if (argc != 6) return 2;
    const std::string clip = argv[2];
    const double seconds = std::atof(argv[3]);
    const bool fullScreen = std::string(argv[4]) == "fullscreen";
    const std::string resultPath = argv[5];

    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    const std::shared_ptr<void> mainQueue = cliploop::application::installMainQueue(&app);
    cliploop::application::connectDelegateCallbacks(&app);
    cliploop::MainInterface loaded = cliploop::loadInterface();
    loaded.window->resize(1600, 1000);
    loaded.window->show();
    loaded.controller->selectVideoWithLoop(cliploop::FileUrl::fromPath(clip));
    cliploop::VideoView* output = loaded.controller->playerView2.data();
    // The event loop runs as in the program, a while to warm up, then measured.
    // A loop of its own for each stretch: leaving the application's loop
    // would quit the application, which tears the controller down.
    const auto runFor = [&](double span) {
        QEventLoop stretch;
        QTimer::singleShot(int(span * 1000), &stretch, &QEventLoop::quit);
        stretch.exec();
    };
    // The screen menu is filled once launching has finished, in the loop.
    runFor(0.5);
    if (fullScreen) {
        // As a user does it: the screen menu's first screen.
        QMenu* menu = loaded.window->screenMenu();
        if (!menu || menu->actions().isEmpty()) std::_Exit(3);
        menu->actions().front()->trigger();
        QScreen* screen = QGuiApplication::primaryScreen();
        if (!output->isInFullScreenMode() || output->geometry() != screen->geometry())
            std::_Exit(3);
    }
    runFor(2);

    const double cpuBefore = processCpuSeconds();
    const quint64 painted0 = output->paintedFrames();
    const auto start = std::chrono::steady_clock::now();
    runFor(seconds);
    const double cpu = processCpuSeconds() - cpuBefore;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double painted = double(output->paintedFrames() - painted0);
    {
        std::ofstream result(resultPath);
        result << 100.0 * cpu / wall << ' ' << painted / wall << '\n';
    }
    // As the program does: the controller, its pump and player live to the end.
    std::_Exit(0);
}

WindowRound measureWindow(const std::string& clip, double seconds, bool fullScreen,
                          const std::string& resultPath) {
    std::filesystem::remove(resultPath);
    const ProcessCost cost = run({"/proc/self/exe", kRoundFlag, clip, std::to_string(seconds),
                                  fullScreen ? "fullscreen" : "window", resultPath});
    WindowRound round;
    std::ifstream result(resultPath);
    round.ok = cost.status == 0 && (result >> round.cpuPercent >> round.paintedPerSecond) &&
               round.cpuPercent > 0;
    return round;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

void spread(const std::string& name, const std::vector<double>& values) {
    figure(name, median(values));
    figure(name + "_min", *std::min_element(values.begin(), values.end()));
    figure(name + "_max", *std::max_element(values.begin(), values.end()));
}

// Offscreen gets one 1920x1080 screen: the full-screen case needs a screen of
// that size, and the window case runs on the same one.
void useScreenOf1080p(const std::string& dir) {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && std::string(platform) != "offscreen") return;
    const std::string config = dir + "/screens.json";
    std::ofstream(config)
        << R"({"windowFrameMargins":false,"screens":[{"name":"A","x":0,"y":0,)"
        << R"("width":1920,"height":1080,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1.0}]})";
    setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == kRoundFlag) return windowRound(argc, argv);

    const std::string build = std::getenv("BENCH_BUILD") ? std::getenv("BENCH_BUILD") : "build";
    const double seconds = envNumber("APP_PLAYING_SECONDS", 8.0);
    const int rounds = std::max(1, int(envNumber("APP_PLAYING_ROUNDS", 5)));

    char dir[] = "/tmp/cliploop-bench-playing-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    setenv("XDG_RUNTIME_DIR", dir, 1);
    useScreenOf1080p(dir);
    const std::string clip = std::string(dir) + "/clip-1080p30.mp4";
    const std::string resultPath = std::string(dir) + "/round.txt";
    makeClip(clip, "testsrc2=size=1920x1080:rate=30:duration=10",
             {"-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-g", "30"});

    std::vector<double> engine, window, fullScreen, painted, fullScreenPainted;
    std::vector<double> ratio, fullScreenRatio;
    for (int i = 0; i < rounds; ++i) {
        // The engine alone, publishing as the application does.
        const ProcessCost engineRun =
            run({build + "/bin/cliploop-play", "--seconds", std::to_string(seconds), "--publish",
                 "BenchEngine", clip});
        if (engineRun.status != 0 || engineRun.cpuSeconds <= 0) {
            std::fprintf(stderr, "app-playing: cliploop-play failed\n");
            std::filesystem::remove_all(dir);
            return 1;
        }
        const WindowRound inWindow = measureWindow(clip, seconds, false, resultPath);
        const WindowRound outputFull = measureWindow(clip, seconds, true, resultPath);
        if (!inWindow.ok || !outputFull.ok) {
            std::fprintf(stderr, "app-playing: the %s round failed\n",
                         inWindow.ok ? "full-screen" : "window");
            std::filesystem::remove_all(dir);
            return 1;
        }
        const double enginePercent = 100.0 * engineRun.cpuSeconds / engineRun.wallSeconds;
        engine.push_back(enginePercent);
        window.push_back(inWindow.cpuPercent);
        fullScreen.push_back(outputFull.cpuPercent);
        painted.push_back(inWindow.paintedPerSecond);
        fullScreenPainted.push_back(outputFull.paintedPerSecond);
        ratio.push_back(inWindow.cpuPercent / enginePercent);
        fullScreenRatio.push_back(outputFull.cpuPercent / enginePercent);
        std::fprintf(stderr,
                     "app-playing: round %d: engine %.1f%%, window %.1f%%, full screen %.1f%%\n",
                     i + 1, enginePercent, inWindow.cpuPercent, outputFull.cpuPercent);
    }

    figure("app-playing.engine_cpu_percent", median(engine));
    figure("app-playing.app_cpu_percent", median(window));
    spread("app-playing.ratio_to_engine", ratio);
    figure("app-playing.frames_painted_per_second", median(painted));
    figure("app-playing.fullscreen_app_cpu_percent", median(fullScreen));
    spread("app-playing.fullscreen_ratio_to_engine", fullScreenRatio);
    figure("app-playing.fullscreen_frames_painted_per_second", median(fullScreenPainted));
    std::filesystem::remove_all(dir);
    return 0;
}
