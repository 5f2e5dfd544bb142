#pragma once
// Decodes the packets of one video stream with libavcodec, frame-threaded on
// every core. Used by one item's decode thread only.
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace cliploop {

class Demuxer;

class VideoDecoder {
  public:
    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    bool open(const AVStream* stream, std::string* error);
    void close();
    // Reads packets from `demuxer` until a frame comes out: 0 with the frame
    // in `frame`; AVERROR_EOF once every frame is out (also after too many
    // undecodable packets in a row); AVERROR_EXIT when reading was interrupted.
    int receive(Demuxer& demuxer, AVFrame* frame);
    // Drops every frame in flight, for a seek.
    void flush();

  private:
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    bool draining_ = false;
    int failuresInARow_ = 0;
};

}  // namespace cliploop
