// The real program as a performer uses it, on its own Xvfb split into two monitors: driven only
// through X input, read only through screenshots and the frames of its frame server "Video". The
// cases run in order on one program, each leaving a clip playing in both views at rate 1 with the
// output in the window; the last one quits it. Exit status 77 (skipped) only when Xvfb cannot
// start.
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

// A child process ended when its object goes: SIGTERM, then SIGKILL if it lingers. It stays in the
// suite's process group, so that whatever ends the suite ends it too.
struct Child : QProcess {
    Child() { setStandardInputFile(nullDevice()); }
    ~Child() override {
        terminate();
        if (!waitForFinished(3000)) kill();
        waitForFinished(5000);
    }
};

// Runs `command` to its end (killed after a minute): "" or what failed.
std::string run(const QStringList& command,
                const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                QByteArray* out = nullptr) {
    Child child;
    child.setProcessEnvironment(environment);
    child.start(command.first(), command.mid(1));
    const bool ok = child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit &&
                    child.exitCode() == 0;
    if (out) *out = child.readAllStandardOutput();
    if (ok) return "";
    return command.join(' ').toStdString() + " failed: " + child.errorString().toStdString() +
           "\n" + child.readAllStandardError().toStdString();
}

// Starts `command` with its outputs appended to two files.
std::unique_ptr<Child> launch(const QStringList& command, const QProcessEnvironment& environment,
                              const std::string& outPath, const std::string& errPath) {
    auto child = std::make_unique<Child>();
    child->setProcessEnvironment(environment);
    child->setStandardOutputFile(QString::fromStdString(outPath), QIODevice::Append);
    child->setStandardErrorFile(QString::fromStdString(errPath), QIODevice::Append);
    child->start(command.first(), command.mid(1));
    return child->waitForStarted() ? std::move(child) : nullptr;
}

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Polls `condition` until it holds or `timeout` passes; the last result.
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

void pause(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

// The display: Xvfb on a number it picks itself (-displayfd), without TCP.
std::unique_ptr<Child> xServer;
QProcessEnvironment xEnvironment;  // the suite's own, pointed at that display

// Starts Xvfb: "" or why it cannot start.
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

// An X client run on the display: "" or what failed.
std::string onDisplay(const QStringList& command, QByteArray* out = nullptr) {
    return run(command, xEnvironment, out);
}

// Changes the display's xrandr monitors, in the order given (each change a separate xrandr call).
std::string xrandr(const QStringList& changes) {
    std::string error;
    for (const QString& change : changes)
        if (error.empty()) error = onDisplay(("xrandr " + change).split(' '));
    return error;
}

// A monitor over `area` (its physical size at 96 dpi), carrying the real output or none.
QString setMonitor(const QString& name, const QRect& a, const char* output = "none") {
    return QString::asprintf("--setmonitor %s %d/%dx%d/%d+%d+%d %s", qPrintable(name), a.width(),
                             a.width() * 254 / 960, a.height(), a.height() * 254 / 960, a.x(),
                             a.y(), output);
}

// xdotool on the display, its arguments split at spaces.
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

// The visible top-level windows of that class.
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

// Test clips are 320 x 240, in bands a screenshot or a received frame is read back from, scaled or
// not: rows 0-39 the frame number in eight 40-pixel blocks, most significant bit first (white 1,
// grey 96 0), rows 40-79 the clip's two colours left and right, rows 80-199 FFmpeg's testsrc2, rows
// 200-239 blue. Nothing at the edge is black, so on a black view the picture's bounds are those of
// the non-black pixels; upside down, blue is on top.
constexpr int kClipWidth = 320, kClipHeight = 240;
struct ClipLook {
    int frames, fps;
    QColor left, right;
};

// libx264 at -qp 0: lossless in its YUV planes, which every decoder then gives alike.
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

// The bounds of the non-black pixels in `area`.
QRect pictureBounds(const QImage& image, const QRect& area) {
    const QRect inside = area.intersected(image.rect());
    QRect bounds;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (brightest(image.pixel(x, y)) > 40) bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// The mean colour around the clip's point (x, y) as the picture at `picture` shows it.
QColor sample(const QImage& image, const QRect& picture, double x, double y) {
    const QPoint at =
        picture.topLeft() + QPoint(static_cast<int>(x * picture.width() / kClipWidth),
                                   static_cast<int>(y * picture.height() / kClipHeight));
    const int r = std::max(1, picture.width() / 80);
    return image.copy(QRect(at - QPoint(r, r), at + QPoint(r, r)))
        .scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .pixelColor(0, 0);
}

// The number the picture at `picture` (null: the whole image) shows; nullopt when its number band
// is not there (no picture, upside down, another clip).
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

// Whether `picture` shows the clip with these colours, upright and not mirrored.
bool showsClip(const QImage& image, const QRect& picture, const ClipLook& look) {
    return readFrameNumber(image, picture) && near(sample(image, picture, 80, 60), look.left, 60) &&
           near(sample(image, picture, 240, 60), look.right, 60) &&
           near(sample(image, picture, 160, 220), Qt::blue, 60);
}

// Over the colour channels of two images of the same size, in dB; infinity when equal.
double psnr(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            for (int d : {qRed(p) - qRed(q), qGreen(p) - qGreen(q), qBlue(p) - qBlue(q)})
                sum += d * d;
        }
    }
    return 10.0 * std::log10(255.0 * 255.0 * 3.0 * a.width() * a.height() / sum);
}

