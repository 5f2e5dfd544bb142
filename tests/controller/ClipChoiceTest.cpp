// ctest-labels: concurrency
// A chosen clip replaces the playing one only once it can play: an unplayable row or drop leaves
// the clip playing and says why; a playable choice queues two fresh items of its clip at the
// slider's rate, takes over with no black frame in between, and the newest of two choices wins.
// The loop's turns themselves are ClipLoopTest's.
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
    // The middle row of the next frame "Video" serves, if one came.
    std::optional<std::vector<uint8_t>> middleRow() {
        const auto frame = client_->receiveFrame(std::chrono::milliseconds(5));
        if (!frame) return std::nullopt;
        const uint8_t* row = frame->row(frame->height() / 2);
        return std::vector<uint8_t>(row, row + static_cast<size_t>(frame->width()) * 4);
    }

    QTemporaryDir folder;
    std::unique_ptr<FrameClient> client_;
};

TEST_F(ClipChoiceTest, AnUnplayableRowOrDropLeavesTheClipPlayingAndSaysWhy) {
    const FileUrl clip = makeClip(96, 64, 2.0, "testsrc2");  // every frame differs
    controller_->selectVideoWithLoop(clip);
    ASSERT_TRUE(eventually([&] { return playing() == clip.path(); }));
    const auto items = controller_->player->items();

    for (const auto& [name, content, dropped] :
         {std::tuple{"notes.txt", "Notes for the show.\n", false},
          std::tuple{"broken.mp4", "ftypmp42, and then nothing of a movie", true}}) {
        SCOPED_TRACE(name);
        const std::string path = folder.filePath(name).toStdString();
        std::ofstream(path) << content;
        const QString line = QString("Cannot play \u201C%1\u201D: not a video file").arg(name);
        testing::internal::CaptureStdout();
        if (dropped) {
            NotificationCenter::defaultCenter().post("DragAndDropNotification", this, path);
        } else {
            controller_->arrayController->setContent(
                {{{"name", name}, {"url", QVariant::fromValue(FileUrl::fromPath(path))}}});
            controller_->tableViewShouldSelectRow(nullptr, 0);
            controller_->arrayController->setSelectionIndexes({0});
        }
        EXPECT_TRUE(eventually([&] { return window_->statusBar()->currentMessage() == line; }));
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_NE(printed.find(line.toStdString() + "\n"), std::string::npos) << printed;
        EXPECT_EQ(controller_->player->items(), items);
        std::optional<std::vector<uint8_t>> first;
        EXPECT_TRUE(eventually([&] {  // new pictures keep coming: the clip plays on
            const auto row = middleRow();
            if (row && !first) first = row;
            return row && row != first;
        }));
    }
}

TEST_F(ClipChoiceTest, APlayableChoiceQueuesTwoFreshItemsAtTheSlidersRateAndTheNewestWins) {
    auto* slider = window_->findChild<QSlider*>("rateSlider");
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(controller_->rateField->text(), "1.00x");
    for (auto [value, text] :
         {std::pair{50, "0.50x"}, {-5, "0.00x"}, {999, "4.00x"}, {137, "1.37x"}, {200, "2.00x"}}) {
        slider->setValue(value);
        EXPECT_EQ(controller_->rateField->text(), text);
        EXPECT_FLOAT_EQ(controller_->player->rate(), slider->value() / 100.0f);  // empty player
    }
    const FileUrl green = makeClip(64, 48, 2.0), skipped = makeClip(160, 96, 2.0),
                  chosen = makeClip(96, 64, 2.0);
    const auto firstOutput = controller_->videoOutput.load();
    controller_->selectVideoWithLoop(green);
    ASSERT_TRUE(eventually([&] { return playing() == green.path() && middleRow(); }));
    const auto items = controller_->player->items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_NE(items[0], items[1]);
    EXPECT_EQ(items[1]->asset()->url(), green);
    const auto output = controller_->videoOutput.load();
    EXPECT_NE(output, firstOutput);
    EXPECT_EQ(items[0]->outputs(), std::vector{output});

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
    const auto now = controller_->player->items();
    // An end that the last clip start overtook turns nothing.
    controller_->playerItemDidReachEnd(
        {kPlayerItemDidPlayToEndTimeNotification, nullptr, items[0]});
    EXPECT_EQ(controller_->player->items(), now);
    for (const auto& item : now) EXPECT_TRUE(item != items[0] && item != items[1]);
}

}  // namespace
}  // namespace cliploop::apptest
