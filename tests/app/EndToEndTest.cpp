// The whole road: the real window (offscreen) plays a generated clip started
// through selectVideoWithLoop, and a separate client process receives its
// frames from "Video" with the right size and content across loop turns.
#include <QProcess>
#include <QRegularExpression>

#include "../controller/support/AppFixture.h"

namespace cliploop::apptest {
namespace {

struct Seen {
    uint64_t number;
    int width, height;
    Shade top, middle;
};

Shade parseShade(const QString& text) {  // "B,G,R"
    const QStringList bgr = text.split(',');
    const uint8_t pixel[4] = {uint8_t(bgr.value(0).toInt()), uint8_t(bgr.value(1).toInt()),
                              uint8_t(bgr.value(2).toInt()), 255};
    return shadeOf(pixel);
}

using EndToEndTest = InterfaceTest;

TEST_F(EndToEndTest, AClientProcessReceivesTheLoopingClipAcrossLoopTurns) {
    const FileUrl clip = makeClip(320, 240, 0.6);  // green 0.3 s, then magenta 0.3 s
    window_->resize(1100, 760);
    window_->show();

    QProcess client;
    client.setProgram(QCoreApplication::applicationDirPath() + "/cliploop-frame-check");
    client.setArguments({"Video", QString::number(getpid()), "30"});
    client.start();
    ASSERT_TRUE(client.waitForStarted());
    QByteArray output;
    ASSERT_TRUE(eventually([&] {
        output += client.readAllStandardOutput();
        return output.startsWith("connected\n");
    })) << client.readAllStandardError().toStdString();

    controller_->selectVideoWithLoop(clip);

    // Until the client has seen the clip's first half come back twice.
    std::vector<Seen> seen;
    int turns = 0;
    const QRegularExpression line(R"(^frame (\d+) (\d+) (\d+) (\S+) (\S+)$)");
    const bool enough = eventually(
        [&] {
            output += client.readAllStandardOutput();
            int at;
            while ((at = output.indexOf('\n')) >= 0) {
                const QString text = QString::fromUtf8(output.left(at));
                output.remove(0, at + 1);
                const auto m = line.match(text);
                if (!m.hasMatch()) continue;
                seen.push_back({m.captured(1).toULongLong(), m.captured(2).toInt(),
                                m.captured(3).toInt(), parseShade(m.captured(4)),
                                parseShade(m.captured(5))});
                const size_t n = seen.size();
                if (n >= 2 && seen[n - 2].middle == Shade::Magenta &&
                    seen[n - 1].middle == Shade::Green)
                    ++turns;
            }
            return turns >= 2;
        },
        std::chrono::seconds(30));
    client.kill();
    client.waitForFinished();
    ASSERT_TRUE(enough) << "loop turns seen: " << turns << " in " << seen.size() << " frames";

    // 512 x 512 blank frames until the clip's first frame, then only the clip,
    // upright: the white band on top, green or magenta below.
    size_t first = 0;
    while (first < seen.size() && seen[first].width == 512) ++first;
    ASSERT_LT(first, seen.size());
    int green = 0, magenta = 0;
    for (size_t i = first; i < seen.size(); ++i) {
        SCOPED_TRACE(seen[i].number);
        EXPECT_EQ(seen[i].width, 320);
        EXPECT_EQ(seen[i].height, 240);
        EXPECT_EQ(seen[i].top, Shade::White);
        EXPECT_TRUE(seen[i].middle == Shade::Green || seen[i].middle == Shade::Magenta);
        green += seen[i].middle == Shade::Green;
        magenta += seen[i].middle == Shade::Magenta;
        if (i > first) {
            EXPECT_GT(seen[i].number, seen[i - 1].number);
        }
    }
    EXPECT_GT(green, 0);
    EXPECT_GT(magenta, 0);

    // Both views showed the clip meanwhile.
    EXPECT_GT(controller_->playerView->paintedFrames(), 0u);
    EXPECT_GT(controller_->playerView2->paintedFrames(), 0u);
}

}  // namespace
}  // namespace cliploop::apptest
