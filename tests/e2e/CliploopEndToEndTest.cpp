// The real program on its own two-monitor Xvfb, driven only by X input and read only through
// screenshots and "Video". Cases run in order on one program, each leaving the clip playing in
// both views at rate 1; the last quits it. Exit status 77 (skipped) only when Xvfb cannot start.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "cliploop/FrameClient.h"

namespace cliploop::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Ended with its object; in the suite's process group, so whatever ends the suite ends it too.
struct Child : QProcess {
    Child() { setStandardInputFile(nullDevice()); }
    ~Child() override {
        terminate();
        if (!waitForFinished(3000)) kill();
        waitForFinished(5000);
    }
};

// Outputs appended to the files given, else kept.
std::unique_ptr<Child> launch(const QStringList& command, const QProcessEnvironment& environment,
                              const std::string& outPath = {}, const std::string& errPath = {}) {
    auto child = std::make_unique<Child>();
    child->setProcessEnvironment(environment);
    if (!outPath.empty())
        child->setStandardOutputFile(QString::fromStdString(outPath), QIODevice::Append);
    if (!errPath.empty())
        child->setStandardErrorFile(QString::fromStdString(errPath), QIODevice::Append);
    child->start(command.first(), command.mid(1));
    return child;
}

// Runs `command` to its end (killed after a minute): "" or what failed.
std::string run(const QStringList& command,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                QByteArray* out = nullptr) {
    const auto child = launch(command, environment);
    const bool ok = child->waitForFinished(60000) && child->exitStatus() == QProcess::NormalExit &&
                    child->exitCode() == 0;
    if (out) *out = child->readAllStandardOutput();
    if (ok) return "";
    return command.join(' ').toStdString() + " failed: " + child->errorString().toStdString() +
           "\n" + child->readAllStandardError().toStdString();
}

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// A hang guard, not a timing check.
template <class Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout,
               std::chrono::milliseconds interval = 100ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
    return true;
}

using std::this_thread::sleep_for;

std::unique_ptr<Child> xServer;
QProcessEnvironment xEnvironment;  // the suite's own, pointed at Xvfb's display

std::string startDisplay(const std::string& logPath) {
    xServer = std::make_unique<Child>();
    xServer->setStandardErrorFile(QString::fromStdString(logPath));
    xServer->start(
        "Xvfb", QString("-displayfd 1 -screen 0 3840x1080x24 -nolisten tcp -noreset").split(' '));
    QByteArray number;  // written once it accepts connections
    while (!number.contains('\n') && xServer->waitForReadyRead(20000))
        number += xServer->readAllStandardOutput();
    if (!number.contains('\n'))
        return "Xvfb did not report a display number: " + xServer->errorString().toStdString() +
               "\n" + readFile(logPath);
    xEnvironment = QProcessEnvironment::systemEnvironment();
    xEnvironment.insert("DISPLAY", ":" + QString::fromLatin1(number.trimmed()));
    xEnvironment.remove("WAYLAND_DISPLAY");
    xEnvironment.remove("XAUTHORITY");
    return "";
}

std::string onDisplay(const QStringList& command, QByteArray* out = nullptr) {
    return run(command, xEnvironment, out);
}

std::string xrandr(const QStringList& changes) {
    std::string error;
    for (const QString& change : changes)
        if (error.empty()) error = onDisplay(("xrandr " + change).split(' '));
    return error;
}

// At 96 dpi, carrying the real output or none.
QString setMonitor(const QString& name, const QRect& a, const char* output = "none") {
    return QString::asprintf("--setmonitor %s %d/%dx%d/%d+%d+%d %s", qPrintable(name), a.width(),
                             a.width() * 254 / 960, a.height(), a.height() * 254 / 960, a.x(),
                             a.y(), output);
}

bool xdotool(const QString& arguments) {
    return onDisplay(("xdotool " + arguments).split(' ', Qt::SkipEmptyParts)).empty();
}

bool key(const QString& keys) {
    return xdotool("key --delay 60 " + keys);
}

