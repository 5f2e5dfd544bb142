#include "ScreenReading.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace cliploop::e2e {

namespace {

bool differs(QRgb a, QRgb b, int tolerance) {
    return std::abs(qRed(a) - qRed(b)) > tolerance || std::abs(qGreen(a) - qGreen(b)) > tolerance ||
           std::abs(qBlue(a) - qBlue(b)) > tolerance;
}

}  // namespace

std::vector<QRect> blackPanels(const QImage& image, const QRect& area, int minimum) {
    const QRect inside = area.intersected(image.rect());
    struct Open {
        int left, right, top, bottom;
    };
    std::vector<Open> open, done;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        std::vector<std::pair<int, int>> runs;
        for (int x = inside.left(); x <= inside.right();) {
            if (std::max({qRed(row[x]), qGreen(row[x]), qBlue(row[x])}) > 8) {
                ++x;
                continue;
            }
            const int start = x;
            while (x <= inside.right() &&
                   std::max({qRed(row[x]), qGreen(row[x]), qBlue(row[x])}) <= 8)
                ++x;
            if (x - start >= minimum) runs.emplace_back(start, x - 1);
        }
        std::vector<Open> next;
        for (const auto& [left, right] : runs) {
            auto match = std::find_if(open.begin(), open.end(), [&](const Open& o) {
                return std::abs(o.left - left) <= 2 && std::abs(o.right - right) <= 2;
            });
            if (match != open.end()) {
                match->bottom = y;
                next.push_back(*match);
                open.erase(match);
            } else {
                next.push_back({left, right, y, y});
            }
        }
        done.insert(done.end(), open.begin(), open.end());
        open = std::move(next);
    }
    done.insert(done.end(), open.begin(), open.end());
    std::vector<QRect> panels;
    for (const auto& o : done) {
        if (o.bottom - o.top + 1 >= minimum / 2)
            panels.emplace_back(QPoint(o.left, o.top), QPoint(o.right, o.bottom));
    }
    std::sort(panels.begin(), panels.end(), [](const QRect& a, const QRect& b) {
        return a.x() != b.x() ? a.x() < b.x() : a.y() < b.y();
    });
    return panels;
}

int menuItemCount(const QImage& popup) {
    if (popup.width() < 8 || popup.height() < 8) return 0;
    // The background is the most common colour of the popup.
    std::map<QRgb, int> counts;
    for (int y = 0; y < popup.height(); ++y)
        for (int x = 0; x < popup.width(); ++x) ++counts[popup.pixel(x, y) & 0xffffff];
    const QRgb background =
        std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
            return a.second < b.second;
        })->first;
    // Leave out the frame: a few pixels on every side.
    const int margin = 3;
    int bands = 0;
    bool inBand = false;
    for (int y = margin; y < popup.height() - margin; ++y) {
        bool content = false;
        for (int x = margin; x < popup.width() - margin && !content; ++x)
            content = differs(popup.pixel(x, y), background, 40);
        if (content && !inBand) ++bands;
        inBand = content;
    }
    return bands;
}

int differingPixels(const QImage& a, const QImage& b, const QRect& area, int tolerance) {
    const QRect inside = area.intersected(a.rect()).intersected(b.rect());
    int count = 0;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (differs(a.pixel(x, y), b.pixel(x, y), tolerance)) ++count;
    return count;
}

}  // namespace cliploop::e2e
