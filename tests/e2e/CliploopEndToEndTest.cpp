// The real program, used as a performer uses it: its own Xvfb split into two
// monitors, the built cliploop started with a home folder of generated clips,
// driven only through X input (xdotool) and read only through screenshots of
// the display and frames received from its frame server "Video" by the
// shipped cliploop-receive.
//
// The cases run in order on one running program, each leaving it as the next
// one expects: a clip found and playing in both views, at rate 1, output in
// the window. Exit status 77 (skipped) only when Xvfb cannot start.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "Process.h"
#include "ScreenReading.h"
#include "TestClips.h"
#include "XDisplay.h"
#include "cliploop/FrameClient.h"

namespace cliploop::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kDisplayWidth = 3840;
constexpr int kDisplayHeight = 1080;
const QRect kMonitorA(0, 0, 1920, 1080);
const QRect kMonitorB(1920, 0, 1920, 1080);
// The display split three ways for the display-change case.
const QRect kNarrowB(1920, 0, 960, 1080);
const QRect kNarrowC(2880, 0, 960, 1080);
constexpr int kLoopTurns = 20;

// The clip the search finds, the one dropped later, and clips that match only
// one of the two words (or hide) and must not be listed.
const ClipLook kCounterClip{20, 20, QColor(255, 0, 0), QColor(0, 255, 0)};
const ClipLook kDroppedClip{20, 20, QColor(255, 255, 0), QColor(255, 0, 255)};
const ClipLook kDecoyClip{4, 20, QColor(0, 255, 255), QColor(255, 255, 255)};

// What the whole suite shares: the display, the clips, the running program.
struct Session {
    std::string root;
    std::string home;
    std::string runtime;
    std::string counterPath;
    std::string droppedPath;
    std::unique_ptr<XDisplay> display;
    std::unique_ptr<Process> program;
    std::vector<QImage> reference;  // FFmpeg's frames of the counter clip

    // Found in the first case.
    XWindow mainWindow;
    QRect previewPanel, outputPanel;
    QPoint outputMenuTitle;
    QImage startShot;

    std::string outPath() const { return root + "/cliploop.out"; }
    std::string errPath() const { return root + "/cliploop.err"; }

    EnvironmentChanges programEnvironment() const {
        EnvironmentChanges environment = display->environment();
        environment.push_back({"HOME", home});
        environment.push_back({"XDG_RUNTIME_DIR", runtime});
        environment.push_back({"QT_QPA_PLATFORM", "xcb"});
        environment.push_back({"LANG", "C.UTF-8"});
        environment.push_back({"LC_ALL", std::nullopt});
        return environment;
    }
};

Session* session = nullptr;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string describe(const QRect& r) {
    return std::to_string(r.width()) + "x" + std::to_string(r.height()) + "+" +
           std::to_string(r.x()) + "+" + std::to_string(r.y());
}

std::string programLog() {
    return "cliploop stdout:\n" + readFile(session->outPath()) + "\ncliploop stderr:\n" +
           readFile(session->errPath());
}

class EndToEnd : public ::testing::Test {
  protected:
    Session& s = *session;
    XDisplay& x = *session->display;

    QImage shot() { return x.screenshot(); }

    std::vector<XWindow> programWindows() { return x.windows("cliploop"); }

    // A visible window of the program that is neither the main window nor in
    // `known`.
    std::optional<XWindow> newWindow(const std::vector<XWindow>& known) {
        for (const auto& window : programWindows()) {
            if (window.id == s.mainWindow.id) continue;
            const bool seen = std::any_of(known.begin(), known.end(),
                                          [&](const XWindow& k) { return k.id == window.id; });
            if (!seen) return window;
        }
        return std::nullopt;
    }

    // A window of the program that covers `area` exactly: the full-screen output.
    std::optional<XWindow> windowCovering(const QRect& area) {
        for (const auto& window : programWindows())
            if (window.geometry == area) return window;
        return std::nullopt;
    }

