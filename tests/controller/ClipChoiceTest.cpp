// ctest-labels: concurrency
// What plays and what "Video" serves as clips are chosen, dropped, or cannot play.
#include <QMainWindow>
#include <QSlider>
#include <QStatusBar>
#include <QTest>

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
    std::optional<Frame> nextFrame() { return client_->receiveFrame(std::chrono::milliseconds(5)); }
    void post(const std::any& object) {
        NotificationCenter::defaultCenter().post("DragAndDropNotification", this, object);
    }

    QTemporaryDir folder;
    std::unique_ptr<FrameClient> client_;
};

TEST_F(ClipChoiceTest, APlayableChoiceTakesOverAtTheSlidersRateAndTheNewestWins) {
    auto* slider = window_->findChild<QSlider*>("rateSlider");
    EXPECT_EQ(controller_->rateField->text(), "1.00x");
    for (auto [value, text] :
         {std::pair{50, "0.50x"}, {-5, "0.00x"}, {999, "4.00x"}, {137, "1.37x"}, {200, "2.00x"}}) {
        slider->setValue(value);
        EXPECT_EQ(controller_->rateField->text(), text);
        EXPECT_FLOAT_EQ(controller_->player->rate(), slider->value() / 100.0f);  // empty player
    }
    const FileUrl green = makeClip(64, 48, 2.0), skipped = makeClip(160, 96, 2.0),
                  chosen = makeClip(96, 64, 2.0);
    controller_->selectVideoWithLoop(green);
    ASSERT_TRUE(eventually([&] { return playing() == green.path() && nextFrame(); }));
    controller_->selectVideoWithLoop(skipped);
    controller_->selectVideoWithLoop(chosen);  // before the first could start
    bool skippedPlayed = false, black = false;
    ASSERT_TRUE(eventually([&] {
        skippedPlayed |= playing() == skipped.path();
        const auto frame = nextFrame();
        if (!frame) return false;
        black |= frame->row(frame->height() / 2)[frame->width() / 2 * 4 + 1] < 128;  // all green
        skippedPlayed |= frame->width() == 160;
        return frame->width() == 96;
    }));
    EXPECT_TRUE(playing() == chosen.path() && !skippedPlayed && !black &&
                controller_->player->rate() == 2.0f);
}

// The flag, raised by a user's selection and lowered once it plays, is not a drop's business.
TEST_F(ClipChoiceTest, OnlyAUserSelectionOrADroppedPathPlaysAndAnUnplayableOneSaysWhy) {
    const FileUrl clip = makeClip(96, 64, 2.0, "testsrc2");  // every frame differs
    std::vector<FileUrl> urls;
    QList<ClipRecord> records;
    for (const char* name : {"zero.mp4", "one \xE9.mp4", "two.mp4", "notes.txt"}) {
        urls.push_back(FileUrl::fromPath(folder.filePath(name).toStdString()));
        records.append({{"name", name}, {"url", QVariant::fromValue(urls.back())}});
        if (urls.size() < 4) std::filesystem::copy_file(clip.path(), urls.back().path());
    }
    std::ofstream(urls[3].path()) << "Notes for the show.\n";
    const std::string broken = folder.filePath("broken.mp4").toStdString();
    std::ofstream(broken) << "ftypmp42, and then nothing of a movie";
    controller_->arrayController->setContent(records);
    auto plays = [&](const FileUrl& u) {
        return eventually([&] { return playing() == u.path(); });
    };
    auto* table = window_->findChild<QTableView*>("clipTable");
    controller_->arrayController->setSelectionIndexes({2});  // by the program: nothing plays
    table->selectRow(0);
    controller_->tableViewShouldSelectRow(table, 0);        // a user's, then nothing to play:
    controller_->arrayController->setSelectionIndexes({});  // the flag stays
    eventually([] { return false; }, std::chrono::milliseconds(300));  // time for a clip to start
    EXPECT_TRUE(playing().empty() && controller_->flag);
    for (int row : {1, 2}) {
        const QPoint at = table->visualRect(controller_->arrayController->index(row, 0)).center();
        QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
        EXPECT_TRUE(plays(urls[row]) && !controller_->flag) << row;
    }
    EXPECT_TRUE(controller_->tableViewShouldSelectRow(table, 0));
    controller_->arrayController->setSelectionIndexes({1, 0});
    EXPECT_TRUE(plays(urls[0]));

    controller_->tableViewShouldSelectRow(table, 2);
    for (const std::any& object : {std::any(), std::any(42), std::any(std::string())}) post(object);
    testing::internal::CaptureStdout();
    post(urls[1].path());
    EXPECT_TRUE(plays(urls[1]));
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "-------------update NSNotification: " + urls[1].path() + "\n"),
              std::string::npos);
    EXPECT_TRUE(controller_->flag &&  // the selection stays as it was
                controller_->arrayController->selectionIndexes() == (QList<int>{0, 1}));

    const auto items = controller_->player->items();
    for (const auto& [name, dropped] : {std::pair{"notes.txt", false}, {"broken.mp4", true}}) {
        const QString line = QString("Cannot play \u201C%1\u201D: not a video file").arg(name);
        testing::internal::CaptureStdout();
        if (dropped) post(broken);
        if (!dropped) controller_->tableViewShouldSelectRow(table, 3);
        if (!dropped) controller_->arrayController->setSelectionIndexes({3});
        EXPECT_TRUE(eventually([&] { return window_->statusBar()->currentMessage() == line; }));
        EXPECT_NE(testing::internal::GetCapturedStdout().find(line.toStdString() + "\n"),
                  std::string::npos);
        EXPECT_EQ(controller_->player->items(), items);
        std::vector<uint8_t> first, middle;
        EXPECT_TRUE(eventually([&] {  // new pictures keep coming: the clip plays on
            if (const auto f = nextFrame()) middle.assign(f->row(32), f->row(32) + f->width() * 4);
            if (first.empty()) first = middle;
            return middle != first;
        })) << name;
    }
}

}  // namespace
}  // namespace cliploop::apptest
