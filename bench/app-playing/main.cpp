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
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/AppDelegate.h"
#include "app/InterfaceLoader.h"
#include "controller/ViewController.h"
#include "foundation/Dispatch.h"
#include "ui/Application.h"

namespace {

double cpuOf(const rusage& usage) {
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec * 1e-6;
}

int runQuietly(const std::vector<std::string>& argv, double* cpu, double* wall) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
        execvp(args[0], args.data());
        _exit(127);
    }
    rusage usage{};
    int status = -1;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return -1;
    if (cpu) *cpu = cpuOf(usage);
    if (wall)
        *wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string build = std::getenv("BENCH_BUILD") ? std::getenv("BENCH_BUILD") : "build";
    const char* secondsText = std::getenv("APP_PLAYING_SECONDS");
    const double seconds = secondsText && *secondsText ? std::atof(secondsText) : 15.0;

    char dir[] = "/tmp/cliploop-bench-playing-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    setenv("XDG_RUNTIME_DIR", dir, 1);
    const std::string clip = std::string(dir) + "/clip-1080p30.mp4";
    if (runQuietly({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=1920x1080:rate=30:duration=10", "-c:v", "libx264", "-preset",
                    "veryfast", "-pix_fmt", "yuv420p", "-g", "30", clip},
                   nullptr, nullptr) != 0) {
        std::fprintf(stderr, "app-playing: could not make the clip\n");
        return 1;
    }

    // The engine alone, publishing as the application does.
    double engineCpu = 0, engineWall = 0;
    const std::string secondsArg = std::to_string(seconds);
    if (runQuietly({build + "/bin/cliploop-play", "--seconds", secondsArg, "--publish",
                    "BenchEngine", clip},
                   &engineCpu, &engineWall) != 0) {
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

    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const quint64 painted0 = loaded.controller->playerView2->paintedFrames();
    const auto start = std::chrono::steady_clock::now();
    runFor(seconds);
    getrusage(RUSAGE_SELF, &after);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double painted = double(loaded.controller->playerView2->paintedFrames() - painted0);

    const double engine = 100.0 * engineCpu / engineWall;
    const double window = 100.0 * (cpuOf(after) - cpuOf(before)) / wall;
    std::printf("BENCH app-playing.engine_cpu_percent %.3f\n", engine);
    std::printf("BENCH app-playing.app_cpu_percent %.3f\n", window);
    std::printf("BENCH app-playing.ratio_to_engine %.3f\n", engine > 0 ? window / engine : 0.0);
    std::printf("BENCH app-playing.frames_painted_per_second %.3f\n", painted / wall);
    std::fflush(stdout);
    std::filesystem::remove_all(dir);
    // As the program does: the controller, its pump and player live to the end.
    std::_Exit(0);
}
