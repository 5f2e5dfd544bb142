// The real program on its own two-monitor Xvfb, driven by X input, read through screenshots and
// "Video". Cases run in order on one program; the last quits it. 77 (skip): Xvfb cannot start.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
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

// In the suite's process group, so whatever ends the suite ends it too.
struct Child : QProcess {
    Child(const QStringList& command, const QProcessEnvironment& environment,
          const QString& outPath = {}, const QString& errPath = {}) {
        setStandardInputFile(QProcess::nullDevice());
        setProcessEnvironment(environment);
        setStandardOutputFile(outPath, QIODevice::Append);
        setStandardErrorFile(errPath, QIODevice::Append);
        start(command.first(), command.mid(1));
    }
    ~Child() override {
        terminate();
        if (!waitForFinished(3000)) kill();
        waitForFinished(5000);
    }
};

QProcessEnvironment xEnvironment;  // for the program and every tool, pointed at Xvfb's display

std::string run(const QStringList& command, QByteArray* out = nullptr) {
    Child child(command, xEnvironment);
    const bool ok = child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit &&
                    child.exitCode() == 0;
    if (out) *out = child.readAllStandardOutput();
    return ok ? ""
              : command.join(' ').toStdString() + ": " + child.readAllStandardError().toStdString();
}

std::string readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "";
}

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

std::vector<QRect> windows() {
    QByteArray shell;  // empty when there is none
    run(QString("xdotool search --onlyvisible --class cliploop getwindowgeometry --shell %@")
            .split(' '),
        &shell);
    std::vector<QRect> result;
    static const QRegularExpression geometry(
        "X=(-?\\d+)\\nY=(-?\\d+)\\nWIDTH=(\\d+)\\nHEIGHT=(\\d+)");
    for (const auto& m : geometry.globalMatch(QString::fromLatin1(shell)))
        result.emplace_back(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                            m.captured(4).toInt());
    return result;
}

QImage screenshot() {
    QByteArray ppm;  // a PNG of the whole display would cost more than the grab
    run({"import", "-window", "root", "-depth", "8", "ppm:-"}, &ppm);
    return QImage::fromData(ppm, "PPM").convertToFormat(QImage::Format_RGB32);
}

// 20 fps clips in bands: rows 0-79 red | green, 80-199 testsrc2, 200-239 blue; no black edge.
constexpr int kClipWidth = 320, kClipHeight = 240, kFrames = 20;

// libx264 at -qp 0: lossless in its planes, which every decoder then gives alike.
std::string writeClip(const QString& path) {
    const auto plane = [&](char name, int left, int right, int blue) {
        return QString::asprintf("%c='if(lt(Y,80),if(lt(X,160),%d,%d),if(gte(Y,200),%d,%c(X,Y)))'",
                                 name, left, right, blue, name);
    };
    const QString filter = "format=gbrp,geq=" + plane('r', 255, 0, 0) + ":" +
                           plane('g', 0, 255, 0) + ":" + plane('b', 0, 0, 255);
    return run(QString("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=20 "
                       "-frames:v 20 -vf %1 -c:v libx264 -qp 0 -pix_fmt yuv420p")
                   .arg(filter)
                   .split(' ')
               << path);
}

int brightest(QRgb p) {
    return std::max({qRed(p), qGreen(p), qBlue(p)});
}

QRect pictureBounds(const QImage& image, const QRect& area) {
    const QRect inside = area.intersected(image.rect());
    QRect bounds;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (brightest(image.pixel(x, y)) > 40) bounds |= QRect(x, y, 1, 1);
    return bounds;
}

// Black rectangles at least 200 pixels wide and 100 high, left to right: the idle views.
std::vector<QRect> blackPanels(const QImage& image, const QRect& area) {
    const QRect inside = area.intersected(image.rect());
    std::map<std::pair<int, int>, QRect> runs;  // by their ends
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(), start = x; x <= inside.right(); start = ++x) {
            while (x <= inside.right() && brightest(image.pixel(x, y)) <= 8) ++x;
            if (x - start >= 200) runs[{start, x - 1}] |= QRect(start, y, x - start, 1);
        }
    std::vector<QRect> panels;
    for (const auto& [ends, run] : runs)
        if (run.height() >= 100) panels.push_back(run);
    return panels;
}

