#pragma once
// Shared by the media benchmarks: clips made with the ffmpeg command, child
// processes measured in wall and CPU time, and a clip played by the
// application's own loop and read by its own pump.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "foundation/AtomicSharedPtr.h"
#include "foundation/Dispatch.h"
#include "foundation/FileUrl.h"
#include "foundation/HostClock.h"
#include "media/ClipLoop.h"
#include "media/MediaEngine.h"
#include "pump/FramePump.h"

namespace cliploop::bench {

inline double envNumber(const char* name, double fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atof(value) : fallback;
}

inline void figure(const std::string& name, double value) {
    std::printf("BENCH %s %.3f\n", name.c_str(), value);
    std::fflush(stdout);
}

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "cliploop-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string path(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

struct ProcessCost {
    int status = -1;
    double wallSeconds = 0;
    double cpuSeconds = 0;  // user + system of the child
};

// Runs a command (no shell), its output discarded.
inline ProcessCost run(const std::vector<std::string>& argv) {
    ProcessCost cost;
    const double start = hostTime();
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
    int status = 0;
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        cost.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        cost.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 +
                          usage.ru_stime.tv_sec + usage.ru_stime.tv_usec * 1e-6;
    }
    cost.wallSeconds = hostTime() - start;
    return cost;
}

// Makes a clip with the ffmpeg command from a lavfi source; exits on failure.
inline void makeClip(const std::string& path, const std::string& source,
                     const std::vector<std::string>& encoding) {
    std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", source};
    argv.insert(argv.end(), encoding.begin(), encoding.end());
    argv.push_back(path);
    if (run(argv).status != 0) {
        std::fprintf(stderr, "could not make %s\n", path.c_str());
        std::exit(1);
    }
}

inline double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec * 1e-6;
}

inline long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

inline double residentMegabytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * sysconf(_SC_PAGESIZE) / (1024.0 * 1024.0);
}

// A clip looped by the application's clip loop, each end turning it, and
// the application's frame pump over the loop's output slot. Ticks with no
// target only take frames: nothing is bound or published.
class PlayingClip {
  public:
    // Chosen and started as the application does: the second item opens once
    // the first has its first frame, then the clip starts (or the benchmark
    // ends, for a clip that cannot play).
    explicit PlayingClip(const FileUrl& url, float rate = 1.0f) {
        loop_.observeEnds();
        dispatch::markMainThread();
        startHost_ = hostTime();
        std::optional<PreparedClip> chosen;
        loop_.choose(url, [&chosen](const PreparedClip& clip) { chosen = clip; });
        if (!dispatch::runMainQueueUntil([&] { return chosen.has_value(); },
                                         std::chrono::seconds(60)) ||
            chosen->failed()) {
            std::fprintf(stderr, "bench: cannot play %s\n", url.path().c_str());
            std::exit(1);
        }
        loop_.start(*chosen, rate);
    }
    ~PlayingClip() { player_->pause(); }

    ClipLoop& loop() { return loop_; }
    QueuePlayer& player() { return *player_; }
    FramePump& pump() { return pump_; }
    const FramePump::OutputSlot& output() const { return output_; }
    double startHost() const { return startHost_; }
    PixelBufferRef tick(double host) { return pump_.tick({}, host); }

  private:
    std::shared_ptr<QueuePlayer> player_ = QueuePlayer::create();
    FramePump::OutputSlot output_;
    ClipLoop loop_{player_, output_};
    FramePump pump_{output_};
    double startHost_ = 0;
};

}  // namespace cliploop::bench
