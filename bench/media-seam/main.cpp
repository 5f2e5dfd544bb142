// The loop seam: a 2 s clip whose frames show their number, looped the way
// the application loops it. Every frame of every turn must be delivered once,
// in order, and the gap at a seam must match the clip's own spacing. A second
// run blocks the main thread for 100 ms around every seam.
#include <algorithm>
#include <thread>

#include "../media-common/MediaBench.h"

using namespace cliploop;
using namespace cliploop::bench;

namespace {

constexpr int kFps = 30;
constexpr int kFrames = 2 * kFps;

// The clip's frames show their number as eight black or white columns.
int frameNumber(const PixelBuffer& frame) {
    int number = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const int x = (2 * bit + 1) * frame.width() / 16;
        const uint8_t* p = frame.baseAddress() +
                           static_cast<size_t>(frame.height() / 4) * frame.bytesPerRow() + x * 4;
        number = number * 2 + (p[1] > 128 ? 1 : 0);
    }
    return number;
}

struct Taken {
    int turn;
    int number;
    double host;
};

struct Result {
    double largestSeamGap = 0;   // seconds
    double largestFrameGap = 0;  // within turns
    int framesLost = 0;          // never taken
    int framesOutOfOrder = 0;    // taken again, or after a later one
    int64_t framesLate = 0;      // the engine had them too late for the clock
};

Result loop(const std::string& path, int turns, bool blockMainAroundSeams) {
    ClipLooper looper(FileUrl::fromPath(path));
    std::vector<Taken> taken;
    std::atomic<bool> done = false;
    // A reader that polls every millisecond, so the gaps it sees are the
    // engine's, not a 16 ms tick's.
    std::thread reader([&] {
        while (!done) {
            const auto [output, turn] = looper.currentOutput();
            const double host = hostTime();
            if (auto frame = takeNewest(*output, host))
                taken.push_back({turn, frameNumber(*frame), host});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (looper.turns() < turns) {
        if (blockMainAroundSeams) {
            // Sleep through the next seam: 50 ms before it to 50 ms after.
            const auto item = looper.player().currentItem();
            const auto end = item ? item->endHostTime() : std::nullopt;
            if (end && *end - hostTime() < 0.05 && *end > hostTime()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
    reader.join();

    Result result;
    for (int turn = 0; turn < turns; ++turn) {
        std::vector<int> numbers;
        for (const auto& t : taken)
            if (t.turn == turn) numbers.push_back(t.number);
        if (std::getenv("BENCH_SEAM_VERBOSE")) {
            std::fprintf(stderr, "turn %d:", turn);
            for (int n : numbers) std::fprintf(stderr, " %d", n);
            std::fprintf(stderr, "\n");
        }
        std::vector<bool> seen(kFrames, false);
        for (size_t i = 0; i < numbers.size(); ++i) {
            if (numbers[i] >= 0 && numbers[i] < kFrames) seen[numbers[i]] = true;
            if (i > 0 && numbers[i] <= numbers[i - 1]) ++result.framesOutOfOrder;
        }
        result.framesLost += static_cast<int>(std::count(seen.begin(), seen.end(), false));
    }
    for (size_t i = 1; i < taken.size(); ++i) {
        if (taken[i].turn >= turns) break;
        const double gap = taken[i].host - taken[i - 1].host;
        if (taken[i].turn != taken[i - 1].turn)
            result.largestSeamGap = std::max(result.largestSeamGap, gap);
        else
            result.largestFrameGap = std::max(result.largestFrameGap, gap);
    }
    const ItemStats stats = looper.stats();
    result.framesLate = stats.skippedLate + stats.underruns;
    return result;
}

}  // namespace

int main() {
    const int turns = static_cast<int>(envNumber("BENCH_SEAM_LOOPS", 50));
    const int blockedTurns = static_cast<int>(envNumber("BENCH_SEAM_BLOCKED_LOOPS", 10));
    TempDir dir;
    const std::string path = dir.path("numbered.mp4");
    makeClip(path,
             "color=black:size=320x180:rate=30:duration=2,format=gray,"
             "geq=lum='if(lt(Y\\,H/2)\\,16+219*bitand(floor(N/pow(2\\,7-floor(X*8/W)))\\,1)\\,16)'",
             {"-c:v", "libx264", "-preset", "veryfast", "-crf", "10", "-pix_fmt", "yuv420p"});

    const Result free = loop(path, turns, false);
    const double spacing = 1.0 / kFps;
    figure("media-seam.seam_gap_ms", free.largestSeamGap * 1e3);
    figure("media-seam.frame_gap_ms", free.largestFrameGap * 1e3);
    figure("media-seam.clip_spacing_ms", spacing * 1e3);
    figure("media-seam.seam_excess_ms", (free.largestSeamGap - spacing) * 1e3);
    figure("media-seam.seam_gap_ratio", free.largestSeamGap / free.largestFrameGap);
    figure("media-seam.frames_lost", free.framesLost);
    figure("media-seam.frames_out_of_order", free.framesOutOfOrder);
    figure("media-seam.frames_late", static_cast<double>(free.framesLate));

    const Result blocked = loop(path, blockedTurns, true);
    figure("media-seam.blocked_main_seam_gap_ms", blocked.largestSeamGap * 1e3);
    figure("media-seam.blocked_main_seam_excess_ms", (blocked.largestSeamGap - spacing) * 1e3);
    figure("media-seam.blocked_main_frames_lost", blocked.framesLost);
    figure("media-seam.blocked_main_frames_out_of_order", blocked.framesOutOfOrder);
    return 0;
}