    // Clicks the Output menu's title and returns the popup that opens.
    std::optional<XWindow> openOutputMenu() {
        const auto before = programWindows();
        x.click(s.outputMenuTitle.x(), s.outputMenuTitle.y());
        std::optional<XWindow> popup;
        waitUntil([&] { return (popup = newWindow(before)).has_value(); }, 5s);
        if (popup) {
            pause(300ms);  // drawn
        } else {
            std::printf("e2e: clicking the Output menu's title opened nothing; windows:\n");
            for (const auto& window : programWindows())
                std::printf("  %lu %s\n", window.id, describe(window.geometry).c_str());
            keep(shot(), "no-menu");
        }
        return popup;
    }

    int itemCount(const XWindow& popup) { return menuItemCount(shot().copy(popup.geometry)); }

    bool stillOpen(const XWindow& popup) {
        const auto windows = programWindows();
        return std::any_of(windows.begin(), windows.end(),
                           [&](const XWindow& w) { return w.id == popup.id; });
    }

    // Closes a menu as a mouse user does, with a click beside it on the
    // window (on the search folder's text, which does nothing). Escape would
    // leave the menu bar in keyboard navigation, where typed letters open
    // menus again.
    bool closeMenu(const XWindow& popup) {
        x.click(s.mainWindow.geometry.center().x() + 200, s.previewPanel.top() - 16);
        return waitUntil([&] { return !stillOpen(popup); }, 3s);
    }

    // Opens the Output menu, counts its items and closes it again.
    int outputMenuItems() {
        const auto popup = openOutputMenu();
        if (!popup) return -1;
        const int count = itemCount(*popup);
        closeMenu(*popup);
        std::printf("e2e: the Output menu shows %d items\n", count);
        return count;
    }

    // Waits until the Output menu lists `count` items.
    bool outputMenuComesTo(int count, int* seen) {
        return waitUntil([&] { return (*seen = outputMenuItems()) == count; }, 10s, 300ms);
    }

    // Opens the Output menu and chooses its item at `position` with the keys.
    bool chooseOutputItem(int position) {
        const auto popup = openOutputMenu();
        if (!popup) return false;
        std::string keys;
        for (int i = 0; i <= position; ++i) keys += "Down ";
        return x.key(keys + "Return");
    }

    // The frame number the clip shows in `panel` now, when it shows that clip.
    std::optional<int> numberIn(const QImage& image, const QRect& panel, const ClipLook& look) {
        const QRect picture = pictureBounds(image, panel);
        if (!showsClip(image, picture, look)) return std::nullopt;
        return readFrameNumber(image, picture);
    }

    // Whether `panel` shows that clip playing: upright, and its frame number
    // changing between shots.
    bool playsIn(const QRect& panel, const ClipLook& look) {
        std::optional<int> first;
        QImage last;
        const bool plays = waitUntil(
            [&] {
                last = shot();
                const auto number = numberIn(last, panel, look);
                if (!number) return false;
                if (!first) first = number;
                return *number != *first;
            },
            15s, 150ms);
        if (!plays) keep(last, "not-playing");
        std::printf("e2e: %s %s\n", plays ? "plays in" : "does not play in",
                    describe(panel).c_str());
        return plays;
    }

    // Keeps a shot in the suite's folder for whoever reads a failure.
    void keep(const QImage& image, const std::string& what) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        const std::string path = s.root + "/" + (test ? test->name() : "setup") + "-" + what + "-" +
                                 std::to_string(++shotsKept_) + ".png";
        image.save(QString::fromStdString(path));
        std::printf("e2e: kept %s\n", path.c_str());
    }
    int shotsKept_ = 0;
};