// Black rectangles in `area` at least `minimum` wide and half as high, left to right: the views
// before anything plays (the rest of the window is light, text has no long black runs).
std::vector<QRect> blackPanels(const QImage& image, const QRect& area, int minimum) {
    std::map<std::pair<int, int>, std::pair<QRect, int>>
        runs;  // by their ends: where, in how many rows
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

// Pixels differing by more than 24 in a channel between the same area of two shots.
int differingPixels(const QImage& a, const QImage& b, const QRect& area) {
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += !near(a.pixelColor(x, y), b.pixelColor(x, y), 24);
    return count;
}

const QRect kMonitorA(0, 0, 1920, 1080), kMonitorB(1920, 0, 1920, 1080);
const QRect kNarrowB(1920, 0, 960, 1080), kNarrowC(2880, 0, 960, 1080);  // B split in two
// The clip the search finds, the one dropped later, and clips that match one word or hide.
const ClipLook kCounterClip{20, 20, QColor(255, 0, 0), QColor(0, 255, 0)};
const ClipLook kDroppedClip{20, 20, QColor(255, 255, 0), QColor(255, 0, 255)};
const ClipLook kDecoyClip{4, 20, QColor(0, 255, 255), QColor(255, 255, 255)};
constexpr int kLoopTurns = 20;

// What the cases share, set up by main and by the first case.
std::string root, droppedPath;
std::unique_ptr<Child> program;
bool quitByTest = false;  // the last case ends the program itself
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

// Keeps a shot in the suite's folder for whoever reads a failure.
void keep(const QImage& image, const char* what) {
    static int kept = 0;
    const QString path = QString("%1/%2-%3-%4.png")
                             .arg(QString::fromStdString(root),
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                                  what, QString::number(++kept));
    image.save(path);
    std::printf("e2e: kept %s\n", qPrintable(path));
}

bool listed(const std::vector<XWindow>& list, const XWindow& window) {
    return std::any_of(list.begin(), list.end(),
                       [&](const XWindow& w) { return w.id == window.id; });
}

bool closes(const XWindow& popup) {
    return waitUntil([&] { return !listed(windows(), popup); }, 3s);
}

// A window of the program that covers `area` exactly: the full-screen output.
std::optional<XWindow> windowCovering(const QRect& area) {
    for (const auto& window : windows())
        if (window.geometry == area) return window;
    return std::nullopt;
}

// Does `action` and returns the popup it opens, once drawn.
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
    pause(300ms);
    return popup;
}

// The items an open menu shows: bands of rows that differ from its background (the items' text or
// the highlight), separated by background rows. Its frame, 3 pixels wide, is left out.
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

