#include <gtest/gtest.h>
#include <QTest>

#include "support/AppFixture.h"
#include "ui/ClipTableView.h"
#include "views/PlayerView.h"

namespace cliploop {
namespace {

class SelectionTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { apptest::application(); }
    void SetUp() override {
        // Three clips of one generated picture, under names of their own.
        const FileUrl clip = apptest::makeClip(64, 48, 1.0);
        ASSERT_FALSE(clip.isEmpty());
        for (const char* name : {"zero.mp4", "one \xE9.mp4", "two.mp4"}) {
            const std::string path = folder.path().toStdString() + "/" + name;
            std::filesystem::copy_file(clip.path(), path);
            urls.push_back(FileUrl::fromPath(path));
        }

        controller = std::make_shared<ViewController>();
        controller->player = QueuePlayer::create();
        controller->playerView = &view;
        controller->playerView2 = &view2;
        controller->arrayController = std::make_shared<ArrayController>(QStringList{"name"});
        controller->arrayController->attach(&table);
        QList<ClipRecord> records;
        for (const FileUrl& url : urls) {
            records.append({{"name", QString::fromStdString(url.lastPathComponent())},
                            {"url", QVariant::fromValue(url)}});
        }
        controller->arrayController->setContent(records);

        // Connected as the window connects them.
        table.setSelectionBehavior(QAbstractItemView::SelectRows);
        table.setSelectionMode(QAbstractItemView::ExtendedSelection);
        table.setShouldSelectRow([c = controller.get()](QTableView* view, int row) {
            return c->tableViewShouldSelectRow(view, row);
        });
        QObject::connect(&table, &ClipTableView::selectionDidChange,
                         [c = controller.get()] { c->tableViewSelectionDidChange({}); });
        NotificationCenter::defaultCenter().addObserver(
            controller.get(), controller->notificationDragAndDrop, nullptr,
            [c = controller.get()](const Notification& n) { c->dragAndDrop(n); });
        table.resize(400, 300);
        table.show();
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(controller.get());
        controller->player->pause();
    }

    // The clip the player plays now, or "".
    std::string playing() const {
        const auto item = controller->player->currentItem();
        return item ? item->asset()->url().path() : std::string();
    }
    void click(int row) {
        const QPoint at = table.visualRect(controller->arrayController->index(row, 0)).center();
        QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, at);
    }
    void post(const std::any& object) {
        NotificationCenter::defaultCenter().post("DragAndDropNotification", this, object);
    }

    QTemporaryDir folder;
    std::vector<FileUrl> urls;
    QWidget window;  // the views' place, as in the main window
    PlayerView view{&window};
    VideoView view2{&window};
    ClipTableView table;
    std::shared_ptr<ViewController> controller;
};

TEST_F(SelectionTest, WithFlagLoweredOnlyAUserClickPlaysAndLowersItAgain) {
    controller->arrayController->setSelectionIndexes({2});
    table.selectRow(0);
    EXPECT_EQ(playing(), "");
    for (int row : {1, 2}) {
        click(row);
        EXPECT_EQ(playing(), urls[row].path());
        EXPECT_FALSE(controller->flag);
    }
    EXPECT_EQ(view.player(), controller->player);
    EXPECT_EQ(view2.player(), controller->player);
}

TEST_F(SelectionTest, WithFlagRaisedTheNextChangePlaysTheFirstSelectedRow) {
    EXPECT_TRUE(controller->tableViewShouldSelectRow(&table, 0));
    EXPECT_TRUE(controller->flag);
    controller->arrayController->setSelectionIndexes({});  // nothing to play: flag stays
    controller->tableViewSelectionDidChange(Notification{});
    EXPECT_TRUE(controller->flag);
    EXPECT_EQ(playing(), "");
    controller->arrayController->setSelectionIndexes({2, 1});
    EXPECT_EQ(playing(), urls[1].path());
    EXPECT_FALSE(controller->flag);
}

TEST_F(SelectionTest, ADroppedPathStartsWithItsLineAndAnythingElseIsIgnored) {
    controller->arrayController->setSelectionIndexes({0});
    testing::internal::CaptureStdout();
    post(urls[1].path());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "-------------update NSNotification: " + urls[1].path() + "\n");
    EXPECT_EQ(playing(), urls[1].path());
    // The list, its selection and flag are not the drop's business.
    EXPECT_EQ(controller->arrayController->selectionIndexes(), QList<int>{0});
    EXPECT_FALSE(controller->flag);
    // The same file again starts it again, from a new item.
    const auto first = controller->player->currentItem();
    post(urls[1].path());
    EXPECT_NE(controller->player->currentItem(), first);

    testing::internal::CaptureStdout();
    for (const std::any& object : {std::any(), std::any(42), std::any(std::string())}) post(object);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(playing(), urls[1].path());
}

}  // namespace
}  // namespace cliploop