TEST_F(EndToEnd, StartsWithItsWindowAndListsBothMonitors) {
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& window : programWindows()) {
                if (window.geometry.width() >= 800) {
                    s.mainWindow = window;
                    return true;
                }
            }
            return false;
        },
        30s))
        << "no window appeared\n"
        << programLog();
    pause(1s);  // first paint
    s.startShot = shot();
    // The two views are the window's two large black panels, side by side.
    const auto panels = blackPanels(s.startShot, s.mainWindow.geometry, 200);
    ASSERT_EQ(panels.size(), 2u) << "expected the preview and the output view";
    s.previewPanel = panels[0];
    s.outputPanel = panels[1];
    EXPECT_EQ(s.previewPanel.y(), s.outputPanel.y());
    EXPECT_LT(s.previewPanel.right(), s.outputPanel.left());

    // The Output menu, opened from the keyboard; its title sits where its
    // popup begins, on the menu bar above it.
    const auto before = programWindows();
    ASSERT_TRUE(x.key("alt+o"));
    std::optional<XWindow> popup;
    ASSERT_TRUE(waitUntil([&] { return (popup = newWindow(before)).has_value(); }, 5s))
        << "alt+o opened no menu";
    pause(300ms);
    EXPECT_EQ(itemCount(*popup), 2) << "one item per monitor: \"MainScreen\", \"Screen 1\"";
    s.outputMenuTitle = QPoint(popup->geometry.x() + 12, popup->geometry.y() / 2);
    ASSERT_TRUE(closeMenu(*popup));
}

TEST_F(EndToEnd, FindsTheClipByTwoWordsAndPlaysTheFirstRowChosenByKeyboard) {
    ASSERT_FALSE(s.previewPanel.isNull());
    // The search field has the focus at start.
    ASSERT_TRUE(x.type("rain loop"));
    ASSERT_TRUE(x.key("Return"));
    // The list fills when the walk ends: its first row appears under the
    // table's header, below the views.
    const QRect firstRow(s.mainWindow.geometry.x(), s.previewPanel.bottom() + 28,
                         s.mainWindow.geometry.width() / 2, 24);
    ASSERT_TRUE(waitUntil([&] { return differingPixels(shot(), s.startShot, firstRow) > 50; }, 20s))
        << "the list stays empty";
    // To the table (past the Search and Choose Folder buttons), and select
    // the row under the cursor, the first.
    ASSERT_TRUE(x.key("Tab Tab Tab"));
    ASSERT_TRUE(x.key("space"));
    EXPECT_TRUE(playsIn(s.previewPanel, kCounterClip)) << "the preview does not play the clip\n"
                                                       << programLog();
    EXPECT_TRUE(playsIn(s.outputPanel, kCounterClip)) << "the output does not play the clip";
}

// Frames as the shipped receiver writes them: PNG files, upright.
TEST_F(EndToEnd, ReceiverWritesFramesEqualToFfmpegsDecodeUpright) {
    ASSERT_FALSE(s.reference.empty());
    const std::string folder = s.root + "/received";
    const auto result =
        run({CLIPLOOP_RECEIVER, "Video", "--png", folder, "--frames", "40", "--timeout", "5"},
            s.programEnvironment(), 60s);
    ASSERT_TRUE(result.ok()) << result.err;
    int frames = 0;
    double lowest = std::numeric_limits<double>::infinity();
    std::set<int> numbers;
    for (const auto& entry : fs::directory_iterator(folder)) {
        QImage frame(QString::fromStdString(entry.path().string()));
        frame = frame.convertToFormat(QImage::Format_RGB32);
        ++frames;
        ASSERT_EQ(frame.size(), QSize(kClipWidth, kClipHeight)) << entry.path();
        const auto number = readFrameNumber(frame);
        ASSERT_TRUE(number && *number < kCounterClip.frames)
            << entry.path()
            << (readFrameNumber(frame.mirrored(false, true)) ? ": upside down" : "");
        EXPECT_TRUE(showsClip(frame, frame.rect(), kCounterClip)) << entry.path() << " not upright";
        numbers.insert(*number);
        lowest = std::min(lowest, psnr(frame, s.reference[static_cast<size_t>(*number)]));
    }
    EXPECT_EQ(frames, 40);
    EXPECT_GE(numbers.size(), 10u) << "the frames do not move on";
    std::printf("E2E receive_png.psnr_min_db %s\n",
                std::isinf(lowest) ? "inf" : std::to_string(lowest).c_str());
    EXPECT_GE(lowest, 45.0) << "a received frame differs from FFmpeg's decode";
}