// Closes a menu as a mouse user does, with a click beside it on the search folder's text (which
// does nothing). Escape would leave the menu bar in keyboard navigation, where letters open menus.
bool closeMenu(const XWindow& popup) {
    click({mainWindow.geometry.center().x() + 200, previewPanel.top() - 16});
    return closes(popup);
}

std::optional<XWindow> openOutputMenu() {
    return popupAfter([] { return click(outputMenuTitle); });
}

// Opens and closes the Output menu until it lists `count` items; the last count seen.
int outputMenuSettlesAt(int count) {
    int seen = -1;
    waitUntil(
        [&] {
            const auto popup = openOutputMenu();
            seen = popup ? itemCount(*popup) : -1;
            if (popup) closeMenu(*popup);
            return seen == count;
        },
        10s, 300ms);
    return seen;
}

// Opens the Output menu and chooses the item at `position` with the keys.
bool chooseOutputItem(int position) {
    return openOutputMenu() && key(QString("Down ").repeated(position + 1) + "Return");
}

// The frame number `panel` shows, when it shows that clip.
std::optional<int> numberIn(const QImage& image, const QRect& panel, const ClipLook& look) {
    const QRect picture = pictureBounds(image, panel);
    return showsClip(image, picture, look) ? readFrameNumber(image, picture) : std::nullopt;
}

// Whether `panel` shows that clip playing: upright, its number changing between shots.
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

// Whether a window of the program comes to cover `monitor` exactly (or stops), as full-screen
// output does.
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
    pause(1s);  // first paint
    startShot = screenshot();
    // The two views are the window's two large black panels, side by side.
    const auto panels = blackPanels(startShot, mainWindow.geometry, 200);
    ASSERT_EQ(panels.size(), 2u) << "expected the preview and the output view";
    previewPanel = panels[0];
    outputPanel = panels[1];
    EXPECT_EQ(previewPanel.y(), outputPanel.y());
    EXPECT_LT(previewPanel.right(), outputPanel.left());

    // The Output menu from the keyboard; its title is on the menu bar, above its popup.
    const auto popup = popupAfter([] { return key("alt+o"); });
    ASSERT_TRUE(popup) << "alt+o opened no menu";
    EXPECT_EQ(itemCount(*popup), 2) << "one item per monitor: \"MainScreen\", \"Screen 1\"";
    outputMenuTitle = QPoint(popup->geometry.x() + 12, popup->geometry.y() / 2);
    ASSERT_TRUE(closeMenu(*popup));
}

TEST(EndToEnd, FindsTheClipByTwoWordsAndPlaysTheFirstRowChosenByKeyboard) {
    ASSERT_FALSE(previewPanel.isNull());
    // Typed into the search field, which has the focus at start.
    ASSERT_TRUE(key("r a i n space l o o p Return"));
    // The list fills when the walk ends: its first row appears under the table's header.
    const QRect firstRow(mainWindow.geometry.x(), previewPanel.bottom() + 28,
                         mainWindow.geometry.width() / 2, 24);
    ASSERT_TRUE(
        waitUntil([&] { return differingPixels(screenshot(), startShot, firstRow) > 50; }, 20s))
        << "the list stays empty";
    // Past the Search and Choose Folder buttons to the table; select the row under the cursor.
    ASSERT_TRUE(key("Tab Tab Tab space"));
    EXPECT_TRUE(playsIn(previewPanel)) << "the preview does not play the clip\n" << programLog();
    EXPECT_TRUE(playsIn(outputPanel)) << "the output does not play the clip";
}