bool click(QPoint at, int button = 1) {
    // No --sync: it waits for a motion that never comes when the pointer is already there.
    return xdotool(QString("mousemove %1 %2 click %3").arg(at.x()).arg(at.y()).arg(button));
}

struct XWindow {
    unsigned long id = 0;
    QRect geometry;  // in root coordinates
};

std::vector<XWindow> windows(const QString& windowClass = "cliploop") {
    std::vector<XWindow> result;
    QByteArray ids, shell;
    onDisplay({"xdotool", "search", "--onlyvisible", "--class", windowClass}, &ids);  // or none
    for (const QByteArray& id : ids.split('\n')) {
        int x, y, width, height;  // unless the window went meanwhile
        if (!id.isEmpty() &&
            onDisplay({"xdotool", "getwindowgeometry", "--shell", id}, &shell).empty() &&
            std::sscanf(shell.constData(), "WINDOW=%*u X=%d Y=%d WIDTH=%d HEIGHT=%d", &x, &y,
                        &width, &height) == 4)
            result.push_back({id.toULong(), QRect(x, y, width, height)});
    }
    return result;
}

QImage screenshot() {
    QByteArray ppm;  // a PNG of the whole display would cost more than the grab
    onDisplay({"import", "-window", "root", "-depth", "8", "ppm:-"}, &ppm);
    return QImage::fromData(ppm, "PPM").convertToFormat(QImage::Format_RGB32);
}

// 320 x 240 clips in bands read back from shots or frames, scaled or not: rows 0-39 the frame
// number in eight 40-pixel bits (white 1, grey 0), 40-79 two colours, 80-199 testsrc2, 200-239
// blue. Nothing at the edge is black, so on a black view the non-black bounds are the picture's.
constexpr int kClipWidth = 320, kClipHeight = 240;
struct ClipLook {
    int frames, fps;
    QColor left, right;
};

// libx264 at -qp 0: lossless in its planes, which every decoder then gives alike.
std::string writeClip(const std::string& path, const ClipLook& look) {
    const auto plane = [&](char name, int left, int right, int blue) {
        return QString::asprintf(
            "%c='if(lt(Y,40),96+159*mod(floor(N/pow(2\\,7-floor(X/40)))\\,2),"
            "if(lt(Y,80),if(lt(X,160),%d,%d),if(gte(Y,200),%d,%c(X,Y))))'",
            name, left, right, blue, name);
    };
    const QString filter = "format=gbrp,geq=" + plane('r', look.left.red(), look.right.red(), 0) +
                           ":" + plane('g', look.left.green(), look.right.green(), 0) + ":" +
                           plane('b', look.left.blue(), look.right.blue(), 255);
    return run(QString("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=%1 "
                       "-frames:v %2 -vf %3 -c:v libx264 -qp 0 -pix_fmt yuv420p")
                   .arg(look.fps)
                   .arg(look.frames)
                   .arg(filter)
                   .split(' ')
               << QString::fromStdString(path));
}

int brightest(QRgb p) {
    return std::max({qRed(p), qGreen(p), qBlue(p)});
}

