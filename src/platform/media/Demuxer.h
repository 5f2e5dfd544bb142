#pragma once
// Reads the packets of a file's video stream (libavformat). Used by one
// item's decode thread only; not thread-safe, except that the interrupt
// predicate may turn true from any thread to abort a blocking read or open.
#include <functional>
#include <string>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
}

namespace cliploop {

class Demuxer {
  public:
    explicit Demuxer(std::function<bool()> interrupted);
    ~Demuxer();
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    // Opens `path` (exact bytes) and picks its video stream. On failure fills
    // `error` with one line for a person and returns false.
    bool open(const std::string& path, std::string* error);
    void close();
    bool isOpen() const { return format_ != nullptr; }

    const AVStream* stream() const { return stream_; }
    // The next packet of the video stream: 0, AVERROR_EOF at the end (or at
    // a read error, which for a truncated file is the end), AVERROR_EXIT when
    // interrupted.
    int read(AVPacket* packet);
    // Back to the first frame; false when the format cannot seek.
    bool seekToStart();
    // To the key frame at or before `seconds` after the stream's start; false
    // when the format cannot seek there.
    bool seekTo(double seconds);

    // Clockwise rotation (0, 90, 180, 270) that makes the picture upright.
    int rotation() const { return rotation_; }
    // Duration of the video stream in seconds as the container states it, or
    // a negative number when unknown. Only an estimate: files may be cut.
    double durationEstimate() const;
    // Nominal duration of one frame in stream ticks (at least 1).
    int64_t nominalFrameTicks() const;

  private:
    static int interruptCallback(void* opaque);
    std::function<bool()> interrupted_;
    AVFormatContext* format_ = nullptr;
    AVStream* stream_ = nullptr;
    int rotation_ = 0;
};

// Quietens libav's logging once per process: unreadable input is reported
// through the item, not as lines on the terminal.
void quietenMediaLibraries();

}  // namespace cliploop