// Frames as the shipped receiver writes them: PNG files, upright.
TEST(EndToEnd, ReceiverWritesFramesEqualToFfmpegsDecodeUpright) {
    const std::string folder = root + "/received";
    ASSERT_EQ(run({CLIPLOOP_RECEIVER, "Video", "--png", QString::fromStdString(folder), "--frames",
                   "40", "--timeout", "5"},
                  programEnvironment),
              "");
    int frames = 0;
    double lowest = std::numeric_limits<double>::infinity();
    std::set<int> numbers;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const QImage frame = QImage(QString::fromStdString(entry.path().string()))
                                 .convertToFormat(QImage::Format_RGB32);
        ++frames;
        ASSERT_EQ(frame.size(), QSize(kClipWidth, kClipHeight)) << entry.path();
        const auto number = readFrameNumber(frame);
        ASSERT_TRUE(number && *number < kCounterClip.frames &&
                    showsClip(frame, frame.rect(), kCounterClip))
            << entry.path() << " is not the clip, upright";
        numbers.insert(*number);
        lowest = std::min(lowest, psnr(frame, reference[*number]));
    }
    EXPECT_EQ(frames, 40);
    EXPECT_GE(numbers.size(), 10u) << "the frames do not move on";
    std::printf("E2E receive_png.psnr_min_db %.2f\n", lowest);
    EXPECT_GE(lowest, 45.0) << "a received frame differs from FFmpeg's decode";
}

// Twenty loop turns through the client library cliploop-receive is built on, which also gives each
// frame's publication time: a clip frame missing between two publications more than a frame's
// duration apart was lost to a stall of the machine, not to the loop; closer, it was skipped.
TEST(EndToEnd, TwentyLoopTurnsReachAClientWithoutSkipOrRepeat) {
    std::string error;
    auto client = FrameClient::connect("Video", static_cast<pid_t>(program->processId()), &error);
    ASSERT_TRUE(client) << error;
    const int frames = kCounterClip.frames;
    const double frameDuration = 1.0 / kCounterClip.fps;
    std::vector<std::pair<int, double>> shown;  // each clip frame and when it was first published
    std::vector<std::string> skips;
    int turns = 0, bad = 0;
    double lowest = std::numeric_limits<double>::infinity(), lastTime = 0;
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
        if (!number || *number >= frames || !showsClip(image, image.rect(), kCounterClip)) {
            ++bad;
            continue;
        }
        lowest = std::min(lowest, psnr(image, reference[*number]));
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
    // How long frames stay up at the loop point (the last frame of a turn, the first of the next)
    // against inside a turn, by the median: a frame repeated at every seam adds a frame's
    // duration; a stall now and then does not move it.
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
    std::printf(
        "E2E frames.loop_turns %d psnr_min_db %.2f seam_hold_median_ms %.1f "
        "inner_hold_median_ms %.1f\n",
        turns, lowest, median(seamHolds) * 1000, median(innerHolds) * 1000);
    EXPECT_GE(turns, kLoopTurns) << "too few loop turns received";
    EXPECT_EQ(bad, 0) << "frames unreadable, upside down or mirrored";
    EXPECT_GE(lowest, 45.0) << "a received frame differs from FFmpeg's decode";
    EXPECT_TRUE(skips.empty()) << skips.size() << " frames skipped, first: " << skips.front();
    EXPECT_LT(median(seamHolds), median(innerHolds) + frameDuration / 2)
        << "frames at the loop point stay up longer than inside a turn";
}

TEST(EndToEnd, RateSliderStillsThePictureAtZeroAndComesBackToOne) {
    // The rate text at the window's bottom right, beside the slider, above the status line.
    const QRect& window = mainWindow.geometry;
    const QRect rateText(window.right() - 60, window.bottom() - 64, 60, 64);
    const auto rateTextDiffers = [&] { return differingPixels(screenshot(), startShot, rateText); };
    ASSERT_TRUE(key("Tab Home"));  // from the table to the slider; Home is 0.00x
    EXPECT_TRUE(waitUntil([&] { return rateTextDiffers() > 20; }, 10s)) << "the rate text stays";
    pause(800ms);  // the last frame before the stop is drawn
    // Still: the same frame in both views, a while apart.
    const auto first = numberIn(screenshot(), previewPanel, kCounterClip);
    ASSERT_TRUE(first) << "the preview shows no clip at rate 0";
    pause(1500ms);
    const QImage later = screenshot();
    EXPECT_EQ(numberIn(later, previewPanel, kCounterClip), first) << "the picture moves at 0.00x";
    EXPECT_EQ(numberIn(later, outputPanel, kCounterClip), first);
    // Ten pages up (0.10 each) is 1.00x again: the text reads as at start.
    ASSERT_TRUE(key(QString("Page_Up ").repeated(10)));
    EXPECT_TRUE(waitUntil([&] { return rateTextDiffers() == 0; }, 10s)) << "the text is not 1.00x";
    EXPECT_TRUE(playsIn(previewPanel)) << "the clip does not play again";
}

