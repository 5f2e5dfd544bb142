// ctest-labels: concurrency
// What plays and what "Video" serves: only a user's selection or a dropped path plays; a choice
// takes over only once it can play, at the slider's rate, the newest winning; an unplayable one
// says why; each pump tick publishes one frame (the loop's turns are ClipLoopTest's).
#include <QMainWindow>
#include <QSlider>
#include <QStatusBar>
#include <QTest>
#include <algorithm>

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

    // Lists three copies of one generated clip, under names of their own.
    void listCopies() {
        const FileUrl clip = makeClip(64, 48, 1.0);
        ASSERT_FALSE(clip.isEmpty());
        QList<ClipRecord> records;
        for (const char* name : {"zero.mp4", "one \xE9.mp4", "two.mp4"}) {
            const std::string path = folder.path().toStdString() + "/" + name;
            std::filesystem::copy_file(clip.path(), path);
            urls.push_back(FileUrl::fromPath(path));
            records.append(
                {{"name", QString::fromUtf8(name)}, {"url", QVariant::fromValue(urls.back())}});
        }
        controller_->arrayController->setContent(records);
    }
    bool plays(const FileUrl& url) {
        return eventually([&] { return playing() == url.path(); });
    }
    // Long enough for a clip that was chosen to start: what did not start by then never will.
    static void settle() {
        eventually([] { return false; }, std::chrono::milliseconds(300));
    }

    QTemporaryDir folder;
    std::unique_ptr<FrameClient> client_;
    std::vector<FileUrl> urls;
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

TEST_F(ClipChoiceTest, OnlyAUserSelectionPlaysItsFirstRowAndLowersTheFlag) {
    ASSERT_NO_FATAL_FAILURE(listCopies());
    auto* table = window_->findChild<QTableView*>("clipTable");
    controller_->arrayController->setSelectionIndexes({2});  // by the program: nothing plays
    table->selectRow(0);
    controller_->tableViewShouldSelectRow(table, 0);        // a user's, then nothing to play:
    controller_->arrayController->setSelectionIndexes({});  // the flag stays
    settle();
    EXPECT_EQ(playing(), "");
    EXPECT_TRUE(controller_->flag);
    for (int row : {1, 2}) {
        const QPoint at = table->visualRect(controller_->arrayController->index(row, 0)).center();
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
        EXPECT_TRUE(plays(urls[row])) << row;
        EXPECT_FALSE(controller_->flag);
    }
    EXPECT_TRUE(controller_->tableViewShouldSelectRow(table, 0));
    controller_->arrayController->setSelectionIndexes({1, 0});
    EXPECT_TRUE(plays(urls[0]));
}

TEST_F(ClipChoiceTest, ADroppedPathStartsAndAnythingElseIsIgnored) {
    ASSERT_NO_FATAL_FAILURE(listCopies());
    controller_->arrayController->setSelectionIndexes({0});
    auto post = [this](const std::any& object) {
        NotificationCenter::defaultCenter().post("DragAndDropNotification", this, object);
    };
    post(urls[1].path());
    EXPECT_TRUE(plays(urls[1]));
    // The list, its selection and flag are not the drop's business.
    EXPECT_EQ(controller_->arrayController->selectionIndexes(), QList<int>{0});
    EXPECT_FALSE(controller_->flag);
    testing::internal::CaptureStdout();
    for (const std::any& object : {std::any(), std::any(42), std::any(std::string())}) post(object);
    settle();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(playing(), urls[1].path());
}

// The frame pump serves "Video" from start-up; each tick a client sees, at the frame's size.
TEST_F(ClipChoiceTest, EachTickOfTheFramePumpPublishesTheCurrentFrameAtItsSize) {
    const auto& client = client_;
    // Served by the pump's own timer, until the test takes over the ticks.
    ASSERT_TRUE(eventually(
        [&] { return client->receiveFrame(std::chrono::milliseconds(10)).has_value(); }));
    controller_->timer->cancel();
    // One tick and the frame a client receives for it.
    auto tick = [&] {
        const uint64_t number = controller_->syphonServer->frameCount() + 1;
        controller_->videoCapturing();
        std::optional<Frame> frame;
        eventually([&] {
            frame = client->receiveFrame(std::chrono::milliseconds(5));
            return frame && frame->frameNumber() >= number;
        });
        EXPECT_TRUE(frame && frame->frameNumber() == number) << "publication " << number;
        return frame;
    };
    std::optional<Frame> frame = tick();  // no clip: the empty 512 x 512 texture, flipped
    ASSERT_TRUE(frame);
    EXPECT_EQ(std::pair(frame->width(), frame->height()), std::pair(512, 512));
    EXPECT_TRUE(frame->flipped());
    for (int y = 0; y < 512; y += 64)
        EXPECT_EQ(std::count(frame->row(y), frame->row(y) + 512 * 4, 0), 512 * 4) << y;
    frame.reset();

    // Ticks until the pump took the new clip's frame; that very tick's frame has its size.
    for (const auto& [width, height] : {std::pair{320, 240}, {160, 96}}) {
        controller_->selectVideoWithLoop(makeClip(width, height, 2.0));
        ASSERT_TRUE(eventually([&] {
            frame = tick();
            return controller_->size.width == width;
        }));
        ASSERT_TRUE(frame);
        EXPECT_EQ(std::pair(frame->width(), frame->height()), std::pair(width, height));
        EXPECT_EQ(frame->textureWidth(), width);
    }
}

}  // namespace
}  // namespace cliploop::apptest
