// The real program on its own two-monitor Xvfb, driven only by X input and read only through
// screenshots and "Video". Cases run in order on one program, each leaving the clip playing in
// both views; the last quits it. Exit status 77 (skipped) only when Xvfb cannot start.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "cliploop/FrameClient.h"

namespace cliploop::e2e {
namespace {

using namespace std::chrono_literals;
using std::this_thread::sleep_for;
namespace fs = std::filesystem;

// Ended with its object; in the suite's process group, so whatever ends the suite ends it too.
struct Child : QProcess {
    ~Child() override {
        terminate();
        if (!waitForFinished(3000)) kill();
        waitForFinished(5000);
    }
};

// Outputs appended to the files given, else kept.
std::unique_ptr<Child> launch(const QStringList& command, const QProcessEnvironment& environment,
                              const QString& outPath = {}, const QString& errPath = {}) {
    auto child = std::make_unique<Child>();
    child->setStandardInputFile(QProcess::nullDevice());
    child->setProcessEnvironment(environment);
    child->setStandardOutputFile(outPath, QIODevice::Append);
    child->setStandardErrorFile(errPath, QIODevice::Append);
    child->start(command.first(), command.mid(1));
    return child;
}

QProcessEnvironment xEnvironment;  // the suite's own, pointed at Xvfb's display

// Runs `command` to its end (killed after a minute): "" or what failed.
std::string run(const QStringList& command, QByteArray* out = nullptr) {
    const auto child = launch(command, xEnvironment);
    const bool ok = child->waitForFinished(60000) && child->exitStatus() == QProcess::NormalExit &&
                    child->exitCode() == 0;
    if (out) *out = child->readAllStandardOutput();
    return ok ? ""
              : command.join(' ').toStdString() +
                    " failed: " + child->readAllStandardError().toStdString();
}

std::string readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "";
}

// A hang guard, not a timing check.
bool waitUntil(const std::function<bool()>& condition) {
    for (const auto end = std::chrono::steady_clock::now() + 30s; !condition(); sleep_for(100ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

bool xdotool(const QString& arguments) {
    return run(("xdotool " + arguments).split(' ', Qt::SkipEmptyParts)).empty();
}

bool key(const QString& keys) {
    return xdotool("key --delay 60 " + keys);
}

bool click(QPoint at, int button = 1) {
    // No --sync: it waits for a motion that never comes when the pointer is already there.
    return xdotool(QString("mousemove %1 %2 click %3").arg(at.x()).arg(at.y()).arg(button));
}

// Their geometries in root coordinates.
std::vector<QRect> windows(const QString& windowClass = "cliploop") {
    std::vector<QRect> result;
    QByteArray ids, shell;
    run({"xdotool", "search", "--onlyvisible", "--class", windowClass}, &ids);  // or none
    for (const QByteArray& id : ids.split('\n')) {
        int x, y, width, height;  // unless the window went meanwhile
        if (!id.isEmpty() && run({"xdotool", "getwindowgeometry", "--shell", id}, &shell).empty() &&
            std::sscanf(shell.constData(), "WINDOW=%*u X=%d Y=%d WIDTH=%d HEIGHT=%d", &x, &y,
                        &width, &height) == 4)
            result.emplace_back(x, y, width, height);
    }
    return result;
}

QImage screenshot() {
    QByteArray ppm;  // a PNG of the whole display would cost more than the grab
    run({"import", "-window", "root", "-depth", "8", "ppm:-"}, &ppm);
    return QImage::fromData(ppm, "PPM").convertToFormat(QImage::Format_RGB32);
}

// 320 x 240 clips of 20 frames at 20 fps in bands: rows 0-79 two colours, 80-199 testsrc2,
// 200-239 blue. Nothing at the edge is black, so on a black view the non-black bounds are the
// picture's.
constexpr int kClipWidth = 320, kClipHeight = 240, kFrames = 20;
struct ClipLook {
    QColor left, right;
};

// libx264 at -qp 0: lossless in its planes, which every decoder then gives alike.
std::string writeClip(const QString& path, const ClipLook& look) {
    const auto plane = [&](char name, int left, int right, int blue) {
        return QString::asprintf("%c='if(lt(Y,80),if(lt(X,160),%d,%d),if(gte(Y,200),%d,%c(X,Y)))'",
                                 name, left, right, blue, name);
    };
    const QString filter = "format=gbrp,geq=" + plane('r', look.left.red(), look.right.red(), 0) +
                           ":" + plane('g', look.left.green(), look.right.green(), 0) + ":" +
                           plane('b', look.left.blue(), look.right.blue(), 255);
    return run(QString("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=20 "
                       "-frames:v 20 -vf %1 -c:v libx264 -qp 0 -pix_fmt yuv420p")
                   .arg(filter)
                   .split(' ')
               << path);
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

// Black rectangles at least 200 pixels wide and 100 high, left to right: the idle views.
std::vector<QRect> blackPanels(const QImage& image, const QRect& area) {
    std::map<std::pair<int, int>, std::pair<QRect, int>> runs;  // by their ends: where, rows
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const int start = x;
            while (x <= inside.right() && brightest(image.pixel(x, y)) <= 8) ++x;
            if (x - start < 200) continue;
            auto& [rect, rows] = runs[{start, x - 1}];
            rect |= QRect(start, y, x - start, 1);
            ++rows;
        }
    }
    std::vector<QRect> panels;
    for (const auto& [ends, run] : runs)
        if (run.second >= 100) panels.push_back(run.first);
    return panels;
}

const QRect kMonitorA(0, 0, 1920, 1080), kMonitorB(1920, 0, 1920, 1080);
// Found by the search, and dropped later.
const ClipLook kCounterClip{QColor(255, 0, 0), QColor(0, 255, 0)};
const ClipLook kDroppedClip{QColor(255, 255, 0), QColor(255, 0, 255)};

QString root, droppedPath;
std::unique_ptr<Child> program, xServer;
QProcessEnvironment programEnvironment;
std::vector<QImage> reference;  // FFmpeg's frames of the counter clip
QRect mainWindow;
QRect previewPanel, outputPanel;

std::string programLog() {
    return "cliploop stdout:\n" + readFile(root + "/cliploop.out") + "\ncliploop stderr:\n" +
           readFile(root + "/cliploop.err");
}

// The full-screen output is there.
bool covered(const QRect& area) {
    const auto list = windows();
    return std::find(list.begin(), list.end(), area) != list.end();
}

// Upright, not mirrored, and changing between shots.
bool playsIn(const QRect& panel, const ClipLook& look = kCounterClip) {
    QImage first;
    return waitUntil([&] {
        const QImage shot = screenshot();
        const QRect picture = pictureBounds(shot, panel);
        if (!near(sample(shot, picture, 80, 40), look.left, 60) ||
            !near(sample(shot, picture, 240, 40), look.right, 60) ||
            !near(sample(shot, picture, 160, 220), Qt::blue, 60))
            return false;
        if (first.isNull()) first = shot.copy(picture);
        return shot.copy(picture) != first;
    });
}

TEST(EndToEnd, StartsWithTwoIdleViewsAndPlaysTheFirstRowFoundByTwoWordsChosenByKeyboard) {
    ASSERT_TRUE(waitUntil([] {
        for (const auto& window : windows())
            if (window.width() >= 800) mainWindow = window;
        return !mainWindow.isNull();
    })) << "no window appeared\n"
        << programLog();
    sleep_for(1s);  // first paint
    const QImage startShot = screenshot();
    const auto panels = blackPanels(startShot, mainWindow);
    ASSERT_EQ(panels.size(), 2u) << "expected the preview and the output view";
    previewPanel = panels[0];
    outputPanel = panels[1];
    ASSERT_TRUE(key("r a i n space l o o p Return"));  // the search field has the focus at start
    const QRect firstRow(mainWindow.x(), previewPanel.bottom() + 28, mainWindow.width() / 2, 24);
    ASSERT_TRUE(waitUntil([&] { return screenshot().copy(firstRow) != startShot.copy(firstRow); }))
        << "the list stays empty";
    ASSERT_TRUE(key("Tab Tab Tab space"));  // past the two buttons to the table's first row
    EXPECT_TRUE(playsIn(previewPanel)) << "the preview does not play the clip\n" << programLog();
    EXPECT_TRUE(playsIn(outputPanel)) << "the output does not play the clip";
}

// Through the client library, which gives each frame's publication time: a frame missing after a
// gap longer than a frame's duration was lost to a stall of the machine, not to the loop.
TEST(EndToEnd, TwentyLoopTurnsReachAClientBitIdenticalAndWithoutASkip) {
    std::string error;
    auto client = FrameClient::connect("Video", static_cast<pid_t>(program->processId()), &error);
    ASSERT_TRUE(client) << error;
    const int loopTurns = 20;
    std::optional<int> previous;
    std::vector<std::string> skips;
    int turns = 0, bad = 0;
    double lastTime = 0;
    const auto deadline = std::chrono::steady_clock::now() + 2s * loopTurns + 15s;
    while (turns < loopTurns && std::chrono::steady_clock::now() < deadline) {
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
        const int number = std::find(reference.begin(), reference.end(), image) - reference.begin();
        if (number == kFrames) {
            ++bad;
            continue;
        }
        const bool stalled = time - lastTime > 1.0 / 20;
        lastTime = time;
        if (previous && number != *previous) {
            if (number != (*previous + 1) % kFrames && !stalled)
                skips.push_back(std::to_string(number) + " after " + std::to_string(*previous));
            turns += number < *previous;
        }
        previous = number;
    }
    EXPECT_GE(turns, loopTurns) << "too few loop turns received";
    EXPECT_EQ(bad, 0) << "frames differing from FFmpeg's decode, upside down or mirrored";
    EXPECT_TRUE(skips.empty()) << skips.size() << " frames skipped, first: " << skips.front();
}

TEST(EndToEnd, OutputGoesFullScreenOnScreen1AndEscapeBringsItBack) {
    const size_t shown = windows().size();
    ASSERT_TRUE(key("alt+o"));
    ASSERT_TRUE(waitUntil([&] { return windows().size() > shown; })) << "alt+o opened no menu";
    sleep_for(300ms);                 // drawn
    ASSERT_TRUE(key("Down Return"));  // from "MainScreen", where the menu opens, to "Screen 1"
    ASSERT_TRUE(waitUntil([] { return covered(kMonitorB); })) << "no full screen on monitor B";
    EXPECT_TRUE(playsIn(kMonitorB)) << "the second monitor does not play the clip";
    const QRect picture = pictureBounds(screenshot(), kMonitorB);  // full height, centred
    EXPECT_NEAR(picture.height(), 1080, 2);
    EXPECT_NEAR(picture.width(), 1440, 4);
    EXPECT_NEAR(picture.center().x(), kMonitorB.center().x(), 4);
    EXPECT_TRUE(playsIn(previewPanel.united(outputPanel)));
    EXPECT_FALSE(covered(kMonitorA));

    ASSERT_TRUE(key("Escape"));  // the full-screen view has the keyboard: no window manager
    EXPECT_TRUE(waitUntil([] { return !covered(kMonitorB); }));
    EXPECT_TRUE(playsIn(outputPanel)) << "the output is not back in the window";
}

// A real XDND drag from another process proposing a move; the preview answers a copy, so a file
// manager keeps the file.
TEST(EndToEnd, AFileDraggedOntoThePreviewPlaysAndStaysWhereItWas) {
    const QString log = root + "/drag.log";
    const auto source =
        launch({E2E_DRAG_SOURCE, droppedPath, "1500", "150"}, programEnvironment, log, log);
    ASSERT_TRUE(waitUntil([] { return !windows("e2e-drag-source").empty(); })) << readFile(log);
    sleep_for(500ms);
    const QPoint from(1600, 210), to = previewPanel.center();
    QString drag = QString("mousemove %1 %2 mousedown 1").arg(from.x()).arg(from.y());
    for (int step = 1; step <= 12; ++step) {
        const QPoint at = from + (to - from) * step / 12;
        drag += QString(" sleep 0.06 mousemove %1 %2").arg(at.x()).arg(at.y());
    }
    ASSERT_TRUE(xdotool(drag + " sleep 0.3 mouseup 1"));
    const std::string line = "-------------update NSNotification: " + droppedPath.toStdString();
    EXPECT_TRUE(waitUntil([&] {
        return readFile(root + "/cliploop.out").find(line) != std::string::npos;
    })) << line
        << " not printed\n"
        << programLog();
    EXPECT_TRUE(playsIn(previewPanel, kDroppedClip)) << "the preview does not play the drop";
    EXPECT_TRUE(playsIn(outputPanel, kDroppedClip));
    EXPECT_TRUE(waitUntil(  // 1: Qt::CopyAction
        [&] { return readFile(log).find("drag finished: 1\n") != std::string::npos; }))
        << "drag source: " << readFile(log);
    EXPECT_TRUE(fs::exists(droppedPath.toStdString()));
}

TEST(EndToEnd, CtrlQQuitsWithStatusZeroAndWithdrawsTheFrameServer) {
    ASSERT_TRUE(click({mainWindow.center().x() + 200, previewPanel.top() - 16}));
    ASSERT_TRUE(key("ctrl+q"));
    ASSERT_TRUE(program->waitForFinished(30000)) << "still running after Ctrl+Q\n" << programLog();
    EXPECT_EQ(program->exitStatus(), QProcess::NormalExit) << programLog();
    EXPECT_EQ(program->exitCode(), 0) << programLog();
    const fs::path servers = (root + "/runtime/cliploop").toStdString();
    EXPECT_TRUE(fs::is_empty(servers)) << fs::directory_iterator(servers)->path();
}

// "" or what went wrong, with `skip` set when Xvfb cannot start.
std::string setUp(const QString& folder, bool* skip) {
    root = folder;
    const QString home = root + "/home", runtime = root + "/runtime";
    for (const auto& path : {home + "/sets/night", root + "/elsewhere", runtime})
        fs::create_directories(path.toStdString());
    fs::permissions(runtime.toStdString(), fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", qPrintable(runtime), 1);  // where this process finds servers too
    xServer = launch(
        QString("Xvfb -displayfd 1 -screen 0 3840x1080x24 -nolisten tcp -noreset").split(' '),
        QProcessEnvironment::systemEnvironment(), {}, root + "/xvfb.log");
    QByteArray number;  // written once it accepts connections
    while (!number.contains('\n') && xServer->waitForReadyRead(20000))
        number += xServer->readAllStandardOutput();
    if (!number.contains('\n')) {
        *skip = true;
        return "Xvfb did not start: " + readFile(root + "/xvfb.log");
    }
    xEnvironment = QProcessEnvironment::systemEnvironment();
    xEnvironment.insert("DISPLAY", ":" + QString::fromLatin1(number.trimmed()));
    for (const char* name : {"WAYLAND_DISPLAY", "XAUTHORITY", "LC_ALL"}) xEnvironment.remove(name);
    std::string error;
    // Monitor A carries the real output: otherwise Qt sees a third, whole-display screen.
    for (const char* monitor :
         {"A 1920/508x1080/286+0+0 screen", "B 1920/508x1080/286+1920+0 none"})
        if (error = run(QString("xrandr --setmonitor %1").arg(monitor).split(' ')); !error.empty())
            return error;
    const QString counterPath = home + "/sets/night/Loop_Rain_counter.mp4";
    droppedPath = root + "/elsewhere/Sunset drive – ünï.mp4";
    if (error = writeClip(counterPath, kCounterClip); !error.empty()) return error;
    if (error = writeClip(droppedPath, kDroppedClip); !error.empty()) return error;
    QByteArray out;
    error = run({"ffmpeg", "-nostdin", "-v", "error", "-i", counterPath, "-f", "rawvideo",
                 "-pix_fmt", "bgra", "-"},
                &out);
    for (int at = 0, size = kClipWidth * kClipHeight * 4; at + size <= out.size(); at += size)
        reference.push_back(QImage(reinterpret_cast<const uchar*>(out.constData() + at), kClipWidth,
                                   kClipHeight, QImage::Format_RGB32)
                                .copy());
    if (reference.size() != size_t(kFrames)) return "FFmpeg's decode failed: " + error;
    programEnvironment = xEnvironment;
    programEnvironment.insert("HOME", home);
    programEnvironment.insert("XDG_RUNTIME_DIR", runtime);
    programEnvironment.insert("QT_QPA_PLATFORM", "xcb");  // whatever the suite itself runs with
    programEnvironment.insert("LANG", "C.UTF-8");
    program = launch({CLIPLOOP_PROGRAM}, programEnvironment, root + "/cliploop.out",
                     root + "/cliploop.err");
    return program->waitForStarted() ? "" : "cliploop does not start";
}

}  // namespace
}  // namespace cliploop::e2e

int main(int argc, char** argv) {
    using namespace cliploop::e2e;
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);  // for QProcess
    QTemporaryDir folder("/tmp/cliploop-e2e-XXXXXX");
    bool skip = false;
    const std::string error =
        folder.isValid() ? setUp(folder.path(), &skip) : "no temporary folder";
    if (!error.empty())
        std::printf("e2e: %s: %s\n", skip ? "SKIPPED" : "cannot set up", error.c_str());
    const int result = !error.empty() ? (skip ? 77 : 1) : RUN_ALL_TESTS();
    folder.setAutoRemove(result == 0 && !std::getenv("CLIPLOOP_E2E_KEEP"));
    program.reset();
    xServer.reset();
    return result;
}