bool near(const QColor& a, const QColor& b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

QRect pictureBounds(const QImage& image, const QRect& area) {
    const QRect inside = area.intersected(image.rect());
    QRect bounds;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (brightest(image.pixel(x, y)) > 40) bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// The mean colour around the clip's point (x, y) as shown at `picture`.
QColor sample(const QImage& image, const QRect& picture, double x, double y) {
    const QPoint at =
        picture.topLeft() + QPoint(static_cast<int>(x * picture.width() / kClipWidth),
                                   static_cast<int>(y * picture.height() / kClipHeight));
    const int r = std::max(1, picture.width() / 80);
    return image.copy(QRect(at - QPoint(r, r), at + QPoint(r, r)))
        .scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .pixelColor(0, 0);
}

// nullopt when the number band is not there (no picture, upside down).
std::optional<int> readFrameNumber(const QImage& image, QRect picture = {}) {
    if (picture.isNull()) picture = image.rect();
    if (picture.width() < 16 || picture.height() < 12) return std::nullopt;
    int number = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const QColor colour = sample(image, picture, bit * 40 + 20, 20);
        const bool one = near(colour, Qt::white, 50);
        if (!one && !near(colour, QColor(96, 96, 96), 40)) return std::nullopt;
        number = number * 2 + one;
    }
    return number;
}

// Upright and not mirrored.
bool showsClip(const QImage& image, const QRect& picture, const ClipLook& look) {
    return readFrameNumber(image, picture) && near(sample(image, picture, 80, 60), look.left, 60) &&
           near(sample(image, picture, 240, 60), look.right, 60) &&
           near(sample(image, picture, 160, 220), Qt::blue, 60);
}

// Black rectangles at least `minimum` wide and half as high, left to right: the idle views.
std::vector<QRect> blackPanels(const QImage& image, const QRect& area, int minimum) {
    std::map<std::pair<int, int>, std::pair<QRect, int>> runs;  // by their ends: where, rows
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const int start = x;
            while (x <= inside.right() && brightest(image.pixel(x, y)) <= 8) ++x;
            if (x - start < minimum) continue;
            auto& [rect, rows] = runs[{start, x - 1}];
            rect |= QRect(start, y, x - start, 1);
            ++rows;
        }
    }
    std::vector<QRect> panels;
    for (const auto& [ends, run] : runs)
        if (run.second >= minimum / 2) panels.push_back(run.first);
    return panels;
}

int differingPixels(const QImage& a, const QImage& b, const QRect& area) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += !near(a.pixelColor(x, y), b.pixelColor(x, y), 24);
    return count;
}

const QRect kMonitorA(0, 0, 1920, 1080), kMonitorB(1920, 0, 1920, 1080);
const QRect kNarrowB(1920, 0, 960, 1080), kNarrowC(2880, 0, 960, 1080);  // B split in two
// Found by the search, dropped later, and decoys matching one word or hidden.
const ClipLook kCounterClip{20, 20, QColor(255, 0, 0), QColor(0, 255, 0)};
const ClipLook kDroppedClip{20, 20, QColor(255, 255, 0), QColor(255, 0, 255)};
const ClipLook kDecoyClip{4, 20, QColor(0, 255, 255), QColor(255, 255, 255)};
constexpr int kLoopTurns = 20;

std::string root, droppedPath;
std::unique_ptr<Child> program;
bool quitByTest = false;
QProcessEnvironment programEnvironment;
std::vector<QImage> reference;  // FFmpeg's frames of the counter clip
XWindow mainWindow;
QRect previewPanel, outputPanel;
QPoint outputMenuTitle;
QImage startShot;

std::string programLog() {
    return "cliploop stdout:\n" + readFile(root + "/cliploop.out") + "\ncliploop stderr:\n" +
           readFile(root + "/cliploop.err");
}

// A shot kept in the suite's folder for whoever reads a failure.
void keep(const QImage& image, const char* what) {
    static int kept = 0;
    image.save(QString("%1/%2-%3.png").arg(QString::fromStdString(root), what).arg(++kept));
}

bool listed(const std::vector<XWindow>& list, const XWindow& window) {
    return std::any_of(list.begin(), list.end(),
                       [&](const XWindow& w) { return w.id == window.id; });
}

bool closes(const XWindow& popup) {
    return waitUntil([&] { return !listed(windows(), popup); }, 3s);
}

// The full-screen output.
std::optional<XWindow> windowCovering(const QRect& area) {
    for (const auto& window : windows())
        if (window.geometry == area) return window;
    return std::nullopt;
}

template <class Action>
std::optional<XWindow> popupAfter(Action action) {
    std::vector<XWindow> known = windows();
    known.push_back(mainWindow);
    std::optional<XWindow> popup;
    const auto opened = [&] {
        for (const auto& window : windows())
            if (!listed(known, window)) popup = window;
        return popup.has_value();
    };
    if (!action() || !waitUntil(opened, 5s)) keep(screenshot(), "no-popup");
    sleep_for(300ms);  // drawn
    return popup;
}

