#pragma once
// Clips the suite plays, written by the ffmpeg command, and FFmpeg's own
// decode of them as the reference.
//
// Every frame is 320 x 240 and laid out in bands a screenshot or a received
// frame can be read back from, scaled or not:
//   rows   0..39   the frame's number, eight 40-pixel blocks, most significant
//                  bit first: white for 1, grey (96) for 0
//   rows  40..79   the clip's two colours, left half and right half
//   rows  80..199  FFmpeg's testsrc2 picture (moving, sharp edges, gradients)
//   rows 200..239  blue
// Nothing at the picture's edge is black, so on a black view its bounds are
// those of the non-black pixels; a picture upside down shows blue on top.
#include <QColor>
#include <QImage>
#include <QRect>
#include <optional>
#include <string>
#include <vector>

namespace cliploop::e2e {

constexpr int kClipWidth = 320;
constexpr int kClipHeight = 240;

// How a clip looks and runs: its length, its rate and the two colours below its
// number.
struct ClipLook {
    int frames = 20;
    int fps = 20;
    QColor left = Qt::red;
    QColor right = Qt::green;
};

// Writes `path` with libx264 at -qp 0 (lossless in its YUV 4:2:0 planes, so
// every decoder gives the same planes). "" on success, else what failed.
std::string writeClip(const std::string& path, const ClipLook& look);

// Every frame of `path` as `ffmpeg -i path -pix_fmt bgra` decodes it, as
// QImage::Format_RGB32 (BGRA in memory). Empty, with the reason, on failure.
std::vector<QImage> decodeWithFfmpeg(const std::string& path, std::string* error);

// Where the clip's picture lies inside `area` of `image`: the bounds of its
// non-black pixels (null when there are none).
QRect pictureBounds(const QImage& image, const QRect& area);

// The number a frame shows, read from the picture at `picture` (the whole
// image when null); nullopt when the number band is not there (no picture,
// upside down, another clip).
std::optional<int> readFrameNumber(const QImage& image, QRect picture = {});

// Whether the picture at `picture` is the clip with these colours, upright and
// not mirrored: number band on top, `left` and `right` in that order below
// it, blue at the bottom.
bool showsClip(const QImage& image, const QRect& picture, const ClipLook& look);

// Peak signal-to-noise ratio over the colour channels of two images of the
// same size, in dB (infinity when equal; 0 when the sizes differ).
double psnr(const QImage& a, const QImage& b);

}  // namespace cliploop::e2e