// One clip frame as the frames reaching a client show it: how many
// publications, from which time on.
struct NumberRun {
    int number;
    int publications;
    double firstShown;  // the host time of its first publication
};

// Twenty loop turns through the client library cliploop-receive is built on,
// which also gives each frame's publication number and time: a clip frame
// missing between two publications more than a frame's duration apart was
// lost to a stall of the machine (the pump or this reader did not run), not
// to the loop; between publications closer than that it was skipped.
TEST_F(EndToEnd, TwentyLoopTurnsReachAClientWithoutSkipOrRepeat) {
    ASSERT_FALSE(s.reference.empty());
    std::string error;
    auto client = FrameClient::connect("Video", s.program->pid(), &error);
    ASSERT_TRUE(client) << error;

    const int frames = kCounterClip.frames;
    const double frameDuration = 1.0 / kCounterClip.fps;
    std::vector<NumberRun> runs;
    int received = 0, unreadable = 0, wrongOrientation = 0, seams = 0, stalls = 0;
    double lowestPsnr = std::numeric_limits<double>::infinity();
    uint64_t lastPublication = 0;
    double lastShown = 0;
    std::vector<std::string> faults;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::seconds(kLoopTurns * frames / kCounterClip.fps * 2 + 15);
    QImage frame(kClipWidth, kClipHeight, QImage::Format_RGB32);

    while (seams <= kLoopTurns && std::chrono::steady_clock::now() < deadline) {
        auto received_frame = client->receiveFrame(500ms);
        if (!received_frame) {
            ASSERT_FALSE(client->ended()) << "the server ended the stream";
            continue;
        }
        ++received;
        ASSERT_EQ(received_frame->width(), kClipWidth);
        ASSERT_EQ(received_frame->height(), kClipHeight);
        for (int y = 0; y < kClipHeight; ++y)
            std::memcpy(frame.scanLine(y), received_frame->row(y),
                        static_cast<size_t>(kClipWidth) * 4);
        const uint64_t publication = received_frame->frameNumber();
        const double shown = received_frame->hostTime();
        received_frame->release();

        const auto number = readFrameNumber(frame);
        if (!number || *number >= frames) {
            if (readFrameNumber(frame.mirrored(false, true))) ++wrongOrientation;
            ++unreadable;
            continue;
        }
        if (!showsClip(frame, frame.rect(), kCounterClip)) ++wrongOrientation;
        lowestPsnr = std::min(lowestPsnr, psnr(frame, s.reference[static_cast<size_t>(*number)]));
        const double gap = shown - lastShown;
        const bool stalled = !runs.empty() && gap > frameDuration;
        lastShown = shown;
        if (!runs.empty() && runs.back().number == *number) {
            ++runs.back().publications;
            lastPublication = publication;
            continue;
        }
        if (!runs.empty()) {
            const int previous = runs.back().number;
            if (*number != (previous + 1) % frames) {
                if (stalled) {
                    ++stalls;
                } else {
                    faults.push_back("frame " + std::to_string(*number) + " after " +
                                     std::to_string(previous) + " in publications " +
                                     std::to_string(lastPublication) + ", " +
                                     std::to_string(publication) + ", " +
                                     std::to_string(static_cast<int>(gap * 1000)) + " ms apart");
                }
            }
            if (*number < previous) ++seams;
        }
        lastPublication = publication;
        runs.push_back({*number, 1, shown});
    }

    // How long frames stay up at the loop point (the last frame of a turn and
    // the first of the next) against inside a turn, by the median: a frame
    // repeated at every seam doubles it; a stall now and then does not move it.
    std::vector<double> seamHolds, innerHolds;
    for (size_t i = 1; i + 1 < runs.size(); ++i) {
        const bool atSeam = runs[i].number == 0 || runs[i].number == frames - 1;
        (atSeam ? seamHolds : innerHolds).push_back(runs[i + 1].firstShown - runs[i].firstShown);
    }
    auto median = [](std::vector<double> values) {
        if (values.empty()) return 0.0;
        std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
        return values[values.size() / 2] * 1000;
    };
    std::printf("E2E frames.received %d\nE2E frames.loop_turns %d\n", received, seams);
    std::printf("E2E frames.psnr_min_db %s\n",
                std::isinf(lowestPsnr) ? "inf" : std::to_string(lowestPsnr).c_str());
    std::printf("E2E frames.skipped %zu\nE2E frames.lost_to_stalls %d\n", faults.size(), stalls);
    std::printf("E2E frames.seam_hold_median_ms %.1f\nE2E frames.inner_hold_median_ms %.1f\n",
                median(seamHolds), median(innerHolds));
    std::fflush(stdout);

    EXPECT_GE(seams, kLoopTurns) << "too few loop turns received";
    EXPECT_EQ(unreadable, 0) << "frames without a readable number";
    EXPECT_EQ(wrongOrientation, 0) << "frames upside down or mirrored";
    EXPECT_GE(lowestPsnr, 45.0) << "a received frame differs from FFmpeg's decode";
    EXPECT_TRUE(faults.empty()) << faults.size() << " frames out of sequence, first: "
                                << (faults.empty() ? "" : faults.front());
    // A tick of the pump is 16 ms: a repeated frame adds a frame's duration.
    EXPECT_LT(median(seamHolds), median(innerHolds) + frameDuration * 1000 / 2)
        << "frames at the loop point stay up longer than inside a turn";
}