// Bands of rows that differ from the menu's background, inside its 3-pixel frame.
int itemCount(const XWindow& window) {
    const QImage popup = screenshot().copy(window.geometry);
    std::map<QRgb, int> counts;
    for (int y = 0; y < popup.height(); ++y)
        for (int x = 0; x < popup.width(); ++x) ++counts[popup.pixel(x, y)];
    if (counts.empty()) return 0;
    const QColor background = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                                  return a.second < b.second;
                              })->first;
    int bands = 0;
    for (int y = 3, inBand = 0; y < popup.height() - 3; ++y) {
        bool content = false;
        for (int x = 3; x < popup.width() - 3 && !content; ++x)
            content = !near(popup.pixelColor(x, y), background, 40);
        bands += content && !inBand;
        inBand = content;
    }
    return bands;
}

// A click on the folder text beside it: Escape would leave the menu bar taking letters as keys.
bool closeMenu(const XWindow& popup) {
    click({mainWindow.geometry.center().x() + 200, previewPanel.top() - 16});
    return closes(popup);
}

// The last item count seen.
int outputMenuSettlesAt(int count) {
    int seen = -1;
    waitUntil(
        [&] {
            const auto popup = popupAfter([] { return click(outputMenuTitle); });
            seen = popup ? itemCount(*popup) : -1;
            if (popup) closeMenu(*popup);
            return seen == count;
        },
        10s, 300ms);
    return seen;
}

bool chooseOutputItem(int position) {
    return popupAfter([] { return click(outputMenuTitle); }) &&
           key(QString("Down ").repeated(position + 1) + "Return");
}

std::optional<int> numberIn(const QImage& image, const QRect& panel, const ClipLook& look) {
    const QRect picture = pictureBounds(image, panel);
    return showsClip(image, picture, look) ? readFrameNumber(image, picture) : std::nullopt;
}

// Upright, its number changing between shots.
bool playsIn(const QRect& panel, const ClipLook& look = kCounterClip) {
    std::optional<int> first;
    QImage last;
    const bool plays = waitUntil(
        [&] {
            last = screenshot();
            const auto number = numberIn(last, panel, look);
            if (!first) first = number;
            return number && *number != *first;
        },
        15s, 150ms);
    if (!plays) keep(last, "not-playing");
    return plays;
}

bool fullScreenOn(const QRect& monitor, bool expected = true) {
    return waitUntil([&] { return windowCovering(monitor).has_value() == expected; }, 10s);
}

TEST(EndToEnd, StartsWithItsWindowAndListsBothMonitors) {
    ASSERT_TRUE(waitUntil(
        [] {
            for (const auto& window : windows())
                if (window.geometry.width() >= 800) mainWindow = window;
            return mainWindow.id != 0;
        },
        30s))
        << "no window appeared\n"
        << programLog();
    sleep_for(1s);  // first paint
    startShot = screenshot();
    const auto panels = blackPanels(startShot, mainWindow.geometry, 200);
    ASSERT_EQ(panels.size(), 2u) << "expected the preview and the output view";
    previewPanel = panels[0];
    outputPanel = panels[1];
    const auto popup = popupAfter([] { return key("alt+o"); });
    ASSERT_TRUE(popup) << "alt+o opened no menu";
    EXPECT_EQ(itemCount(*popup), 2) << "one item per monitor: \"MainScreen\", \"Screen 1\"";
    outputMenuTitle = QPoint(popup->geometry.x() + 12, popup->geometry.y() / 2);
    ASSERT_TRUE(closeMenu(*popup));
}

TEST(EndToEnd, FindsTheClipByTwoWordsAndPlaysTheFirstRowChosenByKeyboard) {
    ASSERT_FALSE(previewPanel.isNull());
    ASSERT_TRUE(key("r a i n space l o o p Return"));  // the search field has the focus at start
    const QRect firstRow(mainWindow.geometry.x(), previewPanel.bottom() + 28,
                         mainWindow.geometry.width() / 2, 24);
    ASSERT_TRUE(
        waitUntil([&] { return differingPixels(screenshot(), startShot, firstRow) > 50; }, 20s))
        << "the list stays empty";
    ASSERT_TRUE(key("Tab Tab Tab space"));  // past the two buttons to the table's first row
    EXPECT_TRUE(playsIn(previewPanel)) << "the preview does not play the clip\n" << programLog();
    EXPECT_TRUE(playsIn(outputPanel)) << "the output does not play the clip";
}