TEST(EndToEnd, OutputGoesFullScreenOnScreen1AndComesBack) {
    ASSERT_TRUE(chooseOutputItem(1)) << "\"Screen 1\"";
    ASSERT_TRUE(fullScreenOn(kMonitorB)) << "no window fills the second monitor";
    // The clip fills the monitor's height, centred at its aspect ratio.
    EXPECT_TRUE(playsIn(kMonitorB)) << "the second monitor does not play the clip";
    const QRect picture = pictureBounds(screenshot(), kMonitorB);
    EXPECT_NEAR(picture.height(), 1080, 2);
    EXPECT_NEAR(picture.width(), 1440, 4);
    EXPECT_NEAR(picture.center().x(), kMonitorB.center().x(), 4);
    // The preview still plays in the window; the first monitor has no full-screen output.
    EXPECT_TRUE(playsIn(previewPanel.united(outputPanel)));
    EXPECT_FALSE(windowCovering(kMonitorA));

    EXPECT_EQ(outputMenuSettlesAt(1), 1) << "not the exit item alone";
    ASSERT_TRUE(chooseOutputItem(0)) << "\"Exit Full Screen\"";
    EXPECT_TRUE(fullScreenOn(kMonitorB, false));
    EXPECT_TRUE(playsIn(outputPanel)) << "the output is not back in the window";
    EXPECT_TRUE(playsIn(previewPanel));
    EXPECT_EQ(outputMenuSettlesAt(2), 2);
}

TEST(EndToEnd, FullScreenOutputOffersTheMenuAndEscapeLeavesIt) {
    ASSERT_TRUE(chooseOutputItem(1));
    ASSERT_TRUE(fullScreenOn(kMonitorB));
    pause(500ms);
    // A right click on the picture opens the menu's items: the exit item.
    const auto popup = popupAfter([] { return click(kMonitorB.center(), 3); });
    ASSERT_TRUE(popup) << "no context menu";
    EXPECT_EQ(itemCount(*popup), 1);
    ASSERT_TRUE(key("Escape"));  // closes the context menu
    EXPECT_TRUE(closes(*popup));
    EXPECT_TRUE(windowCovering(kMonitorB)) << "closing the context menu left full screen";
    // The program gives the full-screen view the keyboard (there is no window manager); Escape
    // there leaves full screen.
    ASSERT_TRUE(key("Escape"));
    EXPECT_TRUE(fullScreenOn(kMonitorB, false));
    EXPECT_TRUE(playsIn(outputPanel));
    EXPECT_EQ(outputMenuSettlesAt(2), 2);
}