TEST_F(EndToEnd, RateSliderStillsThePictureAtZeroAndComesBackToOne) {
    // The rate text at the window's bottom right, and the slider beside it.
    const QRect& window = s.mainWindow.geometry;
    const QRect rateText(window.right() - 60, window.bottom() - 34, 60, 34);
    // From the table, one Tab to the slider; Home is 0.00x.
    ASSERT_TRUE(x.key("Tab"));
    ASSERT_TRUE(x.key("Home"));
    pause(800ms);
    const QImage stilled = shot();
    EXPECT_GT(differingPixels(stilled, s.startShot, rateText), 20)
        << "the rate text did not change";
    // Still: the same frame in both views, a while apart.
    const auto first = numberIn(stilled, s.previewPanel, kCounterClip);
    ASSERT_TRUE(first) << "the preview shows no clip at rate 0";
    pause(1500ms);
    const QImage later = shot();
    EXPECT_EQ(numberIn(later, s.previewPanel, kCounterClip), first) << "the picture moves at 0.00x";
    EXPECT_EQ(numberIn(later, s.outputPanel, kCounterClip), first);

    // Ten pages up (0.10 each) is 1.00x again: the text reads as it did at start.
    ASSERT_TRUE(
        x.key("Page_Up Page_Up Page_Up Page_Up Page_Up Page_Up Page_Up Page_Up Page_Up Page_Up"));
    pause(500ms);
    EXPECT_EQ(differingPixels(shot(), s.startShot, rateText), 0)
        << "the rate text does not read as at start (1.00x)";
    EXPECT_TRUE(playsIn(s.previewPanel, kCounterClip)) << "the clip does not play again";
}