// The shipped receiver's PNG files, upright.
TEST(EndToEnd, ReceiverWritesFramesEqualToFfmpegsDecodeUpright) {
    const std::string folder = root + "/received";
    ASSERT_EQ(run({CLIPLOOP_RECEIVER, "Video", "--png", QString::fromStdString(folder), "--frames",
                   "40", "--timeout", "5"},
                  programEnvironment),
              "");
    std::set<int> numbers;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const QImage frame = QImage(QString::fromStdString(entry.path().string()))
                                 .convertToFormat(QImage::Format_RGB32);
        const auto number = readFrameNumber(frame);
        ASSERT_TRUE(number && *number < kCounterClip.frames && frame == reference[*number])
            << entry.path() << " is not FFmpeg's frame, upright";
        numbers.insert(*number);
    }
    EXPECT_GE(numbers.size(), 10u) << "the frames do not move on";
}

// Through the client library, which gives each frame's publication time: a frame missing after a
// gap longer than a frame's duration was lost to a stall of the machine, not to the loop.
TEST(EndToEnd, TwentyLoopTurnsReachAClientBitIdenticalWithoutSkipOrRepeat) {
    std::string error;
    auto client = FrameClient::connect("Video", static_cast<pid_t>(program->processId()), &error);
    ASSERT_TRUE(client) << error;
    const int frames = kCounterClip.frames;
    const double frameDuration = 1.0 / kCounterClip.fps;
    std::vector<std::pair<int, double>> shown;  // each clip frame and when first published
    std::vector<std::string> skips;
    int turns = 0, bad = 0;
    double lastTime = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + 2s * kLoopTurns * frames / kCounterClip.fps + 15s;
    while (turns <= kLoopTurns && std::chrono::steady_clock::now() < deadline) {
        auto frame = client->receiveFrame(500ms);
        if (!frame) {
            ASSERT_FALSE(client->ended()) << "the server ended the stream";
            continue;
        }
        ASSERT_EQ(QSize(frame->width(), frame->height()), QSize(kClipWidth, kClipHeight));
        QImage image(kClipWidth, kClipHeight, QImage::Format_RGB32);
        for (int y = 0; y < kClipHeight; ++y)
            std::memcpy(image.scanLine(y), frame->row(y), kClipWidth * 4);
        const double time = frame->hostTime();
        frame->release();
        const auto number = readFrameNumber(image);
        if (!number || *number >= frames || image != reference[*number]) {
            ++bad;
            continue;
        }
        const bool stalled = time - lastTime > frameDuration;
        lastTime = time;
        if (!shown.empty() && shown.back().first == *number) continue;
        if (!shown.empty()) {
            const int previous = shown.back().first;
            if (*number != (previous + 1) % frames && !stalled)
                skips.push_back(std::to_string(*number) + " after " + std::to_string(previous));
            turns += *number < previous;
        }
        shown.emplace_back(*number, time);
    }
    // A frame repeated at every seam stays up a frame longer there than inside a turn; the median
    // is not moved by a stall now and then.
    std::vector<double> seamHolds, innerHolds;
    for (size_t i = 1; i + 1 < shown.size(); ++i) {
        const bool atSeam = shown[i].first == 0 || shown[i].first == frames - 1;
        (atSeam ? seamHolds : innerHolds).push_back(shown[i + 1].second - shown[i].second);
    }
    const auto median = [](std::vector<double> values) {
        if (values.empty()) return 0.0;
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2];
    };
    std::printf("E2E loop_turns %d seam_hold_ms %.1f inner_hold_ms %.1f\n", turns,
                median(seamHolds) * 1000, median(innerHolds) * 1000);
    EXPECT_GE(turns, kLoopTurns) << "too few loop turns received";
    EXPECT_EQ(bad, 0) << "frames differing from FFmpeg's decode, upside down or mirrored";
    EXPECT_TRUE(skips.empty()) << skips.size() << " frames skipped, first: " << skips.front();
    EXPECT_LT(median(seamHolds), median(innerHolds) + frameDuration / 2)
        << "frames at the loop point stay up longer than inside a turn";
}

