// app-idle: the CPU the whole cliploop process uses with no clip, under Xvfb,
// against an empty Qt window's in the same run.
//
//   BENCH app-idle.cpu_percent                 cliploop, % of one core
//   BENCH app-idle.empty_window_cpu_percent    an empty Qt window, % of one core
//   BENCH app-idle.excess_over_empty_window_percent   the difference
//
// APP_IDLE_SECONDS shortens the 20 s measurement. Needs Xvfb; without it the
// benchmark says so in one line and measures nothing.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QApplication>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/Measure.h"

namespace {

using cliploop::bench::cpuSeconds;

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    const pid_t pid = fork();
    if (pid == 0) {
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
        if (!std::freopen("/dev/null", "w", stderr)) _exit(127);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// % of one core that `argv` uses over `seconds`, after a warm-up.
double measure(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               double seconds) {
    const pid_t pid = spawn(argv, env);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != 0) {
        std::fprintf(stderr, "app-idle: %s ended early\n", argv[0].c_str());
        return -1;
    }
    const double before = cpuSeconds(pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double after = cpuSeconds(pid);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop(pid);
    return 100.0 * (after - before) / wall;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--empty-window") {
        QApplication app(argc, argv);
        QWidget window;
        window.resize(1280, 820);
        window.show();
        return app.exec();
    }

    const std::string build = std::getenv("BENCH_BUILD") ? std::getenv("BENCH_BUILD") : "build";
    const std::string cliploop = build + "/bin/cliploop";
    const char* secondsText = std::getenv("APP_IDLE_SECONDS");
    const double seconds = secondsText && *secondsText ? std::atof(secondsText) : 20.0;

    // A display of our own, away from any the user runs.
    const int display = 90 + int(getpid() % 9);
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
    const pid_t xvfb = spawn({"Xvfb", ":" + std::to_string(display), "-screen", "0", "1920x1080x24",
                              "-nolisten", "tcp", "-noreset"},
                             {});
    bool up = false;
    for (int i = 0; i < 100 && !up; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        up = std::filesystem::exists(socket) && waitpid(xvfb, nullptr, WNOHANG) == 0;
    }
    if (!up) {
        stop(xvfb);
        std::printf("app-idle: skipped: Xvfb could not start on :%d\n", display);
        return 0;
    }

    char runtime[] = "/tmp/cliploop-bench-runtime-XXXXXX";
    if (!mkdtemp(runtime)) return 1;
    const std::vector<std::string> env = {"DISPLAY=:" + std::to_string(display),
                                          "QT_QPA_PLATFORM=xcb",
                                          std::string("XDG_RUNTIME_DIR=") + runtime};
    const double app = measure({cliploop}, env, seconds);
    const double empty = measure({argv[0], "--empty-window"}, env, seconds);
    stop(xvfb);
    std::filesystem::remove_all(runtime);
    if (app < 0 || empty < 0) return 1;

    std::printf("BENCH app-idle.cpu_percent %.3f\n", app);
    std::printf("BENCH app-idle.empty_window_cpu_percent %.3f\n", empty);
    std::printf("BENCH app-idle.excess_over_empty_window_percent %.3f\n", app - empty);
    return 0;
}