TEST_F(EndToEnd, OutputGoesFullScreenOnScreen1AndComesBack) {
    ASSERT_TRUE(chooseOutputItem(1)) << "\"Screen 1\"";
    std::optional<XWindow> fullScreen;
    ASSERT_TRUE(
        waitUntil([&] { return (fullScreen = windowCovering(kMonitorB)).has_value(); }, 10s))
        << "no window fills the second monitor";
    // The clip fills the monitor's height, centred at its aspect ratio.
    EXPECT_TRUE(playsIn(kMonitorB, kCounterClip)) << "the second monitor does not play the clip";
    const QRect picture = pictureBounds(shot(), kMonitorB);
    EXPECT_NEAR(picture.height(), 1080, 2);
    EXPECT_NEAR(picture.width(), 1440, 4);
    EXPECT_NEAR(picture.center().x(), kMonitorB.center().x(), 4);
    // The preview still plays in the window, and the first monitor shows no
    // full-screen output.
    EXPECT_TRUE(playsIn(s.previewPanel.united(s.outputPanel), kCounterClip));
    EXPECT_FALSE(windowCovering(kMonitorA));

    int items = 0;
    EXPECT_TRUE(outputMenuComesTo(1, &items))
        << "the menu holds " << items << " items, not the exit item alone";
    ASSERT_TRUE(chooseOutputItem(0)) << "\"Exit Full Screen\"";
    EXPECT_TRUE(waitUntil([&] { return !windowCovering(kMonitorB); }, 10s))
        << "the output stays full screen";
    EXPECT_TRUE(playsIn(s.outputPanel, kCounterClip)) << "the output is not back in the window";
    EXPECT_TRUE(playsIn(s.previewPanel, kCounterClip));
    EXPECT_TRUE(outputMenuComesTo(2, &items)) << "the menu holds " << items << " items";
}

TEST_F(EndToEnd, FullScreenOutputOffersTheMenuAndEscapeLeavesIt) {
    ASSERT_TRUE(chooseOutputItem(1));
    std::optional<XWindow> fullScreen;
    ASSERT_TRUE(
        waitUntil([&] { return (fullScreen = windowCovering(kMonitorB)).has_value(); }, 10s));
    pause(500ms);
    // A right click on the picture opens the menu's items: the exit item.
    const auto before = programWindows();
    ASSERT_TRUE(x.click(kMonitorB.center().x(), kMonitorB.center().y(), 3));
    std::optional<XWindow> popup;
    ASSERT_TRUE(waitUntil([&] { return (popup = newWindow(before)).has_value(); }, 5s))
        << "no context menu";
    pause(300ms);
    EXPECT_EQ(itemCount(*popup), 1);
    ASSERT_TRUE(x.key("Escape"));  // closes the context menu
    EXPECT_TRUE(waitUntil([&] { return !stillOpen(*popup); }, 3s));
    EXPECT_TRUE(windowCovering(kMonitorB)) << "closing the context menu left full screen";
    // The full-screen view has the keyboard (with no window manager, because
    // the program gives it); Escape there leaves full screen.
    ASSERT_TRUE(x.key("Escape"));
    EXPECT_TRUE(waitUntil([&] { return !windowCovering(kMonitorB); }, 10s));
    EXPECT_TRUE(playsIn(s.outputPanel, kCounterClip));
    int items = 0;
    EXPECT_TRUE(outputMenuComesTo(2, &items)) << "the menu holds " << items << " items";
}