TEST(EndToEnd, RateSliderStillsThePictureAtZeroAndComesBackToOne) {
    const QRect& window = mainWindow.geometry;  // the rate text is at its bottom right
    const QRect rateText(window.right() - 60, window.bottom() - 64, 60, 64);
    const auto rateTextDiffers = [&] { return differingPixels(screenshot(), startShot, rateText); };
    ASSERT_TRUE(key("Tab Home"));  // from the table to the slider; Home is 0.00x
    EXPECT_TRUE(waitUntil([&] { return rateTextDiffers() > 20; }, 10s)) << "the rate text stays";
    sleep_for(800ms);  // the last frame before the stop is drawn
    const auto first = numberIn(screenshot(), previewPanel, kCounterClip);
    ASSERT_TRUE(first) << "the preview shows no clip at rate 0";
    sleep_for(1500ms);
    const QImage later = screenshot();
    EXPECT_EQ(numberIn(later, previewPanel, kCounterClip), first) << "the picture moves at 0.00x";
    EXPECT_EQ(numberIn(later, outputPanel, kCounterClip), first);
    ASSERT_TRUE(key(QString("Page_Up ").repeated(10)));  // 0.10 each
    EXPECT_TRUE(waitUntil([&] { return rateTextDiffers() == 0; }, 10s)) << "the text is not 1.00x";
    EXPECT_TRUE(playsIn(previewPanel)) << "the clip does not play again";
}

// Leaving through the Output menu's exit item is the monitors case's.
TEST(EndToEnd, OutputGoesFullScreenOnScreen1AndEscapeBringsItBack) {
    ASSERT_TRUE(chooseOutputItem(1)) << "\"Screen 1\"";
    ASSERT_TRUE(fullScreenOn(kMonitorB)) << "no window fills the second monitor";
    EXPECT_TRUE(playsIn(kMonitorB)) << "the second monitor does not play the clip";
    const QRect picture = pictureBounds(screenshot(), kMonitorB);  // full height, centred
    EXPECT_NEAR(picture.height(), 1080, 2);
    EXPECT_NEAR(picture.width(), 1440, 4);
    EXPECT_NEAR(picture.center().x(), kMonitorB.center().x(), 4);
    EXPECT_TRUE(playsIn(previewPanel.united(outputPanel)));
    EXPECT_FALSE(windowCovering(kMonitorA));

    const auto popup = popupAfter([] { return click(kMonitorB.center(), 3); });
    ASSERT_TRUE(popup) << "no context menu";
    EXPECT_EQ(itemCount(*popup), 1) << "not the exit item alone";
    ASSERT_TRUE(key("Escape"));  // closes the context menu only
    EXPECT_TRUE(closes(*popup));
    EXPECT_TRUE(windowCovering(kMonitorB)) << "closing the context menu left full screen";
    ASSERT_TRUE(key("Escape"));  // the full-screen view has the keyboard: no window manager
    EXPECT_TRUE(fullScreenOn(kMonitorB, false));
    EXPECT_TRUE(playsIn(outputPanel)) << "the output is not back in the window";
    EXPECT_EQ(outputMenuSettlesAt(2), 2);
}