TEST(EndToEnd, ScreenMenuFollowsMonitorsPluggedInAndOut) {
    // The second monitor split in two: three screens.
    ASSERT_EQ(xrandr({"--delmonitor B", setMonitor("B", kNarrowB), setMonitor("C", kNarrowC)}), "");
    EXPECT_EQ(outputMenuSettlesAt(3), 3);
    ASSERT_TRUE(chooseOutputItem(2));  // "Screen 2", the new monitor
    ASSERT_TRUE(fullScreenOn(kNarrowC)) << "no window fills the third monitor";
    EXPECT_TRUE(playsIn(kNarrowC));
    EXPECT_EQ(outputMenuSettlesAt(1), 1);

    // Unplugged and plugged in again during full-screen output: the screens are listed again
    // each time, and the output stays.
    ASSERT_EQ(xrandr({"--delmonitor C"}), "");
    EXPECT_EQ(outputMenuSettlesAt(2), 2) << "after unplugging";
    ASSERT_EQ(xrandr({setMonitor("C", kNarrowC)}), "");
    EXPECT_EQ(outputMenuSettlesAt(3), 3) << "after plugging in";
    EXPECT_TRUE(windowCovering(kNarrowC)) << "the output moved";
    // A screen item during full-screen output brings the exit item back, the output staying.
    ASSERT_TRUE(chooseOutputItem(0));
    EXPECT_EQ(outputMenuSettlesAt(1), 1);
    EXPECT_TRUE(windowCovering(kNarrowC)) << "the output moved";
    ASSERT_TRUE(chooseOutputItem(0));
    EXPECT_TRUE(fullScreenOn(kNarrowC, false));
    EXPECT_EQ(outputMenuSettlesAt(3), 3);

    // Back to two monitors for what follows.
    ASSERT_EQ(xrandr({"--delmonitor C", "--delmonitor B", setMonitor("B", kMonitorB)}), "");
    EXPECT_EQ(outputMenuSettlesAt(2), 2);
    EXPECT_TRUE(playsIn(outputPanel));
}

TEST(EndToEnd, AFileDraggedOntoThePreviewPlaysAndStaysWhereItWas) {
    // A drag source of ours stands in for a file manager: a real XDND drag between two processes.
    // It proposes a move; the preview answers a copy, so a file manager would keep the file.
    const std::string log = root + "/drag.log";
    const auto source =
        launch({E2E_DRAG_SOURCE, QString::fromStdString(droppedPath), "1500", "150"},
               programEnvironment, log, log);
    ASSERT_TRUE(source);
    ASSERT_TRUE(waitUntil([] { return !windows("e2e-drag-source").empty(); }, 15s))
        << readFile(log);
    pause(500ms);
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
    EXPECT_TRUE(playsIn(previewPanel, kDroppedClip))
        << "the preview does not play the dropped clip";
    EXPECT_TRUE(playsIn(outputPanel, kDroppedClip));
    EXPECT_TRUE(
        waitUntil([&] { return readFile(log).find("drag finished:") != std::string::npos; }, 10s));
    EXPECT_NE(readFile(log).find("drag finished: 1\n"), std::string::npos)  // Qt::CopyAction
        << "drag source: " << readFile(log);
    EXPECT_TRUE(fs::exists(droppedPath));
}

// Last, while a clip plays: the Quit shortcut ends the program with status 0, and "Video" is no
// longer listed nor left in the server directory.
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

// Makes the folder tree and the clips, starts the display and the program: "" or what went
// wrong, with `skip` set when Xvfb cannot start.
std::string setUp(const std::string& folder, bool* skip) {
    root = folder;
    const std::string home = root + "/home", runtime = root + "/runtime";
    for (const auto& path :
         {home + "/sets/night", home + "/.cache/rain loop", root + "/elsewhere", runtime})
        fs::create_directories(path);
    fs::permissions(runtime, fs::perms::owner_all);
    // Frame servers are found there, by the program, the receiver and this process alike.
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    const std::string counterPath = home + "/sets/night/Loop_Rain_counter.mp4";
    droppedPath = root + "/elsewhere/Sunset drive – ünï.mp4";
    for (const auto& [path, look] : std::initializer_list<std::pair<std::string, ClipLook>>{
             {counterPath, kCounterClip},
             {droppedPath, kDroppedClip},
             {home + "/sets/rain_forest.mp4", kDecoyClip},
             {home + "/sets/night/loop_sunset.mp4", kDecoyClip},
             {home + "/.cache/rain loop/rain_loop_hidden.mp4", kDecoyClip}})
        if (auto error = writeClip(path, look); !error.empty()) return error;
    // FFmpeg's decode as the reference.
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
    return program ? "" : "cliploop does not start";
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
        std::printf("e2e: display %s, files in %s\n", qPrintable(xEnvironment.value("DISPLAY")),
                    root.c_str());
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