TEST_F(EndToEnd, ScreenMenuFollowsMonitorsPluggedInAndOut) {
    int items = 0;
    // Split the second monitor in two: three screens.
    ASSERT_TRUE(x.deleteMonitor("B"));
    ASSERT_TRUE(x.setMonitor("B", kNarrowB, false));
    ASSERT_TRUE(x.setMonitor("C", kNarrowC, false));
    EXPECT_TRUE(outputMenuComesTo(3, &items)) << "the menu holds " << items << " items";

    // "Screen 2" is the new monitor.
    ASSERT_TRUE(chooseOutputItem(2));
    ASSERT_TRUE(waitUntil([&] { return windowCovering(kNarrowC).has_value(); }, 10s))
        << "no window fills the third monitor";
    EXPECT_TRUE(playsIn(kNarrowC, kCounterClip));
    EXPECT_TRUE(outputMenuComesTo(1, &items));

    // Unplugged and plugged again during full-screen output: the screens are
    // listed again each time, and the output stays.
    ASSERT_TRUE(x.deleteMonitor("C"));
    EXPECT_TRUE(outputMenuComesTo(2, &items)) << "after unplugging, " << items << " items";
    ASSERT_TRUE(x.setMonitor("C", kNarrowC, false));
    EXPECT_TRUE(outputMenuComesTo(3, &items)) << "after plugging in, " << items << " items";
    EXPECT_TRUE(windowCovering(kNarrowC)) << "the output moved";
    // A screen item during full-screen output brings the exit item back and
    // leaves the output where it is.
    ASSERT_TRUE(chooseOutputItem(0));
    EXPECT_TRUE(outputMenuComesTo(1, &items));
    EXPECT_TRUE(windowCovering(kNarrowC)) << "the output moved";
    ASSERT_TRUE(chooseOutputItem(0));
    EXPECT_TRUE(waitUntil([&] { return !windowCovering(kNarrowC); }, 10s));
    EXPECT_TRUE(outputMenuComesTo(3, &items));

    // Back to two monitors for what follows.
    ASSERT_TRUE(x.deleteMonitor("C"));
    ASSERT_TRUE(x.deleteMonitor("B"));
    ASSERT_TRUE(x.setMonitor("B", kMonitorB, false));
    EXPECT_TRUE(outputMenuComesTo(2, &items));
    EXPECT_TRUE(playsIn(s.outputPanel, kCounterClip));
}

TEST_F(EndToEnd, AFileDraggedOntoThePreviewPlays) {
    // A drag source of our own stands in for a file manager: a real XDND drag
    // between two processes, moved by the X pointer.
    const QPoint source(1500, 150);
    ProcessOptions options;
    options.arguments = {E2E_DRAG_SOURCE, s.droppedPath, std::to_string(source.x()),
                         std::to_string(source.y())};
    options.environment = s.programEnvironment();
    options.stdoutPath = s.root + "/drag.out";
    options.stderrPath = s.root + "/drag.err";
    std::string error;
    auto dragSource = Process::start(options, &error);
    ASSERT_TRUE(dragSource) << error;
    ASSERT_TRUE(waitUntil([&] { return !x.windows("e2e-drag-source").empty(); }, 15s))
        << readFile(s.root + "/drag.err");
    pause(500ms);

    const QPoint from = source + QPoint(100, 60);
    const QPoint to = s.previewPanel.center();
    ASSERT_TRUE(x.xdotool(
        {"mousemove", std::to_string(from.x()), std::to_string(from.y()), "mousedown", "1"}));
    for (int step = 1; step <= 12; ++step) {
        const QPoint at = from + (to - from) * step / 12;
        x.xdotool({"mousemove", std::to_string(at.x()), std::to_string(at.y())});
        pause(60ms);
    }
    pause(300ms);
    ASSERT_TRUE(x.xdotool({"mouseup", "1"}));

    const std::string line = "-------------update NSNotification: " + s.droppedPath;
    EXPECT_TRUE(
        waitUntil([&] { return readFile(s.outPath()).find(line) != std::string::npos; }, 10s))
        << "no line \"" << line << "\"\n"
        << programLog() << "\ndrag source: " << readFile(s.root + "/drag.out");
    EXPECT_TRUE(playsIn(s.previewPanel, kDroppedClip))
        << "the preview does not play the dropped clip";
    EXPECT_TRUE(playsIn(s.outputPanel, kDroppedClip));
    dragSource->stop();
}

}  // namespace