TEST(EndToEnd, ScreenMenuFollowsMonitorsPluggedInAndOut) {
    // The second monitor split in two: three screens.
    ASSERT_EQ(xrandr({"--delmonitor B", setMonitor("B", kNarrowB), setMonitor("C", kNarrowC)}), "");
    EXPECT_EQ(outputMenuSettlesAt(3), 3);
    ASSERT_TRUE(chooseOutputItem(2));  // "Screen 2", the new monitor
    ASSERT_TRUE(fullScreenOn(kNarrowC)) << "no window fills the third monitor";
    EXPECT_TRUE(playsIn(kNarrowC));
    EXPECT_EQ(outputMenuSettlesAt(1), 1) << "not the exit item alone";

    // Unplugged and plugged in again during full screen: listed again, the output staying.
    ASSERT_EQ(xrandr({"--delmonitor C"}), "");
    EXPECT_EQ(outputMenuSettlesAt(2), 2) << "after unplugging";
    ASSERT_EQ(xrandr({setMonitor("C", kNarrowC)}), "");
    EXPECT_EQ(outputMenuSettlesAt(3), 3) << "after plugging in";
    ASSERT_TRUE(chooseOutputItem(0));  // a screen item brings the exit item back
    EXPECT_EQ(outputMenuSettlesAt(1), 1);
    EXPECT_TRUE(windowCovering(kNarrowC)) << "the output moved";
    ASSERT_TRUE(chooseOutputItem(0));  // "Exit Full Screen"
    EXPECT_TRUE(fullScreenOn(kNarrowC, false));
    EXPECT_EQ(outputMenuSettlesAt(3), 3);

    ASSERT_EQ(xrandr({"--delmonitor C", "--delmonitor B", setMonitor("B", kMonitorB)}), "");
    EXPECT_EQ(outputMenuSettlesAt(2), 2);
    EXPECT_TRUE(playsIn(outputPanel));
}

// A real XDND drag from another process proposing a move; the preview answers a copy, so a file
// manager keeps the file.
TEST(EndToEnd, AFileDraggedOntoThePreviewPlaysAndStaysWhereItWas) {
    const std::string log = root + "/drag.log";
    const auto source =
        launch({E2E_DRAG_SOURCE, QString::fromStdString(droppedPath), "1500", "150"},
               programEnvironment, log, log);
    ASSERT_TRUE(source->waitForStarted());
    ASSERT_TRUE(waitUntil([] { return !windows("e2e-drag-source").empty(); }, 15s))
        << readFile(log);
    sleep_for(500ms);
    const QPoint from(1600, 210), to = previewPanel.center();
    QString drag = QString("mousemove %1 %2 mousedown 1").arg(from.x()).arg(from.y());
    for (int step = 1; step <= 12; ++step) {
        const QPoint at = from + (to - from) * step / 12;
        drag += QString(" sleep 0.06 mousemove %1 %2").arg(at.x()).arg(at.y());
    }
    ASSERT_TRUE(xdotool(drag + " sleep 0.3 mouseup 1"));

    const std::string line = "-------------update NSNotification: " + droppedPath;
    EXPECT_TRUE(waitUntil(
        [&] { return readFile(root + "/cliploop.out").find(line) != std::string::npos; }, 10s))
        << "no line \"" << line << "\"\n"
        << programLog() << "\ndrag source: " << readFile(log);
    EXPECT_TRUE(playsIn(previewPanel, kDroppedClip)) << "the preview does not play the drop";
    EXPECT_TRUE(playsIn(outputPanel, kDroppedClip));
    EXPECT_TRUE(
        waitUntil([&] { return readFile(log).find("drag finished:") != std::string::npos; }, 10s));
    EXPECT_NE(readFile(log).find("drag finished: 1\n"), std::string::npos)  // Qt::CopyAction
        << "drag source: " << readFile(log);
    EXPECT_TRUE(fs::exists(droppedPath));
}

TEST(EndToEnd, CtrlQQuitsWithStatusZeroAndWithdrawsTheFrameServer) {
    ASSERT_TRUE(click({mainWindow.geometry.center().x() + 200, previewPanel.top() - 16}));
    ASSERT_TRUE(key("ctrl+q"));
    ASSERT_TRUE(program->waitForFinished(30000)) << "still running after Ctrl+Q\n" << programLog();
    quitByTest = true;
    EXPECT_EQ(program->exitStatus(), QProcess::NormalExit) << programLog();
    EXPECT_EQ(program->exitCode(), 0) << programLog();
    EXPECT_TRUE(listFrameServers().empty());
    const fs::path servers = root + "/runtime/cliploop";
    EXPECT_TRUE(fs::is_empty(servers)) << fs::directory_iterator(servers)->path();
}

