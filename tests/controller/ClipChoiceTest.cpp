// A chosen clip replaces the playing one only once it can play: an unplayable row or drop
// leaves the clip playing and says why; a playable choice takes over at the slider's rate,
// with no black frame in between, and the newest of two choices wins.
// ctest-labels: concurrency
#include <QMainWindow>
#include <QSlider>
#include <QStatusBar>

#include "cliploop/FrameClient.h"
#include "support/AppFixture.h"

namespace cliploop::apptest {
namespace {

class ClipChoiceTest : public InterfaceTest {
  protected:
    void SetUp() override {
        InterfaceTest::SetUp();
        std::string error;
        client_ = FrameClient::connect("Video", getpid(), &error);
        ASSERT_TRUE(client_) << error;
    }

    std::string playing() const {
        const auto item = controller_->player->currentItem();
        return item ? item->asset()->url().path() : std::string();
    }
    // The middle row of the next frame "Video" serves at `width`, if one came.
    std::optional<std::vector<uint8_t>> middleRow(int width) {
        const auto frame = client_->receiveFrame(std::chrono::milliseconds(5));
        if (!frame || frame->width() != width) return std::nullopt;
        const uint8_t* row = frame->row(frame->height() / 2);
        return std::vector<uint8_t>(row, row + static_cast<size_t>(width) * 4);
    }
    // The pictures "Video" serves at `width` keep changing: that clip plays on.
    bool videoMoves(int width) {
        std::optional<std::vector<uint8_t>> first;
        return eventually([&] {
            const auto row = middleRow(width);
            if (row && !first) first = row;
            return row && row != first;
        });
    }

    QTemporaryDir folder;
    std::unique_ptr<FrameClient> client_;
};

// A clip whose every frame differs, 96 x 64.
FileUrl movingClip() {
    static QTemporaryDir dir(QDir::tempPath() + "/cliploop-moving-XXXXXX");
    const QString path = dir.filePath("moving.mp4");
    const QString command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
        "testsrc2=s=96x64:r=30:d=2 -c:v libx264 -preset ultrafast "
        "-pix_fmt yuv420p '" +
        path + "'";
    if (!QFile::exists(path) && std::system(command.toLocal8Bit().constData()) != 0)
        ADD_FAILURE() << "ffmpeg could not make " << path.toStdString();
    return FileUrl::fromPath(path.toStdString());
}

TEST_F(ClipChoiceTest, AnUnplayableRowOrDropLeavesTheClipPlayingAndSaysWhy) {
    const FileUrl clip = movingClip();
    controller_->selectVideoWithLoop(clip);
    ASSERT_TRUE(eventually([&] { return playing() == clip.path(); }));
    const auto items = controller_->player->items();
    auto* status = window_->statusBar();

    struct Case {
        const char* name;
        const char* content;
        bool dropped;
    };
    for (const Case& c : {Case{"notes.txt", "Notes for the show.\n", false},
                          Case{"broken.mp4", "ftypmp42, and then nothing of a movie", true}}) {
        SCOPED_TRACE(c.name);
        const std::string path = folder.filePath(c.name).toStdString();
        std::ofstream(path) << c.content;
        const QString line = QString("Cannot play \u201C%1\u201D: not a video file").arg(c.name);
        testing::internal::CaptureStdout();
        if (c.dropped) {
            NotificationCenter::defaultCenter().post("DragAndDropNotification", this, path);
        } else {
            controller_->arrayController->setContent(
                {{{"name", c.name}, {"url", QVariant::fromValue(FileUrl::fromPath(path))}}});
            controller_->tableViewShouldSelectRow(nullptr, 0);
            controller_->arrayController->setSelectionIndexes({0});
        }
        const bool said = eventually([&] { return status->currentMessage() == line; });
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(said) << status->currentMessage().toStdString();
        EXPECT_NE(printed.find(line.toStdString() + "\n"), std::string::npos) << printed;
        EXPECT_EQ(controller_->player->items(), items);
        EXPECT_TRUE(videoMoves(96));
    }
}

TEST_F(ClipChoiceTest, APlayableChoiceTakesOverAtTheSlidersRateAndTheNewestChoiceWins) {
    window_->findChild<QSlider*>("rateSlider")->setValue(200);
    const FileUrl green = makeClip(64, 48, 2.0), skipped = makeClip(160, 96, 2.0),
                  chosen = makeClip(96, 64, 2.0);
    controller_->selectVideoWithLoop(green);
    ASSERT_TRUE(eventually([&] { return playing() == green.path() && middleRow(64); }));

    controller_->selectVideoWithLoop(skipped);
    controller_->selectVideoWithLoop(chosen);  // before the first could start
    bool skippedPlayed = false, black = false;
    ASSERT_TRUE(eventually([&] {
        skippedPlayed |= playing() == skipped.path();
        const auto frame = client_->receiveFrame(std::chrono::milliseconds(5));
        if (!frame) return false;
        const uint8_t* pixel = frame->row(frame->height() / 2) + frame->width() / 2 * 4;
        black |= pixel[1] < 128;  // every clip here is green in the middle
        skippedPlayed |= frame->width() == 160;
        return frame->width() == 96;
    }));
    EXPECT_EQ(playing(), chosen.path());
    EXPECT_FALSE(skippedPlayed);
    EXPECT_FALSE(black);
    EXPECT_FLOAT_EQ(controller_->player->rate(), 2.0f);
}

}  // namespace
}  // namespace cliploop::apptest