const QRect kMonitorA(0, 0, 1920, 1080), kMonitorB(1920, 0, 1920, 1080);

QString root;
std::unique_ptr<Child> program, xServer;
std::vector<QImage> reference;  // FFmpeg's frames of the counter clip
QRect mainWindow, previewPanel, outputPanel;

std::string programLog() {
    return readFile(root + "/cliploop.out") + readFile(root + "/cliploop.err");
}

bool covered(const QRect& area) {
    return std::ranges::count(windows(), area) > 0;
}

// Upright, not mirrored, and changing between shots.
bool playsIn(const QRect& panel) {
    QImage first;
    return waitUntil([&] {
        const QImage shot = screenshot();
        const QRect picture = pictureBounds(shot, panel);
        const auto shows = [&](int x, int y, const QColor& colour) {  // at the clip's (x, y)
            const QColor c = shot.pixelColor(picture.x() + x * picture.width() / kClipWidth,
                                             picture.y() + y * picture.height() / kClipHeight);
            return std::max({std::abs(c.red() - colour.red()), std::abs(c.green() - colour.green()),
                             std::abs(c.blue() - colour.blue())}) <= 60;
        };
        if (!shows(80, 40, Qt::red) || !shows(240, 40, Qt::green) || !shows(160, 220, Qt::blue))
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
    int previous = -1, turns = 0, bad = 0, skips = 0;
    double lastTime = 0;
    const auto deadline = std::chrono::steady_clock::now() + 55s;
    while (turns < 20 && std::chrono::steady_clock::now() < deadline) {
        auto frame = client->receiveFrame(500ms);
        ASSERT_TRUE(frame || !client->ended()) << "the server ended the stream";
        if (!frame) continue;
        ASSERT_EQ(QSize(frame->width(), frame->height()), QSize(kClipWidth, kClipHeight));
        QImage image(kClipWidth, kClipHeight, QImage::Format_RGB32);
        for (int y = 0; y < kClipHeight; ++y)
            std::memcpy(image.scanLine(y), frame->row(y), kClipWidth * 4);
        const bool stalled = frame->hostTime() - lastTime > 1.0 / 20;
        lastTime = frame->hostTime();
        frame->release();
        const int number = std::find(reference.begin(), reference.end(), image) - reference.begin();
        bad += number == kFrames;
        if (number == kFrames || number == previous) continue;
        skips += previous >= 0 && number != (previous + 1) % kFrames && !stalled;
        turns += number < previous;
        previous = number;
    }
    EXPECT_GE(turns, 20) << "too few loop turns received";
    EXPECT_EQ(bad, 0) << "frames differing from FFmpeg's decode, upside down or mirrored";
    EXPECT_EQ(skips, 0) << "frames skipped";
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
    EXPECT_TRUE(std::abs(picture.height() - 1080) <= 2 && std::abs(picture.width() - 1440) <= 4 &&
                std::abs(picture.center().x() - kMonitorB.center().x()) <= 4)
        << picture.width() << "x" << picture.height() << "+" << picture.x();
    EXPECT_TRUE(playsIn(previewPanel.united(outputPanel)));
    EXPECT_FALSE(covered(kMonitorA));

    ASSERT_TRUE(key("Escape"));  // the full-screen view has the keyboard: no window manager
    EXPECT_TRUE(waitUntil([] { return !covered(kMonitorB); }));
    EXPECT_TRUE(playsIn(outputPanel)) << "the output is not back in the window";
}

TEST(EndToEnd, CtrlQQuitsWithStatusZeroAndWithdrawsTheFrameServer) {
    // No --sync: it waits for a motion that never comes when the pointer is already there.
    ASSERT_TRUE(xdotool(QString::asprintf("mousemove %d %d click 1", mainWindow.center().x() + 200,
                                          previewPanel.top() - 16)));
    ASSERT_TRUE(key("ctrl+q"));
    ASSERT_TRUE(program->waitForFinished(30000)) << "still running after Ctrl+Q\n" << programLog();
    EXPECT_EQ(program->exitStatus() == QProcess::NormalExit ? program->exitCode() : -1, 0)
        << programLog();
    const fs::path servers = (root + "/runtime/cliploop").toStdString();
    EXPECT_TRUE(fs::is_empty(servers)) << fs::directory_iterator(servers)->path();
}

// "" or what went wrong, starting "Xvfb" when Xvfb cannot start.
std::string setUp(const QString& folder) {
    root = folder;
    const QString home = root + "/home", runtime = root + "/runtime";
    for (const auto& path : {home + "/sets/night", runtime})
        fs::create_directories(path.toStdString());
    fs::permissions(runtime.toStdString(), fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", qPrintable(runtime), 1);  // where this process finds servers too
    xServer = std::make_unique<Child>(
        QString("Xvfb -displayfd 1 -screen 0 3840x1080x24 -nolisten tcp -noreset").split(' '),
        QProcessEnvironment::systemEnvironment(), QString(), root + "/xvfb.log");
    QByteArray number;  // written once it accepts connections
    while (!number.contains('\n') && xServer->waitForReadyRead(20000))
        number += xServer->readAllStandardOutput();
    if (!number.contains('\n')) return "Xvfb cannot start: " + readFile(root + "/xvfb.log");
    xEnvironment = QProcessEnvironment::systemEnvironment();
    xEnvironment.insert("DISPLAY", ":" + QString::fromLatin1(number.trimmed()));
    for (const char* name : {"WAYLAND_DISPLAY", "XAUTHORITY", "LC_ALL"}) xEnvironment.remove(name);
    xEnvironment.insert("HOME", home);
    xEnvironment.insert("XDG_RUNTIME_DIR", runtime);
    xEnvironment.insert("QT_QPA_PLATFORM", "xcb");  // whatever the suite itself runs with
    xEnvironment.insert("LANG", "C.UTF-8");
    const QString counterPath = home + "/sets/night/Loop_Rain_counter.mp4";
    for (const std::string& error :
         {run(QString("xrandr --setmonitor A 1920/508x1080/286+0+0 screen").split(' ')),
          run(QString("xrandr --setmonitor B 1920/508x1080/286+1920+0 none").split(' ')),
          writeClip(counterPath)})
        if (!error.empty()) return error;
    QByteArray out;
    run({"ffmpeg", "-nostdin", "-v", "error", "-i", counterPath, "-f", "rawvideo", "-pix_fmt",
         "bgra", "-"},
        &out);
    for (int at = 0, size = kClipWidth * kClipHeight * 4; at + size <= out.size(); at += size)
        reference.push_back(QImage(reinterpret_cast<const uchar*>(out.constData() + at), kClipWidth,
                                   kClipHeight, QImage::Format_RGB32)
                                .copy());
    if (reference.size() != size_t(kFrames)) return "FFmpeg could not decode the clip";
    program = std::make_unique<Child>(QStringList{CLIPLOOP_PROGRAM}, xEnvironment,
                                      root + "/cliploop.out", root + "/cliploop.err");
    return program->waitForStarted() ? "" : "cliploop does not start";
}

}  // namespace
}  // namespace cliploop::e2e

int main(int argc, char** argv) {
    using namespace cliploop::e2e;
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);  // for QProcess
    QTemporaryDir folder("/tmp/cliploop-e2e-XXXXXX");
    const std::string error = folder.isValid() ? setUp(folder.path()) : "no temporary folder";
    if (!error.empty()) std::printf("e2e: %s\n", error.c_str());
    const int result = error.empty() ? RUN_ALL_TESTS() : error.starts_with("Xvfb") ? 77 : 1;
    folder.setAutoRemove(result == 0 && !std::getenv("CLIPLOOP_E2E_KEEP"));
    program.reset();
    xServer.reset();
    return result;
}
