#pragma once
// Test clips made with the ffmpeg command, and reading an item's frames without a player.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <vector>

#include "common/Eventually.h"
#include "media/ItemState.h"
#include "media/MediaEngine.h"

namespace cliploop::testing {

struct ClipRecipe {
    int width = 64, height = 64;
    int frames = 10;                // at 30 per second
    std::string codec = "libx264";  // "": no video
    std::string pixelFormat = "yuv420p";
    bool faststart = false;           // the MP4 index ahead of the data, kept by a cut file
    int displayRotation = 0;          // clockwise turn a player applies to show it upright
    std::vector<int64_t> ticks = {};  // variable rate: presentation times in 1/90000 s
    bool withAudio = false;           // silent AAC
    int first = 0;                    // the number the first frame shows (240: light top-left)
};

inline std::string testPath(const std::string& name) {
    static const struct Dir {
        std::error_code ignored;
        std::string path = mkdtemp(
            (std::filesystem::temp_directory_path() / "cliploop-media-XXXXXX").string().data());
        ~Dir() { std::filesystem::remove_all(path, ignored); }
    } dir;
    return dir.path + "/" + name;
}

// Writes `r` once to testPath(name), whose extension picks the container; returns the path.
inline std::string clip(const std::string& name, const ClipRecipe& r) {
    const std::string path = testPath(name);
    if (std::filesystem::exists(path)) return path;
    using std::to_string;
    // Upper half: the frame's number in eight black or white columns; lower: noisy dark blue.
    const std::string light = "mod(trunc((N+" + to_string(r.first) + ")/pow(2,7-trunc(X*8/W))),2)";
    const std::string grey = "if(lt(Y,H/2)*" + light + ",235,16)";
    const int shrink = std::max(1, r.width / 128);  // drawn small, then scaled up: quick
    std::string video = "color=black:r=30:s=" + to_string(r.width / shrink) + "x" +
                        to_string(r.height / shrink) + ":d=" + to_string((r.frames - 0.5) / 30) +
                        ",format=rgb24,geq=r='" + grey + "':g='" + grey + "':b='if(lt(Y,H/2)," +
                        grey + ",80+127*random(0))',scale=" + to_string(r.width) + ":" +
                        to_string(r.height) + ":flags=neighbor";
    if (!r.ticks.empty()) {
        std::string pts = "0";
        for (size_t i = r.ticks.size(); i-- > 0;)
            pts = "if(eq(N," + to_string(i) + ")," + to_string(r.ticks[i]) + "," + pts + ")";
        video += ",setpts='(" + pts + ")/90000/TB'";
    }
    std::string command = "ffmpeg -nostdin -v error -y";
    if (!r.codec.empty()) command += " -f lavfi -i \"" + video + "\"";
    if (r.withAudio)
        command +=
            " -f lavfi -i anullsrc=r=48000:cl=stereo:d=" + to_string(r.frames / 30.0) + " -c:a aac";
    if (!r.codec.empty())
        command += " -c:v " + r.codec + " -pix_fmt " + r.pixelFormat + " -g 12" +
                   (r.codec == "libx264" ? " -preset veryfast -crf 12 -bf 2" : " -q:v 3");
    if (!r.ticks.empty()) command += " -fps_mode passthrough -video_track_timescale 90000";
    if (r.faststart) command += " -movflags +faststart";
    const std::string unturned = testPath("unturned-" + name);
    command += " '" + (r.displayRotation ? unturned : path) + "'";
    if (r.displayRotation)  // the tag turns the other way round from the display matrix
        command += " && ffmpeg -nostdin -v error -i '" + unturned +
                   "' -c copy -metadata:s:v:0 rotate=" + to_string(360 - r.displayRotation) + " '" +
                   path + "'";
    if (std::system(command.c_str()) != 0) {
        ADD_FAILURE() << command;
        std::filesystem::remove(path);  // not to be taken for a made clip
    }
    return path;
}

inline int numberIn(int width, int height, const std::function<bool(int x, int y)>& light) {
    int number = 0;
    for (int bit = 0; bit < 8; ++bit)
        number = number * 2 + light((2 * bit + 1) * width / 16, height / 4);
    return number;
}
inline bool isLight(const PixelBuffer& frame, int x, int y) {
    return frame.baseAddress()[size_t(y) * frame.bytesPerRow() + x * 4 + 1] > 128;
}
inline int readFrameNumber(const PixelBuffer& f) {
    return numberIn(f.width(), f.height(), [&](int x, int y) { return isLight(f, x, y); });
}

inline std::shared_ptr<PlayerItem> itemFor(const std::string& path) {
    return PlayerItem::create(Asset::assetWithURL(FileUrl::fromPath(path)));
}

// The numbers of the next frames of `item` up to its end or `limit`; each frame goes to `look`.
inline std::vector<int> pullNumbers(PlayerItem& item, size_t limit = 1000,
                                    const std::function<void(const PixelBuffer&)>& look = {}) {
    std::vector<int> numbers;
    bool ended = false;
    while (!ended && numbers.size() < limit) {
        auto frame = item.copyNextPixelBuffer(std::chrono::seconds(30), &ended);
        if (!frame) break;
        if (look) look(*frame);
        numbers.push_back(readFrameNumber(*frame));
    }
    return numbers;
}

}  // namespace cliploop::testing