// Makes the folder tree and clips, starts the display and the program.
// Returns "" or what went wrong; sets `skip` when Xvfb itself cannot start.
std::string setUp(Session& s, bool* skip) {
    char pattern[] = "/tmp/cliploop-e2e-XXXXXX";
    if (!mkdtemp(pattern)) return std::string("mkdtemp: ") + std::strerror(errno);
    s.root = pattern;
    s.home = s.root + "/home";
    s.runtime = s.root + "/runtime";
    fs::create_directories(s.home + "/sets/night");
    fs::create_directories(s.home + "/.cache/rain loop");
    fs::create_directories(s.root + "/elsewhere");
    fs::create_directory(s.runtime);
    chmod(s.runtime.c_str(), 0700);
    // Where frame servers are found, for the program, the receiver and the
    // client in this process alike: ours alone, whatever else runs here.
    setenv("XDG_RUNTIME_DIR", s.runtime.c_str(), 1);
    s.counterPath = s.home + "/sets/night/Loop_Rain_counter.mp4";
    s.droppedPath = s.root + "/elsewhere/Sunset drive – ünï.mp4";
    for (const auto& [path, look] : std::vector<std::pair<std::string, ClipLook>>{
             {s.counterPath, kCounterClip},
             {s.droppedPath, kDroppedClip},
             {s.home + "/sets/rain_forest.mp4", kDecoyClip},
             {s.home + "/sets/night/loop_sunset.mp4", kDecoyClip},
             {s.home + "/.cache/rain loop/rain_loop_hidden.mp4", kDecoyClip}}) {
        if (auto error = writeClip(path, look); !error.empty()) return error;
    }
    std::string error;
    s.reference = decodeWithFfmpeg(s.counterPath, &error);
    if (s.reference.size() != static_cast<size_t>(kCounterClip.frames))
        return "FFmpeg's decode of the counter clip: " + error;

    s.display = XDisplay::start(kDisplayWidth, kDisplayHeight, s.root + "/xvfb.log", &error);
    if (!s.display) {
        *skip = true;
        return error;
    }
    if (!s.display->setMonitor("A", kMonitorA, true, &error) ||
        !s.display->setMonitor("B", kMonitorB, false, &error))
        return "xrandr: " + error;

    ProcessOptions options;
    options.arguments = {CLIPLOOP_PROGRAM};
    options.environment = s.programEnvironment();
    options.stdoutPath = s.outPath();
    options.stderrPath = s.errPath();
    s.program = Process::start(options, &error);
    if (!s.program) return error;
    return "";
}

}  // namespace cliploop::e2e

int main(int argc, char** argv) {
    using namespace cliploop::e2e;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress lines as they come, in ctest logs too
    ::testing::InitGoogleTest(&argc, argv);
    Session s;
    session = &s;
    bool skip = false;
    const std::string error = setUp(s, &skip);
    if (!error.empty()) {
        std::error_code ignored;
        if (!s.root.empty()) fs::remove_all(s.root, ignored);
        if (skip) {
            std::printf("e2e: SKIPPED: Xvfb cannot start here: %s\n", error.c_str());
            return 77;
        }
        std::fprintf(stderr, "e2e: cannot set up: %s\n", error.c_str());
        return 1;
    }
    std::printf("e2e: display %s, files in %s\n", s.display->name().c_str(), s.root.c_str());
    const int result = RUN_ALL_TESTS();
    const bool programAlive = s.program->running();
    s.program->stop();
    s.program.reset();
    s.display.reset();
    if (!programAlive) {
        std::fprintf(stderr, "e2e: the program ended during the run\n%s\n", programLog().c_str());
        return 1;
    }
    if (result == 0 && !std::getenv("CLIPLOOP_E2E_KEEP")) {
        std::error_code ignored;
        fs::remove_all(s.root, ignored);
    } else {
        std::printf("e2e: files kept in %s\n", s.root.c_str());
    }
    return result;
}
