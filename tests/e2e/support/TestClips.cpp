#include "TestClips.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "Process.h"

namespace cliploop::e2e {

namespace {

constexpr int kNumberRows = 40;
constexpr int kBandEnd = 80;
constexpr int kBlueStart = 200;
constexpr int kBlockWidth = kClipWidth / 8;
constexpr int kGreyZero = 96;

// One geq channel expression: `number` is the number band's value for a 1 bit
// (the grey is the same in all three channels), then the two colours, the
// picture, blue.
std::string channel(const char* plane, int left, int right, int blue) {
    const std::string bit = "mod(floor(N/pow(2\\," + std::to_string(7) + "-floor(X/" +
                            std::to_string(kBlockWidth) + ")))\\,2)";
    return std::string(plane) + "='if(lt(Y," + std::to_string(kNumberRows) + ")," +
           std::to_string(kGreyZero) + "+" + std::to_string(255 - kGreyZero) + "*" + bit +
           ",if(lt(Y," + std::to_string(kBandEnd) + "),if(lt(X," + std::to_string(kClipWidth / 2) +
           ")," + std::to_string(left) + "," + std::to_string(right) + "),if(gte(Y," +
           std::to_string(kBlueStart) + ")," + std::to_string(blue) + "," + plane + "(X,Y))))'";
}

// Mean colour of a small patch around (x, y), clamped to the image.
QColor patch(const QImage& image, int x, int y, int radius) {
    long sums[3] = {0, 0, 0};
    int count = 0;
    for (int dy = -radius; dy <= radius; ++dy) {
        for (int dx = -radius; dx <= radius; ++dx) {
            const int px = x + dx, py = y + dy;
            if (px < 0 || py < 0 || px >= image.width() || py >= image.height()) continue;
            const QRgb pixel = image.pixel(px, py);
            sums[0] += qRed(pixel);
            sums[1] += qGreen(pixel);
            sums[2] += qBlue(pixel);
            ++count;
        }
    }
    if (count == 0) return QColor(0, 0, 0);
    return QColor(static_cast<int>(sums[0] / count), static_cast<int>(sums[1] / count),
                  static_cast<int>(sums[2] / count));
}

bool near(const QColor& a, const QColor& b, int tolerance = 60) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// Maps a point of the 320 x 240 clip into `picture`.
QPoint mapped(const QRect& picture, double x, double y) {
    return QPoint(picture.x() + static_cast<int>(x * picture.width() / kClipWidth),
                  picture.y() + static_cast<int>(y * picture.height() / kClipHeight));
}

int patchRadius(const QRect& picture) {
    return std::max(1, picture.width() / 80);
}

}  // namespace

std::string writeClip(const std::string& path, const ClipLook& look) {
    const std::string filter =
        "format=gbrp,geq=" + channel("r", look.left.red(), look.right.red(), 0) + ":" +
        channel("g", look.left.green(), look.right.green(), 0) + ":" +
        channel("b", look.left.blue(), look.right.blue(), 255);
    const std::string source = "testsrc2=size=" + std::to_string(kClipWidth) + "x" +
                               std::to_string(kClipHeight) + ":rate=" + std::to_string(look.fps);
    const auto result = run({"ffmpeg",
                             "-nostdin",
                             "-v",
                             "error",
                             "-y",
                             "-f",
                             "lavfi",
                             "-i",
                             source,
                             "-frames:v",
                             std::to_string(look.frames),
                             "-vf",
                             filter,
                             "-c:v",
                             "libx264",
                             "-qp",
                             "0",
                             "-pix_fmt",
                             "yuv420p",
                             path});
    return result.ok() ? "" : "ffmpeg failed for " + path + ": " + result.err;
}

std::vector<QImage> decodeWithFfmpeg(const std::string& path, std::string* error) {
    const auto result = run({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "rawvideo",
                             "-pix_fmt", "bgra", "-"});
    std::vector<QImage> frames;
    if (!result.ok()) {
        *error = "ffmpeg could not decode " + path + ": " + result.err;
        return frames;
    }
    const size_t frameBytes = static_cast<size_t>(kClipWidth) * kClipHeight * 4;
    for (size_t offset = 0; offset + frameBytes <= result.out.size(); offset += frameBytes) {
        QImage frame(kClipWidth, kClipHeight, QImage::Format_RGB32);
        for (int y = 0; y < kClipHeight; ++y) {
            std::memcpy(frame.scanLine(y),
                        result.out.data() + offset + static_cast<size_t>(y) * kClipWidth * 4,
                        static_cast<size_t>(kClipWidth) * 4);
        }
        frames.push_back(frame);
    }
    if (frames.empty()) *error = "ffmpeg gave no frames for " + path;
    return frames;
}

QRect pictureBounds(const QImage& image, const QRect& area) {
    const QRect inside = area.intersected(image.rect());
    int left = inside.right() + 1, right = inside.left() - 1;
    int top = inside.bottom() + 1, bottom = inside.top() - 1;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QRgb pixel = row[x];
            if (std::max({qRed(pixel), qGreen(pixel), qBlue(pixel)}) <= 40) continue;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    if (right < left) return {};
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

std::optional<int> readFrameNumber(const QImage& image, QRect picture) {
    if (picture.isNull()) picture = image.rect();
    if (picture.width() < 16 || picture.height() < 12) return std::nullopt;
    const int radius = patchRadius(picture);
    int number = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const QPoint centre =
            mapped(picture, bit * kBlockWidth + kBlockWidth / 2.0, kNumberRows / 2.0);
        const QColor colour = patch(image, centre.x(), centre.y(), radius);
        number <<= 1;
        if (near(colour, QColor(255, 255, 255), 50)) {
            number |= 1;
        } else if (!near(colour, QColor(kGreyZero, kGreyZero, kGreyZero), 40)) {
            return std::nullopt;
        }
    }
    return number;
}

bool showsClip(const QImage& image, const QRect& picture, const ClipLook& look) {
    if (picture.width() < 16 || picture.height() < 12) return false;
    if (!readFrameNumber(image, picture)) return false;
    const int radius = patchRadius(picture);
    const int bandMiddle = (kNumberRows + kBandEnd) / 2;
    const QPoint left = mapped(picture, kClipWidth / 4.0, bandMiddle);
    const QPoint right = mapped(picture, kClipWidth * 3 / 4.0, bandMiddle);
    const QPoint bottom = mapped(picture, kClipWidth / 2.0, (kBlueStart + kClipHeight) / 2.0);
    return near(patch(image, left.x(), left.y(), radius), look.left) &&
           near(patch(image, right.x(), right.y(), radius), look.right) &&
           near(patch(image, bottom.x(), bottom.y(), radius), QColor(0, 0, 255));
}

double psnr(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull()) return 0;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const QRgb* rowA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const QRgb* rowB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int dr = qRed(rowA[x]) - qRed(rowB[x]);
            const int dg = qGreen(rowA[x]) - qGreen(rowB[x]);
            const int db = qBlue(rowA[x]) - qBlue(rowB[x]);
            sum += dr * dr + dg * dg + db * db;
        }
    }
    if (sum == 0) return std::numeric_limits<double>::infinity();
    const double mse = sum / (3.0 * a.width() * a.height());
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace cliploop::e2e