// "" or what went wrong, with `skip` set when Xvfb cannot start.
std::string setUp(const std::string& folder, bool* skip) {
    root = folder;
    const std::string home = root + "/home", runtime = root + "/runtime";
    for (const auto& path :
         {home + "/sets/night", home + "/.cache/rain loop", root + "/elsewhere", runtime})
        fs::create_directories(path);
    fs::permissions(runtime, fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);  // where this process finds frame servers too
    const std::string counterPath = home + "/sets/night/Loop_Rain_counter.mp4";
    droppedPath = root + "/elsewhere/Sunset drive – ünï.mp4";
    for (const auto& [path, look] : std::initializer_list<std::pair<std::string, ClipLook>>{
             {counterPath, kCounterClip},
             {droppedPath, kDroppedClip},
             {home + "/sets/rain_forest.mp4", kDecoyClip},
             {home + "/sets/night/loop_sunset.mp4", kDecoyClip},
             {home + "/.cache/rain loop/rain_loop_hidden.mp4", kDecoyClip}})
        if (auto error = writeClip(path, look); !error.empty()) return error;
    QByteArray out;
    std::string error =
        run({"ffmpeg", "-nostdin", "-v", "error", "-i", QString::fromStdString(counterPath), "-f",
             "rawvideo", "-pix_fmt", "bgra", "-"},
            QProcessEnvironment::systemEnvironment(), &out);
    for (int at = 0, size = kClipWidth * kClipHeight * 4; at + size <= out.size(); at += size)
        reference.push_back(QImage(reinterpret_cast<const uchar*>(out.constData() + at), kClipWidth,
                                   kClipHeight, QImage::Format_RGB32)
                                .copy());
    if (reference.size() != static_cast<size_t>(kCounterClip.frames))
        return "FFmpeg's decode of the counter clip: " + error;

    if (error = startDisplay(root + "/xvfb.log"); !error.empty()) {
        *skip = true;
        return error;
    }
    if (error = xrandr({setMonitor("A", kMonitorA, "screen"), setMonitor("B", kMonitorB)});
        !error.empty())
        return error;
    programEnvironment = xEnvironment;
    programEnvironment.insert("HOME", QString::fromStdString(home));
    programEnvironment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime));
    programEnvironment.insert("QT_QPA_PLATFORM", "xcb");  // whatever the suite itself runs with
    programEnvironment.insert("LANG", "C.UTF-8");
    programEnvironment.remove("LC_ALL");
    program = launch({CLIPLOOP_PROGRAM}, programEnvironment, root + "/cliploop.out",
                     root + "/cliploop.err");
    return program->waitForStarted() ? "" : "cliploop does not start";
}

}  // namespace
}  // namespace cliploop::e2e

int main(int argc, char** argv) {
    using namespace cliploop::e2e;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress lines as they come, in ctest logs too
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);  // for QProcess
    QTemporaryDir folder("/tmp/cliploop-e2e-XXXXXX");
    bool skip = false;
    const std::string error =
        folder.isValid() ? setUp(folder.path().toStdString(), &skip) : "no temporary folder";
    int result = skip ? 77 : 1;
    if (error.empty()) {
        result = RUN_ALL_TESTS();
        program->waitForFinished(0);
        if (!quitByTest && program->state() != QProcess::Running) {
            std::fprintf(stderr, "e2e: the program ended during the run\n%s\n",
                         programLog().c_str());
            result = 1;
        }
        folder.setAutoRemove(result == 0 && !std::getenv("CLIPLOOP_E2E_KEEP"));
        if (!folder.autoRemove()) std::printf("e2e: files kept in %s\n", root.c_str());
    } else {
        std::printf("e2e: %s: %s\n", skip ? "SKIPPED: Xvfb cannot start here" : "cannot set up",
                    error.c_str());
    }
    program.reset();
    xServer.reset();
    return result;
}
